#include "commerce/metadata/extended/page_index.hpp"

#include "text/html.hpp"
#include "text/regex.hpp"
#include "text/unicode.hpp"
#include "text/utf8.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <limits>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace korvane::commerce::detail::extended {
namespace {

constexpr std::size_t npos = std::string_view::npos;

// Deepest nesting followed; deeper elements are indexed but not entered.
constexpr std::size_t kMaxOpenElements = 512;
// How far down the open elements an end tag looks for its start tag.
constexpr std::size_t kEndTagReach = 24;

using text::ascii_lower;
using text::find_icase;
using text::is_html_space;
using text::starts_with_icase;

// What the tokenizer asks of a byte inside a tag, one table look-up for
// all: HTML white space, "/", ">" and "=".
enum ByteClass : std::uint8_t { byte_space = 1U << 0, byte_slash = 1U << 1, byte_gt = 1U << 2, byte_eq = 1U << 3 };
constexpr std::array<std::uint8_t, 256> kByteClass = [] {
  std::array<std::uint8_t, 256> t{};
  for (const char c : {' ', '\t', '\n', '\r', '\f'}) t[static_cast<unsigned char>(c)] = byte_space;
  t['/'] = byte_slash;
  t['>'] = byte_gt;
  t['='] = byte_eq;
  return t;
}();

std::uint8_t class_of(char c) noexcept { return kByteClass[static_cast<unsigned char>(c)]; }

// Bytes that end an attribute name: white space, "/", ">" and "=".
constexpr std::uint8_t kAttributeNameEnd = byte_space | byte_slash | byte_gt | byte_eq;
// Bytes that end a tag name: white space, "/" and ">".
constexpr std::uint8_t kTagNameEnd = byte_space | byte_slash | byte_gt;

bool is_ascii_letter(char c) noexcept { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// What the tokenizer and the text reader need to know about an element name.
struct NameInfo {
  std::string_view name;  // lower case
  TagName kind = TagName::other;
  bool void_element = false;  // never has content
  bool raw_text = false;      // its content is text up to its own end tag
  bool inline_element = false;  // its text runs on without a space
};

// Sorted by name.
constexpr std::array<NameInfo, 66> kNames{{
    {"a", TagName::a, false, false, true},
    {"abbr", TagName::other, false, false, true},
    {"area", TagName::other, true, false, false},
    {"aside", TagName::aside},
    {"b", TagName::other, false, false, true},
    {"base", TagName::other, true, false, false},
    {"bdi", TagName::other, false, false, true},
    {"body", TagName::body},
    {"br", TagName::br, true, false, false},
    {"button", TagName::button},
    {"cite", TagName::other, false, false, true},
    {"code", TagName::other, false, false, true},
    {"col", TagName::other, true, false, false},
    {"data", TagName::other, false, false, true},
    {"dd", TagName::dd},
    {"del", TagName::del, false, false, true},
    {"div", TagName::div},
    {"dt", TagName::dt},
    {"em", TagName::other, false, false, true},
    {"embed", TagName::other, true, false, false},
    {"font", TagName::other, false, false, true},
    {"footer", TagName::footer},
    {"form", TagName::form},
    {"h1", TagName::h1},
    {"h2", TagName::h2},
    {"head", TagName::head},
    {"header", TagName::header},
    {"hr", TagName::other, true, false, false},
    {"i", TagName::other, false, false, true},
    {"iframe", TagName::other, false, true, false},
    {"img", TagName::other, true, false, true},
    {"input", TagName::input, true, false, false},
    {"ins", TagName::other, false, false, true},
    {"label", TagName::other, false, false, true},
    {"li", TagName::li},
    {"link", TagName::link, true, false, false},
    {"mark", TagName::other, false, false, true},
    {"meta", TagName::meta, true, false, false},
    {"nav", TagName::nav},
    {"noembed", TagName::other, false, true, false},
    {"noframes", TagName::other, false, true, false},
    {"option", TagName::option},
    {"p", TagName::p},
    {"param", TagName::other, true, false, false},
    {"q", TagName::other, false, false, true},
    {"s", TagName::s, false, false, true},
    {"script", TagName::script, false, true, false},
    {"select", TagName::select},
    {"small", TagName::other, false, false, true},
    {"source", TagName::other, true, false, false},
    {"span", TagName::other, false, false, true},
    {"strike", TagName::strike, false, false, true},
    {"strong", TagName::other, false, false, true},
    {"style", TagName::style, false, true, false},
    {"sub", TagName::other, false, false, true},
    {"sup", TagName::other, false, false, true},
    {"td", TagName::td},
    {"template", TagName::template_},
    {"textarea", TagName::textarea, false, true, false},
    {"th", TagName::th},
    {"time", TagName::other, false, false, true},
    {"title", TagName::title, false, true, false},
    {"tr", TagName::tr},
    {"track", TagName::other, true, false, false},
    {"u", TagName::other, false, false, true},
    {"wbr", TagName::other, true, false, true},
}};



// The entries of kNames by first letter and length ('a' to 'z', 1 to 8
// bytes): at most five names share both ("script", "select", "source",
// "strike", "strong"), and a lookup compares only those.
constexpr std::size_t kMaxNameLength = 8;
constexpr std::size_t kMaxSameLetterAndLength = 5;
constexpr std::uint8_t kNoName = 0xFF;
using NameGroup = std::array<std::uint8_t, kMaxSameLetterAndLength>;
constexpr std::array<NameGroup, 26 * kMaxNameLength> kNameGroups = [] {
  std::array<NameGroup, 26 * kMaxNameLength> groups{};
  for (NameGroup& g : groups) g.fill(kNoName);
  for (std::size_t k = 0; k < kNames.size(); ++k) {
    const std::string_view n = kNames[k].name;
    NameGroup& g = groups[static_cast<std::size_t>(n[0] - 'a') * kMaxNameLength + n.size() - 1];
    std::size_t slot = 0;
    while (g[slot] != kNoName) ++slot;  // one name more than the group holds does not compile
    g[slot] = static_cast<std::uint8_t>(k);
  }
  return groups;
}();

// The entry of `info` in kNames; kNoName for a name not listed.
std::uint8_t name_id(const NameInfo& info) noexcept {
  return info.name.empty() ? kNoName : static_cast<std::uint8_t>(&info - kNames.data());
}

// The bytes of a name of at most kMaxNameLength bytes, lower-cased, in one
// word (the first byte lowest): names compare as one number.
constexpr std::uint64_t packed_name(std::string_view name) noexcept {
  std::uint64_t w = 0;
  for (std::size_t i = 0; i < name.size(); ++i) {
    w |= static_cast<std::uint64_t>(static_cast<unsigned char>(ascii_lower(name[i]))) << (8U * i);
  }
  return w;
}

// The names of kNames packed.
constexpr std::array<std::uint64_t, kNames.size()> kPackedNames = [] {
  std::array<std::uint64_t, kNames.size()> packed{};
  for (std::size_t k = 0; k < kNames.size(); ++k) packed[k] = packed_name(kNames[k].name);
  return packed;
}();

// The entry of kNames for packed name `packed` of `size` bytes.
const NameInfo& info_of_packed(std::uint64_t packed, std::size_t size) noexcept {
  static constexpr NameInfo unknown{};
  const auto first = static_cast<char>(packed & 0xFFU);
  if (first < 'a' || first > 'z') return unknown;
  const NameGroup& group = kNameGroups[static_cast<std::size_t>(first - 'a') * kMaxNameLength + size - 1];
  for (const std::uint8_t k : group) {
    if (k == kNoName) break;
    if (kPackedNames[k] == packed) return kNames[k];
  }
  return unknown;
}

const NameInfo& info_of(std::string_view name) noexcept {
  static constexpr NameInfo unknown{};
  if (name.empty() || name.size() > kMaxNameLength) return unknown;
  return info_of_packed(packed_name(name), name.size());
}

// info_of(name) for a name that eight bytes of the page follow from its
// start: the name is read as one word and its capitals made small at once.
const NameInfo& info_of_readable(std::string_view name) noexcept {
  static constexpr NameInfo unknown{};
  static_assert(std::endian::native == std::endian::little, "the first byte lowest, as packed_name puts it");
  if (name.empty() || name.size() > kMaxNameLength) return unknown;
  std::uint64_t w = 0;
  std::memcpy(&w, name.data(), 8);
  if (name.size() < 8) w &= (std::uint64_t{1} << (8U * name.size())) - 1U;
  constexpr std::uint64_t ones = 0x0101010101010101U;
  constexpr std::uint64_t high = 0x80U * ones;
  const std::uint64_t low7 = w & ~high;
  // High bit of each byte: at least "A", above "Z", and ASCII.
  const std::uint64_t capital = (low7 + (0x80U - 'A') * ones) & ~(low7 + (0x7FU - 'Z') * ones) & ~w & high;
  return info_of_packed(w | (capital >> 2U), name.size());
}

// Elements a start tag of the same name closes when it is the innermost open one.
bool ends_itself(TagName kind) noexcept {
  switch (kind) {
    case TagName::li:
    case TagName::p:
    case TagName::option:
    case TagName::tr:
    case TagName::td:
    case TagName::th:
    case TagName::dt:
    case TagName::dd: return true;
    default: return false;
  }
}

// Four bytes of `v` from `i` with ASCII letters lower-cased (other bytes
// change too, but never into a letter).
std::uint32_t lower4(std::string_view v, std::size_t i) noexcept {
  std::uint32_t w = 0;
  std::memcpy(&w, v.data() + i, 4);
  return w | 0x20202020U;
}

constexpr std::uint32_t word4(const char (&s)[5]) noexcept {
  // In memory order, as lower4 loads them on a little-endian machine.
  return static_cast<std::uint32_t>(static_cast<unsigned char>(s[0])) |
         static_cast<std::uint32_t>(static_cast<unsigned char>(s[1])) << 8U |
         static_cast<std::uint32_t>(static_cast<unsigned char>(s[2])) << 16U |
         static_cast<std::uint32_t>(static_cast<unsigned char>(s[3])) << 24U;
}

// The first two bytes of a set of words, in either case: bit k of
// first[a] & second[b] is set when a, b start word k. Most positions of a
// value start no word of the set and are passed over with two look-ups.
struct PairTables {
  std::array<std::uint8_t, 256> first{};
  std::array<std::uint8_t, 256> second{};
  std::array<std::array<char, 2>, 8> pairs{};  // the same pairs, lower case
  std::size_t count = 0;

  [[nodiscard]] bool may_start(std::string_view v, std::size_t i) const noexcept {
    return (first[static_cast<unsigned char>(v[i])] & second[static_cast<unsigned char>(v[i + 1])]) != 0;
  }

  // Calls `f` with each position of `v` that four bytes follow and where a
  // word may start, in order, until `f` returns true; returns whether it
  // did. While twenty bytes remain, sixteen positions are tested at once
  // (a byte with bit 5 set is a lower-case letter only when it was a letter).
  template <class F>
  bool each_start(std::string_view v, F&& f) const {
    std::size_t i = 0;
#if defined(__SSE2__)
    const __m128i case_bit = _mm_set1_epi8(0x20);
    // Most values are shorter: copied into a block padded with zeros (which
    // start no word), their positions are tested at once.
    if (v.size() < 20) {
      if (v.size() < 4) return false;
      alignas(16) std::array<char, 32> block{};
      std::memcpy(block.data(), v.data(), v.size());
      const __m128i a = _mm_or_si128(_mm_load_si128(reinterpret_cast<const __m128i*>(block.data())), case_bit);
      const __m128i b = _mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(block.data() + 1)), case_bit);
      __m128i starts = _mm_setzero_si128();
      for (std::size_t k = 0; k < count; ++k) {
        starts = _mm_or_si128(starts, _mm_and_si128(_mm_cmpeq_epi8(a, _mm_set1_epi8(pairs[k][0])),
                                                    _mm_cmpeq_epi8(b, _mm_set1_epi8(pairs[k][1]))));
      }
      // Positions that four bytes of the value follow.
      const unsigned positions = (1U << (v.size() - 3)) - 1U;
      for (auto hits = static_cast<unsigned>(_mm_movemask_epi8(starts)) & positions; hits != 0; hits &= hits - 1) {
        if (f(static_cast<std::size_t>(std::countr_zero(hits)))) return true;
      }
      return false;
    }
    for (; i + 20 <= v.size(); i += 16) {
      const __m128i a = _mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(v.data() + i)), case_bit);
      const __m128i b = _mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(v.data() + i + 1)), case_bit);
      __m128i starts = _mm_setzero_si128();
      for (std::size_t k = 0; k < count; ++k) {
        starts = _mm_or_si128(starts, _mm_and_si128(_mm_cmpeq_epi8(a, _mm_set1_epi8(pairs[k][0])),
                                                    _mm_cmpeq_epi8(b, _mm_set1_epi8(pairs[k][1]))));
      }
      for (auto hits = static_cast<unsigned>(_mm_movemask_epi8(starts)); hits != 0; hits &= hits - 1) {
        if (f(i + static_cast<std::size_t>(std::countr_zero(hits)))) return true;
      }
    }
