// The patterns of the metadata parser: their texts, and the compiled forms,
// built once per process on first use and shared read-only by all threads.
//
// In the texts the quote classes ["\\'] and [^"\\'] hold a backslash beside
// both quote characters; "\s" is written out as the Unicode White_Space class
// (PCRE2's own \s would add U+180E), "\d" as [0-9] and "\b" as ASCII
// look-arounds. Case-insensitive patterns fold ASCII letters only (see
// ascii_caseless). Patterns that the scanning code tries at candidate
// positions are compiled anchored; the texts are the unanchored forms.
#pragma once

#include "text/regex.hpp"

#include <string_view>

namespace korvane::commerce::detail {

// JSON-LD script block (dot-all, caseless); group 1 the body.
inline constexpr std::string_view kLdJsonScriptPattern =
    R"re(<script[^>]+type=["\\']application/ld\+json["\\'][^>]*>(.*?)</script>)re";
// Meta element (caseless); group 1 its attributes.
inline constexpr std::string_view kMetaTagPattern =
    R"re(<meta[\t-\r\x{20}\x{85}\x{A0}\x{1680}\x{2000}-\x{200A}\x{2028}\x{2029}\x{202F}\x{205F}\x{3000}]+([^>]+)>)re";
// The first "property" or "name" value (caseless); group 1.
inline constexpr std::string_view kMetaPropertyPattern =
    R"re((?:property|name)=["\\']([^"\\']+)["\\'])re";
// The first "content" value, possibly empty (caseless); group 1.
inline constexpr std::string_view kMetaContentPattern = R"re(content=["\\']([^"\\']*)["\\'])re";
// Next.js page state script (dot-all, case-sensitive); group 1 the body.
inline constexpr std::string_view kNextDataScriptPattern =
    R"re(<script[^>]+id=["\\']__NEXT_DATA__["\\'][^>]*>(.*?)</script>)re";
// The start tags of kLdJsonScriptPattern and kNextDataScriptPattern, tried at a "<script"
// whose tag the scan has found: the tag ends at its first ">" and the body
// at the first "</script>" after it, which the scan finds itself instead of
// the matcher stepping through the whole body.
inline constexpr std::string_view kLdJsonScriptTagPattern =
    R"re(<script[^>]+type=["\\']application/ld\+json["\\'][^>]*>)re";
inline constexpr std::string_view kNextDataScriptTagPattern = R"re(<script[^>]+id=["\\']__NEXT_DATA__["\\'][^>]*>)re";
// Title element (dot-all, caseless); group 1 its text.
inline constexpr std::string_view kTitlePattern = R"re(<title[^>]*>(.*?)</title>)re";

// Shop markup, all caseless.
inline constexpr std::string_view kWooCommerceAmountPattern =
    R"re(class=["\\'][^"\\']*woocommerce-Price-amount[^"\\']*["\\'][^>]*>(?:<bdi>)?(?:<span[^>]*>[^<]*</span>)?([0-9,]+(?:\.[0-9]{2})?))re";
inline constexpr std::string_view kMicrodataPricePattern =
    R"re(itemprop=["\\']price["\\'][^>]*content=["\\']([0-9,]+(?:\.[0-9]{2})?)["\\'])re";
inline constexpr std::string_view kMicrodataCurrencyPattern =
    R"re(itemprop=["\\']priceCurrency["\\'][^>]*content=["\\']([A-Za-z]{3})["\\'])re";
inline constexpr std::string_view kMicrodataSkuPattern =
    R"re(itemprop=["\\']sku["\\'][^>]*content=["\\']([^"\\']+)["\\'])re";
inline constexpr std::string_view kSkuSpanPattern =
    R"re(<span[^>]*class=["\\'][^"\\']*sku[^"\\']*["\\'][^>]*>([^<]+)</span>)re";
// kSkuSpanPattern without its "<span[^>]*" head, tried at a "class=" that
// the scan has found inside a span's start tag.
inline constexpr std::string_view kSkuSpanClassPattern =
    R"re(class=["\\'][^"\\']*sku[^"\\']*["\\'][^>]*>([^<]+)</span>)re";
inline constexpr std::string_view kSkuDataAttributePattern =
    R"re(data-product_sku=["\\']([^"\\']+)["\\'])re";
inline constexpr std::string_view kInStockClassPattern =
    R"re(class=["\\'][^"\\']*(?<![0-9A-Za-z_])instock(?![0-9A-Za-z_])[^"\\']*["\\'])re";
inline constexpr std::string_view kOutOfStockClassPattern =
    R"re(class=["\\'][^"\\']*(?<![0-9A-Za-z_])outofstock(?![0-9A-Za-z_])[^"\\']*["\\'])re";

using text::Regex;
using text::RegexFlags;
using text::RegexMatch;

struct PagePatterns {
  Regex ld_json_script;       // anchored; the start tag only
  Regex meta_tag;             // anchored
  Regex meta_property;
  Regex meta_content;
  Regex next_data_script;     // anchored; the start tag only
  Regex title;                // anchored
  Regex woocommerce_amount;   // anchored
  Regex microdata_price;      // anchored
  Regex microdata_currency;   // anchored
  Regex microdata_sku;        // anchored
  Regex sku_span_class;       // anchored
  Regex sku_data_attribute;
  Regex in_stock_class;
  Regex out_of_stock_class;
};

// The patterns, compiled on first use.
[[nodiscard]] const PagePatterns& page_patterns();

}  // namespace korvane::commerce::detail
