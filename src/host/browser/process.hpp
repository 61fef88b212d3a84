// The Chromium process: finding the executable, its command line, the
// temporary profile, launching it in a process group of its own with the
// DevTools pipe on fds 3 and 4, and making sure nothing of it is left.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace korvane::browser::detail {

// The Chromium executable to run: `configured` when non-empty, else the
// environment variable KORVANE_CHROMIUM when set, else the first of
// chromium, chromium-browser, google-chrome-stable, google-chrome on PATH.
// Throws BrowserUnavailableError saying where it looked.
[[nodiscard]] std::string find_chromium(std::string_view configured);

// Chromium's command line (without the program name) for a server: headless
// or not, the profile directory, the DevTools pipe, no first run, no
// background networking, component updates, sync, crash reporter or GPU,
// no QUIC, no background throttling of tabs, and no sandbox when running as
// root. `extra` comes last.
[[nodiscard]] std::vector<std::string> chromium_arguments(bool headless,
                                                          const std::filesystem::path& profile,
                                                          std::span<const std::string> extra);

// A fresh private directory under the system's temporary directory, removed
// with everything in it when the object is destroyed.
class TempDirectory {
 public:
  // Throws BrowserUnavailableError when the directory cannot be made.
  explicit TempDirectory(std::string_view prefix);
  ~TempDirectory();
  TempDirectory(TempDirectory&& other) noexcept;
  TempDirectory& operator=(TempDirectory&&) = delete;
  TempDirectory(const TempDirectory&) = delete;
  TempDirectory& operator=(const TempDirectory&) = delete;

  [[nodiscard]] const std::filesystem::path& path() const noexcept { return path_; }
  // Removes the directory now; true when it is gone.
  bool remove() noexcept;

 private:
  std::filesystem::path path_;
};

// A launched browser: the leader of its own process group. Destroying the
// object kills the whole group, reaps the leader and waits (bounded) until
// no live member of the group is left.
class ChromiumProcess {
 public:
  // Starts `executable` with `args` and the environment changed by `env`;
  // `control_fd` becomes the child's fds 3 and 4, standard input is
  // /dev/null, standard output and error go to `log_file`. Processes whose
  // command line holds `marker` (a unique path) count as the browser's too.
  // Throws BrowserUnavailableError when the program cannot be executed.
  ChromiumProcess(const std::string& executable, const std::vector<std::string>& args,
                  const std::vector<std::pair<std::string, std::string>>& env, int control_fd,
                  const std::filesystem::path& log_file, std::string marker);
  ~ChromiumProcess();
  ChromiumProcess(const ChromiumProcess&) = delete;
  ChromiumProcess& operator=(const ChromiumProcess&) = delete;

  [[nodiscard]] pid_t pid() const noexcept { return pid_; }

  // A descriptor that becomes readable when the leader exits (pidfd), or -1
  // when the system has none. Owned by this object.
  [[nodiscard]] int exit_descriptor() const noexcept { return pidfd_; }

  // Reaps the leader if it has exited; true once it has been reaped.
  bool try_reap() noexcept;
  [[nodiscard]] bool reaped() const noexcept { return reaped_; }
  // The leader's exit description once reaped ("exit status 1", "signal 9").
  [[nodiscard]] std::string exit_description() const;

  // Kills every process of the group and every process that names the
  // marker, reaps the leader and waits up to `limit` until none of them is
  // alive. Idempotent.
  void terminate(std::chrono::milliseconds limit = std::chrono::milliseconds{3000}) noexcept;

 private:
  pid_t pid_ = -1;
  int pidfd_ = -1;
  bool reaped_ = false;
  int wait_status_ = 0;
  bool terminated_ = false;
  std::string marker_;
};

// True while some process of group `pgid` is alive (zombies do not count).
[[nodiscard]] bool group_has_live_members(pid_t pgid);

// Sends SIGKILL to every live process of group `pgid` and every live process
// whose command line holds `marker` (when non-empty); true when there was
// one.
bool kill_live_processes(pid_t pgid, std::string_view marker);

// The last `max_bytes` of a text file, trimmed to whole lines; empty when it
// cannot be read.
[[nodiscard]] std::string file_tail(const std::filesystem::path& file, std::size_t max_bytes);

}  // namespace korvane::browser::detail
