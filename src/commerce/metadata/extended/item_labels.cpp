// Item numbers as product pages label them for shoppers: "SKU: 123",
// "Item #20417", "Artikelnummer" followed by the number in the next cell.
// The labels are those of the languages of the shops we meet; the value
// must look like an item number (one word of letters, digits and - _ . /,
// with a digit in it).
#include "commerce/metadata/extended/readers.hpp"

#include "text/html.hpp"
#include "text/regex.hpp"
#include "text/unicode.hpp"
#include "text/utf8.hpp"

#include <unicode/uchar.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <vector>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace korvane::commerce::detail::extended {
namespace {

// Labels, lower-cased, without their trailing ":" "#" or ".".
constexpr std::array<std::string_view, 101> kLabels{
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
    "商品编号",
    "cod",
    "kodas",
    "kods",
    "varunummer",
    "artikkelnummer",
    "kat. číslo",
    "品番",
    "货号",
    "상품코드",
    "mã sản phẩm",
    "kode produk",
    "رمز المنتج",
    "מק\"ט"};

// Labels longer than this are none of the list's.
constexpr std::size_t kMaxLabelBytes = 32;

// The labels by their length in bytes: a text is compared with the few of
// its own length.
const std::array<std::vector<std::string_view>, kMaxLabelBytes + 1>& labels_by_length() {
  static const std::array<std::vector<std::string_view>, kMaxLabelBytes + 1> by_length = [] {
    std::array<std::vector<std::string_view>, kMaxLabelBytes + 1> v;
    for (const std::string_view label : kLabels) {
      if (label.size() <= kMaxLabelBytes) v[label.size()].push_back(label);
    }
    return v;
  }();
  return by_length;
}

bool is_label(std::string_view s) {
  if (s.size() < 2 || s.size() > kMaxLabelBytes) return false;
  for (const std::string_view label : labels_by_length()[s.size()]) {
    if (label.front() == s.front() && label == s) return true;
  }
  return false;
}

// The first two bytes of labels that start with two ASCII bytes: bit b of
// row a set for a label starting "ab". Lower-casing a text turns its ASCII
// bytes into their small letters and nothing else, so a label starts where
// the text has two ASCII bytes only when they make such a pair.
struct LabelPairs {
  std::array<std::array<std::uint64_t, 2>, 128> bits{};

  constexpr void add(std::string_view label) {
    const auto a = static_cast<unsigned char>(label[0]);
    const auto b = static_cast<unsigned char>(label[1]);
    if (a < 0x80 && b < 0x80) bits[a][b / 64] |= std::uint64_t{1} << (b % 64);
  }

  // False when `text` has two ASCII bytes at `at` that start no label once
  // lower-cased (true when fewer than two bytes follow).
  [[nodiscard]] bool may_start(std::string_view text, std::size_t at) const noexcept {
    if (at + 2 > text.size()) return true;
    const auto a = static_cast<unsigned char>(text::ascii_lower(text[at]));
    const auto b = static_cast<unsigned char>(text::ascii_lower(text[at + 1]));
    if (a >= 0x80 || b >= 0x80) return true;
    return ((bits[a][b / 64] >> (b % 64)) & 1U) != 0;
  }
};

// The pairs that start the item-number labels.
constexpr LabelPairs kItemLabelPairs = [] {
  LabelPairs t;
  for (const std::string_view label : kLabels) t.add(label);
  return t;
}();

// A text lower-cased as text::to_lower() does it; short ASCII texts, which
// most texts next to labels are, without allocating.
class Lowered {
 public:
  explicit Lowered(std::string_view s) {
    const bool ascii = std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (ascii && s.size() <= buffer_.size()) {
      std::transform(s.begin(), s.end(), buffer_.begin(), [](char c) { return text::ascii_lower(c); });
      view_ = std::string_view(buffer_.data(), s.size());
    } else {
      storage_ = text::to_lower(s);
      view_ = storage_;
    }
  }
  Lowered(const Lowered&) = delete;
  Lowered& operator=(const Lowered&) = delete;

