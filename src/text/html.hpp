// HTML character-reference decoding as the HTML standard defines it for text
// and for attribute values.
#pragma once

#include <span>
#include <string>
#include <string_view>

namespace korvane::text {

// Decodes the character references of `s` as the HTML tokenizer does in text
// content (not in attribute values):
// - named references: every name of the standard's table; the legacy names
//   (the ones the table also lists without ";") are recognised without ";"
//   too, by the longest match: "&notit;" gives "¬it;", "&ampx" gives "&x";
// - decimal ("&#233;") and hexadecimal ("&#xE9;", "&#XE9") references, with
//   or without ";": 0, surrogates and values above U+10FFFF (however many
//   digits) give U+FFFD; 0x80-0x9F go through the windows-1252 table where
//   it has an entry; every other code point is kept as it is, controls and
//   noncharacters included.
// An "&" that starts no reference ("&unknown;", "&#;", "& ") stays as written.
// Text without "&" is returned unchanged; bytes outside references are copied
// as they are.
[[nodiscard]] std::string html_unescape(std::string_view s);

// Decodes the character references of an attribute value as the HTML
// tokenizer does: as html_unescape(), except that a legacy name without ";"
// followed by "=" or an ASCII letter or digit stays as written, so links
// keep their queries: "a.jpg?w=1&amp;h=2&copy=3" gives "a.jpg?w=1&h=2&copy=3".
[[nodiscard]] std::string html_unescape_attribute(std::string_view s);

namespace detail {

// One entry of the named-reference table: the name without "&" (with its ";"
// when it has one) and the replacement text in UTF-8.
struct NamedReference {
  std::string_view name;
  std::string_view value;
};

// The standard's 2,231 named references, sorted by name in byte order.
[[nodiscard]] std::span<const NamedReference> named_references() noexcept;

}  // namespace detail
}  // namespace korvane::text