#endif
    for (; i + 4 <= v.size(); ++i) {
      if (may_start(v, i) && f(i)) return true;
    }
    return false;
  }
};

template <std::size_t N>
constexpr PairTables pair_tables(const std::array<std::string_view, N>& pairs) {
  static_assert(N <= 8, "one bit per pair");
  PairTables t;
  t.count = N;
  for (std::size_t k = 0; k < N; ++k) {
    t.pairs[k] = {pairs[k][0], pairs[k][1]};
    const auto bit = static_cast<std::uint8_t>(1U << k);
    for (const int shift : {0, 'a' - 'A'}) {
      t.first[static_cast<unsigned char>(pairs[k][0] - shift)] |= bit;
      t.second[static_cast<unsigned char>(pairs[k][1] - shift)] |= bit;
    }
  }
  return t;
}

// "price", "availab", "stock", "sold", "inventory".
constexpr PairTables kNameWordStarts = pair_tables<5>({"pr", "av", "st", "so", "in"});
// "cart", "basket", "bag", "buy", "trolley".
constexpr PairTables kCartWordStarts = pair_tables<4>({"ca", "ba", "bu", "tr"});
// "price", "sku", "code", "number".
constexpr PairTables kDataWordStarts = pair_tables<4>({"pr", "sk", "co", "nu"});

