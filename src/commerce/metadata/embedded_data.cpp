#include "commerce/metadata/embedded_data.hpp"

#include "commerce/metadata/patterns.hpp"
#include "text/cpu.hpp"
#include "text/json_reader.hpp"
#include "text/regex.hpp"
#include "text/unicode.hpp"
#include "text/utf8.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <utility>

#if defined(KORVANE_HAVE_AVX2_TARGET)
#include <immintrin.h>
#endif

namespace korvane::commerce::detail {
namespace json = boost::json;
namespace {

using text::find_icase;

constexpr std::size_t npos = std::string_view::npos;

int hex_value(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The code unit of a "\uXXXX" escape whose backslash is at `pos`, or -1.
long escaped_unit(std::string_view s, std::size_t pos) noexcept {
  if (pos + 6 > s.size() || s[pos] != '\\' || s[pos + 1] != 'u') return -1;
  long unit = 0;
  for (std::size_t k = pos + 2; k < pos + 6; ++k) {
    const int h = hex_value(s[k]);
    if (h < 0) return -1;
    unit = unit * 16 + h;
  }
  return unit;
}

// `text` with every escaped UTF-16 surrogate that is not part of a pair
// written as U+FFFD; absent when there is none. Pages cut strings in the
// middle of a pair, which the parser refuses.
std::optional<std::string> without_lone_surrogates(std::string_view text) {
  std::string out;
  bool changed = false;
  std::size_t copied = 0;
  for (std::size_t i = text.find('\\'); i != std::string_view::npos; i = text.find('\\', i)) {
    const long unit = escaped_unit(text, i);
    if (unit < 0xD800 || unit > 0xDFFF) {
      i += 2;  // any other escape, "\\" included
      continue;
    }
    const long next = escaped_unit(text, i + 6);
    if (unit <= 0xDBFF && next >= 0xDC00 && next <= 0xDFFF) {
      i += 12;
      continue;
    }
    out.append(text.substr(copied, i - copied));
    out.append("\\uFFFD");
    copied = i + 6;
    i += 6;
    changed = true;
  }
  if (!changed) return std::nullopt;
  out.append(text.substr(copied));
  return out;
}

// Parses one JSON text into `arena`'s memory: absent when it is not valid
// JSON (or nests deeper than kMaxJsonDepth). An escaped surrogate without
// its other half reads as U+FFFD.
std::optional<json::value> parse_json(std::string_view text, text::JsonArena& arena) {
  json::parse_options options;
  options.max_depth = kMaxJsonDepth;
  if (auto parsed = text::parse_json(text, arena, options)) return parsed;
  const auto repaired = without_lone_surrogates(text);
  if (!repaired) return std::nullopt;
  return text::parse_json(*repaired, arena, options);
}

bool is_product_type(const json::value* type) noexcept {
  if (type == nullptr) return false;
  if (type->is_string()) {
    const std::string_view t = type->get_string();
    return t == "Product" || t == "ProductGroup" || t == "IndividualProduct";
  }
  if (type->is_array()) {
    for (const auto& el : type->get_array()) {
      if (el.is_string() && (el.get_string() == "Product" || el.get_string() == "ProductGroup")) {
        return true;
      }
    }
  }
  return false;
}

bool is_container(const json::value& v) noexcept { return v.is_object() || v.is_array(); }

// Appends the products of `root` in walk order: an object is listed before
// what it holds; an "@graph" list of a non-product object is walked first and
// then once more as an ordinary member. The walk uses its own stack (no
// recursion) and stops after `budget` visits, which only nested "@graph"
// lists can exhaust: each level doubles the visits below it.
void walk_products(const json::value& root, std::vector<const json::object*>& products,
                   std::size_t budget) {
  std::vector<const json::value*> stack{&root};
  while (!stack.empty() && budget > 0) {
    --budget;
    const json::value* v = stack.back();
    stack.pop_back();
    if (const auto* obj = v->if_object()) {
      const bool product = is_product_type(obj->if_contains("@type"));
      if (product) products.push_back(obj);
      // Push in reverse so that the stack hands members out in key order,
      // the "@graph" elements before them.
      for (auto it = obj->end(); it != obj->begin();) {
        --it;
        if (is_container(it->value())) stack.push_back(&it->value());
      }
      if (!product) {
        if (const auto* graph = obj->if_contains("@graph"); graph != nullptr && graph->is_array()) {
          const auto& arr = graph->get_array();
          for (auto it = arr.end(); it != arr.begin();) {
            --it;
            if (is_container(*it)) stack.push_back(&*it);
          }
        }
      }
    } else if (const auto* arr = v->if_array()) {
      for (auto it = arr->end(); it != arr->begin();) {
        --it;
        if (is_container(*it)) stack.push_back(&*it);
      }
    }
  }
}

// The first object, depth first and parent before children, that has
// "brandName" or "brand" and also "sku" or "name"; arrays are not entered.
const json::object* search_product_object(const json::object& root) {
  std::vector<const json::object*> stack{&root};
  while (!stack.empty()) {
    const json::object* obj = stack.back();
    stack.pop_back();
    if ((obj->contains("brandName") || obj->contains("brand")) &&
        (obj->contains("sku") || obj->contains("name"))) {
      return obj;
    }
    for (auto it = obj->end(); it != obj->begin();) {
      --it;
      if (const auto* child = it->value().if_object()) stack.push_back(child);
    }
  }
  return nullptr;
}

// The starts of "<meta" or "<script" at or after a position, in order:
// from the page's list of the first ones, and past a full list from a
// search of the page.
class TagStarts {
 public:
  TagStarts(std::string_view html, const std::vector<std::size_t>& listed, std::string_view needle) noexcept
      : html_(html), listed_(listed), next_(listed.begin()), needle_(needle) {}

  // The first start at or after `pos`; npos when there is none.
  std::size_t next(std::size_t pos) noexcept {
    while (next_ != listed_.end() && *next_ < pos) ++next_;
    if (next_ != listed_.end()) return *next_;
    if (listed_.size() < PageMarkers::kListedTags) return npos;
    return find_icase(html_, needle_, std::max(pos, listed_.back() + 1));
  }

 private:
  std::string_view html_;
  const std::vector<std::size_t>& listed_;
  std::vector<std::size_t>::const_iterator next_;
  std::string_view needle_;
};

// Runs `f` on `html`, repaired first when it is not valid UTF-8.
template <class F>
auto with_valid_utf8(std::string_view html, F&& f) {
  if (text::is_valid_utf8(html)) return f(ValidUtf8{html});
  const std::string repaired = text::sanitize_utf8(html);
  return f(ValidUtf8{repaired});
}

// The scan for PageMarkers. Every marker starts with "<" or "__", which
// have no case: only the places of those bytes are compared with the
// markers.
struct MarkerScan {
  explicit MarkerScan(std::string_view page) noexcept : html(page) {}

  std::string_view html;
  PageMarkers markers;
  bool next_data_wanted = true;

  // Notes the marker that starts at `pos` (a "<", or the first of two "_"),
  // if any; returns true once nothing more is to be found.
  bool check(std::size_t pos) {
    constexpr std::size_t most = PageMarkers::kListedTags;
    if (html[pos] == '<') {
      if (markers.meta.size() < most && text::starts_with_icase(html, pos, "<meta")) {
        markers.meta.push_back(pos);
      } else if (markers.script.size() < most && text::starts_with_icase(html, pos, "<script")) {
        markers.script.push_back(pos);
      }
    } else if (next_data_wanted && text::starts_with_icase(html, pos, "__next_data__")) {
      markers.next_data = pos;
      next_data_wanted = false;
    }
    return !next_data_wanted && markers.meta.size() == most && markers.script.size() == most;
  }

  // The places from `from` on, one at a time.
  void finish(std::size_t from) {
    for (std::size_t pos = from; pos < html.size(); ++pos) {
      const char c = html[pos];
      const bool start = c == '<' || (c == '_' && next_data_wanted && pos + 1 < html.size() && html[pos + 1] == '_');
      if (start && check(pos)) return;
    }
  }
};

#if defined(KORVANE_HAVE_AVX2_TARGET)
// 32 places at a time, on processors with AVX2; returns where it stopped.
// A "<" is a candidate only before "m" or "s" in any case (most "<" of a
// page start other tags).
__attribute__((target("avx2"))) std::size_t scan_markers_avx2(MarkerScan& s) {
  const char* const base = s.html.data();
  const __m256i lt = _mm256_set1_epi8('<');
  const __m256i underscore = _mm256_set1_epi8('_');
  const __m256i m = _mm256_set1_epi8('m');
  const __m256i letter_s = _mm256_set1_epi8('s');
  const __m256i case_bit = _mm256_set1_epi8(0x20);
  std::size_t pos = 0;
  for (; pos + 33 <= s.html.size(); pos += 32) {
    const __m256i first = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(base + pos));
    const __m256i second = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(base + pos + 1));
    const __m256i second_lower = _mm256_or_si256(second, case_bit);
    const __m256i tag = _mm256_and_si256(
        _mm256_cmpeq_epi8(first, lt),
        _mm256_or_si256(_mm256_cmpeq_epi8(second_lower, m), _mm256_cmpeq_epi8(second_lower, letter_s)));
    const __m256i next_data =
        _mm256_and_si256(_mm256_cmpeq_epi8(first, underscore), _mm256_cmpeq_epi8(second, underscore));
    auto hits = static_cast<std::uint32_t>(_mm256_movemask_epi8(tag));
    if (s.next_data_wanted) hits |= static_cast<std::uint32_t>(_mm256_movemask_epi8(next_data));
    for (; hits != 0; hits &= hits - 1) {
      if (s.check(pos + static_cast<std::size_t>(std::countr_zero(hits)))) return s.html.size();
    }
  }
  return pos;
}
#endif

}  // namespace

