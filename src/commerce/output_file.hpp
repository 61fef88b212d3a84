// Writing export files: the path rules and the write that never leaves a
// half-written file in place of a good one.
#pragma once

#include <filesystem>
#include <string_view>

namespace korvane::commerce::detail {

// `output_path` made absolute against the working directory, with symbolic
// links and "." and ".." parts resolved (the file need not exist).
[[nodiscard]] std::filesystem::path resolve_output_path(const std::filesystem::path& output_path);

// Writes `content` to `target` through a temporary file in the same directory
// that is renamed over the target once complete (and removed on failure).
void write_file_replacing(const std::filesystem::path& target, std::string_view content);

}  // namespace korvane::commerce::detail
