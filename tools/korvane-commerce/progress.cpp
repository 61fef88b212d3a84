#include "progress.hpp"

#include <fmt/format.h>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

#include <cstdio>
#include <unistd.h>

namespace korvane::cli {
namespace {

std::string_view counted(commerce::RunPhase phase) {
  switch (phase) {
    case commerce::RunPhase::fetching: return "pages fetched";
    case commerce::RunPhase::parsing: return "pages parsed";
    case commerce::RunPhase::resolving: return "stores resolved";
  }
  return "";
}

}  // namespace

std::string fetch_counts_text(const core::FetchCounts& counts) {
  std::string text;
  const auto add = [&text](std::size_t n, std::string_view what) {
    if (n == 0) return;
    text += fmt::format("{}{} {}", text.empty() ? "" : ", ", n, what);
  };
  add(counts.from_cache, "from the cache");
  add(counts.revalidated, "revalidated");
  add(counts.retries, counts.retries == 1 ? "retry" : "retries");
  add(counts.robots_refused, "refused by robots.txt");
  return text;
}

ProgressDisplay::ProgressDisplay(bool quiet)
    : quiet_(quiet), terminal_(isatty(STDERR_FILENO) != 0), start_(Clock::now()) {}

ProgressDisplay::~ProgressDisplay() { finish(); }

double ProgressDisplay::elapsed_seconds() const {
  return std::chrono::duration<double>(Clock::now() - start_).count();
}

void ProgressDisplay::print(const std::string& text) {
  const std::string line = fmt::format("[{:5.1f}s] {}", elapsed_seconds(), text);
  if (terminal_) {
    std::fprintf(stderr, "\r\033[K%s", line.c_str());
    line_open_ = true;
  } else {
    std::fprintf(stderr, "%s\n", line.c_str());
  }
  std::fflush(stderr);
}

void ProgressDisplay::show(const std::string& message) {
  if (!quiet_) print(message);
}

void ProgressDisplay::count(const commerce::RunProgress& progress) {
  if (quiet_) return;
  const auto now = Clock::now();
  if (!phase_seen_ || progress.phase != phase_) {
    phase_seen_ = true;
    phase_ = progress.phase;
    phase_start_ = now;
    last_count_ = {};
  }
  // A terminal line is redrawn at most ten times a second, a log line every
  // five seconds; the last count of a phase always shows.
  const auto interval = terminal_ ? std::chrono::milliseconds(100) : std::chrono::milliseconds(5000);
  if (progress.done < progress.total && now - last_count_ < interval) return;
  last_count_ = now;
  const double seconds = std::chrono::duration<double>(now - phase_start_).count();
  std::string text = fmt::format("{} {}/{}", counted(progress.phase), progress.done, progress.total);
  if (seconds > 0.05) text += fmt::format(", {:.0f}/s", static_cast<double>(progress.done) / seconds);
  if (const std::string counts = fetch_counts_text(progress.fetch_counts); !counts.empty()) {
    text += " (" + counts + ")";
  }
  print(text);
}

commerce::RunCallbacks ProgressDisplay::callbacks() {
  commerce::RunCallbacks callbacks;
  if (quiet_) return callbacks;
  callbacks.on_message = [this](std::string message) { show(message); };
  callbacks.on_progress = [this](const commerce::RunProgress& progress) { count(progress); };
  return callbacks;
}

void ProgressDisplay::finish() {
  if (line_open_) {
    std::fputc('\n', stderr);
    std::fflush(stderr);
    line_open_ = false;
  }
}

void configure_logging(bool verbose, bool quiet) {
  auto sink = std::make_shared<spdlog::sinks::stderr_color_sink_mt>();
  const auto level = verbose ? spdlog::level::debug : (quiet ? spdlog::level::err : spdlog::level::warn);
  for (const char* name : {"korvane.commerce.resolver", "korvane.core.fetcher"}) {
    if (spdlog::get(name)) spdlog::drop(name);
    auto logger = std::make_shared<spdlog::logger>(name, sink);
    logger->set_level(level);
    logger->set_pattern("%n: %l: %v");
    spdlog::register_logger(logger);
  }
}

}  // namespace korvane::cli
