// HTML character-reference decoding as the HTML standard defines it for text.
#pragma once

#include <string>
#include <string_view>

namespace korvane::text {

// Decodes named references (all of the standard's table, the legacy ones
// also without ";" by longest match), decimal and hexadecimal references (0,
// surrogates and values above U+10FFFF become U+FFFD; 0x80-0x9F go through
// the windows-1252 table; other code points are kept). Text without "&" is
// returned unchanged.
[[nodiscard]] std::string html_unescape(std::string_view s);

}  // namespace korvane::text
