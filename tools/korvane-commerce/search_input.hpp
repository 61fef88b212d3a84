// Reading visual-search results and shopping offers from JSON files.
#pragma once

#include <korvane/models.hpp>
#include <korvane/models/json.hpp>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace korvane::cli {

// A file that cannot be read as the expected JSON; the message names the
// file and the position ("result.json: line 3, column 14: ...", or
// "result.json: visual_matches[2].link must be a string").
class InputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct SearchInput {
  std::vector<models::VisualMatch> matches;
  std::vector<models::ShoppingOffer> offers;
  bool has_offers = false;  // the file had a "shopping_results" member
};

// Reads a visual-search result: a JSON array of matches, or an object with
// "visual_matches" (and optionally "shopping_results"). A match needs "link"
// and "title" texts; "price" may be a text or an object with "value",
// "extracted_value" and "currency"; unknown members are ignored.
[[nodiscard]] SearchInput read_search_result(const std::filesystem::path& file);

// Reads shopping offers: a JSON array of offers, or an object with
// "shopping_results".
[[nodiscard]] std::vector<models::ShoppingOffer> read_shopping_offers(const std::filesystem::path& file);

// Reads enriched items: an object with "items" (an enrich --json result) or a
// JSON array of items. `result` receives the whole result when there is one.
[[nodiscard]] models::CommerceIntelligence read_enriched_items(const std::filesystem::path& file, bool& had_summary);

// Parses the JSON text of `file`, throwing InputError with line and column.
[[nodiscard]] boost::json::value read_json_file(const std::filesystem::path& file);

}  // namespace korvane::cli