// ---------------------------------------------------------------- JSON-LD

AllMarkers find_all_markers(ValidUtf8 page) {
  static constexpr std::array<text::Needle, 8> needles{{{"<meta", PageMarkers::kListedTags},
                                                        {"<script", PageMarkers::kListedTags},
                                                        {"__next_data__"},
                                                        {"itemprop="},
                                                        {"woocommerce-price-amount"},
                                                        {"sku"},
                                                        {"instock"},
                                                        {"outofstock"}}};
  auto found = text::find_each_icase(page.text, needles);
  const auto first = [&found](std::size_t k) { return found[k].empty() ? npos : found[k].front(); };
  AllMarkers m;
  m.page.next_data = first(2);
  m.shop.itemprop = first(3);
  m.shop.woocommerce = first(4);
  m.shop.sku = first(5);
  m.shop.in_stock = first(6);
  m.shop.out_of_stock = first(7);
  m.page.meta = std::move(found[0]);
  m.page.script = std::move(found[1]);
  return m;
}

ShopMarkers find_shop_markers(ValidUtf8 page) {
  static constexpr std::array<text::Needle, 5> needles{
      {{"itemprop="}, {"woocommerce-price-amount"}, {"sku"}, {"instock"}, {"outofstock"}}};
  const auto found = text::find_each_icase(page.text, needles);
  const auto first = [&found](std::size_t k) { return found[k].empty() ? npos : found[k].front(); };
  return ShopMarkers{first(0), first(1), first(2), first(3), first(4)};
}

