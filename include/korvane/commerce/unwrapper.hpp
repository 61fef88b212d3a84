// URL unwrapper: turns a search-engine link into the clean destination link,
// and a link into its bare domain.
#pragma once

#include <korvane/commerce/tables.hpp>
#include <korvane/errors.hpp>

#include <string>
#include <string_view>

namespace korvane::commerce {

// Query parameters removed by URLUnwrapper::unwrap, compared with the
// lower-cased parameter name.
inline constexpr StringSet TRACKING_PARAMS{std::array<std::string_view, 12>{
    "utm_source", "utm_medium", "utm_campaign", "utm_term", "utm_content", "gclid",
    "fbclid", "msclkid", "ved", "usg", "sa", "source"}};

class URLUnwrapper {
 public:
  URLUnwrapper() = delete;

  // The destination link without the search engine's redirect wrapper (one
  // level), tracking parameters and text-fragment directive:
  //   unwrap("https://www.google.com/url?q=https://shop.example/p?utm_source=x&id=3")
  //     == "https://shop.example/p?id=3"
  // A redirect target with a scheme other than http or https ("javascript:",
  // "data:", "file:" ...) is not followed: the redirect link itself is
  // cleaned and returned. The empty text gives the empty text. Throws InvalidUrlError for a link
  // that cannot be split (unbalanced "[" or "]" in the network location).
  [[nodiscard]] static std::string unwrap(std::string_view url);

  // The lower-cased network location without one leading "www." (port and
  // user information stay): extract_domain("https://WWW.Shop.com:8080/x")
  // == "shop.com:8080". A link without "//" has no network location and
  // gives the empty text. Throws InvalidUrlError like unwrap().
  [[nodiscard]] static std::string extract_domain(std::string_view url);
};

}  // namespace korvane::commerce
