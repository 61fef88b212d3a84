// Meta-tag reader: price, currency, availability and item id of the Open
// Graph product vocabulary and its variants, and the price of a product
// card (twitter:labelN / twitter:dataN), in document order. A sale
// price counts as the current price when the page gives no end date for it
// or the regular price is missing.
#include "commerce/metadata/extended/json_values.hpp"
#include "commerce/metadata/extended/readers.hpp"

#include "commerce/money.hpp"
#include "text/unicode.hpp"

#include <algorithm>
#include <array>

namespace korvane::commerce::detail::extended {
namespace {

struct MetaValues {
  std::optional<std::string> amount;         // og:price:amount, product:price:amount
  std::optional<std::string> currency;
  std::optional<std::string> sale_amount;    // product:sale_price:amount
  std::optional<std::string> sale_currency;
  bool sale_has_end = false;                 // product:sale_price_dates:end
  std::optional<std::string> price_text;     // og:price, product:price (a whole price text)
  std::optional<std::string> card_price;     // the twitter:dataN whose twitter:labelN says "Price"
  std::optional<std::string> availability;
  std::optional<std::string> item_id;
  std::optional<std::string> brand;          // product:brand, og:brand
  std::optional<std::string> site_name;      // og:site_name, application-name
};

// The keys each value is read from (lower case).
struct KeySlot {
  std::string_view key;
  std::optional<std::string> MetaValues::*slot;
};
constexpr std::array<KeySlot, 17> kKeySlots{{
    {"og:price:amount", &MetaValues::amount},
    {"product:price:amount", &MetaValues::amount},
    {"og:price:currency", &MetaValues::currency},
    {"product:price:currency", &MetaValues::currency},
    {"product:sale_price:amount", &MetaValues::sale_amount},
    {"og:sale_price:amount", &MetaValues::sale_amount},
    {"product:sale_price:currency", &MetaValues::sale_currency},
    {"og:sale_price:currency", &MetaValues::sale_currency},
    {"og:price", &MetaValues::price_text},
    {"product:price", &MetaValues::price_text},
    {"og:availability", &MetaValues::availability},
    {"product:availability", &MetaValues::availability},
    {"product:retailer_item_id", &MetaValues::item_id},
    {"product:brand", &MetaValues::brand},
    {"og:brand", &MetaValues::brand},
    {"og:site_name", &MetaValues::site_name},
    {"application-name", &MetaValues::site_name},
}};

// Labels of a product card's price (twitter:labelN), lower-case, in the
// languages of the shops we meet.
constexpr std::array<std::string_view, 16> kCardPriceLabels{
    "price", "preis", "prix", "precio", "prezzo", "preço", "prijs", "pris",
    "cena",  "hinta", "fiyat", "цена", "ціна",  "価格",  "价格",  "가격"};

// A product card (twitter:label1 "Price", twitter:data1 "€41.30") numbers
// its fields from 1; cards have two, a few more are read.
constexpr std::size_t kCardFields = 4;

// The field index (from 0) of a product card key ("twitter:data1" with
// `prefix` "twitter:data" gives 0); absent for other keys.
std::optional<std::size_t> card_field(std::string_view key, std::string_view prefix) {
  if (key.size() != prefix.size() + 1 || key.substr(0, prefix.size()) != prefix) return std::nullopt;
  const char digit = key.back();
  if (digit < '1' || static_cast<std::size_t>(digit - '0') > kCardFields) return std::nullopt;
  return static_cast<std::size_t>(digit - '1');
}

// The first value of each key wins, as the page's head lists the main product first.
void keep_first(std::optional<std::string>& slot, std::string value) {
  if (!slot && !text::strip(value).empty()) slot = std::move(value);
}

// The tag's key (property, name or itemprop; lower case) when it may name
// one of the values read here.
std::optional<std::string> meta_key(const PageIndex& page, const Tag& t) {
  auto key = page.attribute(t, "property");
  if (!key) key = page.attribute(t, "name");
  if (!key) key = page.attribute(t, "itemprop");
  if (!key || key->size() > 64) return std::nullopt;
  if (!icontains(*key, "price") && !icontains(*key, "availab") && !icontains(*key, "retailer_item_id") &&
      !icontains(*key, "currency") && !icontains(*key, "brand") && !icontains(*key, "site_name") &&
      !icontains(*key, "application-name") && !istarts_with(*key, "twitter:label") &&
      !istarts_with(*key, "twitter:data")) {
    return std::nullopt;
  }
  return text::ascii_lower(text::strip(*key));
}

// The values of the page's meta tags, the first of each key.
MetaValues meta_values(const PageIndex& page) {
  MetaValues m;
  std::array<std::string, kCardFields> card_labels, card_data;
  for (const std::size_t i : page.metas()) {
    const Tag& t = page.tags()[i];
    const auto key = meta_key(page, t);
    if (!key) continue;
    auto content = page.attribute_text(t, "content");
    if (!content) continue;
    if (*key == "product:sale_price_dates:end") m.sale_has_end = !text::strip(*content).empty();
    if (const auto field = card_field(*key, "twitter:label")) card_labels[*field] = text::to_lower(text::strip(*content));
    if (const auto field = card_field(*key, "twitter:data")) card_data[*field] = *content;
    for (const KeySlot& k : kKeySlots) {
      if (k.key == *key) {
        keep_first(m.*k.slot, std::move(*content));
        break;
      }
    }
  }
  for (std::size_t n = 0; n < kCardFields; ++n) {
    const bool price_label = std::find(kCardPriceLabels.begin(), kCardPriceLabels.end(), card_labels[n]) !=
                             kCardPriceLabels.end();
    if (price_label) keep_first(m.card_price, std::move(card_data[n]));
  }
  return m;
}

// The sale price (when current) and the regular price, in that rank; the
// declared currency of the page.
void add_prices(const MetaValues& m, Evidence& out) {
  std::string currency;
  if (m.currency) {
    if (auto code = currency_code_of(*m.currency)) currency = *code;
  }
  std::string sale_currency = currency;
  if (m.sale_currency) {
    if (auto code = currency_code_of(*m.sale_currency)) sale_currency = *code;
  }
  out.declare_currency(currency);

  const auto amount_of = [&out](const std::string& text, const std::string& code) -> std::optional<Money> {
    if (const auto plain = read_machine_amount(text, code.empty() ? out.declared_currency() : std::string_view(code))) {
      return Money{*plain, code, false, {}};
    }
    auto money = read_money(text, code.empty() ? out.declared_currency() : std::string_view(code));
    if (money && money->currency.empty()) money->currency = code;
    return money;
  };
  std::optional<Money> regular = m.amount ? amount_of(*m.amount, currency) : std::nullopt;
  if (!regular && m.price_text) regular = amount_of(*m.price_text, currency);
  if (!regular && m.card_price) regular = amount_of(*m.card_price, currency);
  const std::optional<Money> sale = m.sale_amount ? amount_of(*m.sale_amount, sale_currency) : std::nullopt;

  int rank = 0;
  if (sale && sale->amount > 0.0 && (!m.sale_has_end || !regular)) {
    out.prices.push_back({sale->amount, sale->currency, Source::meta_tags, rank++});
  }
  if (regular && regular->amount > 0.0) {
    out.prices.push_back({regular->amount, regular->currency, Source::meta_tags, rank++});
  }
}

}  // namespace

void read_meta_tags(const PageContext& ctx, Evidence& out) {
  const MetaValues m = meta_values(ctx.page);
  add_prices(m, out);
  if (m.availability) {
    if (const auto status = availability_of(text::strip(*m.availability))) {
      out.stock.push_back({*status, Source::meta_tags, 0});
    }
  }
  if (m.brand) out.add_brand(*m.brand, Source::meta_tags);
  if (m.site_name) {
    if (auto name = brand_text(*m.site_name)) out.shop_names.push_back(std::move(*name));
  }
  if (m.item_id) {
    const std::string_view id = text::strip(*m.item_id);
    if (!id.empty() && id.size() <= 64) out.skus.push_back({std::string(id), Source::meta_tags, IdField::sku});
  }
}

}  // namespace korvane::commerce::detail::extended
