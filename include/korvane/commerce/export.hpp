// The CSV and JSON exports of a result.
#pragma once

#include <korvane/models.hpp>

#include <filesystem>
#include <span>

namespace korvane::commerce {

// Writes `commerce` as a CSV table (UTF-8, a header and one record per item,
// 15 columns, CRLF after every record) and returns the absolute path written.
// Missing directories are created; an existing file is replaced only once the
// new one is complete, so a failure leaves it intact. A character or block
// device, FIFO or socket (also behind a symbolic link, like /dev/stdout) is
// written directly and stays what it is. Text cells that a spreadsheet would
// run as a formula (starting with "=", "+", "-", "@", tab or carriage
// return) are written with a leading "'". Throws
// std::filesystem::filesystem_error when the target is a directory or the
// directory or file cannot be written.
std::filesystem::path export_commerce_to_csv(const models::CommerceIntelligence& commerce,
                                             const std::filesystem::path& output_path);

// Writes `commerce` as one JSON document (indentation 2, absent fields left
// out at every level, no final line end) and returns the absolute path
// written. Directory creation, replacement, special files and failures as
// for the CSV export.
std::filesystem::path export_commerce_to_json(const models::CommerceIntelligence& commerce,
                                              const std::filesystem::path& output_path);

// Writes `items` alone as a JSON array (indentation 2, absent fields left
// out, no final line end) and returns the absolute path written; as the JSON
// export of a whole result otherwise.
std::filesystem::path export_items_to_json(std::span<const models::EnrichedCommerceMatch> items,
                                           const std::filesystem::path& output_path);

// Checks, before any work is done, that an export to `output_path` can be
// written: the target is not a directory, and its folder exists or can be
// created and is writable (a device, FIFO or socket must itself be
// writable). Creates nothing. Returns the absolute path the export would
// write; throws std::filesystem::filesystem_error saying what is wrong
// otherwise.
std::filesystem::path check_output_path(const std::filesystem::path& output_path);

}  // namespace korvane::commerce
