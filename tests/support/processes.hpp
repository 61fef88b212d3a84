// Looking at the processes of this machine from tests.
#pragma once

#include "host/browser/process.hpp"

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

namespace korvane::testing {

// Live (not zombie) processes whose command line holds `marker` (and
// `also`, when given).
inline int processes_mentioning(const std::string& marker, const std::string& also = {}) {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const auto name = entry.path().filename().string();
    if (name.empty() || name[0] < '1' || name[0] > '9') continue;
    // (A process may end while it is looked at: read_proc_file then gives "".)
    const std::string stat = browser::detail::read_proc_file((entry.path() / "stat").string());
    const std::string line = stat.substr(0, stat.find('\n'));
    const auto close = line.rfind(')');
    if (close == std::string::npos || close + 2 >= line.size() || line[close + 2] == 'Z') continue;
    const std::string text = browser::detail::read_proc_file((entry.path() / "cmdline").string());
    if (text.find(marker) != std::string::npos && text.find(also) != std::string::npos) ++count;
  }
  return count;
}

// Waits until `condition()` holds, looking every few milliseconds, for at
// most `limit` (generous: CI machines are loaded); returns whether it held.
template <class Condition>
bool eventually(Condition condition, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace korvane::testing
