// Writing export files: the path rules, the write that never leaves a
// half-written file in place of a good one, and the direct write to devices,
// FIFOs and sockets, which must never be replaced by a regular file.
#pragma once

#include <filesystem>
#include <string_view>

namespace korvane::commerce::detail {

// Where an export goes.
struct OutputTarget {
  // Absolute; symbolic links and "." and ".." parts resolved (the file need
  // not exist). A special file whose resolved form cannot be opened again
  // (/dev/stdout on a pipe leads to "pipe:[...]") keeps the path as given,
  // made absolute.
  std::filesystem::path path;
  // A character or block device, FIFO or socket: written in place.
  bool special = false;
};

// The target of `output_path`. Throws std::filesystem::filesystem_error when
// it is a directory or the path is empty.
[[nodiscard]] OutputTarget inspect_output_path(const std::filesystem::path& output_path);

// Writes `content` to `target`: a special file directly (no directories
// created, nothing renamed), any other path through write_file_replacing()
// after creating its missing directories. Throws
// std::filesystem::filesystem_error when that fails.
void write_output(const OutputTarget& target, std::string_view content);

// inspect_output_path() and write_output() in one; returns the path written.
std::filesystem::path write_output_file(const std::filesystem::path& output_path, std::string_view content);

// Writes `content` to `target` through a temporary file in the same directory
// that is renamed over the target once complete (and removed on failure).
void write_file_replacing(const std::filesystem::path& target, std::string_view content);

}  // namespace korvane::commerce::detail
