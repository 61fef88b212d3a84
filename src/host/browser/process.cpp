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

constexpr std::string_view CANDIDATE_NAMES[] = {"chromium", "chromium-browser",
                                                "google-chrome-stable", "google-chrome"};

bool is_executable_file(const fs::path& p) {
  std::error_code ec;
  return fs::is_regular_file(p, ec) && ::access(p.c_str(), X_OK) == 0;
}

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

// ---------------------------------------------------------------- executable and arguments

std::string find_chromium(std::string_view configured) {
  if (!configured.empty()) {
    const fs::path p{std::string(configured)};
    if (!is_executable_file(p)) {
      throw BrowserUnavailableError("the configured Chromium executable '" + p.string() +
                                    "' is not an executable file");
    }
    return p.string();
  }
  if (const char* env = std::getenv("KORVANE_CHROMIUM"); env != nullptr && *env != '\0') {
    const fs::path p{env};
    if (p.has_parent_path()) {
      if (!is_executable_file(p)) {
        throw BrowserUnavailableError("KORVANE_CHROMIUM names '" + p.string() +
                                      "', which is not an executable file");
      }
      return p.string();
    }
    configured = env;  // a bare name: look for it on PATH below
  }
  const char* path_env = std::getenv("PATH");
  const std::string path_list = path_env != nullptr ? path_env : "/usr/local/bin:/usr/bin:/bin";
  std::vector<std::string_view> names;
  if (!configured.empty()) {
    names.push_back(configured);
  } else {
    names.assign(std::begin(CANDIDATE_NAMES), std::end(CANDIDATE_NAMES));
  }
  for (const auto name : names) {
    std::size_t start = 0;
    while (start <= path_list.size()) {
      std::size_t end = path_list.find(':', start);
      if (end == std::string::npos) end = path_list.size();
      const std::string dir = path_list.substr(start, end - start);
      const fs::path candidate = fs::path(dir.empty() ? "." : dir) / std::string(name);
      if (is_executable_file(candidate)) return candidate.string();
      start = end + 1;
    }
  }
  std::string looked;
  for (const auto name : names) {
    if (!looked.empty()) looked += ", ";
    looked += name;
  }
  throw BrowserUnavailableError("no Chromium executable found on PATH (looked for " + looked +
                                "); install chromium or set KORVANE_CHROMIUM");
}

