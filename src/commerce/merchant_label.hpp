// The merchant classifier's steps: the host label that names the merchant,
// and whether a text names the same thing.
#pragma once

#include <string>
#include <string_view>

namespace korvane::commerce::detail {

// The host label that names the merchant: leading labels of
// MULTI_TENANT_SUBDOMAINS dropped, then the label before a two-label public
// suffix ("co.uk", "com.br") or before the top-level label.
//   extract_sld("us.store.acme.com") == "acme"; extract_sld("acme.co.uk") == "acme"
[[nodiscard]] std::string extract_sld(std::string_view domain);

// True when `text` names the same thing as `alpha_sld` (the merchant label
// reduced to a-z and 0-9): one contains the other once both are reduced, or
// every significant word of `text` (a run of a-z and 0-9 of three or more
// characters other than "the", "and", "official", after lower-casing) occurs
// in the label. False for a text with no letter or digit of a-z and 0-9.
//   is_match("northfaceoutlet", "The North Face XL") == true
[[nodiscard]] bool is_match(std::string_view alpha_sld, std::string_view text);

}  // namespace korvane::commerce::detail
