// Batches of search results given as JSON texts and answered as JSON lines,
// one line per result (the part files of korvane.batch):
//
//   {"id": ID, "summary": {...}, "items": [...]}
//   {"id": ID, "error": "line 18: line 1, column 39: invalid JSON: ..."}
//
// A result's identity ID is its "id" member when it is a JSON object with
// one (written with the digits it had, also beyond 64 bits), else its
// number, else null.
#pragma once

#include <korvane/commerce/run.hpp>

#include <cstddef>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

namespace korvane::commerce {

// One search result of a batch: JSON text in any form read_search_result()
// reads, and its number (a line number; absent when it has none).
struct BatchInput {
  std::optional<long long> number;
  std::string text;
};

// The answer for one search result.
struct BatchLine {
  std::string id;    // the identity as JSON text ("12", "\"a1\"", "null")
  std::string line;  // the answer line, compact JSON without a line end
  std::size_t items = 0;   // items of the result (0 with an error)
  std::size_t priced = 0;  // priced items (0 with an error)
  std::optional<std::string> error;  // the message, when the line is an error
};

// Enriches every input as enrich_batch() does (one event loop, fetcher and
// browser session; up to `concurrency` at once) and answers each with one
// line, in input order: its summary and items exactly as the JSON export
// writes them (absent fields left out), or the error that kept it from
// being read or enriched (sources named "line N" after the number, or
// "input"; a blank text is "line N: empty line"). Each text is parsed once. Throws as enrich_batch() does
// (korvane::CancelledError once `stop` is requested, ...); a bad input is an
// error line, never an exception.
[[nodiscard]] std::vector<BatchLine> enrich_batch_lines(std::vector<BatchInput> inputs,
                                                        const RunOptions& options = {},
                                                        const RunCallbacks& callbacks = {},
                                                        std::stop_token stop = {},
                                                        std::size_t concurrency = DEFAULT_BATCH_CONCURRENCY);

}  // namespace korvane::commerce
