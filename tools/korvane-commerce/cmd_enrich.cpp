// enrich and resolve: the main job and store resolution alone.
#include "cli.hpp"
#include "pipeline_run.hpp"
#include "progress.hpp"
#include "signals.hpp"

#include <korvane/core/fetch.hpp>

namespace korvane::cli {
namespace {

// The options of fetching at scale: the pace per host, retries, robots.txt
// and the page cache.
void add_fetch_manners(CLI::App& command, commerce::RunOptions& options) {
  core::FetcherOptions& fetcher = options.fetcher;
  command.add_option("--per-host", fetcher.max_per_host, "Requests in flight to one host at most")
      ->capture_default_str()
      ->check(whole_number_from(1));
  command.add_option("--host-delay", fetcher.host_delay, "Seconds between the requests to one host at least")
      ->capture_default_str()
      ->check(seconds_or_zero());
  command.add_flag("--adaptive", fetcher.adaptive,
                   "Widen each host's delay when it answers more slowly or with errors, narrow it when it recovers");
  command
      .add_option("--retries", fetcher.retries,
                  "Ask again after a connection reset, a timeout, 429, 502, 503 or 504, at most N times, with "
                  "exponential backoff or as Retry-After asks (up to 60 s); without the option never, with it "
                  "alone " + std::to_string(core::DEFAULT_RETRIES) + " times")
      ->expected(0, 1)
      ->default_str(std::to_string(core::DEFAULT_RETRIES))
      ->check(whole_number_from(0))
      ->type_name("[N]");
  command.add_flag("--respect-robots", fetcher.respect_robots,
                   "Ask each site's robots.txt first and leave out the pages it disallows");
  command.add_option("--cache", options.cache,
                     "Keep destination pages in this SQLite file (made when missing; processes may share it): fresh "
                     "pages are served without a request, stale ones revalidated")
      ->type_name("PATH");
  command.add_option("--cache-max-age", options.cache_max_age,
                     "Seconds a cached page that says nothing of its freshness stays fresh, and the longest any does")
      ->capture_default_str()
      ->check(seconds_or_zero());
}

}  // namespace

void add_enrich_commands(CLI::App& app, RunState& state) {
  auto* enrich = app.add_subcommand(
      "enrich", "Enrich a visual-search result: clean links, fetch and mine pages, resolve store links, export");
  auto settings = std::make_shared<EnrichSettings>();
  auto no_resolve = std::make_shared<bool>(false);
  auto extended = std::make_shared<bool>(false);
  enrich->add_option("RESULT", settings->input,
                     "Visual-search result: a JSON array of matches, or an object with \"visual_matches\" "
                     "(and optionally \"shopping_results\"); \"-\" reads standard input")
      ->required();
  enrich->add_option("--json", settings->outputs.json, "Write the result as JSON to this file (\"-\": standard output)");
  enrich->add_option("--csv", settings->outputs.csv, "Write the items as CSV to this file (\"-\": standard output)");
  enrich->add_option("--html", settings->outputs.html,
                     "Write a visual report (one self-contained HTML page) to this file");
  enrich->add_option("--offers", settings->offers_file,
                     "Shopping offers to fuse (a JSON array, or an object with \"shopping_results\")");
  enrich->add_option("--max-items", settings->options.max_items,
                     "Enrich only the first N matches (negative: all but the last N)");
  enrich->add_flag("--no-resolve", *no_resolve, "Keep store search links (no browser)");
  enrich->add_option("--pages", settings->options.pages,
                     "Serve destination pages from this folder (manifest.json) instead of the network")
      ->check(CLI::ExistingDirectory);
  enrich->add_flag("--allow-private", settings->options.allow_private_addresses,
                   "Allow pages on loopback and private addresses (local test servers)");
  enrich->add_option("--timeout", settings->options.fetch_timeout, "Seconds each destination page may take to fetch")
      ->capture_default_str()
      ->check(positive_seconds());
  add_fetch_manners(*enrich, settings->options);
  enrich->add_flag("--extended", *extended,
                   "Also read the sources past the standard rules (microdata, page state, analytics, visible "
                   "price, item labels, stock cues) to find more prices, SKUs and stock states; fuse offers "
                   "by product (one item per listing, offers classified by their domain)");
  enrich->add_flag("--quiet,-q", settings->quiet, "No progress or summary on standard error");
  enrich->add_flag("-v,--verbose", settings->verbose,
                   "Debug log of the fetcher and the resolver on standard error (every page's reason)");
  enrich->callback([&state, settings, no_resolve, extended] {
    settings->outputs.check_one_standard_output();
    const StopOnSignals stop;
    configure_logging(settings->verbose, settings->quiet);
    settings->options.resolve_stores = !*no_resolve;
    if (*extended) settings->options.extraction = commerce::ExtractionMode::extended;
    state.exit_code = run_enrich(*settings, stop);
  });

  auto* resolve = app.add_subcommand(
      "resolve",
      "Resolve the store search links of enriched items (an enrich --json result or a JSON array of items); "
      "writes them to standard output unless --json or --in-place says otherwise");
  auto resolve_settings = std::make_shared<ResolveSettings>();
  resolve->add_option("FILE", resolve_settings->input, "Enriched items")->required();
  auto* output = resolve->add_option("--json", resolve_settings->output, "Write the items to this file");
  resolve->add_flag("--in-place", resolve_settings->in_place, "Write the items back to FILE")->excludes(output);
  resolve->add_flag("--allow-private", resolve_settings->options.allow_private_addresses,
                    "Allow pages on loopback and private addresses");
  resolve->add_flag("--quiet,-q", resolve_settings->quiet, "No progress or summary on standard error");
  resolve->add_flag("-v,--verbose", resolve_settings->verbose, "Debug log of the resolver on standard error");
  resolve->callback([&state, resolve_settings] {
    const StopOnSignals stop;
    configure_logging(resolve_settings->verbose, resolve_settings->quiet);
    state.exit_code = run_resolve(*resolve_settings, stop);
  });
}

}  // namespace korvane::cli
