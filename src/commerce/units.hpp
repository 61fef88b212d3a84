// The package's units and their start on first use.
//
// Each unit (aggregator, classifier, enricher, metadata, normalizer,
// resolver, unwrapper) starts the first time one of its operations is used:
// it first starts the units it needs, then builds what it holds (compiled
// patterns, loggers). A start that fails leaves its unit unstarted and throws
// to the caller; the next use tries again. The enricher reaches the resolver
// only when a run needs it, so the resolver (which needs the enricher) is
// never started by the enricher's start.
#pragma once

#include <string_view>
#include <vector>

namespace korvane::commerce::detail {

enum class Unit { aggregator, classifier, enricher, metadata, normalizer, resolver, unwrapper };

[[nodiscard]] std::string_view to_string(Unit unit) noexcept;

// Starts `unit` unless it runs already. Thread-safe.
void start_unit(Unit unit);

// The units started so far, in the order their starts completed.
[[nodiscard]] std::vector<Unit> started_units();

// What the units build when they start (defined beside the code that uses it).
void build_price_pattern();     // normalizer
void build_page_patterns();     // metadata
void build_resolver_logger();   // resolver

}  // namespace korvane::commerce::detail
