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

// The folder temporary directories go in: the system's temporary directory
// ($TMPDIR when set), else /tmp. Chromium puts a socket in the session's
// folder whose path must fit a socket address (107 bytes), so a temporary
// directory whose path is longer than MAX_TEMPORARY_BASE gives /tmp instead.
inline constexpr std::size_t MAX_TEMPORARY_BASE = 33;
[[nodiscard]] std::filesystem::path temporary_base();

// This process as its folders' owner: "<pid>.<start time>", the start time
// in clock ticks after boot, so that a later process that gets the same pid
// is not taken for this one ("<pid>.0" when the start time cannot be read).
[[nodiscard]] std::string process_mark();

// The file in a directory that names its owner by process_mark(). (The
// mark is not in the directory's name: Chromium's lock socket lies a few
// levels below it, and socket paths are short.)
inline constexpr std::string_view OWNER_FILE = "owner";

// Marks `directory` as this process's by writing its OWNER_FILE; false when
// that fails (the directory is then never taken for an abandoned one).
bool mark_as_owned(const std::filesystem::path& directory) noexcept;

// Removes the directories in `base` whose name starts with `prefix` and
// whose OWNER_FILE names a process that has ended: no process has that pid
// any more, or the one that has it started at another time. Only
// directories of the effective user are removed, never symbolic links,
// never directories without an owner file, never a directory of a process
// that may still run (one whose start time cannot be read counts as
// running). Returns how many were removed.
std::size_t remove_abandoned_directories(const std::filesystem::path& base, std::string_view prefix) noexcept;

// A fresh private directory under temporary_base(), removed with everything
// in it when the object is destroyed.
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