// Hints of a class, id or itemprop value: "price", "availab", "stock",
// "sold", "inventory" anywhere in it, without ASCII case. Four bytes are
// compared at a time: class values are long and the words are rare.
std::uint16_t hints_of_name_value(std::string_view v) noexcept {
  static_assert(std::endian::native == std::endian::little, "lower4 reads little-endian words");
  std::uint16_t h = 0;
  kNameWordStarts.each_start(v, [&](std::size_t i) {
    const std::uint32_t w = lower4(v, i);
    if (w == word4("pric")) {
      if (i + 4 < v.size() && ascii_lower(v[i + 4]) == 'e') h |= hint_price;
    } else if (w == word4("avai")) {
      if (starts_with_icase(v, i, "availab")) h |= hint_stock;
    } else if (w == word4("stoc") || w == word4("sold")) {
      if (w == word4("sold") || (i + 4 < v.size() && ascii_lower(v[i + 4]) == 'k')) h |= hint_stock;
    } else if (w == word4("inve")) {
      if (starts_with_icase(v, i, "inventory")) h |= hint_stock;
    }
    return false;
  });
  return h;
}

// Hints of any naming value: add-to-cart words ("cart", "basket", "bag",
// "buy", "trolley"), four bytes at a time.
std::uint16_t hints_of_value(std::string_view v) noexcept {
  constexpr std::uint32_t three = 0x00FFFFFFU;  // the first three bytes of a word
  const auto three_letter = [](std::uint32_t w) { return (w & three) == (word4("bag_") & three) || (w & three) == (word4("buy_") & three); };
  const bool found = kCartWordStarts.each_start(v, [&](std::size_t i) {
    const std::uint32_t w = lower4(v, i);
    return w == word4("cart") || w == word4("bask") || three_letter(w) ||
           (w == word4("trol") && starts_with_icase(v, i, "trolley"));
  });
  if (found) return hint_cart;
  // A three-letter word at the very end.
  if (v.size() >= 3) {
    const std::size_t at = v.size() - 3;
    const std::uint32_t w = static_cast<std::uint32_t>(static_cast<unsigned char>(v[at]) | 0x20U) |
                            static_cast<std::uint32_t>(static_cast<unsigned char>(v[at + 1]) | 0x20U) << 8U |
                            static_cast<std::uint32_t>(static_cast<unsigned char>(v[at + 2]) | 0x20U) << 16U;
    if (three_letter(w)) return hint_cart;
  }
  return 0;
}

