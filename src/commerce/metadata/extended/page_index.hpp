// One pass over a page that splits it into tags, attributes and the text
// between them, the way an HTML tokenizer does, without building a tree:
// the readers of the extended mode all work on this index.
//
// The pass is linear in the page size whatever the page holds: every byte is
// looked at a bounded number of times. Element nesting is followed loosely
// (an end tag closes the nearest open element of its name within a few
// levels, void elements never open, the usual implied ends of li, p, option,
// tr, td, th, dt and dd apply), which is what the readers need to find an
// element's text and its enclosing elements.
#pragma once

#include "commerce/metadata/embedded_data.hpp"
#include "text/unicode.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace korvane::commerce::detail::extended {

// The element names the readers ask about; every other name is `other`.
enum class TagName : std::uint8_t {
  other,
  comment,  // a comment, doctype or processing instruction (no attributes)
  a,
  aside,
  body,
  br,
  button,
  dd,
  del,
  div,
  dt,
  footer,
  form,
  h1,
  h2,
  head,
  header,
  input,
  li,
  link,
  meta,
  nav,
  option,
  p,
  s,
  script,
  select,
  strike,
  style,
  td,
  template_,
  textarea,
  th,
  title,
  tr,
};

struct Attribute {
  std::string_view name;   // as written
  std::string_view value;  // without its quotes; character references not decoded
};

// What the names a start tag gives itself talk about, noted while the tag
// is read so that readers pass over the rest without looking at attributes.
// "Naming" attributes are class, id, itemprop, name, value, title,
// aria-label and the data-* attributes (their names and values).
enum Hint : std::uint16_t {
  hint_price = 1U << 0,      // a class, id or itemprop value, or a data-* name, holds "price"
  hint_stock = 1U << 1,      // a class, id or itemprop value holds "availab", "stock", "inventory" or "sold"
  hint_cart = 1U << 2,       // a naming value holds "cart", "basket", "bag", "buy" or "trolley"
  hint_itemprop = 1U << 3,   // an itemprop or property attribute
  hint_sku = 1U << 4,        // a data-* name holds "sku", "code" or "number"
  hint_name = 1U << 5,       // a name attribute (form fields)
};

// One tag of the page, in 28 bytes: pages have tens of thousands.
struct Tag {
  static constexpr std::uint32_t none = 0xFFFFFFFFU;

  std::uint32_t begin = 0;           // offset of its "<"
  std::uint32_t end = 0;             // offset just past its ">"
  std::uint32_t first_attribute = 0;
  std::uint32_t parent = none;       // index of the enclosing start tag
  std::uint32_t content_end = none;  // start tags: where the element's content ends (none: open to the end)
  std::uint16_t name_length = 0;     // the name follows "<" (or "</")
  std::uint16_t attribute_count = 0;
  std::uint16_t hints = 0;           // Hint bits
  TagName kind = TagName::other;
  bool closing : 1 = false;          // an end tag
  bool raw_text : 1 = false;         // its element's content is text up to its end tag (script, style, ...)
  bool inline_element : 1 = false;   // its element's text runs on without a space (a, span, b, ...)
  bool blank_after : 1 = false;      // the text up to the next tag is white space or empty (false: not known)
};

// The start tags of the kinds that readers look for, as indexes into a
// page's tags, in page order.
struct TagLists {
  std::vector<std::uint32_t> hinted;         // with hints
  std::vector<std::uint32_t> scripts;
  std::vector<std::uint32_t> metas;
  std::vector<std::uint32_t> cart_controls;  // buttons, and inputs and links with hint_cart
  std::vector<std::uint32_t> texts;          // tags whose following text is not known to be blank
  std::uint16_t hints = 0;                   // every tag's hints together
};

class PageIndex {
 public:
  // Indexes `html` (at most the first 4 GiB - 1 bytes).
  explicit PageIndex(ValidUtf8 html);

