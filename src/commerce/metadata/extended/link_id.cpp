// The item number in the page's own link, the last resort for the SKU: a
// query value named like a product id ("?sku=4417210", "?pid=730155"), else
// an id at the end of the path ("/item/220931857764", "-551203.html",
// "/dp/B0A1C2D3E4", "x20031177.php").
#include "commerce/metadata/extended/readers.hpp"

#include "text/unicode.hpp"
#include "text/url.hpp"

#include <korvane/errors.hpp>

#include <algorithm>
#include <array>
#include <vector>

namespace korvane::commerce::detail::extended {
namespace {

constexpr std::array<std::string_view, 10> kIdParameters{"sku",       "pid",        "productid", "product_id",
                                                         "itemid",    "item_id",    "childsku",  "articleid",
                                                         "article",   "skuid"};

bool is_upper(char c) noexcept { return c >= 'A' && c <= 'Z'; }

std::size_t count_if_digit(std::string_view s) {
  return static_cast<std::size_t>(std::count_if(s.begin(), s.end(), text::is_ascii_digit));
}

// An id token: six or more digits (after at most two letters, which are
// dropped), or a code of 8 to 20 upper-case letters and digits with at
// least two of each.
std::optional<std::string> id_of_token(std::string_view token) {
  std::size_t letters = 0;
  while (letters < token.size() && letters < 2 && !text::is_ascii_digit(token[letters])) ++letters;
  const std::string_view digits = token.substr(letters);
  if (digits.size() >= 6 && count_if_digit(digits) == digits.size()) return std::string(digits);
  const bool code = token.size() >= 8 && token.size() <= 20 &&
                    std::all_of(token.begin(), token.end(), [](char c) { return text::is_ascii_digit(c) || is_upper(c); });
  if (code && count_if_digit(token) >= 2 && token.size() - count_if_digit(token) >= 2) return std::string(token);
  return std::nullopt;
}

// The id at the end of the last path segment, its extension dropped.
std::optional<std::string> id_of_path(std::string_view path) {
  while (!path.empty() && path.back() == '/') path.remove_suffix(1);
  std::string_view segment = path.substr(path.rfind('/') == std::string_view::npos ? 0 : path.rfind('/') + 1);
  for (const std::string_view ext : {".html", ".htm", ".php", ".aspx", ".jsp", ".do"}) {
    if (segment.size() > ext.size() && segment.substr(segment.size() - ext.size()) == ext) {
      segment.remove_suffix(ext.size());
      break;
    }
  }
  const std::size_t cut = segment.find_last_of("-_,.~");
  const std::string_view last = cut == std::string_view::npos ? segment : segment.substr(cut + 1);
  return id_of_token(last);
}

}  // namespace

void read_link_identifier(const PageContext& ctx, Evidence& out) {
  text::UrlParts parts;
  try {
    parts = text::split_url(ctx.url);
  } catch (const InvalidUrlError&) {
    return;
  }
  for (const auto& parameter : text::parse_query(parts.query)) {
    const std::string& name = parameter.first;
    const auto& values = parameter.second;
    const bool named = std::any_of(kIdParameters.begin(), kIdParameters.end(),
                                   [&](std::string_view p) { return iequals(name, p); });
    if (!named || values.empty()) continue;
    const std::string& v = values.front();
    if (v.size() >= 4 && v.size() <= 40 && count_if_digit(v) >= 3 &&
        std::all_of(v.begin(), v.end(), [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '-'; })) {
      out.skus.push_back({v, Source::link, IdField::link});
      return;
    }
  }
  if (auto id = id_of_path(parts.path)) out.skus.push_back({std::move(*id), Source::link, IdField::link});
}

}  // namespace korvane::commerce::detail::extended
