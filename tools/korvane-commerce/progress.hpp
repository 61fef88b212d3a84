// Progress and log output of long runs, on standard error.
#pragma once

#include <korvane/commerce/run.hpp>

#include <chrono>
#include <string>

namespace korvane::cli {

// Shows the pipeline's progress with the time since the run began: its
// messages, and the counts of each phase with their rate ("pages fetched
// 1200/50000, 380/s"). On a terminal everything replaces everything else on
// one status line; otherwise each message is a line of its own and counts
// are printed every few seconds and when a phase completes. Quiet shows
// nothing.
class ProgressDisplay {
 public:
  explicit ProgressDisplay(bool quiet);
  ~ProgressDisplay();
  ProgressDisplay(const ProgressDisplay&) = delete;
  ProgressDisplay& operator=(const ProgressDisplay&) = delete;

  void show(const std::string& message);
  void count(const commerce::RunProgress& progress);
  // Ends the status line so that other output starts on a clean line.
  void finish();
  [[nodiscard]] double elapsed_seconds() const;

  // Observers for a run that report here.
  [[nodiscard]] commerce::RunCallbacks callbacks();

 private:
  using Clock = std::chrono::steady_clock;
  void print(const std::string& text);

  bool quiet_;
  bool terminal_;
  bool line_open_ = false;
  Clock::time_point start_;
  Clock::time_point phase_start_;
  Clock::time_point last_count_;
  commerce::RunPhase phase_ = commerce::RunPhase::fetching;
  bool phase_seen_ = false;
};

// "3 from the cache, 1 revalidated, 2 retries, 1 refused by robots.txt":
// the counts that are not zero; empty when all are.
[[nodiscard]] std::string fetch_counts_text(const core::FetchCounts& counts);

// Sends the library's log lines (the fetcher's and the resolver's loggers) to
// standard error: warnings, or everything from debug level on with `verbose`.
void configure_logging(bool verbose, bool quiet);

}  // namespace korvane::cli