PageMarkers find_page_markers(ValidUtf8 page) {
  MarkerScan scan(page.text);
  std::size_t pos = 0;
#if defined(KORVANE_HAVE_AVX2_TARGET)
  if (text::has_avx2()) pos = scan_markers_avx2(scan);
#endif
  scan.finish(pos);
  return std::move(scan.markers);
}

LdJsonProducts find_ld_json_products(ValidUtf8 page) { return find_ld_json_products(page, find_page_markers(page)); }

LdJsonProducts find_ld_json_products(ValidUtf8 page, const PageMarkers& markers) {
  const std::string_view html = page.text;
  const Regex& re = page_patterns().ld_json_script;
  RegexMatch m(re);
  LdJsonProducts out;
  std::size_t pos = 0;
  // A match is "<script", its tag up to the first ">" (which must name the
  // JSON-LD type) and the text up to the first "</script>" after that. When
  // a tag does not qualify, no "<script" inside the same tag can (each sees
  // a shorter part of it), so the scan resumes after the tag: every byte is
  // looked at a bounded number of times whatever the page holds.
  TagStarts scripts(html, markers.script, "<script");
  while (true) {
    const std::size_t start = scripts.next(pos);
    if (start == npos) break;
    const std::size_t tag_end = html.find('>', start + 7);
    if (tag_end == npos) break;  // no later "<script" has a closing ">" either
    if (find_icase(html.substr(0, tag_end), "application/ld+json", start + 7) == npos) {
      pos = tag_end + 1;
      continue;
    }
    const std::size_t close = find_icase(html, "</script>", tag_end + 1);
    if (close == npos) break;  // every later body would run to the end as well
    // The body runs from the tag's ">" to the first "</script>": only the
    // tag is left to the pattern.
    if (!re.search(html.substr(0, tag_end + 1), start, m)) {
      pos = tag_end + 1;
      continue;
    }
    pos = close + 9;
    const std::string_view body = text::strip(html.substr(tag_end + 1, close - tag_end - 1));
    if (body.empty()) continue;
    if (!out.arena) out.arena = std::make_unique<text::JsonArena>();  // one for all blocks
    auto parsed = parse_json(body, *out.arena);
    if (!parsed) continue;
    const json::value& doc = out.documents.emplace_back(std::move(*parsed));
    walk_products(doc, out.products, 4 * body.size() + 1024);
  }
  return out;
}

