#include "commerce/output_file.hpp"

#include <korvane/commerce/export.hpp>

#include <cerrno>
#include <fcntl.h>
#include <random>
#include <string>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace korvane::commerce::detail {
namespace fs = std::filesystem;

namespace {

// A uniquely named temporary file beside the target, removed unless released.
class TemporaryFile {
 public:
  explicit TemporaryFile(const fs::path& target) {
    std::random_device seed;
    std::mt19937_64 rng(seed());
    for (int attempt = 0; attempt < 100; ++attempt) {
      path_ = target;
      std::string name = target.filename().string();
      name.insert(name.begin(), '.');
      name.append(".tmp-").append(std::to_string(rng() % 1000000000ULL));
      path_.replace_filename(name);
      fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (fd_ >= 0 || errno != EEXIST) break;
    }
    if (fd_ < 0) {
      throw fs::filesystem_error("cannot create a temporary file beside the export", path_,
                                 std::error_code(errno, std::generic_category()));
    }
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!committed_) ::unlink(path_.c_str());
  }

  void write(std::string_view content) {
    while (!content.empty()) {
      const ssize_t n = ::write(fd_, content.data(), content.size());
      if (n < 0) {
        if (errno == EINTR) continue;
        throw fs::filesystem_error("cannot write the export", path_, std::error_code(errno, std::generic_category()));
      }
      content.remove_prefix(static_cast<std::size_t>(n));
    }
  }

  // Makes the file complete on disk and moves it over `target`.
  void commit(const fs::path& target) {
    struct stat existing {};
    if (::stat(target.c_str(), &existing) == 0) ::fchmod(fd_, existing.st_mode & 07777);
    if (::fsync(fd_) != 0 || ::close(fd_) != 0) {
      fd_ = -1;
      throw fs::filesystem_error("cannot write the export", path_, std::error_code(errno, std::generic_category()));
    }
    fd_ = -1;
    fs::rename(path_, target);
    committed_ = true;
  }

 private:
  fs::path path_;
  int fd_ = -1;
  bool committed_ = false;
};

std::error_code last_error() { return {errno, std::generic_category()}; }

bool is_special(const struct stat& st) noexcept {
  return S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) || S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode);
}

// Writes `content` to the special file `path` as it is: opened for writing
// (a FIFO waits for its reader), written in full, closed.
void write_in_place(const fs::path& path, std::string_view content) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) throw fs::filesystem_error("cannot open the export target", path, last_error());
  while (!content.empty()) {
    const ssize_t n = ::write(fd, content.data(), content.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      const std::error_code error = last_error();
      ::close(fd);
      throw fs::filesystem_error("cannot write the export", path, error);
    }
    content.remove_prefix(static_cast<std::size_t>(n));
  }
  if (::close(fd) != 0 && errno != EINTR) throw fs::filesystem_error("cannot write the export", path, last_error());
}

}  // namespace

OutputTarget inspect_output_path(const fs::path& output_path) {
  if (output_path.empty()) {
    throw fs::filesystem_error("no export path given", output_path, std::make_error_code(std::errc::invalid_argument));
  }
  const fs::path absolute = fs::absolute(output_path);
  struct stat st {};
  if (::stat(absolute.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) {
      throw fs::filesystem_error("the export target is a directory, not a file", absolute,
                                 std::make_error_code(std::errc::is_a_directory));
    }
    if (is_special(st)) {
      // The resolved form only when it names the same file.
      std::error_code ec;
      const fs::path canonical = fs::canonical(absolute, ec);
      struct stat resolved {};
      const bool same = !ec && ::stat(canonical.c_str(), &resolved) == 0 && resolved.st_dev == st.st_dev &&
                        resolved.st_ino == st.st_ino;
      return {same ? canonical : absolute, true};
    }
  }
  return {fs::weakly_canonical(absolute), false};
}

void write_output(const OutputTarget& target, std::string_view content) {
  if (target.special) {
    write_in_place(target.path, content);
    return;
  }
  fs::create_directories(target.path.parent_path());
  write_file_replacing(target.path, content);
}

fs::path write_output_file(const fs::path& output_path, std::string_view content) {
  const OutputTarget target = inspect_output_path(output_path);
  write_output(target, content);
  return target.path;
}

void write_file_replacing(const fs::path& target, std::string_view content) {
  TemporaryFile tmp(target);
  tmp.write(content);
  tmp.commit(target);
}

}  // namespace korvane::commerce::detail

namespace korvane::commerce {

std::filesystem::path check_output_path(const std::filesystem::path& output_path) {
  namespace fs = std::filesystem;
  const detail::OutputTarget target = detail::inspect_output_path(output_path);
  if (target.special) {
    if (::faccessat(AT_FDCWD, target.path.c_str(), W_OK, AT_EACCESS) != 0) {
      throw fs::filesystem_error("the export target cannot be written", target.path, detail::last_error());
    }
    return target.path;
  }
  // The temporary file and the rename need the folder, or the nearest
  // existing ancestor that the missing folders would be created in.
  for (fs::path folder = target.path.parent_path();; folder = folder.parent_path()) {
    struct stat st {};
    if (::stat(folder.c_str(), &st) == 0) {
      if (!S_ISDIR(st.st_mode)) {
        throw fs::filesystem_error("the export folder cannot be created: a file is in the way", folder,
                                   std::make_error_code(std::errc::not_a_directory));
      }
      if (::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
        throw fs::filesystem_error("the export folder is not writable", folder, detail::last_error());
      }
      return target.path;
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
