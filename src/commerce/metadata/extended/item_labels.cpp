// Item numbers as product pages label them for shoppers: "SKU: 123",
// "Item #418295", "Artikelnummer" followed by the number in the next cell.
// The labels are those of the languages of the shops we meet; the value
// must look like an item number (one word of letters, digits and - _ . /,
// with a digit in it).
#include "commerce/metadata/extended/readers.hpp"

#include "text/html.hpp"
#include "text/unicode.hpp"

#include <algorithm>
#include <array>

namespace korvane::commerce::detail::extended {
namespace {

// Labels, lower-cased, without their trailing ":" "#" or ".".
constexpr std::array<std::string_view, 89> kLabels{
    "sku",
    "item number",
    "item no",
    "item code",
    "item id",
    "product code",
    "product number",
    "product no",
    "product id",
    "article number",
    "article no",
    "art. no",
    "art.-nr",
    "art.nr",
    "art. nr",
    "art",
    "artikelnummer",
    "artikel-nr",
    "artikelnr",
    "artikel nr",
    "bestellnummer",
    "best.-nr",
    "bestell-nr",
    "référence",
    "réf",
    "numéro de l'objet",
    "numero oggetto",
    "número de artículo",
    "referência",
    "referência produto",
    "código de referência",
    "ref",
    "reference",
    "code article",
    "numéro d'article",
    "código",
    "cód",
    "código del producto",
    "código de producto",
    "referencia",
    "codice",
    "codice articolo",
    "codice prodotto",
    "cod. articolo",
    "kod produktu",
    "kod",
    "nr ref",
    "numer referencyjny",
    "numer katalogowy",
    "nr katalogowy",
    "артикул",
    "код товара",
    "код",
    "asin",
    "web code",
    "catalogue number",
    "catalog number",
    "cat. no",
    "tootekood",
    "varenummer",
    "varenr",
    "productnummer",
    "artikelcode",
    "post id",
    "ad id",
    "ad number",
    "anzeige",
    "listing id",
    "listing number",
    "cikkszám",
    "kód",
    "katalógové číslo",
    "šifra",
    "šifra artikla",
    "šifra proizvoda",
    "tuotenumero",
    "tuotekoodi",
    "produktnummer",
    "prekės kodas",
    "preces kods",
    "cod produs",
    "ürün kodu",
    "stok kodu",
    "κωδικός",
    "κωδικός προϊόντος",
    "상품번호",
    "商品編號",
    "商品番号",
    "商品编号"};

bool is_label(std::string_view s) {
  return std::find(kLabels.begin(), kLabels.end(), s) != kLabels.end();
}

// `s` without trailing white space (also no-break spaces and direction
// marks), ":", "#", "." and "-".
std::string_view trim_label_end(std::string_view s) {
  while (!s.empty()) {
    const char c = s.back();
    if (c == ':' || c == '#' || c == '.' || c == '-' || c == ' ' || c == '\t' || c == '\n' || c == '\r') {
      s.remove_suffix(1);
    } else if (s.size() >= 2 && s.substr(s.size() - 2) == "\xC2\xA0") {
      s.remove_suffix(2);
    } else if (s.size() >= 3 && (s.substr(s.size() - 3) == "\xE2\x80\x8E" || s.substr(s.size() - 3) == "\xE2\x80\x8F")) {
      s.remove_suffix(3);
    } else {
      break;
    }
  }
  return s;
}

bool is_id_char(char c) noexcept {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' || c == '_' ||
         c == '.' || c == '/';
}

// An item number: 3 to 40 characters of letters, digits and - _ . /, at least one digit.
std::optional<std::string> item_number(std::string_view s) {
  s = text::strip(s);
  while (!s.empty() && (s.front() == ':' || s.front() == '#')) s = text::strip(s.substr(1));
  while (!s.empty() && (s.back() == '.' || s.back() == ',')) s.remove_suffix(1);
  if (s.size() < 3 || s.size() > 40) return std::nullopt;
  if (!std::all_of(s.begin(), s.end(), is_id_char)) return std::nullopt;
  if (std::none_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; })) return std::nullopt;
  return std::string(s);
}

