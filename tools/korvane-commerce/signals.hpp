// Stopping a long run cleanly on SIGINT and SIGTERM.
#pragma once

#include <atomic>
#include <stop_token>
#include <thread>

namespace korvane::cli {

// While it lives, SIGINT and SIGTERM request a stop of `token()` instead of
// ending the process at once, so the run can close the browser and remove
// its temporary files; a second signal ends the process at once. Construct
// it before any other thread starts (threads inherit the blocked signals).
class StopOnSignals {
 public:
  StopOnSignals();
  ~StopOnSignals();
  StopOnSignals(const StopOnSignals&) = delete;
  StopOnSignals& operator=(const StopOnSignals&) = delete;

  [[nodiscard]] std::stop_token token() const noexcept { return source_.get_token(); }
  // The signal that requested the stop, or 0.
  [[nodiscard]] int signal() const noexcept { return signal_.load(); }
  // The exit status of a run stopped by signal(): 128 + its number.
  [[nodiscard]] int exit_status() const noexcept { return 128 + signal_.load(); }

 private:
  std::stop_source source_;
  std::atomic<int> signal_{0};
  std::thread watcher_;
};

// Makes a file-size limit (SIGXFSZ) fail the write that passes it instead of
// ending the process, so the export can remove its temporary file and say
// what went wrong.
void ignore_file_size_signal();

}  // namespace korvane::cli