// Hints of a data-* attribute name: "price" in it, or "sku", "code" or
// "number" (without ASCII case), read in one pass.
std::uint16_t hints_of_data_name(std::string_view n) noexcept {
  struct Word {
    std::string_view lower;
    std::uint16_t hint;
  };
  static constexpr std::array<Word, 4> words{
      {{"price", hint_price}, {"sku", hint_sku}, {"code", hint_sku}, {"number", hint_sku}}};
  // Every word is three bytes or more; most positions start none.
  std::uint16_t h = 0;
  for (std::size_t i = 0; i + 3 <= n.size(); ++i) {
    if (!kDataWordStarts.may_start(n, i)) continue;
    for (const Word& w : words) {
      if (starts_with_icase(n, i, w.lower)) h |= w.hint;
    }
  }
  return h;
}

// The hints of one attribute of a tag of kind `kind`. Add-to-cart words
// only matter on the controls that can be one.
std::uint16_t hints_of(std::string_view n, std::string_view value, TagName kind) noexcept {
  const bool control = kind == TagName::button || kind == TagName::input || kind == TagName::a;
  const auto cart = [&](std::string_view v) -> std::uint16_t { return control ? hints_of_value(v) : 0; };
  // "data-" in any case: four letters compared as one word.
  if (n.size() > 5 && lower4(n, 0) == word4("data") && n[4] == '-') return cart(value) | hints_of_data_name(n);
  switch (n.size()) {
    case 2:
      if (iequals(n, "id")) return hints_of_name_value(value) | cart(value);
      break;
    case 4:
      if (iequals(n, "name")) return hint_name | cart(value);
      break;
    case 5:
      if (iequals(n, "class")) return hints_of_name_value(value) | cart(value);
      if (iequals(n, "value") || iequals(n, "title")) return cart(value);
      break;
    case 8:
      if (iequals(n, "itemprop") || iequals(n, "property")) {
        return hint_itemprop | hints_of_name_value(value);
      }
      break;
    case 10:
      if (iequals(n, "aria-label")) return cart(value);
      break;
    default: break;
  }
  return 0;
}

class Tokenizer {
 public:
  Tokenizer(std::string_view html, std::vector<Tag>& tags, std::vector<Attribute>& attributes, TagLists& lists)
      : h_(html), tags_(tags), attributes_(attributes), lists_(lists) {}

  // Indexes the page; returns where its text ends: the page's end, or the
  // start of a tag or comment that never ends (which, like a browser, the
  // index drops).
  std::size_t run() {
    const std::size_t text_end = tags_and_texts();
    // Nothing follows the last tag to tell that its text is blank.
    if (!tags_.empty()) lists_.texts.push_back(static_cast<std::uint32_t>(tags_.size() - 1));
    return text_end;
  }

