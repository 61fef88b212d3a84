// The command's standard output: written in place through descriptor 1
// (never replaced, whatever it is: a terminal, a pipe, a file opened for
// appending), every write checked.
#pragma once

#include <filesystem>
#include <string_view>

namespace korvane::cli {

// Whether an output path names standard output: "-", or /dev/stdout,
// /dev/fd/1 and /proc/self/fd/1, which lead to the same open file.
[[nodiscard]] bool names_standard_output(const std::filesystem::path& path);

// Writes `text` to descriptor 1 (after what stdio holds). Throws
// std::runtime_error "cannot write to standard output: <reason>" when a
// write fails.
void write_standard_output(std::string_view text);

// Flushes what stdio and iostreams hold for standard output; returns
// `status`, or, when anything written to standard output was lost, says so
// on standard error and returns EXIT_FAILED.
[[nodiscard]] int finish_standard_output(int status);

}  // namespace korvane::cli
