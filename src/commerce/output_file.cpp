#include "commerce/output_file.hpp"

#include "system/unique_fd.hpp"

#include <korvane/commerce/export.hpp>
#include <korvane/errors.hpp>

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <linux/magic.h>
#include <random>
#include <string>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <vector>

namespace korvane::commerce::detail {
namespace fs = std::filesystem;
using korvane::detail::UniqueFd;

namespace {

// Symbolic links followed for one path before giving up, as the kernel does.
constexpr int MAX_LINKS = 40;
// How often a FIFO without a reader is tried again (and the stop looked at).
constexpr auto FIFO_RETRY = std::chrono::milliseconds(20);

std::error_code last_error() { return {errno, std::generic_category()}; }

[[noreturn]] void fail(const char* what, const fs::path& path, std::error_code error) {
  throw fs::filesystem_error(what, path, error);
}

bool is_special(mode_t mode) noexcept {
  return S_ISCHR(mode) || S_ISBLK(mode) || S_ISFIFO(mode) || S_ISSOCK(mode);
}

// What a path's last name is, looked at inside its open folder.
struct Located {
  UniqueFd folder;         // O_PATH; the kernel followed the links up to it
  fs::path folder_path;    // the text it was opened by
  std::string name;
  bool exists = false;
  struct stat entry {};    // of the name itself (not followed), when it exists
  bool proc_link = false;  // a link of /proc to an open file of the process
};

// The folder `path` opened by the kernel, or an invalid descriptor with
// errno set.
UniqueFd open_folder(const fs::path& path) {
  return UniqueFd(::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
}

// Creates the folders of `path` that do not exist and opens it. The missing
// part has no links (it does not exist yet), so its "." and ".." are taken
// as written; every folder made is entered without following a link.
UniqueFd make_folder(const fs::path& path) {
  std::vector<std::string> missing;
  fs::path existing = path;
  UniqueFd folder = open_folder(existing);
  while (!folder.valid() && errno == ENOENT && existing.has_relative_path()) {
    missing.push_back(existing.filename().string());
    existing = existing.parent_path();
    folder = open_folder(existing);
  }
  if (!folder.valid()) {
    fail(errno == ENOTDIR ? "the export folder cannot be created: a file is in the way"
                          : "cannot open the export folder",
         existing, last_error());
  }
  std::vector<std::string> names;  // the missing part, "." and ".." applied
  int ups = 0;                     // ".." beyond the missing part
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    if (it->empty() || *it == ".") continue;
    if (*it != "..") {
      names.push_back(*it);
    } else if (!names.empty()) {
      names.pop_back();
    } else {
      ++ups;
    }
  }
  for (; ups > 0; --ups) folder = UniqueFd(::openat(folder.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
  fs::path made = existing;
  for (const std::string& name : names) {
    made /= name;
    if (::mkdirat(folder.get(), name.c_str(), 0777) != 0 && errno != EEXIST) {
      fail("cannot create the export folder", made, last_error());
    }
    folder = UniqueFd(::openat(folder.get(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folder.valid()) fail("cannot open the export folder", made, last_error());
  }
  return folder;
}

// Refuses a name that another user owns in a sticky folder: only its owner
// (or the folder's) may have it replaced or followed.
void check_owner(const Located& at, const fs::path& path) {
  struct stat folder {};
  if (::fstat(at.folder.get(), &folder) != 0) fail("cannot look at the export folder", at.folder_path, last_error());
  if ((folder.st_mode & S_ISVTX) == 0 || at.entry.st_uid == ::geteuid() || at.entry.st_uid == folder.st_uid) return;
  fail(S_ISLNK(at.entry.st_mode) ? "refused: a symbolic link of another user in a sticky folder"
                                 : "refused: a file of another user in a sticky folder",
       path, std::make_error_code(std::errc::operation_not_permitted));
}

bool on_proc(int folder) {
  struct statfs fs_info {};
  return ::fstatfs(folder, &fs_info) == 0 && fs_info.f_type == PROC_SUPER_MAGIC;
}

std::string read_link(int folder, const std::string& name, const fs::path& path) {
  std::string target(256, '\0');
  for (;;) {
    const ssize_t n = ::readlinkat(folder, name.c_str(), target.data(), target.size());
    if (n < 0) fail("cannot read the symbolic link", path, last_error());
    if (static_cast<std::size_t>(n) < target.size()) {
      target.resize(static_cast<std::size_t>(n));
      return target;
    }
    target.resize(target.size() * 2);
  }
}

// Follows `output_path` to the name an export writes: its folder open, the
// name looked at there. Symbolic links at the end are followed one at a
// time after check_owner(); folders are created when `create` (else the
// folder may be missing: `folder` is then invalid).
Located locate(const fs::path& output_path, bool create) {
  if (output_path.empty()) fail("no export path given", output_path, std::make_error_code(std::errc::invalid_argument));
  fs::path path = fs::absolute(output_path);
  for (int links = 0;; ++links) {
    if (links > MAX_LINKS) {
      fail("too many symbolic links", output_path, std::make_error_code(std::errc::too_many_symbolic_link_levels));
    }
    Located at;
    at.name = path.filename().string();
    if (at.name.empty() || at.name == "." || at.name == "..") {
      fail("the export target is a directory, not a file", path, std::make_error_code(std::errc::is_a_directory));
    }
    at.folder_path = path.parent_path();
    at.folder = create ? make_folder(at.folder_path) : open_folder(at.folder_path);
    if (!at.folder.valid()) return at;
    if (::fstatat(at.folder.get(), at.name.c_str(), &at.entry, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT) fail("cannot look at the export target", path, last_error());
      return at;
    }
    at.exists = true;
    check_owner(at, path);
    if (S_ISDIR(at.entry.st_mode)) {
      fail("the export target is a directory, not a file", path, std::make_error_code(std::errc::is_a_directory));
    }
    if (!S_ISLNK(at.entry.st_mode)) return at;
    if (on_proc(at.folder.get())) {
      at.proc_link = true;
      return at;
    }
    const fs::path target = read_link(at.folder.get(), at.name, path);
    path = target.is_absolute() ? target : at.folder_path / target;
  }
}

// The absolute, resolved path of the name `at` stands for; for a link of
// /proc, the file it leads to, or, when that has no name ("pipe:[123]"),
// `given` made absolute.
fs::path resolved_path(const Located& at, const fs::path& given) {
  std::error_code error;
  fs::path folder = fs::read_symlink("/proc/self/fd/" + std::to_string(at.folder.get()), error);
  if (error || !folder.is_absolute()) folder = fs::weakly_canonical(at.folder_path);
  if (!at.proc_link) return folder / at.name;
  const fs::path target = fs::read_symlink(folder / at.name, error);
  return !error && target.is_absolute() ? target : fs::absolute(given);
}

void write_all(int fd, std::string_view content, const fs::path& path) {
  while (!content.empty()) {
    const ssize_t n = ::write(fd, content.data(), content.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      fail("cannot write the export", path, last_error());
    }
    content.remove_prefix(static_cast<std::size_t>(n));
  }
}

// Writes a device, FIFO, socket or /proc link as it is. A FIFO without a
// reader is tried again until one comes or `stop` is requested.
void write_in_place(const Located& at, const fs::path& path, std::string_view content, const std::stop_token& stop) {
  // A /proc link is followed by the kernel to the open file; anything else
  // is opened as the name that was checked.
  const int flags = O_WRONLY | O_NOCTTY | O_CLOEXEC | O_NONBLOCK | (at.proc_link ? O_APPEND : O_NOFOLLOW);
  UniqueFd fd;
  for (;;) {
    fd = UniqueFd(::openat(at.folder.get(), at.name.c_str(), flags));
    if (fd.valid()) break;
    if (errno == EINTR) continue;
    if (errno != ENXIO) fail("cannot open the export target", path, last_error());
    if (stop.stop_requested()) throw CancelledError("stopped while waiting for a reader of " + path.string());
    std::this_thread::sleep_for(FIFO_RETRY);
  }
  // Writes block again (the FIFO's reader sets the pace).
  const int status = ::fcntl(fd.get(), F_GETFL);
  if (status < 0 || ::fcntl(fd.get(), F_SETFL, status & ~O_NONBLOCK) != 0) {
    fail("cannot open the export target", path, last_error());
  }
  write_all(fd.get(), content, path);
  if (::close(fd.release()) != 0 && errno != EINTR) fail("cannot write the export", path, last_error());
}

// A uniquely named temporary file in the target's folder, removed unless
// renamed over the target.
class TemporaryFile {
 public:
  TemporaryFile(const Located& at, const fs::path& path) : folder_(at.folder.get()) {
    std::random_device seed;
    std::mt19937_64 rng(seed());
    for (int attempt = 0; attempt < 100; ++attempt) {
      name_ = "." + at.name + ".tmp-" + std::to_string(rng() % 1000000000ULL);
      fd_ = UniqueFd(::openat(folder_, name_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
      if (fd_.valid() || errno != EEXIST) break;
    }
    if (!fd_.valid()) fail("cannot create a temporary file beside the export", path, last_error());
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile() {
    fd_.reset();
    if (!committed_) ::unlinkat(folder_, name_.c_str(), 0);
  }

  [[nodiscard]] int fd() const noexcept { return fd_.get(); }

  // Makes the file complete on disk (with the mode of the file it replaces)
  // and renames it over `at`'s name.
  void commit(const Located& at, const fs::path& path) {
    if (at.exists) ::fchmod(fd_.get(), at.entry.st_mode & 07777);
    if (::fsync(fd_.get()) != 0 || ::close(fd_.release()) != 0) fail("cannot write the export", path, last_error());
    if (::renameat(folder_, name_.c_str(), folder_, at.name.c_str()) != 0) {
      fail("cannot replace the export target", path, last_error());
    }
    committed_ = true;
  }

 private:
  int folder_;
  std::string name_;
  UniqueFd fd_;
  bool committed_ = false;
};

}  // namespace

fs::path write_output_file(const fs::path& output_path, std::string_view content, std::stop_token stop) {
  const Located at = locate(output_path, true);
  const fs::path path = resolved_path(at, output_path);
  if (at.proc_link || (at.exists && is_special(at.entry.st_mode))) {
    write_in_place(at, path, content, stop);
    return path;
  }
  TemporaryFile temporary(at, path);
  write_all(temporary.fd(), content, path);
  temporary.commit(at, path);
  return path;
}

}  // namespace korvane::commerce::detail

namespace korvane::commerce {

std::filesystem::path check_output_path(const std::filesystem::path& output_path) {
  namespace fs = std::filesystem;
  const detail::Located at = detail::locate(output_path, false);
  if (at.folder.valid()) {
    const fs::path path = detail::resolved_path(at, output_path);
    if (at.proc_link || (at.exists && detail::is_special(at.entry.st_mode))) {
      // (A /proc link is followed by the kernel, to the open file.)
      const int flags = at.proc_link ? AT_EACCESS : AT_EACCESS | AT_SYMLINK_NOFOLLOW;
      if (::faccessat(at.folder.get(), at.name.c_str(), W_OK, flags) != 0) {
        throw fs::filesystem_error("the export target cannot be written", path, detail::last_error());
      }
    } else if (::faccessat(AT_FDCWD, path.parent_path().c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
      // (The temporary file and the rename need the folder.)
      throw fs::filesystem_error("the export folder is not writable", path.parent_path(), detail::last_error());
    }
    return path;
  }
  // The folder is missing: the nearest existing ancestor is where the
  // missing folders would be created.
  const fs::path absolute = fs::absolute(at.folder_path / at.name);
  for (fs::path folder = at.folder_path;; folder = folder.parent_path()) {
    struct stat st {};
    if (::stat(folder.c_str(), &st) == 0) {
      if (!S_ISDIR(st.st_mode)) {
        throw fs::filesystem_error("the export folder cannot be created: a file is in the way", folder,
                                   std::make_error_code(std::errc::not_a_directory));
      }
      if (::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
        throw fs::filesystem_error("the export folder is not writable", folder, detail::last_error());
      }
      return fs::weakly_canonical(absolute);
    }
    if (errno == ENOTDIR) {
      throw fs::filesystem_error("the export folder cannot be created: a file is in the way", folder,
                                 std::make_error_code(std::errc::not_a_directory));
    }
    if (errno != ENOENT || folder == folder.parent_path()) {
      throw fs::filesystem_error("cannot look at the export folder", folder, detail::last_error());
    }
  }
}

}  // namespace korvane::commerce