 private:
  // The pass itself. Each tag but the last is listed in lists_.texts once
  // a later tag settles whether its text is blank.
  std::size_t tags_and_texts() {
    std::size_t pos = 0;
    while (pos < h_.size()) {
      bool blank = false;
      const std::size_t lt = find_tag_start(pos, blank);
      if (lt == npos) break;
      const std::size_t count = tags_.size();
      const std::size_t next = step(lt);
      if (tags_.size() > count) {
        // The text from the end of the last tag up to a tag that starts at
        // `lt` is that tag's text.
        if (count > 0) {
          if (blank && tags_[count].begin == lt && tags_[count - 1].end == pos) {
            tags_[count - 1].blank_after = true;
          } else {
            lists_.texts.push_back(static_cast<std::uint32_t>(count - 1));
          }
        }
        // Of two tags read together (a script and its end tag), the first is
        // never marked blank.
        for (std::size_t k = count; k + 1 < tags_.size(); ++k) lists_.texts.push_back(static_cast<std::uint32_t>(k));
      }
      pos = next;
      if (pos == npos) return unterminated_ == npos ? lt : unterminated_;
    }
    return h_.size();
  }

  // Reads what starts at the "<" at `lt`; returns where to go on, npos when
  // the rest of the page is one unterminated construct.
  std::size_t step(std::size_t lt) {
    if (lt + 1 >= h_.size()) return npos;
    const char c = h_[lt + 1];
    if (c == '!') {
      if (h_.compare(lt, 4, "<!--") == 0) {
        const std::size_t close = h_.find("-->", lt + 4);
        if (close == npos) return npos;
        add_comment(lt, close + 3);
        return close + 3;
      }
      return bogus_comment(lt);
    }
    if (c == '?') return bogus_comment(lt);
    if (c == '/') {
      if (lt + 2 < h_.size() && is_ascii_letter(h_[lt + 2])) return end_tag(lt);
      return bogus_comment(lt);
    }
    if (is_ascii_letter(c)) return start_tag(lt);
    return lt + 1;  // a "<" in text
  }

  std::size_t bogus_comment(std::size_t lt) {
    const std::size_t gt = h_.find('>', lt + 2);
    if (gt == npos) return npos;
    add_comment(lt, gt + 1);
    return gt + 1;
  }

  void add_comment(std::size_t begin, std::size_t end) {
    Tag t;
    t.kind = TagName::comment;
    t.begin = static_cast<std::uint32_t>(begin);
    t.end = static_cast<std::uint32_t>(end);
    t.parent = parent();
    tags_.push_back(t);
  }

  // Where byte `c` first occurs from `from`; npos when it does not.
  // Attribute values are mostly short: up to 64 bytes are compared here, 16
  // at once, before the library search takes over.
  std::size_t find_byte(char c, std::size_t from) const noexcept {
    const char* const d = h_.data();
    const std::size_t n = h_.size();
#if defined(__SSE2__)
    const __m128i wanted = _mm_set1_epi8(c);
    for (int block = 0; block < 4 && from + 16 <= n; ++block, from += 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + from));
      const auto hits = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, wanted)));
      if (hits != 0) return from + static_cast<std::size_t>(std::countr_zero(hits));
    }
#endif
    return h_.find(c, from);
  }

  // Adds start tag `t`, and to the lists of its kind.
  void push_start_tag(const Tag& t) {
    const auto index = static_cast<std::uint32_t>(tags_.size());
    tags_.push_back(t);
    if (t.hints != 0) lists_.hinted.push_back(index);
    if (t.kind == TagName::script) lists_.scripts.push_back(index);
    if (t.kind == TagName::meta) lists_.metas.push_back(index);
    const bool control = t.kind == TagName::input || t.kind == TagName::a;
    if (t.kind == TagName::button || (control && (t.hints & hint_cart) != 0)) lists_.cart_controls.push_back(index);
    lists_.hints |= t.hints;
  }

  // Where the next "<" stands from `from`; npos when none does. `blank`
  // tells whether only white space stands before it, when that is known at
  // no cost: 16 bytes are compared at once, and the "<" stands in the first
  // block that holds something other than white space.
  std::size_t find_tag_start(std::size_t from, bool& blank) const noexcept {
    blank = false;
#if defined(__SSE2__)
    // Blocks of white space only (deep indentation) are passed over here.
    for (; from + 16 <= h_.size(); from += 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(h_.data() + from));
      const __m128i space = _mm_or_si128(
          _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(' ')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\n'))),
          _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\t')),
                       _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\r')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\f')))));
      const auto other = ~static_cast<unsigned>(_mm_movemask_epi8(space)) & 0xFFFFU;
      const auto hits = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8('<'))));
      if (hits != 0) {
        const auto at = static_cast<unsigned>(std::countr_zero(hits));
        blank = (other & ((1U << at) - 1U)) == 0;
        return from + at;
      }
      if (other != 0) return h_.find('<', from + 16);
    }
