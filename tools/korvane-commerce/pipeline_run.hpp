// The main job of the command line: enrich a visual-search result (fusing
// its shopping offers), export, summarise; and store resolution alone.
// Shared by `enrich`, `demo` and `resolve`.
#pragma once

#include "signals.hpp"

#include <korvane/commerce/run.hpp>

#include <filesystem>
#include <optional>
#include <vector>

namespace korvane::cli {

// Where a run's result goes. "-" (or /dev/stdout) means standard output.
struct Outputs {
  std::optional<std::filesystem::path> json;
  std::optional<std::filesystem::path> csv;
  std::optional<std::filesystem::path> html;  // the visual report
  bool json_to_stdout = true;  // when no output is named

  // Throws CLI::ValidationError (a usage error) when more than one of them
  // names standard output.
  void check_one_standard_output() const;
};

struct EnrichSettings {
  std::filesystem::path input;                       // the visual-search result
  std::optional<std::filesystem::path> offers_file;  // more shopping offers
  bool fuse_offers = true;                           // fuse the input's shopping offers
  Outputs outputs;
  commerce::RunOptions options;
  bool quiet = false;
  bool verbose = false;
};

// Runs the pipeline and writes the outputs; returns the exit status. Reads
// the input and checks every output target before any work; stops cleanly
// when `stop` sees SIGINT or SIGTERM.
int run_enrich(const EnrichSettings& settings, const StopOnSignals& stop);

struct ResolveSettings {
  std::filesystem::path input;  // enriched items: an enrich --json result or a JSON array
  std::optional<std::filesystem::path> output;  // else standard output
  bool in_place = false;                        // write back to `input`
  commerce::RunOptions options;
  bool quiet = false;
  bool verbose = false;
};

// Runs store resolution alone on enriched items and writes them in the form
// they were read (a whole result or an array); returns the exit status.
int run_resolve(const ResolveSettings& settings, const StopOnSignals& stop);

}  // namespace korvane::cli