// `s` with full-width colons as ":" and the angle brackets that East Asian
// pages put around labels ("〈商品編號：M14876706〉") removed.
std::string without_cjk_punctuation(std::string s) {
  static constexpr std::array<std::pair<std::string_view, std::string_view>, 5> replacements{{
      {"\xEF\xBC\x9A", ":"},  // ：
      {"\xE3\x80\x88", ""},   // 〈
      {"\xE3\x80\x89", ""},   // 〉
      {"\xE3\x80\x90", ""},   // 【
      {"\xE3\x80\x91", ""},   // 】
  }};
  for (const auto& [from, to] : replacements) {
    for (std::size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size())) {
      s.replace(at, from.size(), to);
    }
  }
  return s;
}

// A text node of visible content: not a script, style or other raw text.
bool holds_visible_text(const Tag& t) {
  if (t.closing) return true;
  switch (t.kind) {
    case TagName::script:
    case TagName::style:
    case TagName::textarea:
    case TagName::title:
    case TagName::template_:
    case TagName::select:
    case TagName::option: return false;
    default: return true;
  }
}

// The first non-empty text after tag `i`, within a few tags.
std::string_view next_text(const PageIndex& page, std::size_t i) {
  for (std::size_t j = i + 1; j < page.tags().size() && j <= i + 8; ++j) {
    if (!holds_visible_text(page.tags()[j])) return {};
    const std::string_view t = text::strip(page.text_after(j));
    if (!t.empty()) return t;
  }
  return {};
}

// What follows a label in its own text (empty when the value comes in the
// next text).
struct Labelled {
  std::string_view value;
};

// Reads a text that is a label ("Item number:", also after a word or two:
// "eBay item number:") or starts with one ("SKU: 123", "Item #418295").
std::optional<Labelled> split_label(std::string_view lower, std::string_view raw) {
  const std::string_view whole = trim_label_end(lower);
  if (lower.size() <= 32) {
    if (is_label(whole)) return Labelled{};
    // A word or two before or after the label ("eBay item number:",
    // "Numéro de l'objet eBay :").
    int words = 0;
    for (std::size_t cut = whole.find(' '); cut != std::string_view::npos && words < 2;
         cut = whole.find(' ', cut + 1), ++words) {
      if (is_label(whole.substr(cut + 1))) return Labelled{};
    }
    words = 0;
    for (std::size_t cut = whole.rfind(' '); cut != std::string_view::npos && cut > 0 && words < 2;
         cut = whole.rfind(' ', cut - 1), ++words) {
      if (is_label(trim_label_end(whole.substr(0, cut)))) return Labelled{};
    }
  }
  // Positions in the lower-cased text stand for the same ones in the raw
  // text only when lower-casing kept the length.
  if (lower.size() != raw.size()) return std::nullopt;
  for (std::size_t end = std::min<std::size_t>(lower.size() - 1, 32); end >= 2; --end) {
    const char c = lower[end];
    if (c != ':' && c != '#' && c != ' ' && c != '.') continue;
    const std::string_view head = trim_label_end(lower.substr(0, end));
    if (is_label(head) || (c == '#' && head == "item")) return Labelled{raw.substr(end)};
  }
  return std::nullopt;
}

}  // namespace

void read_item_labels(const PageContext& ctx, Evidence& out) {
  const PageIndex& page = ctx.page;
  int found = 0;
  for (std::size_t i = 0; i < page.tags().size() && found < 4; ++i) {
    if (!holds_visible_text(page.tags()[i])) continue;
    const std::string_view raw = text::strip(page.text_after(i));
    if (raw.size() < 3 || raw.size() > 64) continue;
    // Labels start with a letter or "#"-free word; skip numbers and punctuation.
    const unsigned char c0 = static_cast<unsigned char>(raw.front());
    if ((c0 < 0x80 && !((c0 | 0x20) >= 'a' && (c0 | 0x20) <= 'z')) || raw.find('<') != std::string_view::npos) {
      continue;
    }
    std::string decoded = raw.find('&') != std::string_view::npos ? text::html_unescape(raw) : std::string(raw);
    decoded = without_cjk_punctuation(decoded);
    const std::string lower = text::to_lower(decoded);
    const auto label = split_label(lower, decoded);
    if (!label) continue;
    std::optional<std::string> value = item_number(label->value);
    if (!value && text::strip(label->value).empty()) value = item_number(next_text(page, i));
    if (!value) continue;
    if (in_other_content(page, i)) continue;
    out.skus.push_back({std::move(*value), Source::item_label, found++});
  }
}

}  // namespace korvane::commerce::detail::extended
