// Fusion of enriched visual matches with shopping offers, and the CSV and
// JSON exports of a result.
#pragma once

#include <korvane/models.hpp>

#include <filesystem>
#include <span>
#include <vector>

namespace korvane::commerce {

class CommerceAggregator {
 public:
  CommerceAggregator() = delete;

  // One deduplicated list of the offers (converted with
  // EnrichedCommerceMatch::from_shopping_offer) and the visual-match items,
  // offers first, ordered by relevance::sort_commerce_items. Two items are
  // duplicates when their links agree after lower-casing and trimming, or
  // when their merchant names agree and their titles agree in the first 30
  // characters (case-insensitively); the earlier one stays, so an offer wins
  // over a visual match. The inputs are not changed.
  [[nodiscard]] static std::vector<models::EnrichedCommerceMatch> fuse_matches_and_offers(
      std::span<const models::EnrichedCommerceMatch> lens_items,
      std::span<const models::ShoppingOffer> shopping_offers);
};

// Writes `commerce` as a CSV table (UTF-8, a header and one record per item,
// 15 columns, CRLF after every record) and returns the absolute path written.
// Missing directories are created; an existing file is replaced only once the
// new one is complete, so a failure leaves it intact. Text cells that a
// spreadsheet would run as a formula (starting with "=", "+", "-", "@", tab or
// carriage return) are written with a leading "'". Throws
// std::filesystem::filesystem_error when the directory or file cannot be
// written.
std::filesystem::path export_commerce_to_csv(const models::CommerceIntelligence& commerce,
                                             const std::filesystem::path& output_path);

// Writes `commerce` as one JSON document (indentation 2, absent fields left
// out at every level, no final line end) and returns the absolute path
// written. Directory creation, replacement and failures as for the CSV export.
std::filesystem::path export_commerce_to_json(const models::CommerceIntelligence& commerce,
                                              const std::filesystem::path& output_path);

namespace detail {

// The CSV text of `commerce`, as export_commerce_to_csv writes it.
[[nodiscard]] std::string commerce_csv_text(const models::CommerceIntelligence& commerce);

// Writes `content` to `target` through a temporary file in the same directory
// that is renamed over the target once complete (and removed on failure).
void write_file_replacing(const std::filesystem::path& target, std::string_view content);

}  // namespace detail
}  // namespace korvane::commerce
