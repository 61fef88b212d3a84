// Where an element stands on the page: struck through, among other
// products, an add-to-cart control; and the page's landmarks. Class and id
// values are read as words ("actionOldPrice", "price--old" and "old_price"
// all hold the word "old").
#include "commerce/metadata/extended/readers.hpp"

#include "text/unicode.hpp"

#include <algorithm>
#include <array>
#include <vector>

namespace korvane::commerce::detail::extended {
namespace {

// The words of a class or id value: runs of ASCII letters split at
// non-letters and at lower-to-upper case changes, lower-cased.
std::vector<std::string> words_of(std::string_view value) {
  std::vector<std::string> words;
  std::string word;
  char prev = 0;
  for (const char c : value) {
    const bool upper = c >= 'A' && c <= 'Z';
    const bool letter = upper || (c >= 'a' && c <= 'z');
    if (!letter || (upper && prev >= 'a' && prev <= 'z')) {
      if (!word.empty()) words.push_back(std::move(word));
      word.clear();
    }
    if (letter) word.push_back(static_cast<char>(c | 0x20));
    prev = c;
  }
  if (!word.empty()) words.push_back(std::move(word));
  return words;
}

template <std::size_t N>
bool has_word(const std::vector<std::string>& words, const std::array<std::string_view, N>& set) {
  return std::any_of(words.begin(), words.end(), [&](const std::string& w) {
    return std::find(set.begin(), set.end(), w) != set.end();
  });
}

// True when `first` is directly followed by `second` among `words`.
bool has_pair(const std::vector<std::string>& words, std::string_view first, std::string_view second) {
  for (std::size_t k = 0; k + 1 < words.size(); ++k) {
    if (words[k] == first && words[k + 1] == second) return true;
  }
  return false;
}

// The words of the class and id of `t`.
std::vector<std::string> name_words(const PageIndex& page, const Tag& t) {
  std::vector<std::string> words;
  for (const std::string_view attr : {"class", "id"}) {
    if (const auto v = page.attribute(t, attr)) {
      auto w = words_of(*v);
      words.insert(words.end(), std::make_move_iterator(w.begin()), std::make_move_iterator(w.end()));
    }
  }
  return words;
}

constexpr std::array<std::string_view, 17> kStruckWords{
    "old",    "was",      "before", "rrp",     "msrp",   "uvp",      "strike", "strikethrough", "striked",
    "crossed", "compare", "original", "previous", "prev", "former", "barred", "crossout"};

constexpr std::array<std::string_view, 20> kOtherProductWords{
    "carousel", "slider",  "swiper",      "slick",        "owl",     "related",  "recommend",
    "recommended", "recommendation", "recommendations", "similar", "upsell", "upsells", "crosssell",
    "recently",  "viewed",  "minicart",   "suggestions",  "reco",    "bestsellers"};

bool struck_by_style(const PageIndex& page, const Tag& t) {
  const auto style = page.attribute(t, "style");
  return style && icontains(*style, "line-through");
}

}  // namespace

bool is_struck(const PageIndex& page, std::size_t i) {
  std::size_t at = i;
  for (int steps = 0; at != Tag::none && steps < 6; ++steps) {
    const Tag& t = page.tags()[at];
    if (t.kind == TagName::del || t.kind == TagName::s || t.kind == TagName::strike) return true;
    const auto words = name_words(page, t);
    if (has_word(words, kStruckWords) || has_pair(words, "list", "price") || struck_by_style(page, t)) return true;
    at = t.parent;
  }
  return false;
}

bool in_other_content(const PageIndex& page, std::size_t i) {
  std::size_t at = i;
  for (int steps = 0; at != Tag::none && steps < 64; ++steps) {
    const Tag& t = page.tags()[at];
    if (t.kind == TagName::nav || t.kind == TagName::footer) return true;
    if (t.attribute_count > 0) {
      const auto words = name_words(page, t);
      if (has_word(words, kOtherProductWords) || has_pair(words, "mini", "cart") ||
          has_pair(words, "also", "bought") || has_pair(words, "also", "viewed") ||
          has_pair(words, "cross", "sell") || has_pair(words, "also", "like")) {
        return true;
      }
    }
    at = t.parent;
  }
  return false;
}

Landmarks find_landmarks(const PageIndex& page) {
  Landmarks marks;
  for (std::size_t i = 0; i < page.tags().size(); ++i) {
    const Tag& t = page.tags()[i];
    if (t.closing) continue;
    if (marks.main_heading == Tag::none && t.kind == TagName::h1 && !in_other_content(page, i)) {
      marks.main_heading = i;
    }
    if (marks.add_to_cart == Tag::none &&
        (t.kind == TagName::button || t.kind == TagName::input || t.kind == TagName::a) &&
        is_add_to_cart(page, i) && !in_other_content(page, i)) {
      marks.add_to_cart = i;
    }
    if (marks.main_heading != Tag::none && marks.add_to_cart != Tag::none) break;
  }
  return marks;
}

}  // namespace korvane::commerce::detail::extended
