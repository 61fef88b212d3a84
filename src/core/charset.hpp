// Finding a page's character encoding and decoding it to UTF-8, the way
// browsers read web pages (encoding labels of the WHATWG Encoding standard,
// ICU converters behind them).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace korvane::core::detail {

// How many leading bytes of a page are searched for a <meta> declaration.
// Browsers look at 1024 bytes first, but real shop pages often declare their
// charset later in a long <head>.
inline constexpr std::size_t meta_prescan_bytes = 16 * 1024;

// The encoding named by `label`, by the Encoding standard's table: case and
// surrounding white space ignored, "latin1", "iso-8859-1" and "ascii" mean
// "windows-1252", "sjis" means "Shift_JIS", "gb2312" means "GBK", and so on.
// Absent for a label the table does not know.
[[nodiscard]] std::optional<std::string_view> encoding_for_label(std::string_view label) noexcept;

// The name of the ICU converter that decodes `encoding` (a name returned by
// encoding_for_label).
[[nodiscard]] std::string_view icu_converter_name(std::string_view encoding) noexcept;

// The "charset" parameter of a Content-Type value, unquoted; absent when
// there is none.
[[nodiscard]] std::optional<std::string> charset_parameter(std::string_view content_type);

// The encoding declared by the first <meta charset> or <meta http-equiv=
// "Content-Type" content="...; charset=..."> among the first bytes of `html`
// (comments skipped, unknown labels ignored, UTF-16 read as UTF-8); absent
// when there is none.
[[nodiscard]] std::optional<std::string_view> meta_charset(std::string_view html);

// The encoding of a page and the length of its byte order mark: a byte order
// mark first, then the Content-Type charset, then a <meta> declaration, then
// UTF-8.
struct SniffedEncoding {
  std::string_view encoding;
  std::size_t bom_length = 0;
};
[[nodiscard]] SniffedEncoding sniff_encoding(std::string_view body, std::string_view content_type);

// `body` in UTF-8, decoded from `encoding`; every byte sequence that the
// encoding does not define becomes U+FFFD.
[[nodiscard]] std::string decode(std::string_view body, std::string_view encoding);

// The page text of `body` in UTF-8: its sniffed encoding decoded, the byte
// order mark dropped. A body already in valid UTF-8 is moved, not copied.
[[nodiscard]] std::string decode_page(std::string body, std::string_view content_type);

}  // namespace korvane::core::detail
