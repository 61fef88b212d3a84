// The price a shopper sees: elements whose class, id, itemprop or data
// attribute names a price and whose short text reads as an amount with a
// currency; not struck through or named as a former price, not among other
// products; the one nearest after the main heading or next to the
// add-to-cart control.
#include "commerce/metadata/extended/readers.hpp"

#include "commerce/money.hpp"
#include "text/html.hpp"
#include "text/unicode.hpp"

#include <algorithm>
#include <vector>

namespace korvane::commerce::detail::extended {
namespace {

// Texts longer than this are containers of more than a price ("€ 1.299,00
// inkl. MwSt. zzgl. Versand" is 40 bytes).
constexpr std::size_t kMaxPriceText = 64;
// Texts are read a little past that limit, to see that they pass it.
constexpr std::size_t kPriceTextRead = kMaxPriceText + 32;
// Price-named elements looked at, at most: the product's own price comes
// early, and pages of thousands of listed prices stay cheap.
constexpr std::size_t kMaxCandidates = 400;
// Farther than this many tags from the main heading and the add-to-cart
// control, a price is not the product's: a product block (gallery, title,
// rating, price, options, cart) spans a few hundred tags, a page thousands.
constexpr std::size_t kMaxDistance = 600;
// Letters allowed before the amount: a currency code or abbreviation
// ("CHF", "zł"), not a word ("statt", "save", "from").
constexpr std::size_t kMaxLettersBefore = 3;
// Letters allowed after it: a currency and a short tax or shipping note
// ("€ inkl. MwSt.", "VAT included").
constexpr std::size_t kMaxLettersAfter = 24;
// A bare number takes a currency written in its parent or grandparent
// ("€ <span>17</span>"), not from farther away.
constexpr int kCurrencyLevels = 2;
// Visible candidates passed on: the nearest few to the landmarks.
constexpr int kMaxVisibleCandidates = 3;
// A price box (amount, currency, cents, labels) spans a few dozen tags.
constexpr std::size_t kMaxPriceBoxTags = 64;

// True when `text` reads as a price: at most a currency code's letters
// before the amount ("€ 19,99", "CHF 2.25", not "statt 4.50" or "save 5"),
// and only a short note after it ("€ 20,- Verhandlungsbasis", "inkl. MwSt.").
bool reads_as_price(std::string_view text) {
  const std::size_t digit = text.find_first_of("0123456789");
  if (digit == std::string_view::npos) return false;
  const auto letters = [](std::string_view s) {
    return static_cast<std::size_t>(
        std::count_if(s.begin(), s.end(), [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }));
  };
  return letters(text.substr(0, digit)) <= kMaxLettersBefore && letters(text.substr(digit)) <= kMaxLettersAfter;
}

// The text of a price element whose cents stand in an element of their own
// right after the whole units ("$249<sup>99</sup>", "<b>19</b><i>95</i> €"),
// with a decimal mark put between them (the page's text runs them
// together: "$24999"); empty when the element is not written so.
std::string text_with_set_cents(const PageIndex& page, std::size_t i) {
  constexpr std::size_t kCentsDigits = 2;
  const Tag& box = page.tags()[i];
  const std::size_t last = std::min(page.tags().size(), i + kMaxPriceBoxTags);
  const auto inside = [&](std::size_t k) { return box.content_end == Tag::none || page.tags()[k].begin < box.content_end; };
  std::string before;  // the raw text from the element's start up to tag k
  for (std::size_t k = i + 1; k < last && inside(k); ++k) {
    before.append(page.text_after(k - 1));
    const Tag& t = page.tags()[k];
    const std::string_view own = page.text_after(k);
    const bool two_digits = !t.closing && own.size() == kCentsDigits && text::is_ascii_digit(own[0]) &&
                            text::is_ascii_digit(own[1]) && k + 1 < page.tags().size() && page.tags()[k + 1].closing;
    if (!two_digits || before.empty() || !text::is_ascii_digit(before.back())) continue;
    // The units are a whole number: no decimal mark before their last one or two digits.
    const std::size_t non_digit = before.find_last_not_of("0123456789");
    const std::size_t run = non_digit == std::string::npos ? before.size() : before.size() - 1 - non_digit;
    if (non_digit != std::string::npos && run <= kCentsDigits && (before[non_digit] == '.' || before[non_digit] == ',')) {
      return {};
    }
    // The decimal mark is the one the units do not group with ("1.299" + "50" is 1.299,50).
    const std::size_t number_start = before.find_last_not_of("0123456789.,");
    const bool points_group = before.find('.', number_start == std::string::npos ? 0 : number_start) != std::string::npos;
    std::string text = before + (points_group ? "," : ".") + std::string(own);
    for (std::size_t j = k + 1; j < last && inside(j); ++j) text.append(page.text_after(j));
    return text::collapse_white_space(text::html_unescape(text));
  }
  return {};
}

struct Candidate {
  std::size_t tag;
  Money money;
  std::size_t distance;
  std::string_view klass;  // its class value, to tell list items by repetition
};

std::size_t distance_to(const Landmarks& marks, std::size_t i) {
  std::size_t best = static_cast<std::size_t>(-1);
  if (marks.main_heading != Tag::none && i > marks.main_heading) best = i - marks.main_heading;
  if (marks.add_to_cart != Tag::none) {
    const std::size_t d = i > marks.add_to_cart ? i - marks.add_to_cart : marks.add_to_cart - i;
    best = std::min(best, d);
  }
  return best;
}

// The amount of a price element. A bare number takes the currency that its
// parent or grandparent writes next to it ("€ <span>17,10</span>").
std::optional<Money> money_of(const PageIndex& page, std::size_t i, std::string_view declared) {
  std::string text = text_with_set_cents(page, i);
  if (text.empty()) text = page.element_text(i, kPriceTextRead);
  if (text.empty() || text.size() > kMaxPriceText || !reads_as_price(text)) return std::nullopt;
  auto money = read_money(text, declared);
  if (!money || !(money->amount > 0.0)) return std::nullopt;
  if (money->currency_written) return money;
  std::size_t at = page.tags()[i].parent;
  for (int up = 0; up < kCurrencyLevels && at != Tag::none; ++up, at = page.tags()[at].parent) {
    const std::string outer = page.element_text(at, kPriceTextRead);
    if (outer.size() > kMaxPriceText || !reads_as_price(outer)) break;
    const auto around = read_money(outer, declared);
    if (around && around->currency_written && around->amount == money->amount) return around;
  }
  return std::nullopt;
}

// True when the amount read from the box at `i` is that of an element
// inside it named as another amount: a box whose text starts with the
// instalment or unit price ("12 cuotas de $ 1.250 $ 15.000",
// "1 kg = 15,98 € 7,99 €") gives that amount, not the price.
bool amount_of_inner_other(const PageIndex& page, std::size_t i, const Money& money, std::string_view declared) {
  const Tag& box = page.tags()[i];
  const std::size_t last = std::min(page.tags().size(), i + kMaxPriceBoxTags);
  for (std::size_t k = i + 1; k < last; ++k) {
    const Tag& t = page.tags()[k];
    if (box.content_end != Tag::none && t.begin >= box.content_end) break;
    if (t.closing || t.attribute_count == 0 || !is_other_amount(page, k)) continue;
    const std::string text = page.element_text(k, kPriceTextRead);
    if (text.size() > kMaxPriceText) continue;
    const auto inner = read_money(text, declared);
    if (inner && inner->amount == money.amount) return true;
  }
  return false;
}

}  // namespace

void read_visible_price(const PageContext& ctx, Evidence& out) {
  const PageIndex& page = ctx.page;
  if (!page.has_hint(hint_price)) return;
  const Landmarks& landmarks = ctx.landmarks();
  const bool has_landmark = landmarks.main_heading != Tag::none || landmarks.add_to_cart != Tag::none;
  std::vector<Candidate> candidates;
  std::vector<std::string_view> price_classes;  // the class of every price-named element
  std::size_t looked = 0;
  const auto hinted = page.hinted();
  for (std::size_t k = 0; k < hinted.size() && looked < kMaxCandidates; ++k) {
    const std::size_t i = hinted[k];
    const Tag& t = page.tags()[i];
    if (t.closing || t.attribute_count == 0 || t.kind == TagName::meta || t.kind == TagName::script ||
        t.kind == TagName::input || t.kind == TagName::link || t.kind == TagName::option ||
        t.kind == TagName::select || t.kind == TagName::body) {
      continue;
    }
    if ((t.hints & hint_price) == 0) continue;
    ++looked;
    if (ctx.other.contains(i)) {
      // Still, a currency written there is a currency the page uses.
      if (const auto money = money_of(page, i, ctx.currency_hint(out))) out.note_written_currency(money->currency);
      continue;
    }
    const std::string_view klass = page.attribute(t, "class").value_or(std::string_view());
    price_classes.push_back(klass);
    const std::size_t distance = distance_to(landmarks, i);
    if (has_landmark && distance > kMaxDistance) continue;
    auto money = money_of(page, i, ctx.currency_hint(out));
    if (money) out.note_written_currency(money->currency);
    if (!money || money->former || is_struck(page, i) || is_other_amount(page, i) ||
        amount_of_inner_other(page, i, *money, ctx.currency_hint(out))) {
      continue;
    }
    candidates.push_back({i, std::move(*money), distance, klass});
  }
  // Price elements whose class repeats outside recognised lists are the
  // items of a list too.
  const auto repeated = [&price_classes](std::string_view klass) {
    return !klass.empty() && std::count(price_classes.begin(), price_classes.end(), klass) >= kListRepeats;
  };
  candidates.erase(std::remove_if(candidates.begin(), candidates.end(),
                                  [&](const Candidate& c) { return repeated(c.klass); }),
                   candidates.end());
  if (candidates.empty()) return;
  // Nearest to a landmark first; in document order when there is none.
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const Candidate& a, const Candidate& b) { return a.distance < b.distance; });
  int rank = 0;
  for (const Candidate& c : candidates) {
    out.prices.push_back({c.money.amount, c.money.currency, Source::visible_price, rank++});
    if (rank == kMaxVisibleCandidates) break;
  }
}

}  // namespace korvane::commerce::detail::extended
