// Reading the pipeline's inputs from JSON text: a visual-search result,
// shopping offers, and enriched items (a result written by the JSON export).
//
//   EnrichRequest request = read_search_result(text, "result.json");
//
// Every error is a korvane::InputError whose message names the source, and
// the position ("result.json: line 3, column 14: invalid JSON: ...") or the
// member ("result.json: visual_matches[2].link must be a string").
#pragma once

#include <korvane/commerce/run.hpp>
#include <korvane/models.hpp>

#include <string_view>
#include <vector>

namespace korvane::commerce {

// A visual-search result: a JSON array of matches, or an object with
// "visual_matches" and optionally "shopping_results" (which become the
// request's offers; null or missing: no offers). Matches are read as
// models::from_json<VisualMatch> reads them: "link" is required.
[[nodiscard]] EnrichRequest read_search_result(std::string_view json_text, std::string_view source = "input");

// Shopping offers: a JSON array of offers, or an object with "shopping_results".
[[nodiscard]] std::vector<models::ShoppingOffer> read_shopping_offers(std::string_view json_text,
                                                                      std::string_view source = "input");

// Enriched items: an object with "items" (and "summary") as the JSON export
// writes it, or a JSON array of items. Every item has its "direct_url" (a
// visual-search result or a visual match is refused, with a hint to enrich
// it first).
struct EnrichedItems {
  models::CommerceIntelligence result;
  bool whole_result = false;  // the text was an object with a summary
};
[[nodiscard]] EnrichedItems read_enriched_items(std::string_view json_text, std::string_view source = "input");

}  // namespace korvane::commerce
