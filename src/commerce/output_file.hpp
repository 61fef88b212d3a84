// Writing export files: the path rules, the write that never leaves a
// half-written file in place of a good one, and the direct write to devices,
// FIFOs and sockets, which must never be replaced by a regular file.
//
// A path is followed one folder at a time: its folder is opened by the
// kernel (which applies its own rules to the links on the way) and the last
// name is looked at inside that open folder, never resolved to a text and
// opened again. So in a sticky folder (/tmp) the export refuses a symbolic
// link or a file of another user (as the kernel's protected_symlinks and
// protected_regular do, also where they are off and for root), and the
// rename that replaces a file replaces the name in the folder that was
// checked.
#pragma once

#include <filesystem>
#include <stop_token>
#include <string_view>

namespace korvane::commerce::detail {

// Writes `content` to `output_path` and returns the absolute path written
// (symbolic links and "." and ".." parts resolved). A regular file or a new
// name: missing folders are created, the content goes to a temporary file
// beside it that is renamed over the name once complete (and removed on
// failure). A character or block device, FIFO or socket: written in place,
// nothing created or renamed; opening a FIFO waits for its reader until
// `stop` is requested (korvane::CancelledError). A link of /proc (such as
// /dev/stdout, /dev/fd/N) is written in place too, appending, so that a file
// the process has open is never replaced. Throws
// std::filesystem::filesystem_error when the target is a directory, a
// symbolic link or file of another user in a sticky folder, or the folder or
// file cannot be written.
std::filesystem::path write_output_file(const std::filesystem::path& output_path, std::string_view content,
                                        std::stop_token stop = {});

}  // namespace korvane::commerce::detail