  [[nodiscard]] std::string_view view() const noexcept { return view_; }

 private:
  std::array<char, 64> buffer_{};
  std::string storage_;
  std::string_view view_;
};

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
// pages put around labels ("〈商品編號：K2041733〉") removed.
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

bool is_ascii_white_space(unsigned char c) noexcept { return c == ' ' || (c >= 0x09 && c <= 0x0D); }

// text::strip(s), told without a call when both ends of `s` are ASCII and
// not white space (most texts next to tags, once their indentation is cut).
std::string_view strip(std::string_view s) noexcept {
  if (!s.empty()) {
    const auto first = static_cast<unsigned char>(s.front());
    const auto last = static_cast<unsigned char>(s.back());
    if (first < 0x80 && last < 0x80 && !is_ascii_white_space(first) && !is_ascii_white_space(last)) return s;
  }
  return text::strip(s);
}

// What the bytes of a short text hold, found in one pass.
struct TextBytes {
  bool digit = false;      // an ASCII digit
  bool non_ascii = false;  // a byte of a character that is not ASCII
  bool special = false;    // "&" or a lead byte of East Asian punctuation (0xEF, 0xE3)
};

TextBytes scalar_text_bytes(std::string_view s) noexcept {
  TextBytes t;
  for (const char c : s) {
    const auto b = static_cast<unsigned char>(c);
    t.digit = t.digit || (b >= '0' && b <= '9');
    t.non_ascii = t.non_ascii || b >= 0x80;
    t.special = t.special || b == '&' || b == 0xEF || b == 0xE3;
  }
  return t;
}

// The TextBytes of `s`, a part of a page that ends at `page_end`: 16 bytes
// are looked at at once, reading on into the page past `s`.
TextBytes text_bytes(std::string_view s, const char* page_end) noexcept {
#if defined(__SSE2__)
  std::size_t i = 0;
  unsigned digit = 0;
  unsigned high = 0;
  unsigned special = 0;
  for (; i < s.size() && page_end - (s.data() + i) >= 16; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s.data() + i));
    const unsigned in_text = s.size() - i >= 16 ? 0xFFFFU : (1U << (s.size() - i)) - 1U;
    const __m128i digits = _mm_and_si128(_mm_cmpeq_epi8(_mm_max_epu8(v, _mm_set1_epi8('0')), v),
                                         _mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8('9')), v));
    const __m128i specials = _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('&')),
                                          _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(0xEF))),
                                                       _mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(0xE3)))));
    digit |= static_cast<unsigned>(_mm_movemask_epi8(digits)) & in_text;
    high |= static_cast<unsigned>(_mm_movemask_epi8(v)) & in_text;
    special |= static_cast<unsigned>(_mm_movemask_epi8(specials)) & in_text;
  }
  TextBytes t = i < s.size() ? scalar_text_bytes(s.substr(i)) : TextBytes{};
  t.digit = t.digit || digit != 0;
  t.non_ascii = t.non_ascii || high != 0;
  t.special = t.special || special != 0;
  return t;
#else
  (void)page_end;
  return scalar_text_bytes(s);
#endif
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
    if (page.blank_after(j)) continue;
    // Most texts between tags are indentation: passed over 16 bytes at a time.
    const std::string_view after = page.text_after(j);
    const std::size_t blank = page.leading_space(after);
    if (blank == after.size()) continue;
    // The indentation that ends it first, ASCII byte by byte: the text as
    // text::strip leaves it.
    std::string_view t = after.substr(blank);
    while (!t.empty() && static_cast<unsigned char>(t.back()) < 0x80 &&
           is_ascii_white_space(static_cast<unsigned char>(t.back()))) {
      t.remove_suffix(1);
    }
    t = strip(t);
    if (!t.empty()) return t;
  }
  return {};
}

