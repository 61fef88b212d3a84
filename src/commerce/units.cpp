#include "commerce/units.hpp"

namespace korvane::commerce::detail {
namespace {

// A unit that builds something when it starts does it in the initialiser of
// a function-local static: run once, by the first caller, while others wait;
// an initialiser that throws leaves it uninitialised, so the next call runs
// it again. The classifier, the unwrapper and the aggregator hold constant
// tables only: their starts build nothing.
void start_classifier() {}

void start_normalizer() {
  static const bool started = (build_price_pattern(), true);
  (void)started;
}

void start_unwrapper() {}

void start_metadata() {
  static const bool started = (start_classifier(), start_normalizer(), build_page_patterns(), true);
  (void)started;
}

void start_aggregator() {}

void start_enricher() {
  static const bool started = (start_classifier(), start_metadata(), start_normalizer(), start_unwrapper(), true);
  (void)started;
}

void start_resolver() {
  static const bool started = (start_enricher(), start_unwrapper(), build_resolver_logger(), true);
  (void)started;
}

}  // namespace

void start_unit(Unit unit) {
  switch (unit) {
    case Unit::aggregator: return start_aggregator();
    case Unit::classifier: return start_classifier();
    case Unit::enricher: return start_enricher();
    case Unit::metadata: return start_metadata();
    case Unit::normalizer: return start_normalizer();
    case Unit::resolver: return start_resolver();
    case Unit::unwrapper: return start_unwrapper();
  }
}

}  // namespace korvane::commerce::detail