LdJsonProducts find_ld_json_products(std::string_view html) {
  return with_valid_utf8(html, [](ValidUtf8 v) { return find_ld_json_products(v); });
}

// ---------------------------------------------------------------- Next.js

NextDataProduct find_next_data_product(ValidUtf8 page) {
  return find_next_data_product(page, find_page_markers(page));
}

NextDataProduct find_next_data_product(ValidUtf8 page, const PageMarkers& markers) {
  const std::string_view html = page.text;
  const Regex& re = page_patterns().next_data_script;
  RegexMatch m(re);
  std::size_t pos = 0;
  std::string_view body;
  bool found = false;
  // Only a script tag that holds the marker qualifies: a page without it
  // in any case (most pages) has no state.
  constexpr std::string_view marker = "__NEXT_DATA__";
  if (markers.next_data == npos) return {};
  // The same scan as for JSON-LD, case-sensitive; only the first match counts.
  TagStarts scripts(html, markers.script, "<script");
  while (!found) {
    // The first "<script" in lower case at or after `pos`.
    std::size_t start = scripts.next(pos);
    while (start != npos && html.compare(start, 7, "<script") != 0) start = scripts.next(start + 1);
    if (start == npos) return {};
    const std::size_t tag_end = html.find('>', start + 7);
    if (tag_end == npos) return {};
    if (html.substr(start + 7, tag_end - start - 7).find(marker) == npos) {
      pos = tag_end + 1;
      continue;
    }
    const std::size_t close = text::find_literal(html, "</script>", tag_end + 1);
    if (close == npos) return {};
    if (!re.search(html.substr(0, tag_end + 1), start, m)) {
      pos = tag_end + 1;
      continue;
    }
    body = html.substr(tag_end + 1, close - tag_end - 1);
    found = true;
  }

  auto arena = std::make_unique<text::JsonArena>();
  auto parsed = parse_json(body, *arena);
  if (!parsed || !parsed->is_object()) return {};
  NextDataProduct out(std::move(arena), std::move(*parsed));
  const json::object empty;
  const json::object* props = &out.document.get_object();
  for (const std::string_view key : {"props", "pageProps"}) {
    const json::value* v = props->if_contains(key);
    if (v == nullptr) {
      props = &empty;
    } else if (v->is_object()) {
      props = &v->get_object();
    } else {
      return out;
    }
  }
  if (props == &empty) return out;
  for (const std::string_view key : {"productTemplate", "product", "item", "productDetails"}) {
    if (const json::value* v = props->if_contains(key); v != nullptr && v->is_object()) {
      out.product = &v->get_object();
      return out;
    }
  }
  out.product = search_product_object(*props);
  return out;
}