std::vector<std::string> chromium_arguments(bool headless, const fs::path& profile,
                                            std::span<const std::string> extra) {
  std::vector<std::string> args;
  if (headless) args.emplace_back("--headless=new");
  args.insert(args.end(), {
                              "--remote-debugging-pipe",
                              "--user-data-dir=" + profile.string(),
                              "--no-first-run",
                              "--no-default-browser-check",
                              "--disable-background-networking",
                              "--disable-component-update",
                              "--disable-sync",
                              "--disable-default-apps",
                              "--disable-extensions",
                              "--disable-gpu",
                              "--disable-quic",
                              "--disable-breakpad",
                              "--disable-client-side-phishing-detection",
                              "--disable-domain-reliability",
                              "--disable-hang-monitor",
                              "--disable-popup-blocking",
                              "--disable-prompt-on-repost",
                              "--disable-background-timer-throttling",
                              "--disable-backgrounding-occluded-windows",
                              "--disable-renderer-backgrounding",
                              // No trying https first for http links (an http-only
                              // server then costs seconds), no network time queries.
                              "--disable-features=Translate,OptimizationHints,MediaRouter,"
                              "AutofillServerCommunication,InterestFeedContentSuggestions,"
                              "HttpsUpgrades,HttpsFirstBalancedModeAutoEnable,NetworkTimeServiceQuerying",
                              "--disable-blink-features=AutomationControlled",
                              "--metrics-recording-only",
                              "--password-store=basic",
                              "--use-mock-keychain",
                              "--mute-audio",
                              "--hide-scrollbars",
                              "--no-service-autorun",
                              "--no-startup-window",  // tabs are opened by fetch()
                              "--noerrdialogs",
                              "--lang=en-US",
                              "--window-size=1366,768",
                          });
  if (::geteuid() == 0) args.emplace_back("--no-sandbox");
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

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

// ---------------------------------------------------------------- temporary directory

namespace {

struct ProcessStat {
  char state = '?';
  unsigned long long start_time = 0;  // clock ticks after boot
};

// State and start time of process `pid` from /proc; absent when unreadable.
std::optional<ProcessStat> read_process_stat(pid_t pid) {
  const std::string text = read_proc_file("/proc/" + std::to_string(pid) + "/stat");
  const std::string line = text.substr(0, text.find('\n'));
  // "pid (command) state ..." and the command may hold anything: the
  // fields start after its last ")". The start time is field 22.
  const auto close = line.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::istringstream fields(line.substr(close + 1));
  ProcessStat stat;
  fields >> stat.state;
  std::string skipped;
  for (int field = 4; field < 22; ++field) fields >> skipped;
  fields >> stat.start_time;
  if (!fields) return std::nullopt;
  return stat;
}

// The pid and start time of a mark "<pid>.<start time>".
std::optional<std::pair<pid_t, unsigned long long>> parse_mark(std::string_view text) {
  const auto dot = text.find('.');
  if (dot == std::string_view::npos || dot == 0 || dot + 1 == text.size()) return std::nullopt;
  const auto number = [](std::string_view digits) -> std::optional<unsigned long long> {
    if (digits.size() > 19) return std::nullopt;
    unsigned long long value = 0;
    for (const char c : digits) {
      if (c < '0' || c > '9') return std::nullopt;
      value = value * 10 + static_cast<unsigned long long>(c - '0');
    }
    return value;
  };
  const auto pid = number(text.substr(0, dot));
  const auto start = number(text.substr(dot + 1));
  if (!pid || !start || *pid == 0 || *pid > static_cast<unsigned long long>(std::numeric_limits<pid_t>::max())) {
    return std::nullopt;
  }
  return std::pair{static_cast<pid_t>(*pid), *start};
}

// The mark in the owner file of `directory`; absent when there is none (or
// it is a link, or holds anything else).
std::optional<std::pair<pid_t, unsigned long long>> read_owner(const fs::path& directory) {
  const int fd = ::open((directory / OWNER_FILE).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  char buffer[64];
  const ssize_t n = ::read(fd, buffer, sizeof buffer);
  ::close(fd);
  if (n <= 0 || static_cast<std::size_t>(n) == sizeof buffer) return std::nullopt;
  std::string_view text(buffer, static_cast<std::size_t>(n));
  if (text.ends_with('\n')) text.remove_suffix(1);
  return parse_mark(text);
}

// Whether the process of a mark may still run. A pid that now belongs to a
// process started at another time was reused: the marked one has ended.
bool may_still_run(pid_t pid, unsigned long long start_time) {
  if (::kill(pid, 0) != 0 && errno == ESRCH) return false;
  if (start_time == 0) return true;  // marked without a start time: the pid decides
  const auto stat = read_process_stat(pid);
  return !stat || stat->start_time == start_time;
}

}  // namespace

fs::path temporary_base() {
  // Chromium's lock socket goes to <base>/korvane-chromium-XXXXXX/tmp/
  // .org.chromium.Chromium.XXXXXX/SingletonSocket: 74 bytes after the base.
  std::error_code ec;
  fs::path base = fs::temp_directory_path(ec);
  if (ec || base.native().size() > MAX_TEMPORARY_BASE) base = "/tmp";
  return base;
}

std::string process_mark() {
  const pid_t self = ::getpid();
  const auto stat = read_process_stat(self);
  return std::to_string(self) + "." + std::to_string(stat ? stat->start_time : 0);
}

bool mark_as_owned(const fs::path& directory) noexcept {
  try {
    const std::string mark = process_mark() + "\n";
    const int fd =
        ::open((directory / OWNER_FILE).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    const bool written = ::write(fd, mark.data(), mark.size()) == static_cast<ssize_t>(mark.size());
    return ::close(fd) == 0 && written;
  } catch (const std::exception&) {
    return false;
  }
}

std::size_t remove_abandoned_directories(const fs::path& base, std::string_view prefix) noexcept {
  std::size_t removed = 0;
  try {
    std::error_code ec;
    for (fs::directory_iterator it(base, ec), end; !ec && it != end; it.increment(ec)) {
      const fs::path& path = it->path();
      if (!path.filename().string().starts_with(prefix)) continue;
      struct stat st {};
      if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) continue;
      const auto mark = read_owner(path);
      if (!mark || may_still_run(mark->first, mark->second)) continue;
      std::error_code remove_error;
      if (fs::remove_all(path, remove_error) > 0 && !remove_error) ++removed;
    }
  } catch (const std::exception&) {
    // Clearing up is a courtesy: whatever stays is left for the next start.
  }
  return removed;
}

TempDirectory::TempDirectory(std::string_view prefix) {
  const fs::path base = temporary_base();
  std::string templ = (base / (std::string(prefix) + "XXXXXX")).string();
  if (::mkdtemp(templ.data()) == nullptr) {
    throw BrowserUnavailableError("cannot create a temporary directory in " + base.string() +
                                  ": " + errno_text(errno));
  }
  path_ = templ;
}

TempDirectory::TempDirectory(TempDirectory&& other) noexcept : path_(std::move(other.path_)) {
  other.path_.clear();
}

TempDirectory::~TempDirectory() { remove(); }

bool TempDirectory::remove() noexcept {
  if (path_.empty()) return true;
  for (int attempt = 0; attempt < 3; ++attempt) {
    std::error_code ec;
    fs::remove_all(path_, ec);
    if (!fs::exists(path_, ec)) {
      path_.clear();
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
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
