// The brand as product pages show it next to the product's name: an
// element named for the brand ("product-brand", "brandName", a shop
// platform's "vendor") or a "by X" line, a few tags before or after the
// main heading.
#include "commerce/metadata/extended/readers.hpp"

#include "text/unicode.hpp"

#include <algorithm>
#include <array>

namespace korvane::commerce::detail::extended {
namespace {

// A brand line stands right above or below the product's name; farther
// away, a brand element belongs to a menu, a filter or another product.
constexpr std::size_t kNearHeading = 24;
// A brand is a name of a few words: longer texts are sentences.
constexpr std::size_t kMaxBylineBytes = 40;
constexpr int kMaxBylineWords = 4;

// Class words of an element that shows the product's brand.
constexpr std::array<std::string_view, 3> kBrandClassWords{"brand", "vendor", "manufacturer"};
// Class words that make "brand" a style or the site's own mark: the
// brand's colour ("btn-brand", "text-brand", "bg-brand") or its logo
// ("navbar-brand").
constexpr std::array<std::string_view, 12> kStyleClassWords{"navbar", "nav",    "logo",   "label", "btn",   "button",
                                                            "bg",     "text",   "color",  "border", "theme", "header"};

// True when `text` reads as a name: short, a few words, a letter in it,
// no label or sentence punctuation.
bool reads_as_name(std::string_view text) {
  if (text.empty() || text.size() > kMaxBylineBytes) return false;
  if (text.find_first_of(":|,") != std::string_view::npos) return false;
  const auto words = 1 + std::count(text.begin(), text.end(), ' ');
  return words <= kMaxBylineWords;
}

// The name after "by " at the start of `text` ("by Acme", "By Acme Ltd"),
// empty when the text does not start so.
std::string_view after_by(std::string_view text) {
  if (text.size() < 4 || (text[0] != 'b' && text[0] != 'B') || text[1] != 'y' || text[2] != ' ') return {};
  return text::strip(text.substr(3));
}

}  // namespace

void read_byline(const PageContext& ctx, Evidence& out) {
  const PageIndex& page = ctx.page;
  const std::size_t heading = ctx.main_heading();
  // Only a page that sells something: the "by" line of an article names
  // its author.
  if (heading == Tag::none || (out.prices.empty() && ctx.landmarks().add_to_cart == Tag::none)) return;
  const std::size_t first = heading > kNearHeading ? heading - kNearHeading : 0;
  const std::size_t last = std::min(page.tags().size(), heading + kNearHeading);
  for (std::size_t i = first; i < last; ++i) {
    const Tag& t = page.tags()[i];
    if (t.closing || i == heading || ctx.other.contains(i)) continue;
    std::string text;
    if (t.attribute_count > 0 && class_has_word(page, t, kBrandClassWords) &&
        !class_has_word(page, t, kStyleClassWords)) {
      text = page.element_text(i, kMaxBylineBytes);
      if (const std::string_view name = after_by(text); !name.empty()) text = std::string(name);
    } else if (i > heading) {
      // "by <a>Acme</a>" or "by Acme" in the text after the heading.
      const std::string_view own = text::strip(page.text_after(i));
      if (own == "by" || own == "By") {
        if (i + 1 < last && page.tags()[i + 1].kind == TagName::a && !page.tags()[i + 1].closing) {
          text = page.element_text(i + 1, kMaxBylineBytes);
        }
      } else {
        text = std::string(after_by(own));
      }
    }
    if (!reads_as_name(text) || out.is_shop_name(text)) continue;
    const std::size_t before = out.brands.size();
    out.add_brand(text, Source::byline, false);
    if (out.brands.size() > before) return;
  }
}

}  // namespace korvane::commerce::detail::extended
