// Progress and log output of long runs, on standard error.
#pragma once

#include <chrono>
#include <string>

namespace korvane::cli {

// Shows the pipeline's progress messages with the time since the run began.
// On a terminal the messages replace each other on one status line; else each
// message is a line of its own ("[  1.2s] Fetching ..."). Quiet shows nothing.
class ProgressDisplay {
 public:
  explicit ProgressDisplay(bool quiet);
  ~ProgressDisplay();
  ProgressDisplay(const ProgressDisplay&) = delete;
  ProgressDisplay& operator=(const ProgressDisplay&) = delete;

  void show(const std::string& message);
  // Ends the status line so that other output starts on a clean line.
  void finish();
  [[nodiscard]] double elapsed_seconds() const;

 private:
  bool quiet_;
  bool terminal_;
  bool line_open_ = false;
  std::chrono::steady_clock::time_point start_;
};

// Sends the library's log lines (the fetcher's and the resolver's loggers) to
// standard error: warnings, or everything from debug level on with `verbose`.
void configure_logging(bool verbose, bool quiet);

}  // namespace korvane::cli
