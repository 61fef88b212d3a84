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

namespace korvane::commerce::detail {

enum class Unit { aggregator, classifier, enricher, metadata, normalizer, resolver, unwrapper };

// Starts `unit` unless it runs already. Thread-safe.
void start_unit(Unit unit);

// What the units build when they start (defined beside the code that uses it).
void build_price_pattern();     // normalizer
void build_page_patterns();     // metadata
void build_resolver_logger();   // resolver

}  // namespace korvane::commerce::detail
