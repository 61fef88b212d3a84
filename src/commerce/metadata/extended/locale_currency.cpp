// The currency of the country a page is written for. Several countries
// write their currency with one token ("$" in Chile, Mexico, Australia and
// Canada, "kr" in Sweden, Norway and Denmark, "¥" in Japan and China, "Rs"
// in India and Pakistan); structured data that names no currency leaves
// the token to the country: of the link's country domain, else of the
// page's og:locale, else of its language tag's region ("es-CL").
#include "commerce/metadata/extended/readers.hpp"

#include "text/unicode.hpp"

#include <algorithm>
#include <array>
#include <utility>

namespace korvane::commerce::detail::extended {
namespace {

// The countries whose currency shares its usual token with another
// country's, by ISO 3166 code (lower case), sorted. For other countries the
// token alone names the currency.
constexpr std::array<std::pair<std::string_view, std::string_view>, 46> kSharedTokenCurrencies{{
    {"ar", "ARS"}, {"au", "AUD"}, {"bb", "BBD"}, {"bm", "BMD"}, {"bn", "BND"}, {"bs", "BSD"}, {"bz", "BZD"},
    {"ca", "CAD"}, {"cl", "CLP"}, {"cn", "CNY"}, {"co", "COP"}, {"cu", "CUP"}, {"dk", "DKK"}, {"do", "DOP"},
    {"ec", "USD"}, {"fj", "FJD"}, {"fo", "DKK"}, {"gl", "DKK"}, {"gy", "GYD"}, {"hk", "HKD"}, {"in", "INR"},
    {"is", "ISK"}, {"jm", "JMD"}, {"jp", "JPY"}, {"ky", "KYD"}, {"lk", "LKR"}, {"lr", "LRD"}, {"mu", "MUR"},
    {"mx", "MXN"}, {"na", "NAD"}, {"no", "NOK"}, {"np", "NPR"}, {"nz", "NZD"}, {"pk", "PKR"}, {"pr", "USD"},
    {"sc", "SCR"}, {"se", "SEK"}, {"sg", "SGD"}, {"sr", "SRD"}, {"sv", "USD"}, {"tt", "TTD"}, {"tw", "TWD"},
    {"us", "USD"}, {"uy", "UYU"}, {"za", "ZAR"}, {"zw", "USD"},
}};

static_assert(std::is_sorted(kSharedTokenCurrencies.begin(), kSharedTokenCurrencies.end()));

std::string_view currency_of_country(std::string_view code) {
  if (code.size() != 2) return {};
  const std::string lower = text::ascii_lower(code);
  const auto it = std::lower_bound(kSharedTokenCurrencies.begin(), kSharedTokenCurrencies.end(), lower,
                                   [](const auto& entry, const std::string& key) { return entry.first < key; });
  return it != kSharedTokenCurrencies.end() && it->first == lower ? it->second : std::string_view();
}

// The country of a link's host: its country-code top-level domain. ".co"
// counts only under "com" (".com.co"): alone it is a company's domain.
std::string_view country_of_link(std::string_view url) {
  const std::size_t scheme = url.find("://");
  if (scheme == std::string_view::npos) return {};
  std::string_view host = url.substr(scheme + 3);
  host = host.substr(0, host.find_first_of("/?#:"));
  const std::size_t dot = host.rfind('.');
  if (dot == std::string_view::npos) return {};
  const std::string_view tld = host.substr(dot + 1);
  if (tld.size() != 2) return {};
  if (text::ascii_lower(tld) == "co") {
    const std::string_view rest = host.substr(0, dot);
    const std::size_t before = rest.rfind('.');
    if (before == std::string_view::npos || text::ascii_lower(rest.substr(before + 1)) != "com") return {};
  }
  return tld;
}

// The region of a language tag or locale ("es-CL", "en_AU"): the two
// letters after its first separator.
std::string_view region_of(std::string_view locale) {
  const std::size_t cut = locale.find_first_of("-_");
  if (cut == std::string_view::npos || locale.size() - cut - 1 != 2) return {};
  return locale.substr(cut + 1);
}

}  // namespace

std::string_view locale_currency(const PageIndex& page, std::string_view url) {
  if (const std::string_view c = currency_of_country(country_of_link(url)); !c.empty()) return c;
  for (const std::uint32_t i : page.metas()) {
    const Tag& t = page.tags()[i];
    if (const auto key = page.attribute(t, "property"); key && iequals(*key, "og:locale")) {
      const std::string_view c = currency_of_country(region_of(page.attribute(t, "content").value_or("")));
      if (!c.empty()) return c;
    }
  }
  // The html element comes before the head and the body.
  for (const Tag& t : page.tags()) {
    if (t.kind == TagName::head || t.kind == TagName::body) break;
    if (!t.closing && iequals(page.name(t), "html")) {
      return currency_of_country(region_of(page.attribute(t, "lang").value_or("")));
    }
  }
  return {};
}

}  // namespace korvane::commerce::detail::extended
