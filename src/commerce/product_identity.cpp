#include "commerce/product_identity.hpp"

#include <korvane/commerce/tables.hpp>
#include <korvane/commerce/unwrapper.hpp>

#include "text/regex.hpp"
#include "text/unicode.hpp"
#include "text/url.hpp"
#include "text/utf8.hpp"

#include <algorithm>
#include <array>
#include <memory>
#include <numeric>
#include <tuple>
#include <unordered_map>

namespace korvane::commerce::detail {

namespace {

using models::EnrichedCommerceMatch;

// Query parameters that say how a visitor reached a listing, not which
// listing it is, beyond the unwrapper's TRACKING_PARAMS (compared
// lower-cased): marketplace click tracking (mkcid, mkevt, mkrid, mkgroupid,
// campid, customid, toolid, _trkparms, _trksid, hash), search-result context
// (ref, ref_, pf_rd_*, pd_rd_*, qid, sr, crid, sprefix, keywords, th, psc,
// _pos, _sid, _ss, spm, scm), ad and mail click ids (gbraid, wbraid, dclid,
// yclid, srsltid, mc_cid, mc_eid, _ga, _gl, igshid).
constexpr StringSet CLICK_TRACKING_PARAMS{std::array<std::string_view, 35>{
    "mkcid",  "mkevt",  "mkrid",   "mkgroupid", "campid",   "customid", "toolid", "_trkparms", "_trksid",
    "hash",   "ref",    "ref_",    "qid",       "sr",       "crid",     "sprefix", "keywords", "th",
    "psc",    "_pos",   "_sid",    "_ss",       "spm",      "scm",      "gbraid", "wbraid",    "dclid",
    "yclid",  "srsltid", "mc_cid", "mc_eid",    "_ga",      "_gl",      "igshid", "smid"}};

// Parameter families with a running suffix (pf_rd_p, pd_rd_w, utm_id, ...).
constexpr std::array<std::string_view, 3> CLICK_TRACKING_PREFIXES = {"utm_", "pf_rd_", "pd_rd_"};

bool is_click_tracking(std::string_view name) {
  const std::string lower = text::ascii_lower(name);
  if (CLICK_TRACKING_PARAMS.contains(lower) || TRACKING_PARAMS.contains(lower)) return true;
  return std::any_of(CLICK_TRACKING_PREFIXES.begin(), CLICK_TRACKING_PREFIXES.end(),
                     [&](std::string_view p) { return lower.starts_with(p); });
}

// Paths that name a marketplace listing by its item number, whatever title
// slug or tracking segment surrounds it (matched on the lower-cased path;
// group 1 is the number). Each form is the marketplace's own link scheme.
struct ItemPath {
  std::string_view kind;
  std::string_view pattern;
};
constexpr std::array<ItemPath, 6> ITEM_PATHS = {{
    // /itm/<number>, /itm/<title>/<number>: auction and fixed-price listings.
    {"itm", R"(/itm/(?:[^/]+/)?(\d{9,15})(?:[/.;]|$))"},
    // /dp/<ASIN>, /<title>/dp/<ASIN>/ref=..., /gp/product/<ASIN>: ten letters
    // and digits with at least one digit (a catalogue number, not a word).
    {"asin", R"(/(?:dp|gp/product|gp/aw/d|o/asin|exec/obidos/asin)/(?=[a-z]{0,9}\d)([a-z0-9]{10})(?:[/.;]|$))"},
    // /ip/<title>/<number>, /ip/<number>.
    {"ip", R"(/ip/(?:[^/]+/)?(\d{5,15})(?:/|$))"},
    // /listing/<number>/<title>.
    {"listing", R"(/listing/(\d{6,15})(?:/|$))"},
    // /item/<number>.html.
    {"item", R"(/item/(\d{8,20})\.html$)"},
    // /p/<title>/-/A-<number>.
    {"a", R"(/-/a-(\d{6,12})(?:/|$))"},
}};

const std::vector<std::unique_ptr<text::Regex>>& item_path_patterns() {
  static const auto patterns = [] {
    std::vector<std::unique_ptr<text::Regex>> out;
    for (const auto& p : ITEM_PATHS) out.push_back(std::make_unique<text::Regex>(p.pattern, text::RegexFlags::none));
    return out;
  }();
  return patterns;
}

// "<kind>:<number>" when the lower-cased `path` names a listing by number.
std::optional<std::string> item_number(std::string_view path) {
  const auto& patterns = item_path_patterns();
  for (std::size_t i = 0; i < patterns.size(); ++i) {
    text::RegexMatch m(*patterns[i]);
    if (patterns[i]->search(path, 0, m)) {
      return std::string(ITEM_PATHS[i].kind) + ":" + std::string(m.group(path, 1));
    }
  }
  return std::nullopt;
}

// `query` without click-tracking parameters and empty pieces, order kept.
std::string without_click_tracking(std::string_view query) {
  std::string kept;
  while (!query.empty()) {
    const std::size_t amp = query.find('&');
    const std::string_view piece = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    if (piece.empty() || is_click_tracking(piece.substr(0, piece.find('=')))) continue;
    if (!kept.empty()) kept.push_back('&');
    kept.append(piece);
  }
  return kept;
}

// A union-find forest over item positions.
class Groups {
 public:
  explicit Groups(std::size_t n) : parent_(n) { std::iota(parent_.begin(), parent_.end(), 0); }
  std::size_t root(std::size_t i) {
    while (parent_[i] != i) i = parent_[i] = parent_[parent_[i]];
    return i;
  }
  // The earlier root stays the root, so a group's root is its first item.
  void join(std::size_t a, std::size_t b) {
    a = root(a);
    b = root(b);
    if (a != b) parent_[std::max(a, b)] = std::min(a, b);
  }