#endif
    return h_.find('<', from);
  }

  // Where the attribute name that goes on at `p` ends: at white space, "/",
  // ">", "=" or the page's end. Most names are short and read byte by byte;
  // past 8 bytes (data-* names), 16 bytes are compared at once.
  std::size_t attribute_name_end(std::size_t p) const noexcept {
    const char* const d = h_.data();
    const std::size_t n = h_.size();
    for (const std::size_t stop = std::min(n, p + 8); p < stop; ++p) {
      if ((class_of(d[p]) & kAttributeNameEnd) != 0) return p;
    }
#if defined(__SSE2__)
    for (; p + 16 <= n; p += 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + p));
      const auto is = [&v](char c) { return _mm_cmpeq_epi8(v, _mm_set1_epi8(c)); };
      const __m128i ends = _mm_or_si128(_mm_or_si128(_mm_or_si128(is(' '), is('=')), _mm_or_si128(is('>'), is('/'))),
                                        _mm_or_si128(_mm_or_si128(is('\n'), is('\t')), _mm_or_si128(is('\r'), is('\f'))));
      const auto hits = static_cast<unsigned>(_mm_movemask_epi8(ends));
      if (hits != 0) return p + static_cast<std::size_t>(std::countr_zero(hits));
    }
#endif
    while (p < n && (class_of(d[p]) & kAttributeNameEnd) == 0) ++p;
    return p;
  }

  // The name that starts at `p`, up to white space, "/" or ">".
  std::string_view name_at(std::size_t& p) const noexcept {
    const char* const d = h_.data();
    const std::size_t n = h_.size();
    const std::size_t begin = p;
    while (p < n && (class_of(d[p]) & kTagNameEnd) == 0) ++p;
    return h_.substr(begin, p - begin);
  }

  // Reads attributes from `p` up to and past the tag's ">"; returns the
  // position after it, or npos when the tag never ends. `self_closing` tells
  // whether "/>" ended it. With `keep`, the attributes (the first 65535 of
  // them) are added to the page's and their hints to hints_; an end tag's
  // attributes mean nothing and are only passed over.
  template <bool keep>
  std::size_t attributes_from(std::size_t p, TagName kind, bool& self_closing) {
    // The page's bytes through locals: the attributes' vector is written in
    // the loop, and the compiler cannot tell that it does not hold h_.
    const char* const d = h_.data();
    const std::size_t n = h_.size();
    std::size_t kept = 0;
    std::uint16_t hints = 0;
    self_closing = false;
    while (true) {
      for (std::uint8_t c = 0; p < n && ((c = class_of(d[p])) & (byte_space | byte_slash)) != 0; ++p) {
        self_closing = c == byte_slash;
      }
      if (p >= n) return npos;
      if (d[p] == '>') {
        if constexpr (keep) hints_ = hints;
        return p + 1;
      }
      self_closing = false;
      const std::size_t name_begin = p;
      p = attribute_name_end(p + 1);
      const std::string_view name(d + name_begin, p - name_begin);
      std::size_t q = p;
      while (q < n && class_of(d[q]) == byte_space) ++q;
      std::string_view value;
      if (q < n && d[q] == '=') {
        ++q;
        while (q < n && class_of(d[q]) == byte_space) ++q;
        if (q >= n) return npos;
        if (d[q] == '"' || d[q] == '\'') {
          const std::size_t close = find_byte(d[q], q + 1);
          if (close == npos) return npos;
          value = std::string_view(d + q + 1, close - q - 1);
          p = close + 1;
        } else {
          const std::size_t begin = q;
          while (q < n && (class_of(d[q]) & (byte_space | byte_gt)) == 0) ++q;
          value = std::string_view(d + begin, q - begin);
          p = q;
        }
      }
      if constexpr (keep) {
        // Beyond 65535 attributes a tag keeps the first ones (and memory
        // stays bounded on a tag that never ends).
        if (kept < 0xFFFF) {
          ++kept;
          attributes_.push_back({name, value});
          hints = static_cast<std::uint16_t>(hints | hints_of(name, value, kind));
        }
      }
    }
  }

  std::size_t start_tag(std::size_t lt) {
    std::size_t p = lt + 1;
    Tag t;
    const std::string_view name = name_at(p);
    const NameInfo& info = lt + 9 <= h_.size() ? info_of_readable(name) : info_of(name);
    t.name_length = static_cast<std::uint16_t>(std::min<std::size_t>(name.size(), 0xFFFF));
    t.kind = info.kind;
    t.raw_text = info.raw_text;
    t.inline_element = info.inline_element;
    t.begin = static_cast<std::uint32_t>(lt);
    t.first_attribute = static_cast<std::uint32_t>(attributes_.size());
    bool self_closing = false;
    const std::size_t after = attributes_from<true>(p, t.kind, self_closing);
    if (after == npos) {
      attributes_.resize(t.first_attribute);
      return npos;
    }
    t.end = static_cast<std::uint32_t>(after);
    t.hints = hints_;
    t.attribute_count = static_cast<std::uint16_t>(attributes_.size() - t.first_attribute);

    if (ends_itself(t.kind) && !open_.empty() && tags_[open_.back().tag].kind == t.kind) {
      tags_[open_.back().tag].content_end = t.begin;
      open_.pop_back();
    }
    t.parent = parent();
    const auto index = static_cast<std::uint32_t>(tags_.size());

    if (info.raw_text) {
      const std::size_t close = raw_text_end(after, info.name);
      t.content_end = static_cast<std::uint32_t>(close == npos ? h_.size() : close);
      push_start_tag(t);
      if (close == npos) {
        unterminated_ = h_.size();  // the element's text runs to the end
        return npos;
      }
      return end_tag(close);
    }
    push_start_tag(t);
    if (!self_closing && !info.void_element && open_.size() < kMaxOpenElements) open_.push_back({index, name_id(info)});
    return after;
  }

  // Where the end tag of raw-text element `name` (in lower case) starts,
  // from `from`: "</" and the name in any case, then white space, "/", ">"
  // or the page's end. Scripts are a large part of most pages and hold many
  // "<": the scan looks for the whole "</name" at once.
  std::size_t raw_text_end(std::size_t from, std::string_view name) const noexcept {
    std::array<char, 2 + kMaxNameLength> buffer{'<', '/'};
    std::copy(name.begin(), name.end(), buffer.begin() + 2);
    const std::string_view end_tag(buffer.data(), 2 + name.size());
    std::size_t p = from;
    while (true) {
      const std::size_t lt = find_icase(h_, end_tag, p);
      if (lt == npos) return npos;
      const std::size_t after = lt + end_tag.size();
      if (after == h_.size() || is_html_space(h_[after]) || h_[after] == '/' || h_[after] == '>') return lt;
      p = lt + 2;
    }
  }

  // Inlined in its two callers: nearly half the tags are end tags, and the
  // call's own cost is a large part of reading one.
  [[gnu::always_inline]] std::size_t end_tag(std::size_t lt) {
    std::size_t p = lt + 2;
    Tag t;
    const std::string_view name = name_at(p);
    t.name_length = static_cast<std::uint16_t>(std::min<std::size_t>(name.size(), 0xFFFF));
    t.closing = true;
    t.begin = static_cast<std::uint32_t>(lt);
    const std::size_t mark = attributes_.size();
    bool self_closing = false;
    // Most end tags close right after their name.
    const std::size_t after =
        p < h_.size() && h_[p] == '>' ? p + 1 : attributes_from<false>(p, TagName::comment, self_closing);
    if (after == npos) return npos;
    t.end = static_cast<std::uint32_t>(after);
    t.first_attribute = static_cast<std::uint32_t>(mark);

    if (closes_innermost_as_written(name, t)) {
      tags_[open_.back().tag].content_end = t.begin;
      open_.pop_back();
    } else {
      close_named(name, t);
    }
    t.parent = parent();
    tags_.push_back(t);
    return after;
  }

  // Most end tags close the innermost open element and spell its name as
  // its start tag does: then that tag tells what the name is (the search of
  // the open elements would stop at it as well). Sets `t`'s kind when so.
  bool closes_innermost_as_written(std::string_view name, Tag& t) const noexcept {
    if (open_.empty()) return false;
    const Tag& start = tags_[open_.back().tag];
    if (start.name_length != name.size()) return false;
    // Names are short: compared here rather than by a call.
    const char* const written = h_.data() + start.begin + 1;
    for (std::size_t k = 0; k < name.size(); ++k) {
      if (written[k] != name[k]) return false;
    }
    t.kind = start.kind;
    t.raw_text = start.raw_text;
    t.inline_element = start.inline_element;
    return true;
  }

  // Sets `t`'s kind from `name`, and closes the nearest open element of that
  // name within kEndTagReach levels, with the elements inside it.
  void close_named(std::string_view name, Tag& t) {
    const NameInfo& info = info_of(name);
    t.kind = info.kind;
    t.raw_text = info.raw_text;
    t.inline_element = info.inline_element;
    // Listed names compare by their entry; others as written.
    const std::uint8_t id = name_id(info);
    const std::size_t reach = std::min(open_.size(), kEndTagReach);
    for (std::size_t k = 0; k < reach; ++k) {
      const std::size_t at = open_.size() - 1 - k;
      if (open_[at].name != id) continue;
      if (id == kNoName) {
        const Tag& candidate = tags_[open_[at].tag];
        if (!text::ascii_iequals(h_.substr(candidate.begin + 1, candidate.name_length), name)) continue;
      }
      for (std::size_t j = at; j < open_.size(); ++j) tags_[open_[j].tag].content_end = t.begin;
      open_.resize(at);
      return;
    }
  }

  std::string_view h_;
  std::vector<Tag>& tags_;
  std::vector<Attribute>& attributes_;
  TagLists& lists_;
  // An element not closed yet: its start tag and its name's entry in kNames.
  struct OpenElement {
    std::uint32_t tag;
    std::uint8_t name;
  };

  // The innermost open element's start tag.
  std::uint32_t parent() const noexcept { return open_.empty() ? Tag::none : open_.back().tag; }

  std::vector<OpenElement> open_;
  std::uint16_t hints_ = 0;           // of the start tag read last
  std::size_t unterminated_ = npos;  // where the text ends when the last element never closes
};

}  // namespace

