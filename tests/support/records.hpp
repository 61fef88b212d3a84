// Records as the tests build them: the few fields a case sets, the rest as
// the record's defaults.
#pragma once

#include <korvane/models.hpp>

#include <optional>
#include <string>
#include <utility>

namespace korvane::testing {

// A listing (a visual match or a shopping offer) of `link` titled `title`,
// from `source` when given.
template <class Listing>
Listing listing(std::string link, std::string title, std::optional<std::string> source = {}) {
  Listing l;
  l.link = std::move(link);
  l.title = std::move(title);
  l.source = std::move(source);
  return l;
}

// A visual match (see listing()).
inline models::VisualMatch match(std::string link, std::string title, std::optional<std::string> source = {}) {
  return listing<models::VisualMatch>(std::move(link), std::move(title), std::move(source));
}

// An enriched item whose direct and original links are both `url`.
inline models::EnrichedCommerceMatch item(std::string title, std::string url,
                                          std::optional<std::string> merchant = {}) {
  models::EnrichedCommerceMatch m;
  m.title = std::move(title);
  m.direct_url = url;
  m.original_url = std::move(url);
  m.merchant_name = std::move(merchant);
  return m;
}

}  // namespace korvane::testing
