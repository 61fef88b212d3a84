// Where an element stands on the page: struck through, among other
// products, an add-to-cart control; and the page's landmarks. Class and id
// values are read as words ("actionOldPrice", "price--old", "old_price" and
// "priceold" all hold the word "old").
#include "commerce/metadata/extended/readers.hpp"

#include "text/unicode.hpp"

#include <algorithm>
#include <array>
#include <unordered_map>
#include <vector>

namespace korvane::commerce::detail::extended {
namespace {

// Calls `f` with each word of a class or id value: runs of ASCII letters
// split at non-letters and at lower-to-upper case changes ("actionOldPrice"
// gives action, Old, Price). Stops early when `f` returns true; returns
// whether it did.
template <class F>
bool any_word(std::string_view value, F&& f) {
  std::size_t begin = 0;
  const auto is_upper = [](char c) { return c >= 'A' && c <= 'Z'; };
  const auto is_letter = [&](char c) { return is_upper(c) || (c >= 'a' && c <= 'z'); };
  for (std::size_t i = 0; i <= value.size(); ++i) {
    const bool boundary = i == value.size() || !is_letter(value[i]) ||
                          (is_upper(value[i]) && i > 0 && value[i - 1] >= 'a' && value[i - 1] <= 'z');
    if (!boundary) continue;
    if (i > begin && f(value.substr(begin, i - begin))) return true;
    begin = (i < value.size() && is_letter(value[i])) ? i : i + 1;
  }
  return false;
}

// Calls `f` with the parts of a word that joins "price" to another word
// without a separator ("priceold", "oldprice", "unitprice"): the other word
// and "price" in their order, else with the word itself. Stops early when
// `f` returns true; returns whether it did.
template <class F>
bool each_part(std::string_view word, F&& f) {
  constexpr std::string_view price = "price";
  if (word.size() > price.size()) {
    if (istarts_with(word, price)) return f(word.substr(0, price.size())) || f(word.substr(price.size()));
    const std::string_view tail = word.substr(word.size() - price.size());
    if (iequals(tail, price)) return f(word.substr(0, word.size() - price.size())) || f(tail);
  }
  return f(word);
}

template <std::size_t N>
bool in_set(std::string_view word, const std::array<std::string_view, N>& set) {
  return std::any_of(set.begin(), set.end(), [&](std::string_view w) { return iequals(word, w); });
}

// True when the class or id of `t` holds a word of `set`, or `first` directly
// followed by one of the `seconds`.
template <std::size_t N, std::size_t M>
bool names_with(const PageIndex& page, const Tag& t, const std::array<std::string_view, N>& set,
                const std::array<std::pair<std::string_view, std::string_view>, M>& pairs) {
  for (const std::string_view attr : {"class", "id"}) {
    const auto v = page.attribute(t, attr);
    if (!v || v->empty()) continue;
    std::string_view previous;
    const auto word = [&](std::string_view w) {
      // "no-slider", "not-sold": the name says the element is not one.
      const bool negated = iequals(previous, "no") || iequals(previous, "not") || iequals(previous, "non");
      if (!negated && in_set(w, set)) return true;
      for (const auto& [a, b] : pairs) {
        if (iequals(previous, a) && iequals(w, b)) return true;
      }
      previous = w;
      return false;
    };
    const bool hit = any_word(*v, [&](std::string_view w) { return each_part(w, word); });
    if (hit) return true;
  }
  return false;
}

constexpr std::array<std::string_view, 17> kStruckWords{
    "old",    "was",      "before", "rrp",     "msrp",   "uvp",      "strike", "strikethrough", "striked",
    "crossed", "compare", "original", "previous", "prev", "former", "barred", "crossout"};
constexpr std::array<std::pair<std::string_view, std::string_view>, 1> kStruckPairs{{{"list", "price"}}};

constexpr std::array<std::string_view, 24> kOtherAmountWords{
    "unit",     "base",      "installment", "installments", "instalment", "monthly", "month",
    "shipping", "delivery",  "save",        "saving",       "savings",    "discount", "points",
    "reward",   "financing", "finance",     "deposit",      "perunit",
    // instalments and base prices as Spanish, Portuguese and German shops name them
    "cuota",    "cuotas",    "parcela",     "parcelas",     "grundpreis"};
constexpr std::array<std::pair<std::string_view, std::string_view>, 1> kOtherAmountPairs{{{"per", "unit"}}};

constexpr std::array<std::string_view, 24> kOtherProductWords{
    "carousel", "slider",  "swiper",      "slick",        "owl",     "related",  "recommend",
    "recommended", "recommendation", "recommendations", "similar", "upsell", "upsells", "crosssell",
    "recently",  "viewed",  "minicart",   "suggestions",  "reco",    "bestsellers",
    // "frequently-bought-together", bundles and accessories offered beside the product
    "together",  "bundle",  "bundles",    "accessories"};
constexpr std::array<std::pair<std::string_view, std::string_view>, 5> kOtherProductPairs{
    {{"mini", "cart"}, {"also", "bought"}, {"also", "viewed"}, {"cross", "sell"}, {"also", "like"}}};

// How far up a struck-through or former-price name reaches: a price is
// wrapped in a few spans and a box ("old-price" > "price" > span > span);
// farther up, the name is a whole offer block's, which holds the current
// price too.
constexpr int kStruckLevels = 6;
// A unit, shipping or saving name sits on the amount or its label pair.
constexpr int kOtherAmountLevels = 2;

// A control or report is hidden by its own attributes or its wrapper's (the
// button, its box, its form); farther up, a hidden element is a whole panel.
constexpr int kHiddenLevels = 3;
// Class names that hide an element whole ("hidden-xs" hides it on small
// screens only and is no such name).
constexpr std::array<std::string_view, 5> kHidingClasses{"hidden", "hide", "d-none", "is-hidden", "invisible"};

bool hides(const PageIndex& page, const Tag& t) {
  if (page.attribute(t, "hidden")) return true;
  if (const auto style = page.attribute(t, "style")) {
    std::string compact;
    for (const char c : *style) {
      if (c != ' ') compact.push_back(text::ascii_lower(c));
    }
    if (compact.find("display:none") != std::string::npos || compact.find("visibility:hidden") != std::string::npos) {
      return true;
    }
  }
  const auto cls = page.attribute(t, "class");
  if (!cls) return false;
  const std::vector<std::string_view> names = text::split_white_space(*cls);
  const bool hiding = std::any_of(names.begin(), names.end(), [](std::string_view name) {
    return std::any_of(kHidingClasses.begin(), kHidingClasses.end(), [&](std::string_view h) { return iequals(name, h); });
  });
  // "d-none d-md-block": hidden on small screens, shown from a breakpoint on.
  const bool shown_from_a_breakpoint = std::any_of(names.begin(), names.end(), [](std::string_view name) {
    return name.size() > 5 && istarts_with(name, "d-") && !iequals(name.substr(name.size() - 5), "-none") &&
           name.find('-', 2) != std::string_view::npos;
  });
  return hiding && !shown_from_a_breakpoint;
}

bool struck_by_style(const PageIndex& page, const Tag& t) {
  const auto style = page.attribute(t, "style");
  return style && icontains(*style, "line-through");
}

}  // namespace

bool is_hidden(const PageIndex& page, std::size_t i) {
  std::size_t at = i;
  for (int steps = 0; at != Tag::none && steps < kHiddenLevels; ++steps) {
    if (hides(page, page.tags()[at])) return true;
    at = page.tags()[at].parent;
  }
  return false;
}

std::vector<std::size_t> unlisted(const PageIndex& page, std::span<const std::size_t> tags) {
  std::vector<std::string_view> classes;
  classes.reserve(tags.size());
  for (const std::size_t i : tags) classes.push_back(page.attribute(page.tags()[i], "class").value_or(std::string_view()));
  // Counted once each (a page of many thousands of controls would take the
  // square of their number to count them element by element).
  std::unordered_map<std::string_view, long> counts;
  for (const std::string_view c : classes) {
    if (!c.empty()) ++counts[c];
  }
  std::vector<std::size_t> out;
  for (std::size_t k = 0; k < tags.size(); ++k) {
    const bool listed = !classes[k].empty() && counts[classes[k]] >= kListRepeats;
    if (!listed) out.push_back(tags[k]);
  }
  return out;
}

bool class_has_word(const PageIndex& page, const Tag& t, std::span<const std::string_view> words) {
  const auto cls = page.attribute(t, "class");
  return cls && any_word(*cls, [&](std::string_view w) {
           return std::any_of(words.begin(), words.end(), [&](std::string_view x) { return iequals(w, x); });
         });
}

bool is_struck(const PageIndex& page, std::size_t i) {
  std::size_t at = i;
  for (int steps = 0; at != Tag::none && steps < kStruckLevels; ++steps) {
    const Tag& t = page.tags()[at];
    if (t.kind == TagName::del || t.kind == TagName::s || t.kind == TagName::strike) return true;
    if (t.attribute_count > 0 && (names_with(page, t, kStruckWords, kStruckPairs) || struck_by_style(page, t))) {
      return true;
    }
    at = t.parent;
  }
  return false;
}

bool is_other_amount(const PageIndex& page, std::size_t i) {
  std::size_t at = i;
  for (int steps = 0; at != Tag::none && steps < kOtherAmountLevels; ++steps) {
    const Tag& t = page.tags()[at];
    if (t.attribute_count > 0 && names_with(page, t, kOtherAmountWords, kOtherAmountPairs)) return true;
    at = t.parent;
  }
  return false;
}

bool OtherContentMap::contains(std::size_t i) const {
  // Walk up to the first element whose answer is known, then settle the
  // answers on the way back down.
  std::vector<std::size_t>& path = path_;
  path.clear();
  std::size_t at = i;
  while (at != Tag::none && known_[at] == unknown) {
    path.push_back(at);
    at = page_.tags()[at].parent;
  }
  bool inside = at != Tag::none && known_[at] == 1;
  for (auto it = path.rbegin(); it != path.rend(); ++it) {
    const Tag& t = page_.tags()[*it];
    inside = inside || t.kind == TagName::nav || t.kind == TagName::footer ||
             (t.attribute_count > 0 && names_with(page_, t, kOtherProductWords, kOtherProductPairs));
    known_[*it] = inside ? 1 : 0;
  }
  return inside;
}

namespace {

// The first h1 outside other content.
Landmarks find_main_heading(const PageIndex& page, const OtherContentMap& other) {
  Landmarks marks;
  for (std::size_t i = 0; i < page.tags().size(); ++i) {
    const Tag& t = page.tags()[i];
    if (!t.closing && t.kind == TagName::h1 && !other.contains(i)) {
      marks.main_heading = i;
      break;
    }
  }
  return marks;
}

// The first add-to-cart control outside other content and outside lists.
std::size_t find_add_to_cart(const PageIndex& page, const OtherContentMap& other) {
  std::vector<std::size_t> carts;  // add-to-cart controls outside other content
  for (const std::size_t i : page.cart_controls()) {
    if (is_add_to_cart(page, i) && !other.contains(i)) carts.push_back(i);
  }
  // The controls of a list of products (a class many of them share) are not the product's.
  const std::vector<std::size_t> own = unlisted(page, carts);
  return own.empty() ? Tag::none : own.front();
}

std::vector<std::string> titles_of(const PageIndex& page, const Landmarks& marks) {
  // Titles are a line; reading further only reads descriptions.
  constexpr std::size_t kMaxTitleBytes = 200;
  std::vector<std::string> titles;
  if (marks.main_heading != Tag::none) titles.push_back(page.element_text(marks.main_heading, kMaxTitleBytes));
  std::string og, title;
  for (std::size_t i = 0; i < page.tags().size(); ++i) {
    const Tag& t = page.tags()[i];
    if (t.kind == TagName::body) break;
    if (t.closing) continue;
    if (t.kind == TagName::title && title.empty()) title = page.element_text(i, kMaxTitleBytes);
    if (t.kind == TagName::meta && og.empty()) {
      if (const auto key = page.attribute(t, "property"); key && iequals(*key, "og:title")) {
        og = page.attribute_text(t, "content").value_or("");
      }
    }
  }
  for (std::string* s : {&og, &title}) {
    if (!s->empty()) titles.push_back(std::move(*s));
  }
  return titles;
}

}  // namespace

PageContext::PageContext(const PageIndex& index, std::string_view link)
    : page(index), url(link), other(index), country_currency(locale_currency(index, link)),
      landmarks_(find_main_heading(index, other)) {
  titles = titles_of(index, landmarks_);
}

const Landmarks& PageContext::landmarks() const {
  if (!add_to_cart_known_) {
    landmarks_.add_to_cart = find_add_to_cart(page, other);
    add_to_cart_known_ = true;
  }
  return landmarks_;
}

}  // namespace korvane::commerce::detail::extended