  [[nodiscard]] std::string_view html() const noexcept { return html_; }
  // The tag's name as written.
  [[nodiscard]] std::string_view name(const Tag& tag) const noexcept {
    return html_.substr(tag.begin + (tag.closing ? 2U : 1U), tag.name_length);
  }
  [[nodiscard]] const std::vector<Tag>& tags() const noexcept { return tags_; }
  // The indexes of the start tags that have hints, of script start tags,
  // of meta tags and of the controls that may add to a cart (buttons, and
  // inputs and links with hint_cart), each in page order: readers of one
  // kind of tag go through these instead of every tag.
  [[nodiscard]] std::span<const std::uint32_t> hinted() const noexcept { return lists_.hinted; }
  [[nodiscard]] std::span<const std::uint32_t> cart_controls() const noexcept { return lists_.cart_controls; }
  [[nodiscard]] std::span<const std::uint32_t> scripts() const noexcept { return lists_.scripts; }
  [[nodiscard]] std::span<const std::uint32_t> metas() const noexcept { return lists_.metas; }
  // The tags (of any kind) after which some text other than white space
  // may stand: every tag but those blank_after() tells about, in page order.
  // Readers of the page's texts go through these: most texts between tags
  // are indentation.
  [[nodiscard]] std::span<const std::uint32_t> texts() const noexcept { return lists_.texts; }
  // True when some tag of the page has one of the `hints` (Hint bits): a
  // reader whose tags the page lacks has nothing to read.
  [[nodiscard]] bool has_hint(std::uint16_t hints) const noexcept { return (lists_.hints & hints) != 0; }
  [[nodiscard]] std::span<const Attribute> attributes(const Tag& tag) const noexcept {
    return {attributes_.data() + tag.first_attribute, tag.attribute_count};
  }

  // The value of the first attribute named `name` (lower case; names compare
  // without ASCII case); absent when the tag has none.
  [[nodiscard]] std::optional<std::string_view> attribute(const Tag& tag, std::string_view name) const noexcept;
  // The same, with character references decoded.
  [[nodiscard]] std::optional<std::string> attribute_text(const Tag& tag, std::string_view name) const;

  // The raw text between tag `i` and the next tag (the body of a script or
  // style element when tag `i` opens one).
  [[nodiscard]] std::string_view text_after(std::size_t i) const noexcept {
    if (i >= tags_.size()) return {};
    const std::size_t begin = tags_[i].end;
    const std::size_t end = i + 1 < tags_.size() ? tags_[i + 1].begin : text_end_;
    return end > begin ? html_.substr(begin, end - begin) : std::string_view();
  }

  // True when the text after tag `i` is known to hold nothing but white
  // space: most texts between tags are indentation, which readers of text
  // pass over without looking at it.
  [[nodiscard]] bool blank_after(std::size_t i) const noexcept { return tags_[i].blank_after; }

  // The length of the HTML white space that `text`, a part of the page,
  // starts with (text.size() when it is all white space). Most texts
  // between tags are indentation: 16 bytes are looked at at once, reading
  // on into the page past `text`.
  [[nodiscard]] std::size_t leading_space(std::string_view text) const noexcept;

  // The text content of the element that tag `i` opens: its text pieces,
  // without those of scripts, styles and templates, references decoded, runs
  // of white space as one space, a space between block-level pieces; cut
  // after about `max_bytes` bytes (and after 8 * `max_bytes` tags).
  [[nodiscard]] std::string element_text(std::size_t i, std::size_t max_bytes = 256) const;

  // Index of the first tag that begins at or after `offset` (tags().size()
  // when none does).
  [[nodiscard]] std::size_t tag_at_or_after(std::size_t offset) const noexcept;

 private:
  std::string_view html_;
  std::size_t text_end_ = 0;  // the page's end, or the start of a tag that never ends
  std::vector<Tag> tags_;
  std::vector<Attribute> attributes_;
  TagLists lists_;
};

// ---------------------------------------------------------------- ASCII helpers

// True when `a` equals `lower` (written in lower case) without ASCII case.
// Inline: attribute names are compared with it everywhere.
[[nodiscard]] inline bool iequals(std::string_view a, std::string_view lower) noexcept {
  if (a.size() != lower.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (text::ascii_lower(a[i]) != lower[i]) return false;
  }
  return true;
}

// True when `hay` contains `lower` (written in lower case) without ASCII case.
[[nodiscard]] bool icontains(std::string_view hay, std::string_view lower) noexcept;

// True when `hay` starts with `lower` without ASCII case.
[[nodiscard]] bool istarts_with(std::string_view hay, std::string_view lower) noexcept;

}  // namespace korvane::commerce::detail::extended
