#include "commerce/metadata/shop_markup.hpp"

#include "commerce/metadata/patterns.hpp"

#include <vector>

namespace korvane::commerce::detail {
namespace {

using text::find_icase;
using text::starts_with_icase;

constexpr std::size_t npos = std::string_view::npos;

bool is_quote(char c) noexcept { return c == '"' || c == '\'' || c == '\\'; }

// Position of the first quote character (either quote or a backslash) at or
// after `from`.
std::size_t find_quote(std::string_view s, std::size_t from) noexcept {
  return s.find_first_of("\"'\\", from);
}

// Attribute `name` followed by a quoted value at `pos`: the position of the
// opening quote, or npos.
std::size_t value_quote_at(std::string_view html, std::size_t pos, std::string_view name) noexcept {
  const std::size_t quote = pos + name.size();
  return quote < html.size() && is_quote(html[quote]) ? quote : npos;
}

std::optional<std::string_view> group_one(const Regex& re, std::string_view subject, std::size_t start) {
  RegexMatch m(re);
  if (!re.search(subject, start, m)) return std::nullopt;
  return m.group(subject, 1);
}

// The microdata patterns: itemprop=Q <property> Q, the rest of the start tag,
// then content=Q <value> Q. A try fails for the whole tag once the property
// matched: a later "itemprop=" in the same tag sees less of it. So the scan
// resumes after the tag and each byte is looked at a bounded number of times.
std::optional<std::string_view> find_microdata(std::string_view html, const Regex& re, std::string_view property,
                                               std::size_t first) {
  RegexMatch m(re);
  std::size_t pos = 0;
  for (std::size_t start = first;; start = find_icase(html, "itemprop=", pos)) {
    if (start == npos) return std::nullopt;
    const std::size_t open = value_quote_at(html, start, "itemprop=");
    const std::size_t close = open + 1 + property.size();
    if (open == npos || !starts_with_icase(html, open + 1, property) || close >= html.size() ||
        !is_quote(html[close])) {
      pos = start + 1;
      continue;
    }
    // "content=" starts before the tag's first ">"; its value may run on to
    // the first quote character after that.
    const std::size_t tag_end = html.find('>', close + 1);
    std::size_t window = html.size();
    if (tag_end != npos) {
      const std::size_t q = find_quote(html, tag_end);
      if (q != npos) window = q + 1;
    }
    if (re.search(html.substr(0, window), start, m)) return m.group(html, 1);
    if (tag_end == npos) return std::nullopt;
    pos = tag_end + 1;
  }
}

// `>([^<]+)</span>` at `gt`: some text, then the span's end tag.
bool span_text_follows(std::string_view html, std::size_t gt) noexcept {
  if (gt + 1 >= html.size() || html[gt + 1] == '<') return false;
  const std::size_t lt = html.find('<', gt + 1);
  return lt != npos && starts_with_icase(html, lt, "</span>");
}

}  // namespace

std::optional<std::string_view> find_woocommerce_amount(ValidUtf8 page) {
  return find_woocommerce_amount(page, find_icase(page.text, "woocommerce-price-amount"));
}

std::optional<std::string_view> find_woocommerce_amount(ValidUtf8 page, std::size_t first) {
  const std::string_view html = page.text;
  if (first == npos) return std::nullopt;
  const Regex& re = page_patterns().woocommerce_amount;
  RegexMatch m(re);
  std::size_t pos = 0;
  // A try starts at "class=": a quoted value holding the marker, the rest of
  // the tag, then what follows the tag. Once a value with the marker failed,
  // every later "class=" of the same tag reaches the same tag end and the
  // same continuation, so the scan resumes after the tag.
  while (true) {
    const std::size_t start = find_icase(html, "class=", pos);
    if (start == npos) return std::nullopt;
    const std::size_t open = value_quote_at(html, start, "class=");
    if (open == npos) {
      pos = start + 1;
      continue;
    }
    const std::size_t close = find_quote(html, open + 1);
    if (close == npos) return std::nullopt;  // no later value can close either
    if (find_icase(html.substr(0, close), "woocommerce-price-amount", open + 1) == npos) {
      pos = start + 1;
      continue;
    }
    if (re.search(html, start, m)) return m.group(html, 1);
    const std::size_t tag_end = html.find('>', close + 1);
    if (tag_end == npos) return std::nullopt;
    pos = tag_end + 1;
  }
}

std::optional<std::string_view> find_microdata_price(ValidUtf8 html) {
  return find_microdata_price(html, find_icase(html.text, "itemprop="));
}
std::optional<std::string_view> find_microdata_price(ValidUtf8 html, std::size_t first_itemprop) {
  return find_microdata(html.text, page_patterns().microdata_price, "price", first_itemprop);
}

std::optional<std::string_view> find_microdata_currency(ValidUtf8 html) {
  return find_microdata_currency(html, find_icase(html.text, "itemprop="));
}
std::optional<std::string_view> find_microdata_currency(ValidUtf8 html, std::size_t first_itemprop) {
  return find_microdata(html.text, page_patterns().microdata_currency, "pricecurrency", first_itemprop);
}

std::optional<std::string_view> find_microdata_sku(ValidUtf8 html) {
  return find_microdata_sku(html, find_icase(html.text, "itemprop="));
}
std::optional<std::string_view> find_microdata_sku(ValidUtf8 html, std::size_t first_itemprop) {
  return find_microdata(html.text, page_patterns().microdata_sku, "sku", first_itemprop);
}

std::optional<std::string_view> find_sku_span(ValidUtf8 page) { return find_sku_span(page, find_icase(page.text, "sku")); }

std::optional<std::string_view> find_sku_span(ValidUtf8 page, std::size_t first_sku) {
  const std::string_view html = page.text;
  if (first_sku == npos) return std::nullopt;
  const Regex& re = page_patterns().sku_span_class;
  RegexMatch m(re);
  std::vector<std::size_t> classes;
  std::size_t pos = 0;
  // A match is "<span", attributes up to a "class=" before the tag's first
  // ">", a quoted value holding "sku", the rest of the tag and the span's
  // text. The leftmost "<span" wins and, the attributes being matched
  // greedily, the last qualifying "class=" in it. Every "class=" whose value
  // closes inside the tag reaches the same tag end and text, which is checked
  // once; only the last value may close beyond the tag. When a tag fails, no
  // "<span" inside it can match, so the scan resumes after it.
  while (true) {
    const std::size_t start = find_icase(html, "<span", pos);
    if (start == npos) return std::nullopt;
    const std::size_t tag_end = html.find('>', start + 5);
    if (tag_end == npos) return std::nullopt;
    const std::string_view tag = html.substr(0, tag_end);
    classes.clear();
    for (std::size_t c = find_icase(tag, "class=", start + 5); c != npos;
         c = find_icase(tag, "class=", c + 6)) {
      classes.push_back(c);
    }
    int text_at_tag_end = -1;  // unknown until needed
    for (auto it = classes.rbegin(); it != classes.rend(); ++it) {
      const std::size_t open = value_quote_at(html, *it, "class=");
      if (open == npos) continue;
      const std::size_t close = find_quote(html, open + 1);
      if (close == npos) continue;
      if (find_icase(html.substr(0, close), "sku", open + 1) == npos) continue;
      if (close < tag_end) {
        if (text_at_tag_end < 0) text_at_tag_end = span_text_follows(html, tag_end) ? 1 : 0;
        if (text_at_tag_end == 0) continue;
      }
      if (re.search(html, *it, m)) return m.group(html, 1);
    }
    pos = tag_end + 1;
  }
}

std::optional<std::string_view> find_sku_data_attribute(ValidUtf8 page) {
  return find_sku_data_attribute(page, find_icase(page.text, "sku"));
}

std::optional<std::string_view> find_sku_data_attribute(ValidUtf8 page, std::size_t first_sku) {
  // The attribute name holds "sku" at its 14th byte.
  constexpr std::size_t sku_at = 13;
  if (first_sku == npos) return std::nullopt;
  if (find_icase(page.text, "data-product_sku=", first_sku >= sku_at ? first_sku - sku_at : 0) == npos) {
    return std::nullopt;
  }
  return group_one(page_patterns().sku_data_attribute, page.text, 0);
}

bool has_in_stock_class(ValidUtf8 page) {
  if (find_icase(page.text, "instock") == npos) return false;
  RegexMatch m(page_patterns().in_stock_class);
  return page_patterns().in_stock_class.search(page.text, 0, m);
}

bool has_out_of_stock_class(ValidUtf8 page) {
  if (find_icase(page.text, "outofstock") == npos) return false;
  RegexMatch m(page_patterns().out_of_stock_class);
  return page_patterns().out_of_stock_class.search(page.text, 0, m);
}

// ---------------------------------------------------------------- one page's finds

const ShopMarkers& ShopMarkup::markers() {
  if (!markers_) markers_ = find_shop_markers(html_);
  return *markers_;
}

std::optional<std::string_view> ShopMarkup::woocommerce_amount() {
  return woocommerce_amount_.get([this] { return find_woocommerce_amount(html_, markers().woocommerce); });
}
std::optional<std::string_view> ShopMarkup::microdata_price() {
  return microdata_price_.get([this] { return find_microdata_price(html_, markers().itemprop); });
}
std::optional<std::string_view> ShopMarkup::microdata_currency() {
  return microdata_currency_.get([this] { return find_microdata_currency(html_, markers().itemprop); });
}
std::optional<std::string_view> ShopMarkup::microdata_sku() {
  return microdata_sku_.get([this] { return find_microdata_sku(html_, markers().itemprop); });
}
std::optional<std::string_view> ShopMarkup::sku_span() {
  return sku_span_.get([this] { return find_sku_span(html_, markers().sku); });
}
std::optional<std::string_view> ShopMarkup::sku_data_attribute() {
  return sku_data_attribute_.get([this] { return find_sku_data_attribute(html_, markers().sku); });
}

bool ShopMarkup::states_stock(bool in_stock) {
  // Class and vocabulary term both hold the bare term, so a page without it
  // is passed over after one scan.
  const auto has_term = [this](std::size_t first, std::string_view term, std::string_view vocabulary_term,
                               const Regex& class_pattern) {
    if (first == npos) return false;
    RegexMatch m(class_pattern);
    const std::size_t prefix = vocabulary_term.size() - term.size();
    return class_pattern.search(html_.text, 0, m) ||
           find_icase(html_.text, vocabulary_term, first >= prefix ? first - prefix : 0) != npos;
  };
  const PagePatterns& patterns = page_patterns();
  if (in_stock) {
    return in_stock_.get(
        [&] { return has_term(markers().in_stock, "instock", "schema.org/instock", patterns.in_stock_class); });
  }
  return out_of_stock_.get([&] {
    return has_term(markers().out_of_stock, "outofstock", "schema.org/outofstock", patterns.out_of_stock_class);
  });
}

}  // namespace korvane::commerce::detail
