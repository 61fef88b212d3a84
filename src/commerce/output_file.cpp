#include "commerce/output_file.hpp"

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

}  // namespace

fs::path resolve_output_path(const fs::path& output_path) {
  return fs::weakly_canonical(fs::absolute(output_path));
}

void write_file_replacing(const fs::path& target, std::string_view content) {
  TemporaryFile tmp(target);
  tmp.write(content);
  tmp.commit(target);
}

}  // namespace korvane::commerce::detail