// True when `text` (no digits in it) is a label, alone or with a word or two
// before or after it ("Item number:", "Shop item number:", "Numéro de
// l'objet :").
bool is_label_text(std::string_view text) {
  if (text.size() > 40) return false;
  const Lowered lower(text);
  const std::string_view whole = trim_label_end(lower.view());
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

// False when is_label_text(text) is sure to be false, told without
// lower-casing `text` (`non_ascii`: whether it holds bytes that are not
// ASCII): an ASCII text is a label text only when a label starts at its
// start or after one of its first two spaces.
bool may_be_label_text(std::string_view text, bool non_ascii) noexcept {
  if (text.size() > 40) return false;
  if (non_ascii || kItemLabelPairs.may_start(text, 0)) return true;
  std::size_t cut = text.find(' ');
  for (int words = 0; cut != std::string_view::npos && words < 2; cut = text.find(' ', cut + 1), ++words) {
    if (kItemLabelPairs.may_start(text, cut + 1)) return true;
  }
  return false;
}

// The value of a text that starts with a label and goes on with the item
// number ("SKU: 123", "Item #20417", "Bestellnummer 55120"): the word that
// holds the first digit, when what stands before it is a label.
std::optional<std::string> labelled_value(std::string_view text) {
  const auto digit = std::find_if(text.begin(), text.end(), text::is_ascii_digit);
  const std::size_t first_digit = static_cast<std::size_t>(digit - text.begin());
  std::size_t value_start = text.find_last_of(" :#\t", first_digit);
  if (value_start == std::string_view::npos || value_start > 40) return std::nullopt;
  ++value_start;
  const Lowered lower(text.substr(0, value_start));
  const std::string_view head = trim_label_end(lower.view());
  // "Item #20417", "Item # 20417": the number sign right before the number
  // makes "item" a label.
  const std::string_view sign = text::strip(lower.view().substr(head.size()));
  const bool number_sign = sign == "#";
  if (!is_label(head) && !(number_sign && head == "item")) return std::nullopt;
  return item_number(text.substr(value_start));
}

// Brand labels ("Brand:", "Marke", "Marque", "Kaubamärk" ...) and maker
// labels ("Manufacturer", "Hersteller" ...), lower-cased, without their
// trailing ":".
constexpr std::array<std::string_view, 31> kBrandLabels{
    "brand",  "brand name", "marke",    "marque",   "marca",  "marcă",  "merk",    "märke",
    "mærke",  "merke",      "merkki",   "marka",    "бренд",  "марка",  "kaubamärk", "zīmols",
    "prekės ženklas",       "značka",   "márka",    "znamka", "brend",  "μάρκα",   "ブランド",
    "品牌",   "브랜드",     "מותג",     "thương hiệu", "ยี่ห้อ", "العلامة التجارية", "merek",
    "blagovna znamka"};
constexpr std::array<std::string_view, 23> kMakerLabels{
    "manufacturer", "hersteller", "fabricant", "fabricante", "produttore", "producent", "производитель",
    "виробник",     "výrobce",    "výrobca",   "gyártó",     "valmistaja", "tillverkare", "produsent",
    "proizvođač",   "producător", "üretici",   "κατασκευαστής", "メーカー", "제조사",     "制造商",
    "make",         "tootja"};

// Item numbers shorter than this occur in texts by chance.
constexpr std::size_t kMinShownSku = 4;
// Places of one value looked at, at most: markup repeats ids in links and
// attributes, and a shown one is found among the first few.
constexpr int kMaxPlaces = 32;

// True when the page's visible text holds `value` at `at`: between two
// tags, outside scripts, styles and other raw text.
bool in_visible_text(const PageIndex& page, std::size_t at, std::size_t length) {
  const std::size_t next = page.tag_at_or_after(at);
  if (next == 0) return false;
  const Tag& before = page.tags()[next - 1];
  const std::size_t text_end = next < page.tags().size() ? page.tags()[next].begin : page.html().size();
  return at >= before.end && at + length <= text_end && holds_visible_text(before);
}

// Notes the item numbers that other sources gave and that the page shows
// the shopper in its text (searched in the whole page once each, then
// checked to stand in visible text).
void note_shown_skus(const PageIndex& page, Evidence& out) {
  // Values looked for, at most: a page names its product's item number in a
  // few fields; searching the page for every id of a long list of other
  // products would take time in the square of the page's size.
  constexpr std::size_t kMaxValues = 8;
  std::vector<std::string_view> looked;
  for (const SkuCandidate& c : out.skus) {
    if (looked.size() == kMaxValues) break;
    const bool from_text = c.source == Source::item_label || c.source == Source::link;
    if (from_text || c.other_product || c.value.size() < kMinShownSku) continue;
    if (std::find(looked.begin(), looked.end(), c.value) != looked.end()) continue;
    looked.push_back(c.value);
    std::size_t at = text::find_literal(page.html(), c.value);
    for (int places = 0; at != std::string_view::npos && places < kMaxPlaces; ++places) {
      if (in_visible_text(page, at, c.value.size())) {
        out.shown_skus.push_back(c.value);
        break;
      }
      at = text::find_literal(page.html(), c.value, at + 1);
    }
  }
}

// Label texts longer than this are sentences ("Brand: " and a name fit).
constexpr std::size_t kMaxBrandLabelText = 80;

struct BrandLabel {
  bool maker = false;
  std::string_view value;  // what follows the label in the same text; empty when the label stands alone
};

// The first bytes of the brand and maker labels, lower-cased: most texts
// of a page start otherwise and are passed over without lower-casing them.
constexpr std::array<bool, 256> kBrandLabelStarts = [] {
  std::array<bool, 256> t{};
  const auto add = [&t](std::string_view label) {
    const auto c = static_cast<unsigned char>(label.front());
    t[c] = true;
    if (c >= 'a' && c <= 'z') t[c - 'a' + 'A'] = true;
  };
  for (const std::string_view label : kBrandLabels) add(label);
  for (const std::string_view label : kMakerLabels) add(label);
  return t;
}();

// The pairs that start the brand and maker labels.
constexpr LabelPairs kBrandLabelPairs = [] {
  LabelPairs t;
  for (const std::string_view label : kBrandLabels) t.add(label);
  for (const std::string_view label : kMakerLabels) t.add(label);
  return t;
}();

// The first characters of the brand and maker labels that are not ASCII.
const std::vector<char32_t>& non_ascii_label_starts() {
  static const std::vector<char32_t> starts = [] {
    std::vector<char32_t> v;
    const auto add = [&v](std::string_view label) {
      std::size_t pos = 0;
      if (const char32_t c = text::next_code_point(label, pos); c >= 0x80) v.push_back(c);
    };
    for (const std::string_view label : kBrandLabels) add(label);
    for (const std::string_view label : kMakerLabels) add(label);
    return v;
  }();
  return starts;
}

// False when `text` cannot start with a label once lower-cased: its first
// character is not ASCII and lower-cases to no label's first (most texts of
// pages in other scripts), which is told without lower-casing the text.
// Lower-casing a whole text changes its first character as lower-casing
// that character alone does, except for a capital I with a dot, which
// gives an ASCII "i" and is let through.
bool may_start_label(std::string_view text) {
  if (static_cast<unsigned char>(text.front()) < 0x80) return true;
  std::size_t pos = 0;
  const auto first = static_cast<char32_t>(u_tolower(static_cast<UChar32>(text::next_code_point(text, pos))));
  const std::vector<char32_t>& starts = non_ascii_label_starts();
  return first < 0x80 || std::find(starts.begin(), starts.end(), first) != starts.end();
}

// `text` as a brand or maker label, alone ("Marke", "Brand:") or followed
// by its value ("Marke: Oceana"); absent when it is none.
std::optional<BrandLabel> brand_label(std::string_view text) {
  if (text.empty() || !kBrandLabelStarts[static_cast<unsigned char>(text.front())]) return std::nullopt;
  if (!kBrandLabelPairs.may_start(text, 0)) return std::nullopt;
  if (!may_start_label(text)) return std::nullopt;
  std::size_t colon = text.find(':');
  std::size_t colon_length = 1;
  if (const std::size_t wide = text.find("\xEF\xBC\x9A"); wide < colon) {  // full-width colon
    colon = wide;
    colon_length = 3;
  }
  const std::string_view head = colon == std::string_view::npos ? text : text.substr(0, colon);
  if (head.size() > 40) return std::nullopt;
  const Lowered lower(head);
  const std::string_view name = trim_label_end(lower.view());
  const auto listed = [name](const auto& labels) {
    return std::find(labels.begin(), labels.end(), name) != labels.end();
  };
  const bool brand = listed(kBrandLabels);
  if (!brand && !listed(kMakerLabels)) return std::nullopt;
  const std::string_view value =
      colon == std::string_view::npos ? std::string_view() : text::strip(text.substr(colon + colon_length));
  return BrandLabel{!brand, value};
}

}  // namespace

