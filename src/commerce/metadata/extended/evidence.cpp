#include "commerce/metadata/extended/evidence.hpp"

#include "text/html.hpp"
#include "text/unicode.hpp"

#include <algorithm>
#include <array>

namespace korvane::commerce::detail::extended {

std::string_view to_string(Source s) noexcept {
  switch (s) {
    case Source::json_ld: return "json_ld";
    case Source::microdata: return "microdata";
    case Source::meta_tags: return "meta_tags";
    case Source::page_state: return "page_state";
    case Source::analytics: return "analytics";
    case Source::data_attributes: return "data_attributes";
    case Source::visible_price: return "visible_price";
    case Source::item_label: return "item_label";
    case Source::add_to_cart: return "add_to_cart";
    case Source::stock_wording: return "stock_wording";
    case Source::link: return "link";
    case Source::byline: return "byline";
    case Source::standard: return "standard";
  }
  return "standard";
}

void Evidence::declare_currency(std::string code) {
  if (code.empty()) return;
  if (std::find(declared_currencies.begin(), declared_currencies.end(), code) == declared_currencies.end()) {
    declared_currencies.push_back(std::move(code));
  }
}

bool plausible_sku(std::string_view value) noexcept {
  if (value.empty() || value.size() > 64) return false;
  bool alnum = false;
  for (const char c : value) {
    const auto u = static_cast<unsigned char>(c);
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v') return false;
    if (u >= 0x80 || (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z')) alnum = true;
  }
  // Non-ASCII white space (no-break spaces) is rare in values; those pass here
  // and are stripped by the readers.
  return alnum;
}

std::optional<std::string> brand_text(std::string_view value) {
  // Brand names are a few words; longer texts are descriptions or lists.
  constexpr std::size_t kMaxBrandBytes = 60;
  if (value.size() > 4 * kMaxBrandBytes) return std::nullopt;
  std::string text = text::collapse_white_space(text::html_unescape(value));
  if (text.empty() || text.size() > kMaxBrandBytes) return std::nullopt;
  if (text.find("://") != std::string::npos || text.starts_with("www.")) return std::nullopt;
  // Template placeholders a page left unfilled ("$metabrand", "{{ brand }}").
  if (text.front() == '$' || text.find("{{") != std::string::npos || text.find("${") != std::string::npos) {
    return std::nullopt;
  }
  // A list or object written out as JSON text ("[\"Acme\"]"), not a name.
  if (text.front() == '[' || text.front() == '{') return std::nullopt;
  // Values that say there is none.
  if (text.size() <= 8) {
    const std::string lower = text::to_lower(text);
    for (const std::string_view none : {"n/a", "null", "none", "undefined", "nan", "no brand"}) {
      if (lower == none) return std::nullopt;
    }
  }
  const bool letter = std::any_of(text.begin(), text.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return u >= 0x80 || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z');
  });
  if (!letter) return std::nullopt;
  return text;
}

void Evidence::add_brand(std::string_view value, Source source, bool maker) {
  if (auto text = brand_text(value)) brands.push_back({std::move(*text), source, maker});
}

bool Evidence::is_shop_name(std::string_view name) const {
  const std::string key = letters_and_digits(name);
  return !key.empty() && std::any_of(shop_names.begin(), shop_names.end(),
                                     [&key](const std::string& shop) { return letters_and_digits(shop) == key; });
}

void Evidence::note_written_currency(std::string code) {
  if (code.empty()) return;
  if (std::find(written_currencies.begin(), written_currencies.end(), code) == written_currencies.end()) {
    written_currencies.push_back(std::move(code));
  }
}

std::optional<models::StockStatus> availability_of(std::string_view value) {
  // The last segment of a link or prefixed name, its ASCII letters lower-cased.
  if (value.size() > 80) return std::nullopt;
  const std::size_t cut = value.find_last_of("/:#");
  if (cut != std::string_view::npos && cut + 1 < value.size()) value.remove_prefix(cut + 1);
  std::string letters;
  for (const char c : value) {
    const char l = text::ascii_lower(c);
    if (l >= 'a' && l <= 'z') letters.push_back(l);
  }
  using models::StockStatus;
  struct Term {
    std::string_view letters;
    StockStatus status;
  };
  static constexpr std::array<Term, 15> terms{{
      {"instock", StockStatus::IN_STOCK},
      {"instoreonly", StockStatus::IN_STOCK},
      {"onlineonly", StockStatus::IN_STOCK},
      {"limitedavailability", StockStatus::IN_STOCK},
      {"available", StockStatus::IN_STOCK},
      {"outofstock", StockStatus::OUT_OF_STOCK},
      {"soldout", StockStatus::OUT_OF_STOCK},
      {"discontinued", StockStatus::OUT_OF_STOCK},
      {"unavailable", StockStatus::OUT_OF_STOCK},
      {"notavailable", StockStatus::OUT_OF_STOCK},
      {"notinstock", StockStatus::OUT_OF_STOCK},
      {"preorder", StockStatus::PREORDER},
      {"presale", StockStatus::PREORDER},
      {"backorder", StockStatus::PREORDER},
      {"availableforpreorder", StockStatus::PREORDER},
  }};
  for (const Term& t : terms) {
    if (letters == t.letters) return t.status;
  }
  return std::nullopt;
}

}  // namespace korvane::commerce::detail::extended
