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
#include <vector>

namespace korvane::commerce::detail::extended {
namespace {

// Labels, lower-cased, without their trailing ":" "#" or ".".
constexpr std::array<std::string_view, 88> kLabels{
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

// The labels, sorted once for binary search.
const std::vector<std::string_view>& sorted_labels() {
  static const std::vector<std::string_view> sorted = [] {
    std::vector<std::string_view> v(kLabels.begin(), kLabels.end());
    std::sort(v.begin(), v.end());
    return v;
  }();
  return sorted;
}

bool is_label(std::string_view s) {
  if (s.size() < 2 || s.size() > 32) return false;
  return std::binary_search(sorted_labels().begin(), sorted_labels().end(), s);
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

// True when `text` (no digits in it) is a label, alone or with a word or two
// before or after it ("Item number:", "eBay item number:", "Numéro de
// l'objet eBay :").
bool is_label_text(std::string_view text) {
  if (text.size() > 40) return false;
  const std::string lower = text::to_lower(text);
  const std::string_view whole = trim_label_end(lower);
  if (is_label(whole)) return true;
  int words = 0;
  for (std::size_t cut = whole.find(' '); cut != std::string_view::npos && words < 2;
       cut = whole.find(' ', cut + 1), ++words) {
    if (is_label(whole.substr(cut + 1))) return true;
  }
  words = 0;
  for (std::size_t cut = whole.rfind(' '); cut != std::string_view::npos && cut > 0 && words < 2;
       cut = whole.rfind(' ', cut - 1), ++words) {
    if (is_label(trim_label_end(whole.substr(0, cut)))) return true;
  }
  return false;
}

// The value of a text that starts with a label and goes on with the item
// number ("SKU: 123", "Item #418295", "Bestellnummer 79961"): the word that
// holds the first digit, when what stands before it is a label.
std::optional<std::string> labelled_value(std::string_view text) {
  const auto digit = std::find_if(text.begin(), text.end(), text::is_ascii_digit);
  const std::size_t first_digit = static_cast<std::size_t>(digit - text.begin());
  std::size_t value_start = text.find_last_of(" :#\t", first_digit);
  if (value_start == std::string_view::npos || value_start > 40) return std::nullopt;
  const char separator = text[value_start];
  ++value_start;
  const std::string lower = text::to_lower(text.substr(0, value_start));
  const std::string_view head = trim_label_end(lower);
  if (!is_label(head) && !(separator == '#' && head == "item")) return std::nullopt;
  return item_number(text.substr(value_start));
}

}  // namespace

void read_item_labels(const PageContext& ctx, Evidence& out) {
  const PageIndex& page = ctx.page;
  int found = 0;
  std::string storage;
  for (std::size_t i = 0; i < page.tags().size() && found < 4; ++i) {
    if (!holds_visible_text(page.tags()[i])) continue;
    std::string_view raw = page.text_after(i);
    if (raw.size() < 3) continue;
    // ASCII white space first: most texts between tags are only that.
    std::size_t first = 0;
    while (first < raw.size() && text::is_html_space(raw[first])) ++first;
    if (first == raw.size()) continue;
    std::size_t last = raw.size();
    while (text::is_html_space(raw[last - 1])) --last;
    raw = raw.substr(first, last - first);
    if (raw.size() > 160) continue;
    // Labels start with a letter (or a bracket of East Asian pages).
    const unsigned char c0 = static_cast<unsigned char>(raw.front());
    if (c0 < 0x80 && !((c0 | 0x20) >= 'a' && (c0 | 0x20) <= 'z')) continue;
    const bool has_digit = std::any_of(raw.begin(), raw.end(), text::is_ascii_digit);
    // A label alone needs its value, with a digit, in the next text.
    std::string_view next;
    if (!has_digit) {
      if (raw.size() > 48) continue;
      next = next_text(page, i);
      if (std::none_of(next.begin(), next.end(), text::is_ascii_digit)) continue;
    }
    raw = text::strip(raw);
    if (raw.size() < 3 || raw.size() > 64) continue;
    // References and East Asian punctuation are rare; only then is a copy made.
    std::string_view textv = raw;
    if (raw.find('&') != std::string_view::npos || raw.find('\xEF') != std::string_view::npos ||
        raw.find('\xE3') != std::string_view::npos) {
      storage = without_cjk_punctuation(text::html_unescape(raw));
      textv = storage;
    }
    std::optional<std::string> value;
    if (has_digit) {
      value = labelled_value(textv);
    } else if (is_label_text(textv)) {
      value = item_number(next);
    }
    if (!value || ctx.other.contains(i)) continue;
    out.skus.push_back({std::move(*value), Source::item_label, found++});
  }
}

}  // namespace korvane::commerce::detail::extended