// ---------------------------------------------------------------- ASCII helpers

bool istarts_with(std::string_view hay, std::string_view lower_text) noexcept {
  return hay.size() >= lower_text.size() && iequals(hay.substr(0, lower_text.size()), lower_text);
}

bool icontains(std::string_view hay, std::string_view lower_text) noexcept {
  if (hay.size() >= 64) return find_icase(hay, lower_text) != npos;
  // Short texts (attribute names and values): a plain loop beats the set-up
  // of the vectorised search.
  if (lower_text.empty()) return true;
  for (std::size_t i = 0; i + lower_text.size() <= hay.size(); ++i) {
    if (ascii_lower(hay[i]) == lower_text[0] && starts_with_icase(hay, i, lower_text)) return true;
  }
  return false;
}

// ---------------------------------------------------------------- PageIndex

PageIndex::PageIndex(ValidUtf8 html) : html_(html.text) {
  constexpr std::size_t limit = std::numeric_limits<std::uint32_t>::max() - 1;
  if (html_.size() > limit) {
    html_ = html_.substr(0, text::code_point_start(html_, limit));
  }
  tags_.reserve(html_.size() / 48 + 16);
  attributes_.reserve(html_.size() / 40 + 16);
  text_end_ = Tokenizer(html_, tags_, attributes_, lists_).run();
}