 private:
  std::vector<std::size_t> parent_;
};

}  // namespace

namespace {

// The host and listing key of `link`; both empty when it is not an http(s)
// link.
std::pair<std::string, std::string> listing_of(std::string_view link) {
  std::string storage;
  const std::string_view valid = text::strip(text::as_valid_utf8(link, storage));
  if (valid.empty()) return {};
  try {
    const text::UrlParts parts = text::split_url(URLUnwrapper::unwrap(valid));
    if ((parts.scheme != "http" && parts.scheme != "https") || parts.netloc.empty()) return {};
    std::string host = text::link_domain(parts, text::WwwRemoval::every);
    std::string path = text::to_lower(parts.path);
    if (const auto number = item_number(path)) return {host, host + "#" + *number};
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    std::string key = host + path;
    if (!parts.params.empty()) key.append(";").append(text::to_lower(parts.params));
    if (const std::string query = without_click_tracking(parts.query); !query.empty()) {
      key.append("?").append(text::to_lower(query));
    }
    return {std::move(host), std::move(key)};
  } catch (const InvalidUrlError&) {
    return {};
  }
}

}  // namespace

std::string listing_key(std::string_view link) { return listing_of(link).second; }

std::optional<std::string> gtin_of(std::string_view code) {
  std::string digits;
  for (const char c : text::strip(code)) {
    if (c >= '0' && c <= '9') {
      digits.push_back(c);
    } else if (c != ' ' && c != '-') {
      return std::nullopt;
    }
  }
  if (digits.size() != 8 && digits.size() != 12 && digits.size() != 13 && digits.size() != 14) return std::nullopt;
  if (digits.find_first_not_of('0') == std::string::npos) return std::nullopt;
  // GS1 check digit: weights 3 and 1 alternate leftwards from the digit
  // before the check digit.
  int sum = 0;
  for (std::size_t i = 0; i + 1 < digits.size(); ++i) {
    const int weight = (digits.size() - 1 - i) % 2 == 1 ? 3 : 1;
    sum += weight * (digits[i] - '0');
  }
  if ((10 - sum % 10) % 10 != digits.back() - '0') return std::nullopt;
  return std::string(14 - digits.size(), '0') + digits;
}

std::optional<std::string> brand_sku_key(const std::optional<std::string>& brand,
                                         const std::optional<std::string>& sku) {
  // Shorter codes, or codes without a digit, are sizes, colours and words.
  constexpr std::size_t min_sku_length = 4;
  if (!brand || !sku) return std::nullopt;
  const std::string b = text::letters_and_digits(*brand);
  const std::string s = text::letters_and_digits(*sku);
  if (b.empty() || s.size() < min_sku_length || s.find_first_of("0123456789") == std::string::npos) {
    return std::nullopt;
  }
  return b + "|" + s;
}

ProductKeys product_keys(const EnrichedCommerceMatch& item) {
  ProductKeys keys;
  std::tie(keys.domain, keys.listing) = listing_of(item.direct_url);
  keys.numbered = keys.listing.find('#') != std::string::npos;  // "host#kind:number", see listing_of
  if (item.sku) keys.gtin = gtin_of(*item.sku);
  keys.brand_sku = brand_sku_key(item.brand, item.sku);
  return keys;
}

std::vector<std::size_t> product_groups(std::span<const EnrichedCommerceMatch> items) {
  Groups groups(items.size());
  std::unordered_map<std::string, std::size_t> first_with;  // key (with its kind) -> first item
  const auto share = [&](std::size_t i, std::string key) {
    const auto [it, inserted] = first_with.try_emplace(std::move(key), i);
    if (!inserted) groups.join(it->second, i);
  };
  for (std::size_t i = 0; i < items.size(); ++i) {
    ProductKeys keys = product_keys(items[i]);
    if (!keys.listing.empty()) share(i, "l " + keys.listing);
    if (keys.gtin) share(i, "g " + *keys.gtin);
    if (keys.brand_sku) share(i, "b " + *keys.brand_sku);
  }
  std::vector<std::size_t> number_of_root(items.size(), items.size());
  std::vector<std::size_t> out(items.size());
  std::size_t next = 0;
  for (std::size_t i = 0; i < items.size(); ++i) {
    const std::size_t r = groups.root(i);
    if (number_of_root[r] == items.size()) number_of_root[r] = next++;
    out[i] = number_of_root[r];
  }
  return out;
}

}  // namespace korvane::commerce::detail
