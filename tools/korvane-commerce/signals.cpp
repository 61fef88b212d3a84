#include "signals.hpp"

#include <csignal>
#include <pthread.h>

namespace korvane::cli {
namespace {

// SIGUSR2 only wakes the watcher when the run is over.
sigset_t watched_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGUSR2);
  return set;
}

}  // namespace

StopOnSignals::StopOnSignals() {
  const sigset_t set = watched_signals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  watcher_ = std::thread([this, set] {
    for (;;) {
      int received = 0;
      if (sigwait(&set, &received) != 0 || received == SIGUSR2) return;
      if (signal_.load() != 0) {
        // A second signal: end now, the way the signal would have.
        std::signal(received, SIG_DFL);
        sigset_t one;
        sigemptyset(&one);
        sigaddset(&one, received);
        pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
        std::raise(received);
        return;
      }
      signal_.store(received);
      source_.request_stop();
    }
  });
}

StopOnSignals::~StopOnSignals() {
  pthread_kill(watcher_.native_handle(), SIGUSR2);
  watcher_.join();
  const sigset_t set = watched_signals();
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

void ignore_file_size_signal() { std::signal(SIGXFSZ, SIG_IGN); }

}  // namespace korvane::cli
