#include "pipeline_run.hpp"

#include "cli.hpp"
#include "progress.hpp"
#include "standard_output.hpp"

#include <korvane/commerce/export.hpp>
#include <korvane/commerce/input.hpp>
#include <korvane/errors.hpp>
#include <korvane/models/json.hpp>
#include <korvane/report.hpp>

#include <fmt/format.h>

#include <cstdio>
#include <map>
#include <unistd.h>

namespace korvane::cli {
namespace fs = std::filesystem;
using models::CommerceIntelligence;

namespace {

// What a file operation's failure says, without the standard library's
// decoration ("filesystem error: ...: ... [path]").
std::string reason_of(const std::exception& e) {
  std::string text = e.what();
  if (text.starts_with("filesystem error: ")) text.erase(0, 18);
  if (const auto bracket = text.rfind(" ["); bracket != std::string::npos && text.ends_with("]")) text.erase(bracket);
  return text;
}

// Every named output target, checked before any work is done (standard
// output is written as it is).
void check_outputs(const Outputs& outputs) {
  for (const auto* target : {&outputs.json, &outputs.csv, &outputs.html}) {
    if (!*target || names_standard_output(**target)) continue;
    try {
      (void)commerce::check_output_path(**target);
    } catch (const fs::filesystem_error& e) {
      throw std::runtime_error(std::string(**target) + ": " + reason_of(e));
    }
  }
}

// Writes each named output; a failing one is reported and the others are
// still written. Returns the paths written and whether all succeeded. A
// stop requested while a FIFO waits for its reader ends the writing with
// korvane::CancelledError.
bool write_outputs(const commerce::RunResult& run, const Outputs& outputs, std::vector<fs::path>& written,
                   const std::stop_token& stop) {
  const CommerceIntelligence& result = run.result;
  const report::ReportOptions report_options{.resolved_links = run.report.stores.items_resolved};
  bool all = true;
  const auto attempt = [&](const std::optional<fs::path>& target, auto&& text, auto&& export_file) {
    if (!target) return;
    try {
      // Standard output is written in place; a file with the export's rules.
      if (names_standard_output(*target)) {
        write_standard_output(text());
      } else {
        written.push_back(export_file(*target));
      }
    } catch (const CancelledError&) {
      throw;
    } catch (const std::exception& e) {
      if (names_standard_output(*target)) {
        std::fprintf(stderr, "korvane-commerce: %s\n", e.what());
      } else {
        std::fprintf(stderr, "korvane-commerce: cannot write %s: %s\n", target->c_str(), reason_of(e).c_str());
      }
      all = false;
    }
  };
  attempt(
      outputs.json, [&] { return commerce::commerce_to_json(result); },
      [&](const fs::path& p) { return commerce::export_commerce_to_json(result, p, stop); });
  attempt(
      outputs.csv, [&] { return commerce::commerce_to_csv(result); },
      [&](const fs::path& p) { return commerce::export_commerce_to_csv(result, p, stop); });
  attempt(
      outputs.html, [&] { return report::commerce_to_html(result, report_options); },
      [&](const fs::path& p) { return report::export_commerce_to_html(result, p, report_options, stop); });
  if (!outputs.json && !outputs.csv && !outputs.html && outputs.json_to_stdout) {
    try {
      write_standard_output(commerce::commerce_to_json(result) + '\n');
    } catch (const std::exception& e) {
      std::fprintf(stderr, "korvane-commerce: %s\n", e.what());
      all = false;
    }
  }
  return all;
}

// "3 (2 timeout, 1 http_status)": the pages missed by reason.
std::string misses_by_reason(const std::vector<commerce::PageMiss>& missed) {
  std::map<std::string_view, std::size_t> by_reason;
  for (const auto& miss : missed) ++by_reason[core::to_string(miss.reason)];
  std::string text = std::to_string(missed.size()) + " (";
  bool first = true;
  for (const auto& [reason, count] : by_reason) {
    text += fmt::format("{}{} {}", first ? "" : ", ", count, reason);
    first = false;
  }
  return text + ")";
}

bool all_refused_for_private_addresses(const commerce::RunReport& report) {
  if (report.pages_fetched > 0 || report.pages_missed.empty()) return false;
  for (const auto& miss : report.pages_missed) {
    if (miss.reason != core::FetchFailure::refused_address) return false;
  }
  return true;
}

bool names_did_not_resolve(const commerce::ResolveReport& stores) {
  std::size_t failed = 0, unresolved_names = 0;
  for (const auto& attempt : stores.stores) {
    const bool unresolved = attempt.outcome == commerce::StoreOutcome::host_not_found;
    if (attempt.outcome != commerce::StoreOutcome::failed && !unresolved) continue;
    ++failed;
    if (unresolved) ++unresolved_names;
  }
  return failed > 0 && unresolved_names == failed;
}

void print_stores(const commerce::ResolveReport& stores) {
  if (stores.candidates == 0) return;
  std::fprintf(stderr, "store links resolved: %zu of %zu (%zu search pages)\n", stores.items_resolved,
               stores.candidates, stores.stores.size());
  if (stores.items_resolved > 0) return;
  if (!stores.stores.empty() && stores.stores.front().outcome == commerce::StoreOutcome::browser_unavailable) {
    std::fprintf(stderr, "the browser could not be opened: %s\n", stores.stores.front().detail.c_str());
  } else if (names_did_not_resolve(stores)) {
    std::fprintf(stderr, "store pages could not be opened: their host names did not resolve (no network?)\n");
  }
}

void print_summary(const commerce::RunResult& run, const commerce::RunOptions& options, bool verbose,
                   const std::vector<fs::path>& written, double seconds) {
  const auto& s = run.result.summary;
  std::string text = fmt::format("{} items, {} priced", run.result.items.size(), s.total_priced_matches);
  if (s.min_price && s.max_price) {
    text += fmt::format(", {:.2f}–{:.2f} {} (median {:.2f})", *s.min_price, *s.max_price, s.currency,
                        s.median_price.value_or(0.0));
  }
  std::fprintf(stderr, "%s\n", text.c_str());
  if (!s.merchant_categories.empty()) {
    std::string merchants = "merchants:";
    for (const auto& [category, count] : s.merchant_categories) {
      merchants += fmt::format(" {} {}", count, models::to_string(category));
    }
    std::fprintf(stderr, "%s\n", merchants.c_str());
  }
  const auto& report = run.report;
  if (const std::string counts = fetch_counts_text(report.fetch_counts); !counts.empty()) {
    std::fprintf(stderr, "pages: %s\n", counts.c_str());
  }
  if (!report.cache_problem.empty()) std::fprintf(stderr, "page cache: %s\n", report.cache_problem.c_str());
  if (!report.pages_missed.empty()) {
    std::fprintf(stderr, "pages not fetched: %s%s\n", misses_by_reason(report.pages_missed).c_str(),
                 verbose ? "" : "; -v shows each page's reason");
    if (all_refused_for_private_addresses(report) && !options.allow_private_addresses) {
      std::fprintf(stderr,
                   "every page is on a loopback or private address; --allow-private allows them (local servers)\n");
    }
  }
  print_stores(report.stores);
  for (const auto& path : written) std::fprintf(stderr, "wrote %s\n", path.c_str());
  std::fprintf(stderr, "done in %.1f s\n", seconds);
}

}  // namespace

void Outputs::check_one_standard_output() const {
  int to_standard_output = 0;
  for (const auto* target : {&json, &csv, &html}) to_standard_output += *target && names_standard_output(**target);
  if (to_standard_output > 1) {
    throw CLI::ValidationError("--json/--csv/--html", "at most one output may go to standard output");
  }
}

int run_enrich(const EnrichSettings& settings, const StopOnSignals& stop) {
  // Read everything and check every output first: a malformed file or an
  // unwritable target stops the run before any work.
  commerce::EnrichRequest request =
      commerce::read_search_result(read_input_file(settings.input), settings.input.string());
  if (!settings.fuse_offers) request.offers.reset();
  if (settings.offers_file) {
    auto more = commerce::read_shopping_offers(read_input_file(*settings.offers_file), settings.offers_file->string());
    if (!request.offers) request.offers.emplace();
    request.offers->insert(request.offers->end(), std::make_move_iterator(more.begin()),
                           std::make_move_iterator(more.end()));
  }
  check_outputs(settings.outputs);

  ProgressDisplay progress(settings.quiet);
  commerce::RunResult run;
  try {
    run = commerce::enrich(std::move(request), settings.options, progress.callbacks(), stop.token());
  } catch (const CancelledError&) {
    progress.finish();
    std::fprintf(stderr, "korvane-commerce: stopped; nothing was written\n");
    return stop.exit_status();
  }
  progress.finish();
  std::vector<fs::path> written;
  bool all_written = false;
  try {
    all_written = write_outputs(run, settings.outputs, written, stop.token());
  } catch (const CancelledError& e) {
    std::fprintf(stderr, "korvane-commerce: %s\n", e.what());
    return stop.exit_status();
  }
  if (!settings.quiet) print_summary(run, settings.options, settings.verbose, written, progress.elapsed_seconds());
  return all_written ? EXIT_OK : EXIT_FAILED;
}

int run_resolve(const ResolveSettings& settings, const StopOnSignals& stop) {
  commerce::EnrichedItems input =
      commerce::read_enriched_items(read_input_file(settings.input), settings.input.string());
  const std::optional<fs::path> target =
      settings.in_place ? std::optional<fs::path>(settings.input) : settings.output;
  if (target) {
    Outputs outputs;
    outputs.json = target;
    check_outputs(outputs);
  }

  ProgressDisplay progress(settings.quiet);
  commerce::ResolveResult resolved;
  try {
    resolved = commerce::resolve_store_links(std::move(input.result.items), settings.options, progress.callbacks(),
                                             stop.token());
  } catch (const CancelledError&) {
    progress.finish();
    std::fprintf(stderr, "korvane-commerce: stopped; nothing was written\n");
    return stop.exit_status();
  }
  progress.finish();
  input.result.items = std::move(resolved.items);

  std::optional<fs::path> written;
  try {
    if (!target || names_standard_output(*target)) {
      const std::string text =
          input.whole_result ? commerce::commerce_to_json(input.result) : commerce::items_to_json(input.result.items);
      write_standard_output(target ? text : text + '\n');
    } else if (input.whole_result) {
      written = commerce::export_commerce_to_json(input.result, *target, stop.token());
    } else {
      written = commerce::export_items_to_json(input.result.items, *target, stop.token());
    }
  } catch (const CancelledError& e) {
    std::fprintf(stderr, "korvane-commerce: %s\n", e.what());
    return stop.exit_status();
  }
  if (!settings.quiet) {
    print_stores(resolved.report);
    if (resolved.report.candidates == 0) std::fprintf(stderr, "no store search links among the items\n");
    if (written) std::fprintf(stderr, "wrote %s\n", written->c_str());
  }
  return EXIT_OK;
}

}  // namespace korvane::cli
