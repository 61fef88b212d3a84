// The pipeline's coroutines behind CommerceEnricher and enrich(): deep
// enrichment with its report, and the whole run.
#pragma once

#include <korvane/commerce/async.hpp>
#include <korvane/commerce/run.hpp>
#include <korvane/core/fetcher.hpp>
#include <korvane/models.hpp>

#include <cstddef>
#include <functional>
#include <optional>
#include <vector>

namespace korvane::commerce::detail {

class ParsedPageCache;

// Told the counts of each phase (may be empty).
using CountObserver = std::function<void(const RunProgress&)>;

// The browser sessions a run opens: the options' factory, else Chromium with
// the options' browser settings (and private addresses when the run allows
// them).
[[nodiscard]] browser::SessionFactory session_factory_of(const RunOptions& options);

// The fetcher a run uses: the options' transport, else its page folder, else
// the network; private addresses when the run allows them.
[[nodiscard]] core::ConcurrentFetcher fetcher_of(const RunOptions& options);

// How many of `size` matches a slice [:max_items] keeps (all when absent;
// beyond the length: all; negative: all but that many at the end).
[[nodiscard]] std::size_t slice_length(std::size_t size, std::optional<long long> max_items) noexcept;

// Deep enrichment of the first `max_items` matches with `options`, filling
// the fetch and parse parts of `report`. Each distinct page is parsed once;
// with `pages`, pages parsed by earlier runs are taken from there (and the
// run's pages kept there). `options`, `report` and `pages` must outlive the
// awaited call.
[[nodiscard]] awaitable<std::vector<models::EnrichedCommerceMatch>> enrich_deep(
    std::vector<models::VisualMatch> matches, std::optional<long long> max_items, ProgressCallback on_progress,
    const RunOptions& options, RunReport& report, const CountObserver& on_counts, ParsedPageCache* pages);

// The whole run: deep enrichment, store resolution, labels and summary, and
// the fusion with the request's offers when there are any. `pages` as for
// enrich_deep (may be null).
[[nodiscard]] awaitable<RunResult> run_pipeline(EnrichRequest request, RunOptions options,
                                                ProgressCallback on_message, CountObserver on_counts,
                                                ParsedPageCache* pages);

}  // namespace korvane::commerce::detail
