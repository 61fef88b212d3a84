// The Chromium process: launching it in a process group of its own with the
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

// The text of a file under /proc, such as "/proc/<pid>/stat"; empty when it
// cannot be read, also when the process ends while it is read (a read then
// fails, which a std::ifstream reports by throwing).
[[nodiscard]] std::string read_proc_file(const std::string& path);

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