void read_item_labels(const PageContext& ctx, Evidence& out, bool skus, bool brands) {
  const PageIndex& page = ctx.page;
  if (skus) note_shown_skus(page, out);
  // Labelled item numbers kept, at most: a product's details list one or two.
  constexpr int kMaxLabelledSkus = 4;
  int found = 0;
  bool brand_found = false;
  bool maker_found = false;
  std::string storage;
  // Only tags with text after them: most texts between tags are blank.
  for (const std::size_t i : page.texts()) {
    const bool want_sku = skus && found < kMaxLabelledSkus;
    const bool want_brand = brands && !brand_found;
    if (!want_sku && !want_brand) break;
    if (!holds_visible_text(page.tags()[i])) continue;
    std::string_view raw = page.text_after(i);
    if (raw.size() < 3) continue;
    // ASCII white space first: most texts between tags are only that.
    const std::size_t first = page.leading_space(raw);
    if (first == raw.size()) continue;
    std::size_t last = raw.size();
    while (text::is_html_space(raw[last - 1])) --last;
    raw = raw.substr(first, last - first);
    if (raw.size() > 160) continue;
    // Labels start with a letter (or a bracket of East Asian pages).
    const unsigned char c0 = static_cast<unsigned char>(raw.front());
    if (c0 < 0x80 && !((c0 | 0x20) >= 'a' && (c0 | 0x20) <= 'z')) continue;
    const std::string_view stripped = strip(raw);
    if (want_brand && raw.size() <= kMaxBrandLabelText) {
      if (const auto label = brand_label(stripped); label && !ctx.other.contains(i)) {
        const BrandLabel& l = *label;
        // A label alone in a link is a menu entry ("Brands"), not a label.
        const bool link = page.tags()[i].kind == TagName::a && !page.tags()[i].closing;
        if (l.value.empty() && link) continue;
        const std::string_view value = l.value.empty() ? next_text(page, i) : l.value;
        if (!(l.maker ? maker_found : brand_found) && !is_label_text(value) && !brand_label(value)) {
          const std::size_t before = out.brands.size();
          out.add_brand(value, Source::item_label, l.maker);
          if (out.brands.size() > before) (l.maker ? maker_found : brand_found) = true;
        }
        continue;
      }
    }
    if (!want_sku) continue;
    // Labelled texts are short: longer ones are passed over before they
    // are read for digits.
    if (stripped.size() < 3 || stripped.size() > 64) continue;
    const TextBytes bytes = text_bytes(stripped, page.html().data() + page.html().size());
    const bool has_digit = bytes.digit;
    // A label alone needs its value, with a digit, in the next text.
    std::string_view next;
    if (!has_digit) {
      // A label alone is short (is_label_text reads at most 40 bytes; a
      // no-break space or two may pad it).
      if (raw.size() > 48) continue;
      // Read as it stands (no references, no East Asian punctuation), a
      // text that cannot be a label needs no next text.
      if (!bytes.special && !may_be_label_text(stripped, bytes.non_ascii)) continue;
      next = next_text(page, i);
      if (std::none_of(next.begin(), next.end(), text::is_ascii_digit)) continue;
    }
    raw = stripped;
    // References and East Asian punctuation are rare; only then is a copy made.
    std::string_view textv = raw;
    if (bytes.special) {
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
    out.skus.push_back({std::move(*value), Source::item_label, IdField::sku, found++ > 0});
  }
}

}  // namespace korvane::commerce::detail::extended
