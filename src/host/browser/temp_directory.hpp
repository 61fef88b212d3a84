// The session's temporary folder (profile, logs, sockets): made private,
// marked with its owner, removed with everything in it, and the folders of
// processes that were killed before they could remove theirs cleared away.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

namespace korvane::browser::detail {

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

}  // namespace korvane::browser::detail
