// The items as the page's data: one JSON document in a
// <script type="application/json"> block, which the page's script reads to
// search, filter, sort, group and page through every item (the page shows
// only some cards at a time; the browser never runs the block).
#pragma once

#include <korvane/models.hpp>

#include <cstddef>
#include <span>
#include <string>
#include <vector>

namespace korvane::report::detail {

// What the report worked out about an item beside its record.
struct ItemFacts {
  bool resolved = false;   // a visual match whose store link the resolution replaced
  std::size_t group = 0;   // its product group (commerce::detail::product_groups)
};

// Appends <script type="application/json" id="report-data"> with
//   {"columns": [names], "labels": {field: {key: words}}, "strings": [texts],
//    "byPrice": [positions of the priced items, lowest price first, ties in
//    result order], "items": [[values in the order of "columns"], ...]}
// A text value is an index into "strings" when the text occurs more than
// once (or is a key the script compares: category, relevance, stock, ...),
// else the JSON string itself; "amount" is a number or null, "score" and
// "group" numbers, "resolved" 0 or 1. The item's link and image are there
// only when they are web links (else ""), each as origin and rest; every
// text is escaped so that it cannot end the block.
void append_data_block(std::string& out, std::span<const models::EnrichedCommerceMatch> items,
                       std::span<const ItemFacts> facts);

}  // namespace korvane::report::detail
