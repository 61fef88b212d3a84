#include "host/browser/temp_directory.hpp"

#include "host/browser/process.hpp"

#include <korvane/errors.hpp>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <limits>
#include <optional>
#include <sstream>
#include <thread>
#include <utility>

namespace korvane::browser::detail {
namespace fs = std::filesystem;

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
                                  ": " + std::strerror(errno));
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

}  // namespace korvane::browser::detail
