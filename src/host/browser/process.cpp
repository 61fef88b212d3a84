#include "host/browser/process.hpp"

#include <korvane/browser/session.hpp>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <fstream>
#include <iterator>
#include <limits>
#include <optional>
#include <sstream>
#include <thread>

extern char** environ;

namespace korvane::browser::detail {
namespace fs = std::filesystem;

namespace {

std::string errno_text(int err) { return std::strerror(err); }

// A file descriptor closed on destruction.
class Fd {
 public:
  explicit Fd(int fd = -1) noexcept : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  [[nodiscard]] int get() const noexcept { return fd_; }
  void reset() noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

// Moves `fd` above the descriptors the child sets up (0 to 5), so that the
// dup2() calls cannot overwrite a source. Async-signal-safe.
int lift(int fd) { return ::fcntl(fd, F_DUPFD, 10); }

[[noreturn]] void child_fail(int status_fd) {
  const int err = errno;
  const auto* p = reinterpret_cast<const char*>(&err);
  std::size_t left = sizeof err;
  while (left > 0) {
    const ssize_t n = ::write(status_fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  ::_exit(127);
}

// Runs in the forked child: only async-signal-safe calls.
[[noreturn]] void exec_child(const char* path, char* const* argv, char* const* envp, int control_fd,
                             int null_fd, int log_fd, int status_fd, pid_t parent, int max_fd) {
  ::setpgid(0, 0);
  // Take the browser down with us if this process dies without cleaning up.
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != parent) ::_exit(127);

  sigset_t all;
  ::sigemptyset(&all);
  ::sigprocmask(SIG_SETMASK, &all, nullptr);

  const int control = lift(control_fd);
  const int null_in = lift(null_fd);
  const int log = lift(log_fd);
  const int status = lift(status_fd);
  if (control < 0 || null_in < 0 || log < 0 || status < 0) child_fail(status_fd);
  if (::dup2(null_in, 0) < 0 || ::dup2(log, 1) < 0 || ::dup2(log, 2) < 0 ||
      ::dup2(control, 3) < 0 || ::dup2(control, 4) < 0 || ::dup2(status, 5) < 0) {
    child_fail(status);
  }
  ::fcntl(5, F_SETFD, FD_CLOEXEC);
#ifdef SYS_close_range
  if (::syscall(SYS_close_range, 6U, ~0U, 0U) != 0)
#endif
  {
    for (int fd = 6; fd < max_fd; ++fd) ::close(fd);
  }
  ::execve(path, argv, envp);
  child_fail(5);
}

pid_t open_pidfd(pid_t pid) {
#ifdef SYS_pidfd_open
  const long fd = ::syscall(SYS_pidfd_open, pid, 0U);
  if (fd >= 0) {
    ::fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
    return static_cast<int>(fd);
  }
#else
  (void)pid;
#endif
  return -1;
}

}  // namespace

// ---------------------------------------------------------------- /proc

std::string read_proc_file(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      text.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      text.clear();  // ended while read (ESRCH): nothing to rely on
      break;
    }
  }
  ::close(fd);
  return text;
}

// ---------------------------------------------------------------- process

ChromiumProcess::ChromiumProcess(const std::string& executable,
                                 const std::vector<std::string>& args,
                                 const std::vector<std::pair<std::string, std::string>>& env,
                                 int control_fd, const fs::path& log_file, std::string marker)
    : marker_(std::move(marker)) {
  // Everything the child needs is prepared before fork(): after it, the
  // child may only make async-signal-safe calls.
  std::vector<std::string> argv_storage;
  argv_storage.reserve(args.size() + 1);
  argv_storage.push_back(executable);
  argv_storage.insert(argv_storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  argv.reserve(argv_storage.size() + 1);
  for (auto& a : argv_storage) argv.push_back(a.data());
  argv.push_back(nullptr);

  std::vector<std::string> env_storage;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string_view entry(*e);
    const auto name = entry.substr(0, entry.find('='));
    const bool replaced = std::any_of(env.begin(), env.end(), [name](const auto& kv) { return kv.first == name; });
    if (!replaced) env_storage.emplace_back(entry);
  }
  for (const auto& [name, value] : env) env_storage.push_back(name + "=" + value);
  std::vector<char*> envp;
  envp.reserve(env_storage.size() + 1);
  for (auto& e : env_storage) envp.push_back(e.data());
  envp.push_back(nullptr);

  Fd null_fd{::open("/dev/null", O_RDONLY | O_CLOEXEC)};
  Fd log_fd{::open(log_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600)};
  if (null_fd.get() < 0 || log_fd.get() < 0) {
    throw BrowserUnavailableError("cannot prepare the browser's standard streams: " +
                                  errno_text(errno));
  }
  int status_pipe[2];
  if (::pipe2(status_pipe, O_CLOEXEC) != 0) {
    throw BrowserUnavailableError("cannot create a pipe: " + errno_text(errno));
  }
  Fd status_read{status_pipe[0]};
  Fd status_write{status_pipe[1]};

  rlimit lim{};
  int max_fd = 4096;
  if (::getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY) {
    max_fd = static_cast<int>(std::min<rlim_t>(lim.rlim_cur, 65536));
  }

  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) throw BrowserUnavailableError("cannot fork: " + errno_text(errno));
  if (pid == 0) {
    exec_child(argv_storage.front().c_str(), argv.data(), envp.data(), control_fd, null_fd.get(),
               log_fd.get(), status_write.get(), parent, max_fd);
  }
  pid_ = pid;
  ::setpgid(pid, pid);  // also here, so the group exists whichever runs first
  status_write.reset();

