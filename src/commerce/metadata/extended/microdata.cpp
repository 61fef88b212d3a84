// Microdata and RDFa reader: itemprop (and schema "property") attributes in
// any attribute order, their value taken the microdata way (content, href,
// element text), outside lists of other products and struck-through prices.
#include "commerce/metadata/extended/json_values.hpp"
#include "commerce/metadata/extended/readers.hpp"

#include "commerce/money.hpp"
#include "text/unicode.hpp"

#include <array>
#include <optional>
#include <string>

namespace korvane::commerce::detail::extended {
namespace {

enum class Prop { none, price, currency, availability, sku, product_id, mpn, gtin, brand, maker };

// The property a name stands for; prefixes ("schema:") and vocabularies
// ("http://schema.org/price") are dropped.
Prop prop_of(std::string_view name) {
  const std::size_t cut = name.find_last_of("/:#");
  if (cut != std::string_view::npos) name.remove_prefix(cut + 1);
  struct Entry {
    std::string_view name;
    Prop prop;
  };
  static constexpr std::array<Entry, 9> entries{{{"price", Prop::price},
                                                  {"brand", Prop::brand},
                                                  {"manufacturer", Prop::maker},
                                                  {"lowprice", Prop::price},
                                                  {"pricecurrency", Prop::currency},
                                                  {"availability", Prop::availability},
                                                  {"sku", Prop::sku},
                                                  {"productid", Prop::product_id},
                                                  {"mpn", Prop::mpn}}};
  for (const Entry& e : entries) {
    if (iequals(name, e.name)) return e.prop;
  }
  for (const std::string_view gtin : GTIN_KEYS) {
    if (iequals(name, gtin)) return Prop::gtin;
  }
  return Prop::none;
}

// RDFa "property" values of Open Graph and similar vocabularies are the meta
// reader's; only schema-style names count here.
bool is_foreign_vocabulary(std::string_view name) {
  return istarts_with(name, "og:") || istarts_with(name, "product:") || istarts_with(name, "fb:") ||
         istarts_with(name, "twitter:") || istarts_with(name, "article:");
}

// True when an enclosing element is a list of products or links to other
// products (itemtype ItemList, itemprop isRelatedTo ...).
bool in_listed_scope(const PageIndex& page, std::size_t i) {
  std::size_t at = page.tags()[i].parent;
  for (int steps = 0; at != Tag::none && steps < 64; ++steps) {
    const Tag& t = page.tags()[at];
    if (const auto type = page.attribute(t, "itemtype"); type && icontains(*type, "itemlist")) {
      if (!icontains(*type, "breadcrumb")) return true;
    }
    if (const auto prop = page.attribute(t, "itemprop")) {
      if (icontains(*prop, "isrelatedto") || icontains(*prop, "issimilarto") ||
          icontains(*prop, "itemlistelement") || icontains(*prop, "isaccessoryorsparepartfor")) {
        return true;
      }
    }
    at = t.parent;
  }
  return false;
}

// The value of an itemprop element: its content attribute, else what the
// element kind holds (href, src, value, datetime), else its text.
std::string value_of(const PageIndex& page, std::size_t i) {
  const Tag& t = page.tags()[i];
  if (auto content = page.attribute_text(t, "content")) return *content;
  if (t.kind == TagName::link || t.kind == TagName::a) {
    if (auto href = page.attribute_text(t, "href")) return *href;
  }
  if (t.kind == TagName::meta) return {};
  if (auto value = page.attribute_text(t, "value"); value && t.kind != TagName::option) return *value;
  return page.element_text(i, 96);
}

// The name of a brand or manufacturer element: its content attribute, or
// the "name" property inside it when it is an item of its own, else its
// text.
std::string organisation_value(const PageIndex& page, std::size_t i) {
  const Tag& t = page.tags()[i];
  if (auto content = page.attribute_text(t, "content")) return *content;
  if (page.attribute(t, "itemscope") && t.content_end != Tag::none) {
    // An organisation item holds a few properties (name, logo, link).
    constexpr std::size_t kScopeTags = 32;
    for (std::size_t k = i + 1; k < page.tags().size() && k <= i + kScopeTags; ++k) {
      const Tag& inner = page.tags()[k];
      if (inner.begin >= t.content_end) break;
      if (inner.closing || (inner.hints & hint_itemprop) == 0) continue;
      if (const auto prop = page.attribute(inner, "itemprop"); prop && iequals(*prop, "name")) {
        return value_of(page, k);
      }
    }
  }
  // An element's text may put a label before the name ("Brand: Acme").
  const std::string text = page.element_text(i, 96);
  const std::size_t colon = text.rfind(':');
  return colon == std::string::npos ? text : std::string(text::strip(std::string_view(text).substr(colon + 1)));
}

// `text` when it writes identifier `id` with other punctuation or spacing;
// absent when it writes something else, or `id` exactly.
std::optional<std::string> shown_form(std::string_view text, std::string_view id) {
  const std::string_view shown = text::strip(text);
  if (shown.empty() || shown == id || shown.size() > 64) return std::nullopt;
  const std::string key = letters_and_digits(id);
  if (key.empty() || letters_and_digits(shown) != key) return std::nullopt;
  return std::string(shown);
}

// A price property's value: a machine-written amount, else a price text.
void add_price(const std::string& value, Evidence& out, int& price_rank) {
  std::optional<Money> money;
  if (const auto plain = read_machine_amount(value, out.declared_currency())) {
    money = Money{*plain, {}, false, {}};
  } else {
    money = read_money(value, out.declared_currency());
  }
  if (money && money->amount > 0.0) {
    out.prices.push_back({money->amount, money->currency, Source::microdata, price_rank++});
  }
}

// An identifier property of tag `i`; false when its value is no identifier.
bool add_identifier(const PageIndex& page, std::size_t i, Prop prop, const std::string& value, Evidence& out) {
  const Tag& t = page.tags()[i];
  const bool in_content = page.attribute(t, "content").has_value();
  std::string_view id = text::strip(value);
  // An element's text may hold more than the identifier ("AB1204-55 Lampe de bureau ...").
  if (!in_content) {
    const auto words = text::split_white_space(id);
    if (!words.empty()) id = words.front();
  }
  if (id.empty() || id.size() > 64) return false;
  const IdField field = prop == Prop::sku          ? IdField::sku
                        : prop == Prop::product_id ? IdField::product_id
                        : prop == Prop::mpn        ? IdField::mpn
                                                   : IdField::gtin;
  out.skus.push_back({std::string(id), Source::microdata, field});
  // The element may show the shopper the same number written their
  // way ("466/7999" for content "4667999"): that form is the shown one.
  if (in_content) {
    if (auto shown = shown_form(page.element_text(i, 64), id)) {
      out.skus.push_back({*shown, Source::microdata, field});
      out.shown_skus.push_back(std::move(*shown));
    }
  }
  return true;
}

}  // namespace

// Properties read per page, at most: a product page states each a few
// times, and the cap keeps pages of thousands of properties cheap.
constexpr int kMaxProperties = 64;

void read_microdata(const PageContext& ctx, Evidence& out) {
  const PageIndex& page = ctx.page;
  if (!page.has_hint(hint_itemprop)) return;
  int price_rank = 0;
  int sku_count = 0;
  int read = 0;
  const auto hinted = page.hinted();
  for (std::size_t k = 0; k < hinted.size() && read < kMaxProperties; ++k) {
    const std::size_t i = hinted[k];
    const Tag& t = page.tags()[i];
    if (t.closing || (t.hints & hint_itemprop) == 0) continue;
    std::optional<std::string_view> names = page.attribute(t, "itemprop");
    if (!names) {
      names = page.attribute(t, "property");
      if (!names || is_foreign_vocabulary(*names)) continue;
    }
    for (const std::string_view name : text::split_white_space(*names)) {
      const Prop prop = prop_of(name);
      if (prop == Prop::none) continue;
      if ((prop == Prop::price && price_rank > 8) || (prop >= Prop::sku && prop <= Prop::gtin && sku_count > 16)) continue;
      ++read;
      if (in_listed_scope(page, i)) break;
      const std::string value = value_of(page, i);
      switch (prop) {
        case Prop::price:
          if (!is_struck(page, i) && !ctx.other.contains(i)) add_price(value, out, price_rank);
          break;
        case Prop::currency:
          if (auto code = currency_code_of(value)) out.declare_currency(*code);
          break;
        case Prop::availability:
          if (ctx.other.contains(i)) break;
          // Offers of several variants: in stock when any is, as the
          // product is (a sold-out size does not sell out the product).
          if (const auto status = availability_of(text::strip(value))) {
            out.stock.push_back({*status, Source::microdata, *status == models::StockStatus::IN_STOCK ? 0 : 1});
          }
          break;
        case Prop::sku:
        case Prop::product_id:
        case Prop::mpn:
        case Prop::gtin:
          if (add_identifier(page, i, prop, value, out)) ++sku_count;
          break;
        case Prop::brand:
        case Prop::maker:
          if (!ctx.other.contains(i)) out.add_brand(organisation_value(page, i), Source::microdata, prop == Prop::maker);
          break;
        case Prop::none: break;
      }
    }
  }
}

}  // namespace korvane::commerce::detail::extended
