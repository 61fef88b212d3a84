#include "progress.hpp"

#include <fmt/format.h>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

#include <cstdio>
#include <unistd.h>

namespace korvane::cli {

ProgressDisplay::ProgressDisplay(bool quiet)
    : quiet_(quiet), terminal_(isatty(STDERR_FILENO) != 0), start_(std::chrono::steady_clock::now()) {}

ProgressDisplay::~ProgressDisplay() { finish(); }

double ProgressDisplay::elapsed_seconds() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void ProgressDisplay::show(const std::string& message) {
  if (quiet_) return;
  const std::string line = fmt::format("[{:5.1f}s] {}", elapsed_seconds(), message);
  if (terminal_) {
    std::fprintf(stderr, "\r\033[K%s", line.c_str());
    line_open_ = true;
  } else {
    std::fprintf(stderr, "%s\n", line.c_str());
  }
  std::fflush(stderr);
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