  int child_errno = 0;
  std::size_t got = 0;
  auto* dest = reinterpret_cast<char*>(&child_errno);
  while (got < sizeof child_errno) {
    const ssize_t n = ::read(status_read.get(), dest + got, sizeof child_errno - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  if (got > 0) {
    terminate();
    throw BrowserUnavailableError("cannot execute '" + executable +
                                  "': " + errno_text(child_errno));
  }
  pidfd_ = open_pidfd(pid);
}

ChromiumProcess::~ChromiumProcess() { terminate(); }

bool ChromiumProcess::try_reap() noexcept {
  if (reaped_ || pid_ <= 0) return reaped_;
  int status = 0;
  const pid_t r = ::waitpid(pid_, &status, WNOHANG);
  if (r == pid_) {
    reaped_ = true;
    wait_status_ = status;
  } else if (r < 0 && errno == ECHILD) {
    reaped_ = true;  // someone else reaped it
  }
  return reaped_;
}

std::string ChromiumProcess::exit_description() const {
  if (!reaped_) return "still running";
  if (WIFEXITED(wait_status_)) return "exit status " + std::to_string(WEXITSTATUS(wait_status_));
  if (WIFSIGNALED(wait_status_)) return "killed by signal " + std::to_string(WTERMSIG(wait_status_));
  return "ended";
}

void ChromiumProcess::terminate(std::chrono::milliseconds limit) noexcept {
  if (pid_ <= 0) return;
  if (!terminated_) {
    terminated_ = true;
    ::kill(-pid_, SIGKILL);
    if (!reaped_) ::kill(pid_, SIGKILL);
  }
  while (!reaped_) {
    int status = 0;
    const pid_t r = ::waitpid(pid_, &status, 0);
    if (r == pid_) {
      reaped_ = true;
      wait_status_ = status;
    } else if (r < 0 && errno != EINTR) {
      reaped_ = true;
    }
  }
  // Children of the browser are reparented when it dies; they are killed
  // with the group but may take a moment to go. Helpers that leave the
  // group (the crash handler starts its own session) are found by the
  // marker on their command line.
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (kill_live_processes(pid_, marker_) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  if (pidfd_ >= 0) {
    ::close(pidfd_);
    pidfd_ = -1;
  }
}

namespace {

// Calls `visit(pid, pgrp, cmdline_mentions_marker)` for every live
// (non-zombie) process; stops when it returns true.
template <class Visit>
void for_each_live_process(std::string_view marker, Visit&& visit) {
  DIR* dir = ::opendir("/proc");
  if (dir == nullptr) return;
  const pid_t self = ::getpid();
  while (const dirent* entry = ::readdir(dir)) {
    const char* name = entry->d_name;
    if (name[0] < '1' || name[0] > '9') continue;
    const std::string base = std::string("/proc/") + name;
    const std::string text = read_proc_file(base + "/stat");
    const std::string line = text.substr(0, text.find('\n'));
    // "pid (comm) state ppid pgrp ...": comm may hold spaces and parentheses.
    const auto close = line.rfind(')');
    if (close == std::string::npos || close + 2 >= line.size()) continue;
    const char state = line[close + 2];
    if (state == 'Z' || state == 'X') continue;
    long ppid = 0;
    long pgrp = 0;
    if (std::sscanf(line.c_str() + close + 3, "%ld %ld", &ppid, &pgrp) != 2) continue;
    const auto pid = static_cast<pid_t>(std::atol(name));
    if (pid == self) continue;
    bool mentions = false;
    if (!marker.empty()) {
      mentions = read_proc_file(base + "/cmdline").find(marker) != std::string::npos;
    }
    if (visit(pid, static_cast<pid_t>(pgrp), mentions)) break;
  }
  ::closedir(dir);
}

}  // namespace

bool group_has_live_members(pid_t pgid) {
  bool found = false;
  for_each_live_process({}, [&](pid_t, pid_t pgrp, bool) { return found = pgrp == pgid; });
  return found;
}

bool kill_live_processes(pid_t pgid, std::string_view marker) {
  bool found = false;
  ::kill(-pgid, SIGKILL);
  for_each_live_process(marker, [&](pid_t pid, pid_t pgrp, bool mentions) {
    if (pgrp == pgid || mentions) {
      found = true;
      ::kill(pid, SIGKILL);
    }
    return false;
  });
  return found;
}

std::string file_tail(const fs::path& file, std::size_t max_bytes) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return {};
  in.seekg(0, std::ios::end);
  const auto size = static_cast<std::size_t>(std::max<std::streamoff>(in.tellg(), 0));
  const std::size_t start = size > max_bytes ? size - max_bytes : 0;
  in.seekg(static_cast<std::streamoff>(start));
  std::string text(size - start, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(in.gcount()));
  if (start > 0) {
    const auto nl = text.find('\n');
    if (nl != std::string::npos) text.erase(0, nl + 1);
  }
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

}  // namespace korvane::browser::detail
