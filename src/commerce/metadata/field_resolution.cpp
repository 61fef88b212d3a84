#include <korvane/commerce/normalizer.hpp>

#include "commerce/metadata/shop_markup.hpp"
#include "commerce/metadata/state.hpp"
#include "text/html.hpp"
#include "text/json_writer.hpp"
#include "text/number.hpp"
#include "text/regex.hpp"
#include "text/unicode.hpp"
#include "text/utf8.hpp"

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <stdexcept>

namespace korvane::commerce::detail {
namespace json = boost::json;
namespace {

using models::ItemCondition;
using models::StockStatus;
using detail::is_set;  // the text overload, beside the JSON one below

// ---------------------------------------------------------------- JSON values

// A value is set when present and not null, false, zero, empty text, empty
// array or empty object.
bool is_set(const json::value* v) noexcept {
  if (v == nullptr) return false;
  switch (v->kind()) {
    case json::kind::null: return false;
    case json::kind::bool_: return v->get_bool();
    case json::kind::int64: return v->get_int64() != 0;
    case json::kind::uint64: return v->get_uint64() != 0;
    case json::kind::double_: return v->get_double() != 0.0;
    case json::kind::string: return !v->get_string().empty();
    case json::kind::array: return !v->get_array().empty();
    case json::kind::object: return !v->get_object().empty();
  }
  return false;
}

const json::value* member(const json::object& o, std::string_view key) noexcept {
  return o.if_contains(key);
}

// The value of the first key whose value is set; when none is, the value of
// the last key, whatever it is (null when missing).
const json::value* first_set(const json::object& o, std::initializer_list<std::string_view> keys) {
  const json::value* last = nullptr;
  for (const auto key : keys) {
    last = member(o, key);
    if (is_set(last)) return last;
  }
  return last;
}

std::string text_form(const json::value& v) { return text::json_text_form(v); }

std::string stripped_text_form(const json::value& v) {
  if (v.is_string()) return std::string(text::strip(v.get_string()));
  return std::string(text::strip(text_form(v)));
}

// The number a value holds (a boolean counts as 0 or 1); absent for others.
std::optional<double> number_of(const json::value* v) noexcept {
  if (v == nullptr) return std::nullopt;
  switch (v->kind()) {
    case json::kind::bool_: return v->get_bool() ? 1.0 : 0.0;
    case json::kind::int64: return static_cast<double>(v->get_int64());
    case json::kind::uint64: return static_cast<double>(v->get_uint64());
    case json::kind::double_: return v->get_double();
    default: return std::nullopt;
  }
}

bool is_true(const json::value* v) noexcept { return v != nullptr && v->is_bool() && v->get_bool(); }
bool is_false(const json::value* v) noexcept { return v != nullptr && v->is_bool() && !v->get_bool(); }

bool contains(std::string_view s, std::string_view part) noexcept {
  return s.find(part) != std::string_view::npos;
}

std::string lower_text_form(const json::value& v) {
  if (v.is_string()) return text::to_lower(v.get_string());
  return text::to_lower(text_form(v));
}

// The lower-cased text form of `key`'s value, empty when it is missing.
std::string lower_text_of(const json::object& o, std::string_view key) {
  const json::value* v = member(o, key);
  return v == nullptr ? std::string() : lower_text_form(*v);
}

// ---------------------------------------------------------------- prices

// Stores an amount and, when given, a currency; an amount that is not a
// finite, non-negative number is never stored.
bool store_amount(MetadataParseState& s, double amount) {
  if (!std::isfinite(amount) || amount < 0.0) return false;
  s.price_amount = amount;
  return true;
}

// PriceNormalizer::parse of `raw`; absent when nothing finite can be read.
std::optional<models::NormalizedPrice> parse_price(std::string_view raw,
                                                   std::optional<std::string_view> hint) {
  std::optional<models::NormalizedPrice> price;
  try {
    price = PriceNormalizer::parse(raw, hint);
  } catch (const std::runtime_error&) {
    // The matcher gave up on this text (a resource limit): the page said
    // nothing readable here, which the parse does not report.
    return std::nullopt;
  }
  if (price && !std::isfinite(price->amount)) return std::nullopt;
  return price;
}

// Parses `raw` without a hint; on success the amount is stored and the
// currency fills a gap.
void take_price_text(MetadataParseState& s, const json::value& raw) {
  const auto price = parse_price(text_form(raw), std::nullopt);
  if (price && store_amount(s, price->amount) && !is_set(s.currency)) s.currency = price->currency;
}

// Cents to an amount rounded to cents; "USD" fills a currency gap.
void take_cents(MetadataParseState& s, double cents) {
  if (store_amount(s, text::round_to_cents(cents / 100.0)) && !is_set(s.currency)) {
    s.currency = "USD";
  }
}

// The primary image of a JSON-LD "image" value: the first element of a
// non-empty array, a text itself, otherwise absent (objects handled by the
// caller).
std::optional<std::string> image_of(const json::value& v) {
  if (const auto* arr = v.if_array(); arr != nullptr && !arr->empty()) return text_form(arr->front());
  if (v.is_string()) return std::string(v.get_string());
  return std::nullopt;
}

// Digits and commas (with an optional ".dd") of a shop pattern as a number.
std::optional<double> pattern_amount(std::string_view digits) {
  std::string plain;
  plain.reserve(digits.size());
  for (const char c : digits) {
    if (c != ',') plain.push_back(c);
  }
  const auto value = text::parse_decimal(plain);
  if (!value || !std::isfinite(*value)) return std::nullopt;
  return value;
}

}  // namespace

// ---------------------------------------------------------------- stage A

namespace {

// The product stage A reads: the first with offers, a SKU or variants, else
// the first.
const json::object& main_product(const std::vector<const json::object*>& products) {
  for (const auto* p : products) {
    if (is_set(member(*p, "offers")) || is_set(member(*p, "sku")) || is_set(member(*p, "hasVariant"))) return *p;
  }
  return *products.front();
}

// Title, brand, SKU and image of the product.
void take_identity(MetadataParseState& s, const json::object& product) {
  if (const auto* name = member(product, "name"); name != nullptr && name->is_string() &&
                                                   !name->get_string().empty()) {
    s.title = text::html_unescape(text::strip(name->get_string()));
  }

  if (const auto* b = member(product, "brand"); b != nullptr) {
    if (const auto* bo = b->if_object(); bo != nullptr && bo->contains("name")) {
      s.brand = stripped_text_form(bo->at("name"));
    } else if (b->is_string()) {
      s.brand = std::string(text::strip(b->get_string()));
    }
  }

  // SKU: the first set identifier; an empty "mpn" text is kept as such.
  if (const auto* id = first_set(product, {"sku", "gtin13", "gtin12", "gtin8", "mpn"}); is_set(id)) {
    s.sku = stripped_text_form(*id);
  } else if (id != nullptr && id->is_string()) {
    s.sku = std::string();
  } else {
    s.sku.reset();
  }

  s.primary_image_url.reset();
  if (const auto* image = member(product, "image"); image != nullptr) {
    if (const auto* io = image->if_object()) {
      if (const auto* url = io->if_contains("url")) s.primary_image_url = text_form(*url);
    } else {
      s.primary_image_url = image_of(*image);
    }
  }
}

// The offers of the product; without any, those of its first variant that
// has some (its SKU and image fill gaps on the way), else those of the first
// product of the page that has some (its SKU fills a gap).
const json::value* find_offers(MetadataParseState& s, const json::object& product,
                               const std::vector<const json::object*>& products) {
  const json::value* offers = member(product, "offers");
  if (is_set(offers)) return offers;
  if (const auto* variants = member(product, "hasVariant"); variants != nullptr && variants->is_array()) {
    for (const auto& variant : variants->get_array()) {
      const auto* vo = variant.if_object();
      if (vo == nullptr) continue;
      if (const auto* vof = member(*vo, "offers"); is_set(vof)) offers = vof;
      if (const auto* vsku = member(*vo, "sku"); !is_set(s.sku) && is_set(vsku)) s.sku = stripped_text_form(*vsku);
      if (const auto* vimg = member(*vo, "image"); !is_set(s.primary_image_url) && is_set(vimg)) {
        s.primary_image_url = image_of(*vimg);
      }
      if (is_set(offers)) return offers;
    }
  }
  for (const auto* p : products) {
    if (const auto* pof = member(*p, "offers"); is_set(pof)) {
      if (const auto* psku = member(*p, "sku"); !is_set(s.sku) && is_set(psku)) s.sku = stripped_text_form(*psku);
      return pof;
    }
  }
  return offers;
}

// The offer object of an "offers" value: itself, or the first element of a
// list when that is an object; null otherwise.
const json::object* first_offer(const json::value* offers) {
  if (offers == nullptr) return nullptr;
  if (offers->is_object()) return &offers->get_object();
  if (const auto* arr = offers->if_array(); arr != nullptr && !arr->empty()) return arr->front().if_object();
  return nullptr;
}

// Price, currency, availability and condition of an offer.
void take_offer(MetadataParseState& s, const json::object& offer) {
  const json::value* price = first_set(offer, {"price", "lowPrice", "highPrice"});
  // A currency that is not a text is no hint.
  std::optional<std::string_view> hint;
  if (const auto* pc = member(offer, "priceCurrency"); pc != nullptr && pc->is_string()) hint = pc->get_string();
  if (price != nullptr && !price->is_null()) {
    if (const auto parsed = parse_price(text_form(*price), hint); parsed && store_amount(s, parsed->amount)) {
      s.currency = parsed->currency;
    }
  }
  if (!is_set(s.currency)) {
    if (hint) {
      s.currency = std::string(*hint);
    } else {
      s.currency.reset();
    }
  }

  const std::string availability = lower_text_of(offer, "availability");
  if (contains(availability, "instock")) {
    s.stock_status = StockStatus::IN_STOCK;
  } else if (contains(availability, "outofstock") || contains(availability, "soldout")) {
    s.stock_status = StockStatus::OUT_OF_STOCK;
  } else if (contains(availability, "preorder")) {
    s.stock_status = StockStatus::PREORDER;
  }

  // "new" is tested first, so "renewed" reads as new.
  const std::string condition = lower_text_of(offer, "itemCondition");
  if (contains(condition, "newcondition") || contains(condition, "new")) {
    s.condition = ItemCondition::NEW;
  } else if (contains(condition, "usedcondition") || contains(condition, "used")) {
    s.condition = ItemCondition::USED;
  } else if (contains(condition, "refurbishedcondition") || contains(condition, "refurbished")) {
    s.condition = ItemCondition::REFURBISHED;
  }
}

}  // namespace

void resolve_ld_json(MetadataParseState& s, const LdJsonProducts& ld) {
  if (ld.products.empty()) return;
  const json::object& product = main_product(ld.products);
  s.fetch_source = FetchSource::ld_json;
  promote_structured(s);
  take_identity(s, product);
  const json::object* offer = first_offer(find_offers(s, product, ld.products));
  if (offer == nullptr || offer->empty()) return;
  take_offer(s, *offer);
}

// ---------------------------------------------------------------- stage B

void resolve_next_data(MetadataParseState& s, const json::object& p) {
  s.fetch_source = FetchSource::next_data;
  promote_structured(s);

  if (const auto* name = first_set(p, {"name", "title"}); name != nullptr && name->is_string() &&
                                                           !name->get_string().empty()) {
    s.title = text::html_unescape(text::strip(name->get_string()));
  }
  if (const auto* b = first_set(p, {"brandName", "brand"}); b != nullptr && b->is_string()) {
    if (const auto stripped = text::strip(b->get_string()); !stripped.empty()) s.brand = std::string(stripped);
  }
  if (const auto* sku = member(p, "sku"); is_set(sku)) s.sku = stripped_text_form(*sku);

  const json::value* cents = first_set(p, {"lowestPriceCents", "newLowestPriceCents", "priceCents",
                                           "currentPriceCents"});
  const auto equals_zero = [](const json::value* v) {
    const auto n = number_of(v);
    return n.has_value() && *n == 0.0;
  };
  bool sold_out = is_true(member(p, "isSoldOut")) || is_true(member(p, "isOutOfStock")) ||
                  is_true(member(p, "outOfStock")) || is_false(member(p, "inStock")) ||
                  is_false(member(p, "isAvailable")) || is_false(member(p, "available"));
  if (!sold_out) {
    const json::value* status = first_set(p, {"status", "stockStatus", "availability"});
    const std::string status_text = is_set(status) ? lower_text_form(*status) : std::string();
    sold_out = contains(status_text, "outofstock") || contains(status_text, "soldout") ||
               contains(status_text, "sold_out") || contains(status_text, "unavailable");
  }
  sold_out = sold_out || equals_zero(member(p, "sellingCount")) ||
             equals_zero(first_set(p, {"inventoryCount", "quantity", "stockCount"})) ||
             equals_zero(cents);

  if (sold_out) {
    s.stock_status = StockStatus::OUT_OF_STOCK;
    s.price_amount.reset();
  } else {
    s.stock_status = StockStatus::IN_STOCK;
    if (!s.price_amount) {
      // The first rule whose condition holds is applied, even when it then
      // stores nothing.
      if (const auto c = number_of(cents); c && *c > 0.0) {
        take_cents(s, *c);
      } else if (const auto* price = member(p, "price"); is_set(price)) {
        take_price_text(s, *price);
      } else if (is_set(member(p, "currentPrice")) || is_set(member(p, "salePrice"))) {
        take_price_text(s, *first_set(p, {"currentPrice", "salePrice"}));
      }
      if (!s.price_amount) {
        const auto list_cents =
            number_of(first_set(p, {"retailPriceCents", "specialDisplayPriceCents", "msrpCents"}));
        if (list_cents && *list_cents > 0.0) {
          take_cents(s, *list_cents);
        } else if (is_set(member(p, "retailPrice")) || is_set(member(p, "msrp"))) {
          take_price_text(s, *first_set(p, {"retailPrice", "msrp"}));
        }
      }
    }
  }
  if (!s.condition) s.condition = ItemCondition::NEW;
}

// ---------------------------------------------------------------- stage C

void resolve_meta_tags(MetadataParseState& s, const MetaTags& meta) {
  const auto get = [&meta](std::string_view key) -> const std::string* {
    const auto it = meta.find(key);
    return it == meta.end() ? nullptr : &it->second;
  };
  const auto length_between = [](const std::string& v, std::size_t lo, std::size_t hi) {
    const std::size_t n = text::code_point_length(v);
    return n >= lo && n <= hi;
  };

  // The text of an attribute value, its character references decoded
  // ("Joss &amp; Main" is Joss & Main); absent when the page has no such tag.
  const auto decoded = [&get](std::string_view key) -> std::optional<std::string> {
    const std::string* v = get(key);
    return v == nullptr ? std::nullopt : std::optional<std::string>(text::html_unescape_attribute(*v));
  };

  if (!is_set(s.brand) && !s.is_social) {
    if (auto v = decoded("og:brand")) {
      s.brand = std::move(v);
    } else if (auto pb = decoded("product:brand")) {
      s.brand = std::move(pb);
    } else if (auto author = decoded("author");
               author && length_between(*author, 2, 30) && !contains(*author, "http")) {
      s.brand = std::move(author);
    } else if (auto site = decoded("og:site_name"); site && length_between(*site, 2, 30)) {
      s.brand = std::move(site);
    }
  }

  if (!is_set(s.primary_image_url)) {
    if (auto image = decoded("og:image")) s.primary_image_url = std::move(image);
  }

  const auto* currency = get("product:price:currency");
  if (const auto* amount = get("product:price:amount"); amount != nullptr && !s.price_amount) {
    const auto price = parse_price(*amount, currency != nullptr ? std::optional<std::string_view>(*currency)
                                                                : std::nullopt);
    if (price && store_amount(s, price->amount) && !is_set(s.currency)) s.currency = price->currency;
  }
  if (currency != nullptr && !is_set(s.currency)) s.currency = text::to_upper(*currency);

  if (const auto* availability = get("product:availability"); availability != nullptr && !s.stock_status) {
    const std::string lower = text::to_lower(*availability);
    if (contains(lower, "instock")) {
      s.stock_status = StockStatus::IN_STOCK;
    } else if (contains(lower, "outofstock")) {
      s.stock_status = StockStatus::OUT_OF_STOCK;
    }
  }
}

// ---------------------------------------------------------------- stage D

void resolve_html_patterns(MetadataParseState& s, ShopMarkup& markup) {
  if (!s.price_amount) {
    if (const auto digits = markup.woocommerce_amount()) {
      if (const auto amount = pattern_amount(*digits); amount && store_amount(s, *amount)) {
        if (!is_set(s.currency)) s.currency = "USD";
        promote_pattern_price(s);
      }
    }
  }
  if (!s.price_amount) {
    if (const auto digits = markup.microdata_price()) {
      if (const auto amount = pattern_amount(*digits); amount && store_amount(s, *amount)) {
        if (const auto code = markup.microdata_currency()) s.currency = text::ascii_upper(*code);
        promote_pattern_price(s);
      }
    }
  }
  if (!is_set(s.sku)) {
    // The first pattern found decides: an attribute value or the span's
    // text, its character references decoded, then stripped.
    std::optional<std::string> found;
    if (const auto content = markup.microdata_sku()) {
      found = text::html_unescape_attribute(*content);
    } else if (const auto span = markup.sku_span()) {
      found = text::html_unescape(*span);
    } else if (const auto attribute = markup.sku_data_attribute()) {
      found = text::html_unescape_attribute(*attribute);
    }
    if (found) {
      if (const auto sku = text::strip(*found); !sku.empty()) s.sku = std::string(sku);
    }
  }
  if (!s.stock_status) {
    // A stock class or the JSON-LD vocabulary's availability term without its
    // scheme. The texts are compared without ASCII case, which for these
    // texts is the same as searching the fully lower-cased page.
    if (markup.states_stock(true)) {
      s.stock_status = StockStatus::IN_STOCK;
    } else if (markup.states_stock(false)) {
      s.stock_status = StockStatus::OUT_OF_STOCK;
    }
  }
}

}  // namespace korvane::commerce::detail
