// The JSON readers on any text: each either reads it or throws one of the
// library's errors, and what it read comes back the same when written as
// JSON and read again.
#include <korvane/commerce/input.hpp>
#include <korvane/errors.hpp>
#include <korvane/models/json.hpp>

#include "fuzz_check.hpp"

#include <boost/json.hpp>

#include <optional>
#include <string>
#include <vector>

namespace {

namespace commerce = korvane::commerce;
namespace models = korvane::models;
using korvane::fuzz::require;

template <class Record>
std::string json_array(const std::vector<Record>& records) {
  boost::json::array out;
  for (const auto& r : records) out.push_back(models::to_json(r));
  return models::json_text(out);
}

// What `read()` reads, or nothing when it throws one of the library's errors.
template <class Read>
auto read_or_refuse(Read read) -> std::optional<decltype(read())> {
  try {
    return read();
  } catch (const korvane::Error&) {
    return std::nullopt;
  }
}

void search_result(std::string_view text) {
  const auto first = read_or_refuse([&] { return commerce::read_search_result(text); });
  if (!first) return;
  const std::string offers = first->offers ? json_array(*first->offers) : "null";
  const std::string again = "{\"visual_matches\": " + json_array(first->matches) +
                            ", \"shopping_results\": " + offers + "}";
  const commerce::EnrichRequest second = commerce::read_search_result(again);
  require(second.matches == first->matches, "visual matches read back the same");
  require(second.offers == first->offers, "shopping offers read back the same");
}

void shopping_offers(std::string_view text) {
  const auto first = read_or_refuse([&] { return commerce::read_shopping_offers(text); });
  if (!first) return;
  require(commerce::read_shopping_offers(json_array(*first)) == *first, "offers read back the same");
}

void enriched_items(std::string_view text) {
  const auto first = read_or_refuse([&] { return commerce::read_enriched_items(text); });
  if (!first) return;
  for (const bool exclude_none : {true, false}) {
    const std::string again = models::model_dump_json(first->result, 0, exclude_none);
    require(commerce::read_enriched_items(again).result == first->result, "enriched items read back the same");
  }
}

// from_json of each record straight from the parsed value.
template <class Record>
void record(const boost::json::value& value) {
  static_cast<void>(read_or_refuse([&] { return models::from_json<Record>(value); }));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = korvane::fuzz::as_text(data, size);
  search_result(text);
  shopping_offers(text);
  enriched_items(text);
  boost::system::error_code ec;
  const boost::json::value value = boost::json::parse(text, ec);
  if (ec) return 0;
  record<models::NormalizedPrice>(value);
  record<models::VisualMatch>(value);
  record<models::ShoppingOffer>(value);
  record<models::EnrichedCommerceMatch>(value);
  record<models::CommerceSummary>(value);
  record<models::CommerceIntelligence>(value);
  return 0;
}
