// Extraction of embedded product data from a page's raw HTML text: JSON-LD
// product objects, the product of a Next.js page state, meta tags and the
// title. No document tree is built; malformed markup and JSON give empty
// results, never errors.
#pragma once

#include "text/json_reader.hpp"

#include <boost/json/object.hpp>
#include <boost/json/storage_ptr.hpp>
#include <boost/json/value.hpp>

#include <cstddef>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace korvane::commerce::detail {

// Deepest nesting of arrays and objects a JSON block of a page may have;
// deeper blocks count as invalid.
inline constexpr std::size_t kMaxJsonDepth = 1000;

// Text the caller has already checked (or repaired) to be valid UTF-8.
struct ValidUtf8 {
  std::string_view text;
};

// The product objects of a page's JSON-LD blocks, in walk order. They point
// into `documents`, which owns every parsed block, and stay valid while this
// value lives (also when it is moved; it cannot be copied). The documents
// live in `arena`, so integers too large for 64 bits keep their digits in
// text forms.
struct LdJsonProducts {
  std::unique_ptr<text::JsonArena> arena;  // the documents' memory, made for the first
  std::deque<boost::json::value> documents;
  std::vector<const boost::json::object*> products;

  LdJsonProducts() = default;
  LdJsonProducts(LdJsonProducts&&) noexcept = default;
  LdJsonProducts& operator=(LdJsonProducts&&) noexcept = default;
  LdJsonProducts(const LdJsonProducts&) = delete;
  LdJsonProducts& operator=(const LdJsonProducts&) = delete;
};

// The product object of a page's Next.js state: `product` points into
// `document` (in `arena`, like the JSON-LD documents), or is null when the
// page has none.
struct NextDataProduct {
  std::unique_ptr<text::JsonArena> arena;  // the document's memory
  boost::json::value document;
  const boost::json::object* product = nullptr;

  NextDataProduct() = default;
  NextDataProduct(std::unique_ptr<text::JsonArena> memory, boost::json::value parsed)
      : arena(std::move(memory)), document(std::move(parsed)) {}
  NextDataProduct(NextDataProduct&&) noexcept = default;
  // Assigning would copy the document into the target's memory and leave
  // `product` pointing into the old one.
  NextDataProduct& operator=(NextDataProduct&&) = delete;
  NextDataProduct(const NextDataProduct&) = delete;
  NextDataProduct& operator=(const NextDataProduct&) = delete;
};

// Meta keys (lower-cased "property" or "name" values) to their contents.
using MetaTags = std::map<std::string, std::string, std::less<>>;

// Where the tags that the standard stages read stand on a page (ASCII case
// ignored): the first kListedTags places of "<meta" and of "<script" (a
// page with more has the rest looked for when they are needed: listing
// millions of them would cost more than the pass), and the first place of
// "__next_data__" (npos: nowhere).
struct PageMarkers {
  static constexpr std::size_t kListedTags = 4096;
  std::vector<std::size_t> meta;
  std::vector<std::size_t> script;
  std::size_t next_data = std::string_view::npos;  // "__next_data__"
};
// Found in one pass over the page that looks at the bytes that start them
// ("<" and "__") alone.
[[nodiscard]] PageMarkers find_page_markers(ValidUtf8 html);

// The first places of the words that shop markup holds (ASCII case
// ignored; npos: nowhere); see ShopMarkup.
struct ShopMarkers {
  std::size_t itemprop = std::string_view::npos;      // "itemprop="
  std::size_t woocommerce = std::string_view::npos;   // "woocommerce-price-amount"
  std::size_t sku = std::string_view::npos;           // "sku"
  std::size_t in_stock = std::string_view::npos;      // "instock"
  std::size_t out_of_stock = std::string_view::npos;  // "outofstock"
};
[[nodiscard]] ShopMarkers find_shop_markers(ValidUtf8 html);

// Both kinds, found in one pass over the page: cheaper than the two passes
// when both are read.
struct AllMarkers {
  PageMarkers page;
  ShopMarkers shop;
};
[[nodiscard]] AllMarkers find_all_markers(ValidUtf8 html);

// Every object typed "Product", "ProductGroup" or "IndividualProduct" (or
// with a type list holding "Product" or "ProductGroup") in the page's
// JSON-LD script blocks, in document order; a product comes before the
// products nested in it, and members of an "@graph" list are visited twice.
// Invalid blocks are skipped.
[[nodiscard]] LdJsonProducts find_ld_json_products(std::string_view html);
[[nodiscard]] LdJsonProducts find_ld_json_products(ValidUtf8 html);
[[nodiscard]] LdJsonProducts find_ld_json_products(ValidUtf8 html, const PageMarkers& markers);

// The product of the first "__NEXT_DATA__" script: the first object among
// pageProps' "productTemplate", "product", "item", "productDetails", else the
// first object (depth first) with "brandName" or "brand" and "sku" or
// "name". Null product when there is none or the state is malformed.
[[nodiscard]] NextDataProduct find_next_data_product(std::string_view html);
[[nodiscard]] NextDataProduct find_next_data_product(ValidUtf8 html);
[[nodiscard]] NextDataProduct find_next_data_product(ValidUtf8 html, const PageMarkers& markers);

// The name/content pairs of the page's meta elements; keys stripped and
// lower-cased, values stripped, empty ones left out, a later key winning.
[[nodiscard]] MetaTags extract_meta_tags(std::string_view html);
[[nodiscard]] MetaTags extract_meta_tags(ValidUtf8 html);
[[nodiscard]] MetaTags extract_meta_tags(ValidUtf8 html, const PageMarkers& markers);

// The text of the first title element with runs of white space collapsed to
// one space (empty for an empty element); absent when there is none.
[[nodiscard]] std::optional<std::string> extract_html_title(std::string_view html);
[[nodiscard]] std::optional<std::string> extract_html_title(ValidUtf8 html);

}  // namespace korvane::commerce::detail
