// enrich and resolve: the main job and store resolution alone.
#include "cli.hpp"
#include "pipeline_run.hpp"
#include "progress.hpp"

namespace korvane::cli {

void add_enrich_commands(CLI::App& app, RunState& state) {
  auto* enrich = app.add_subcommand(
      "enrich", "Enrich a visual-search result: clean links, fetch and mine pages, resolve store links, export");
  auto settings = std::make_shared<EnrichSettings>();
  auto verbose = std::make_shared<bool>(false);
  auto no_resolve = std::make_shared<bool>(false);
  enrich->add_option("RESULT", settings->input,
                     "Visual-search result: a JSON array of matches, or an object with \"visual_matches\" "
                     "(and optionally \"shopping_results\")")
      ->required();
  enrich->add_option("--json", settings->json_out, "Write the result as JSON to this file");
  enrich->add_option("--csv", settings->csv_out, "Write the items as CSV to this file");
  enrich->add_option("--html", settings->html_out,
                     "Write a visual report (one self-contained HTML page) to this file");
  enrich->add_option("--offers", settings->offers_file,
                     "Shopping offers to fuse (a JSON array, or an object with \"shopping_results\")");
  enrich->add_option("--max-items", settings->max_items, "Enrich only the first N matches (negative: all but N)");
  enrich->add_flag("--no-resolve", *no_resolve, "Keep store search links (no browser)");
  enrich->add_option("--pages", settings->pages_dir,
                     "Serve destination pages from this folder (manifest.json) instead of the network")
      ->check(CLI::ExistingDirectory);
  enrich->add_flag("--allow-private", settings->allow_private,
                   "Allow pages on loopback and private addresses (local test servers)");
  enrich->add_flag("--quiet,-q", settings->quiet, "No progress or summary on standard error");
  enrich->add_flag("-v,--verbose", *verbose, "Debug log of the fetcher and the resolver on standard error");
  enrich->callback([&state, settings, verbose, no_resolve] {
    configure_logging(*verbose, settings->quiet);
    settings->resolve = !*no_resolve;
    state.exit_code = run_enrich(*settings);
  });

  auto* resolve = app.add_subcommand(
      "resolve", "Resolve store search links of enriched items (an enrich --json result or a JSON array of items)");
  auto file = std::make_shared<std::filesystem::path>();
  auto output = std::make_shared<std::optional<std::filesystem::path>>();
  auto allow_private = std::make_shared<bool>(false);
  auto quiet = std::make_shared<bool>(false);
  auto resolve_verbose = std::make_shared<bool>(false);
  resolve->add_option("FILE", *file, "Enriched items")->required()->check(CLI::ExistingFile);
  resolve->add_option("--json", *output, "Write here instead of back to FILE");
  resolve->add_flag("--allow-private", *allow_private, "Allow pages on loopback and private addresses");
  resolve->add_flag("--quiet,-q", *quiet, "No progress or summary on standard error");
  resolve->add_flag("-v,--verbose", *resolve_verbose, "Debug log of the resolver on standard error");
  resolve->callback([&state, file, output, allow_private, quiet, resolve_verbose] {
    configure_logging(*resolve_verbose, *quiet);
    state.exit_code = run_resolve(*file, *output, *allow_private, *quiet);
  });
}

}  // namespace korvane::cli
