// The visual report of a result: one self-contained HTML page for people.
//
// The report sits beside the package surface, not in it: it has its own
// namespace, korvane::report, rather than korvane::commerce, so the
// surface (<korvane/commerce.hpp> and its EXPORTS list) stays what it is and
// a host that only wants the data never sees it. It only reads records.
//
// The page holds everything it needs: inline CSS, inline SVG charts, a small
// inline script and the items as one JSON data block (never run), nothing
// from the network but the items' own images. What the page shows of the
// result:
//   - a summary: visual matches, shopping offers and products counted
//     apart, priced items, price range and median in the summary's
//     currency, items in stock, resolved store links (the figures of
//     `commerce.summary` as they are; the rest comes from `items`);
//   - one price strip per currency, every priced item a mark (beyond 400
//     prices, bars counting the prices of each stretch of the axis),
//     outliers (beyond 1.5 interquartile ranges) marked;
//   - bar charts of the merchant categories and the page types;
//   - the items, 48 cards to a page with a pager: a search box (title,
//     merchant, brand, SKU; every word must occur), filters (merchant
//     category, relevance, in stock, priced), sorting (result order, price
//     up, price down) and one card per product: items that are the same
//     listing (the link without tracking parameters, or the same
//     marketplace item number), have the same GTIN, or the same brand and
//     SKU share one card that lists their offers and the price range;
//     switchable to one card per item, each with `data-index` (its position
//     in `items`): image (lazy-loaded, a placeholder when there is none or
//     it fails), title, price, merchant and category, relevance, page type,
//     stock, condition and the link.
// Without JavaScript the page shows the summary, the charts and the cards
// of the first 200 items in result order (so all of an ordinary result),
// with a note when there are more.
// Data from pages is treated as hostile: every text is escaped for where it
// goes (in the data block "<", ">" and "&" too, so that it cannot end the
// block), only http: and https: links become links (others are shown as
// text), images come only from http(s), links carry rel="noopener
// noreferrer", the script builds cards with DOM calls and never writes
// markup, and a Content-Security-Policy allows no script but the page's own
// (by its hash) and no connections.
#pragma once

#include <korvane/models.hpp>

#include <cstddef>
#include <filesystem>
#include <optional>
#include <stop_token>
#include <string>

namespace korvane::report {

struct ReportOptions {
  // The number of store links the resolution replaced, as the caller that
  // ran it knows it (a fused list may have dropped resolved items as
  // duplicates). Absent: counted from the items, as the visual-match items
  // whose direct_url differs from URLUnwrapper::unwrap(original_url); cards
  // mark such links as resolved either way.
  std::optional<std::size_t> resolved_links{};
};

// The report of `commerce` as HTML text (UTF-8; invalid UTF-8 in the data is
// shown as U+FFFD). The same input always gives the same text.
[[nodiscard]] std::string commerce_to_html(const models::CommerceIntelligence& commerce,
                                           const ReportOptions& options = {});

// Writes commerce_to_html(commerce, options) to `output_path` and returns the
// absolute path written, with the rules of the CSV and JSON exports
// (commerce/export.hpp): missing directories are created, an existing file
// is replaced only once the new one is complete, special files are written
// in place (a FIFO's reader awaited until `stop` is requested). Throws
// std::filesystem::filesystem_error when the directory or file cannot be
// written.
std::filesystem::path export_commerce_to_html(const models::CommerceIntelligence& commerce,
                                              const std::filesystem::path& output_path,
                                              const ReportOptions& options = {}, std::stop_token stop = {});

}  // namespace korvane::report
