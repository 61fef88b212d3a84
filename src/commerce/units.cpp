#include "commerce/units.hpp"

#include <mutex>

namespace korvane::commerce::detail {
namespace {

// The record of started units: what a host's table of loaded modules would
// hold. Written once per unit, read by diagnostics.
struct StartLog {
  std::mutex mutex;
  std::vector<Unit> order;
};

StartLog& start_log() {
  static StartLog log;
  return log;
}

bool record(Unit unit) {
  auto& log = start_log();
  const std::lock_guard lock(log.mutex);
  log.order.push_back(unit);
  return true;
}

// Each start is a function-local static: initialised once, by the first
// caller, while others wait; an initialiser that throws leaves it
// uninitialised, so the next call runs it again.
void start_classifier() {
  static const bool started = record(Unit::classifier);
  (void)started;
}

void start_normalizer() {
  static const bool started = (build_price_pattern(), record(Unit::normalizer));
  (void)started;
}

void start_unwrapper() {
  static const bool started = record(Unit::unwrapper);
  (void)started;
}

void start_metadata() {
  static const bool started = (start_classifier(), start_normalizer(), build_page_patterns(),
                               record(Unit::metadata));
  (void)started;
}

void start_aggregator() {
  static const bool started = record(Unit::aggregator);
  (void)started;
}

void start_enricher() {
  static const bool started = (start_classifier(), start_metadata(), start_normalizer(), start_unwrapper(),
                               record(Unit::enricher));
  (void)started;
}

void start_resolver() {
  static const bool started = (start_enricher(), start_unwrapper(), build_resolver_logger(),
                               record(Unit::resolver));
  (void)started;
}

}  // namespace

std::string_view to_string(Unit unit) noexcept {
  switch (unit) {
    case Unit::aggregator: return "aggregator";
    case Unit::classifier: return "classifier";
    case Unit::enricher: return "enricher";
    case Unit::metadata: return "metadata";
    case Unit::normalizer: return "normalizer";
    case Unit::resolver: return "resolver";
    case Unit::unwrapper: return "unwrapper";
  }
  return {};
}

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

std::vector<Unit> started_units() {
  auto& log = start_log();
  const std::lock_guard lock(log.mutex);
  return log.order;
}

}  // namespace korvane::commerce::detail