std::optional<std::string_view> PageIndex::attribute(const Tag& tag, std::string_view name) const noexcept {
  for (const Attribute& a : attributes(tag)) {
    if (iequals(a.name, name)) return a.value;
  }
  return std::nullopt;
}

std::optional<std::string> PageIndex::attribute_text(const Tag& tag, std::string_view name) const {
  const auto raw = attribute(tag, name);
  if (!raw) return std::nullopt;
  return text::html_unescape(*raw);
}

std::size_t PageIndex::leading_space(std::string_view text) const noexcept {
  if (text.empty()) return 0;
  std::size_t i = 0;
#if defined(__SSE2__)
  const auto readable = static_cast<std::size_t>(html_.data() + html_.size() - text.data());
  const __m128i space = _mm_set1_epi8(' ');
  const __m128i tab = _mm_set1_epi8('\t');
  const __m128i line_feed = _mm_set1_epi8('\n');
  const __m128i form_feed = _mm_set1_epi8('\f');
  const __m128i carriage_return = _mm_set1_epi8('\r');
  for (; i < text.size() && i + 16 <= readable; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + i));
    const __m128i blank = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(v, space), _mm_cmpeq_epi8(v, line_feed)),
        _mm_or_si128(_mm_cmpeq_epi8(v, tab),
                     _mm_or_si128(_mm_cmpeq_epi8(v, carriage_return), _mm_cmpeq_epi8(v, form_feed))));
    const auto other = static_cast<unsigned>(~_mm_movemask_epi8(blank)) & 0xFFFFU;
    if (other != 0) return std::min(text.size(), i + static_cast<std::size_t>(std::countr_zero(other)));
  }
  if (i >= text.size()) return text.size();
#endif
  while (i < text.size() && is_html_space(text[i])) ++i;
  return i;
}

std::string PageIndex::element_text(std::size_t i, std::size_t max_bytes) const {
  if (i >= tags_.size() || tags_[i].closing || tags_[i].kind == TagName::comment) return {};
  const Tag& start = tags_[i];
  const std::size_t stop = start.content_end == Tag::none ? html_.size() : start.content_end;
  if (start.raw_text) {
    const std::string_view body = html_.substr(start.end, stop > start.end ? stop - start.end : 0);
    return text::collapse_white_space(text::html_unescape(body.substr(0, std::min(body.size(), 4 * max_bytes))));
  }
  std::string raw;
  std::size_t j = i;
  // Bounded by text and by tags, so that elements holding many empty tags
  // cost no more than short ones.
  const std::size_t last_tag = std::min(tags_.size(), i + 8 * max_bytes);
  while (j < last_tag && raw.size() < 4 * max_bytes) {
    const Tag& t = tags_[j];
    if (t.begin >= stop && j != i) break;
    if (j != i && !t.closing && (t.kind == TagName::script || t.kind == TagName::style ||
                                 t.kind == TagName::template_ || t.kind == TagName::textarea)) {
      // Skip the element's content: go on after its end.
      const std::size_t resume = t.content_end == Tag::none ? html_.size() : t.content_end;
      j = tag_at_or_after(resume);
      continue;
    }
    if (j != i && t.kind != TagName::comment && !t.inline_element) raw.push_back(' ');
    std::string_view piece = text_after(j);
    if (piece.data() + piece.size() > html_.data() + stop) {
      piece = piece.substr(0, stop > t.end ? stop - t.end : 0);
    }
    raw.append(piece);
    ++j;
  }
  std::string out = text::collapse_white_space(text::html_unescape(raw));
  if (out.size() > max_bytes) {
    out.resize(text::code_point_start(out, max_bytes));
  }
  return out;
}

std::size_t PageIndex::tag_at_or_after(std::size_t offset) const noexcept {
  const auto it = std::lower_bound(tags_.begin(), tags_.end(), offset,
                                   [](const Tag& t, std::size_t off) { return t.begin < off; });
  return static_cast<std::size_t>(it - tags_.begin());
}

}  // namespace korvane::commerce::detail::extended