NextDataProduct find_next_data_product(std::string_view html) {
  return with_valid_utf8(html, [](ValidUtf8 v) { return find_next_data_product(v); });
}

// ---------------------------------------------------------------- meta tags

MetaTags extract_meta_tags(ValidUtf8 page) { return extract_meta_tags(page, find_page_markers(page)); }

MetaTags extract_meta_tags(ValidUtf8 page, const PageMarkers& markers) {
  const std::string_view html = page.text;
  const PagePatterns& patterns = page_patterns();
  RegexMatch tag(patterns.meta_tag);
  RegexMatch property(patterns.meta_property);
  RegexMatch content(patterns.meta_content);
  MetaTags out;
  std::size_t pos = 0;
  TagStarts metas(html, markers.meta, "<meta");
  while (true) {
    const std::size_t start = metas.next(pos);
    if (start == npos) break;
    // A match ends at the first ">" after "<meta"; without one, neither this
    // nor any later tag can match.
    const std::size_t tag_end = html.find('>', start + 5);
    if (tag_end == npos) break;
    if (!patterns.meta_tag.search(html.substr(0, tag_end + 1), start, tag)) {
      pos = start + 5;
      continue;
    }
    pos = tag_end + 1;
    const std::string_view attributes = tag.group(html, 1);
    if (!patterns.meta_property.search(attributes, 0, property) ||
        !patterns.meta_content.search(attributes, 0, content)) {
      continue;
    }
    const std::string_view key = text::strip(property.group(attributes, 1));
    const std::string_view value = text::strip(content.group(attributes, 1));
    if (key.empty() || value.empty()) continue;
    out.insert_or_assign(text::to_lower(key), std::string(value));
  }
  return out;
}

MetaTags extract_meta_tags(std::string_view html) {
  return with_valid_utf8(html, [](ValidUtf8 v) { return extract_meta_tags(v); });
}

// ---------------------------------------------------------------- title

std::optional<std::string> extract_html_title(ValidUtf8 page) {
  const std::string_view html = page.text;
  const Regex& re = page_patterns().title;
  // The first "<title" decides: its tag ends at the first ">", its text at the
  // first "</title>" after that; when either is missing, no later "<title"
  // can match.
  const std::size_t start = find_icase(html, "<title", 0);
  if (start == npos) return std::nullopt;
  const std::size_t tag_end = html.find('>', start + 6);
  if (tag_end == npos) return std::nullopt;
  const std::size_t close = find_icase(html, "</title>", tag_end + 1);
  if (close == npos) return std::nullopt;
  RegexMatch m(re);
  if (!re.search(html.substr(0, close + 8), start, m)) return std::nullopt;
  return text::collapse_white_space(m.group(html, 1));
}

std::optional<std::string> extract_html_title(std::string_view html) {
  return with_valid_utf8(html, [](ValidUtf8 v) { return extract_html_title(v); });
}

}  // namespace korvane::commerce::detail
