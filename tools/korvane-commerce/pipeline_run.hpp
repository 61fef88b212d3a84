// The main job of the command line: enrich a visual-search result, fuse
// shopping offers, export, summarise. Shared by `enrich` and `demo`.
#pragma once

#include <korvane/browser/session.hpp>
#include <korvane/core/fetcher.hpp>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace korvane::cli {

struct EnrichSettings {
  std::filesystem::path input;                      // the visual-search result
  std::optional<std::filesystem::path> offers_file;  // more shopping offers
  std::optional<std::filesystem::path> json_out;
  std::optional<std::filesystem::path> csv_out;
  std::optional<std::filesystem::path> html_out;     // the visual report
  std::optional<std::filesystem::path> pages_dir;    // saved pages instead of the network
  std::optional<long long> max_items;
  bool resolve = true;
  bool fuse_offers = true;   // fuse the input's shopping offers into the output
  bool allow_private = false;
  bool quiet = false;
  bool json_to_stdout = true;  // when no output file is named
  core::FetcherOptions fetcher;      // base fetcher settings (connect_to, CA, ...)
  browser::SessionOptions browser;   // base browser settings (extra arguments, ...)
};

// Runs the pipeline and writes the outputs; returns the exit status. Throws
// InputError for a malformed input file (before anything is written).
int run_enrich(const EnrichSettings& settings);

// Runs store resolution alone on enriched items read from `input` and writes
// them to `output` (default: back to `input`).
int run_resolve(const std::filesystem::path& input, const std::optional<std::filesystem::path>& output,
                bool allow_private, bool quiet);

}  // namespace korvane::cli
