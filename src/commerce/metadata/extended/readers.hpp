// The readers of the extended mode. Each reads one kind of source of an
// indexed page and adds what it finds to the evidence; none decides.
#pragma once

#include "commerce/metadata/extended/evidence.hpp"
#include "commerce/metadata/extended/page_index.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace korvane::commerce::detail::extended {

// Places of a page that several readers measure distances from.
struct Landmarks {
  std::size_t main_heading = Tag::none;  // the first h1 outside other content
  std::size_t add_to_cart = Tag::none;   // the first add-to-cart control outside other content
};

// Which elements sit in a list of other products (carousel, slider,
// "related", "recommended", "similar", "upsell", ...) or in the page's
// navigation or footer. Each element's answer is worked out once per parse
// and remembered (so one map serves one thread).
class OtherContentMap {
 public:
  explicit OtherContentMap(const PageIndex& page) : page_(page), known_(page.tags().size(), unknown) {}
  [[nodiscard]] bool contains(std::size_t i) const;

 private:
  static constexpr std::int8_t unknown = -1;
  const PageIndex& page_;
  mutable std::vector<std::int8_t> known_;
  mutable std::vector<std::size_t> path_;  // contains()'s walk, kept for its memory
};

// What every reader of one page shares.
struct PageContext {
  PageContext(const PageIndex& index, std::string_view link);

  // The page's landmarks, found on first use: finding the add-to-cart
  // control reads every control's names and labels, and only the readers of
  // the visible price and of stock cues ask for it, when the structured
  // sources left those open. One thread at a time.
  [[nodiscard]] const Landmarks& landmarks() const;
  // The main heading alone, known from the start.
  [[nodiscard]] std::size_t main_heading() const noexcept { return landmarks_.main_heading; }

  const PageIndex& page;
  std::string_view url;  // the destination link
  OtherContentMap other;
  // The page's own names for its product: the main heading, og:title and
  // the title element (those it has, in that order).
  std::vector<std::string> titles;
  // The currency of the page's country, for tokens that several countries
  // write ("$", "kr"): see locale_currency().
  std::string_view country_currency;

  // The currency that ambiguous tokens of the page's texts stand for: the
  // one structured data declares, else the country's.
  [[nodiscard]] std::string_view currency_hint(const Evidence& e) const noexcept {
    return e.declared_currency().empty() ? country_currency : e.declared_currency();
  }

 private:
  mutable Landmarks landmarks_;  // main_heading is found at once
  mutable bool add_to_cart_known_ = false;
};

// The currency of the country a page is written for, when that country
// shares its currency's token with others: of the link's country domain,
// else of og:locale, else of the html element's language tag ("es-CL");
// empty when none says.
[[nodiscard]] std::string_view locale_currency(const PageIndex& page, std::string_view url);

// ---------------------------------------------------------------- element context

// A class value that this many elements of one kind share (price elements,
// add-to-cart controls, availability reports) belongs to the items of a
// list of products: a product shows its price, a former price and perhaps
// a unit price, its add-to-cart control once or twice (again in a sticky
// bar), so up to three elements of one class are its own.
inline constexpr long kListRepeats = 4;

// The elements of `tags` (elements of one kind, in page order) whose class
// value fewer than kListRepeats of them share.
[[nodiscard]] std::vector<std::size_t> unlisted(const PageIndex& page, std::span<const std::size_t> tags);

// True when the element of tag `i` is hidden from the shopper by its own
// attributes or its wrapper's (hidden, display:none, "hidden", "d-none"): a
// shop hides the add-to-cart control of a sold-out product, and keeps the
// sold-out notice of an available one hidden until a script shows it.
[[nodiscard]] bool is_hidden(const PageIndex& page, std::size_t i);

// True when the class of `t` holds one of `words` (lower case) as a word:
// "size-list" and "sizeSelector" hold "size", "imagesize-xl" does not.
[[nodiscard]] bool class_has_word(const PageIndex& page, const Tag& t, std::span<const std::string_view> words);

// True when tag `i` or an element around it is struck through or named as a
// former or list price (del, s, strike; "old-price", "was", "rrp", ...).
[[nodiscard]] bool is_struck(const PageIndex& page, std::size_t i);

// True when tag `i` or its parent is named as an amount other than the
// product's price: a unit or base price, an instalment, shipping, a saving,
// reward points ("price-per-unit", "installment-price", "shipping-price").
[[nodiscard]] bool is_other_amount(const PageIndex& page, std::size_t i);

// True when tag `i` is an add-to-cart control (button, input or link whose
// name, class, id or text says so).
[[nodiscard]] bool is_add_to_cart(const PageIndex& page, std::size_t i);

// True when most words of `name` are words of the page's own names for its
// product (main heading, og:title, title element).
[[nodiscard]] bool names_the_page(const PageContext& ctx, std::string_view name);

// schema.org's GTIN properties (global trade item numbers), in the order
// their values are collected.
inline constexpr std::array<std::string_view, 5> GTIN_KEYS{"gtin13", "gtin", "gtin14", "gtin12", "gtin8"};

// ---------------------------------------------------------------- readers

// JSON-LD blocks, also those the standard rules skip (comment or CDATA
// wrappers, loose JSON, types in any case or as IRIs, products reached
// through mainEntity or @graph, offers without a product).
void read_json_ld(const PageContext& ctx, Evidence& out);

// Microdata itemprop and RDFa property attributes in any attribute order:
// price, priceCurrency, availability, sku, productID, mpn, gtin*.
void read_microdata(const PageContext& ctx, Evidence& out);

// Price, availability and item-id meta tags (og:price:*, product:price:*,
// product:sale_price:*, og:availability, product:retailer_item_id).
void read_meta_tags(const PageContext& ctx, Evidence& out);

// Product objects of JSON scripts and script assignments, and analytics
// objects (dataLayer ecommerce details, view-item and view-content events).
void read_page_state(const PageContext& ctx, Evidence& out);

// data-* attributes and hidden form fields that carry the price or SKU.
void read_data_attributes(const PageContext& ctx, Evidence& out);

// The visible price next to the main heading and add-to-cart control.
void read_visible_price(const PageContext& ctx, Evidence& out);

// Labelled item numbers ("SKU: 123", "Item number" then the value) when
// `skus`, labelled brands and makers ("Marke: Oceana", "Manufacturer" then
// the name) when `brands`.
void read_item_labels(const PageContext& ctx, Evidence& out, bool skus, bool brands);

// The brand shown next to the main heading: an element named for the brand
// or a "by X" line.
void read_byline(const PageContext& ctx, Evidence& out);

// Add-to-cart controls and in-stock / sold-out wording.
void read_stock_cues(const PageContext& ctx, Evidence& out);

// The item number in the page's own link (the SKU's last resort).
void read_link_identifier(const PageContext& ctx, Evidence& out);

}  // namespace korvane::commerce::detail::extended
