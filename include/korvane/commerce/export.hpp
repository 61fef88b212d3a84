// The CSV and JSON exports of a result, as files or as texts.
#pragma once

#include <korvane/models.hpp>

#include <filesystem>
#include <span>
#include <stop_token>
#include <string>

namespace korvane::commerce {

// Writes `commerce` as a CSV table (UTF-8, a header and one record per item,
// 15 columns, CRLF after every record) and returns the absolute path written.
// Missing directories are created; an existing file is replaced only once the
// new one is complete, so a failure leaves it intact. A character or block
// device, FIFO or socket (also behind a symbolic link, like /dev/null) is
// written directly and stays what it is; opening a FIFO waits for its reader
// until `stop` is requested (korvane::CancelledError). A link of /proc to a
// file the process has open (/dev/stdout, /dev/fd/N) is written in place,
// appending. In a sticky folder such as /tmp, a symbolic link or file of
// another user is refused. Text cells that a spreadsheet would run as a
// formula (starting with "=", "+", "-", "@", tab or carriage return) are
// written with a leading "'". Throws std::filesystem::filesystem_error when
// the target is a directory or refused, or the directory or file cannot be
// written.
std::filesystem::path export_commerce_to_csv(const models::CommerceIntelligence& commerce,
                                             const std::filesystem::path& output_path, std::stop_token stop = {});

// Writes `commerce` as one JSON document (indentation 2, absent fields left
// out at every level, no final line end) and returns the absolute path
// written. Directory creation, replacement, special files, refusals and
// failures as for the CSV export.
std::filesystem::path export_commerce_to_json(const models::CommerceIntelligence& commerce,
                                              const std::filesystem::path& output_path, std::stop_token stop = {});

// Writes `items` alone as a JSON array (indentation 2, absent fields left
// out, no final line end) and returns the absolute path written; as the JSON
// export of a whole result otherwise.
std::filesystem::path export_items_to_json(std::span<const models::EnrichedCommerceMatch> items,
                                           const std::filesystem::path& output_path, std::stop_token stop = {});

// The texts the exports write: the CSV table, the JSON document, the JSON
// array of items.
[[nodiscard]] std::string commerce_to_csv(const models::CommerceIntelligence& commerce);
[[nodiscard]] std::string commerce_to_json(const models::CommerceIntelligence& commerce);
[[nodiscard]] std::string items_to_json(std::span<const models::EnrichedCommerceMatch> items);

// Checks, before any work is done, that an export to `output_path` can be
// written: the target is not a directory nor refused (see above), and its
// folder exists or can be created and is writable (a device, FIFO or socket
// must itself be writable). Creates nothing. Returns the absolute path the
// export would write; throws std::filesystem::filesystem_error saying what
// is wrong otherwise.
std::filesystem::path check_output_path(const std::filesystem::path& output_path);

}  // namespace korvane::commerce
