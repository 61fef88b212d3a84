#include <korvane/commerce/json.hpp>
#include <korvane/commerce/metadata.hpp>
#include <korvane/models/json.hpp>

#include "commerce/units.hpp"

#include "commerce/metadata/extended/extended.hpp"
#include "commerce/metadata/embedded_data.hpp"
#include "commerce/metadata/parsed_page.hpp"
#include "commerce/metadata/state.hpp"
#include "host/condition_words.hpp"
#include "text/enum_text.hpp"
#include "text/html.hpp"
#include "text/number.hpp"
#include "text/unicode.hpp"
#include "text/url.hpp"
#include "text/utf8.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace korvane::commerce {
namespace json = boost::json;
namespace {

using detail::MetadataParseState;
using models::ItemCondition;
using models::PageType;
using models::StockStatus;

bool contains(std::string_view s, std::string_view part) noexcept {
  return s.find(part) != std::string_view::npos;
}

bool is_generic_title(std::string_view title) { return GENERIC_TITLES.contains(text::to_lower(title)); }

std::size_t word_count(std::string_view s) { return text::split_white_space(s).size(); }

// The initial state from the link and the search result, then the host test.
MetadataParseState initial_state(std::string_view url, std::string_view title,
                                 std::string_view merchant,
                                 const std::optional<models::NormalizedPrice>& price,
                                 std::optional<bool> in_stock) {
  MetadataParseState s;
  s.direct_url = url;
  text::UrlParts parts;
  try {
    parts = text::split_url(url);
  } catch (const InvalidUrlError&) {
    // A link that cannot be split has no host and no path here.
  }
  s.domain = text::link_domain(parts, text::WwwRemoval::every);
  s.path = std::move(parts.path);
  s.title = text::html_unescape(text::strip(title));
  s.merchant_name = std::string(text::strip(merchant));
  if (s.merchant_name.empty()) s.merchant_name = s.domain;
  if (price && std::isfinite(price->amount) && price->amount >= 0.0) {
    s.price_amount = price->amount;
    s.currency = price->currency;
  }
  if (in_stock) s.stock_status = *in_stock ? StockStatus::IN_STOCK : StockStatus::OUT_OF_STOCK;
  s.page_type = PageType::UNCATEGORIZED;
  s.fetch_source = FetchSource::serp_fallback;
  detail::classify_host(s);
  return s;
}

// Reads the page: the structured stages, the Open Graph test, meta tags,
// shop markup, in extended mode the further sources, and the title repair.
void read_page(MetadataParseState& s, detail::ParsedPage& page, const MetadataRequest& request,
               detail::extended::Trace* trace) {
  const detail::MetaTags& meta = page.meta_tags();

  // Which stage set the price last (the extended reading checks it).
  using Origin = detail::extended::PriceOrigin;
  Origin origin = Origin::search_result;
  const auto note_origin = [&s, &origin](const std::optional<double>& before, Origin stage) {
    if (s.price_amount && s.price_amount != before) origin = stage;
  };
  // The structured stages, never on social pages: JSON-LD when the page has
  // a product there, else the Next.js page state. The page state (often the
  // largest JSON of a page) is only looked for and parsed when JSON-LD has
  // no product: reading it earlier would change no answer.
  if (!s.is_social) {
    if (const detail::LdJsonProducts& ld = page.ld_json_products(); !ld.products.empty()) {
      const std::optional<double> before = s.price_amount;
      detail::resolve_ld_json(s, ld);
      note_origin(before, Origin::ld_json);
    } else if (const detail::NextDataProduct& next = page.next_data_product();
               next.product != nullptr && !next.product->empty()) {
      const std::optional<double> before = s.price_amount;
      detail::resolve_next_data(s, *next.product);
      note_origin(before, Origin::next_data);
    }
  }
  if (s.fetch_source == FetchSource::serp_fallback && !s.is_social) {
    detail::classify_open_graph(s, meta);
  }
  const std::optional<double> before_meta = s.price_amount;
  detail::resolve_meta_tags(s, meta);
  note_origin(before_meta, Origin::meta_tags);
  // Shop markup (WooCommerce amounts, itemprop values, SKU spans, stock
  // classes): the extended readers read all of it, each in its place on the
  // page, so the extended mode does not search the page for it again.
  if (!s.is_social && request.extraction == ExtractionMode::standard) {
    detail::resolve_html_patterns(s, page.shop_markup());
  }
  if (request.extraction == ExtractionMode::extended && !s.is_social) {
    detail::extended::apply(s, page.extended_reading(s.direct_url), {request.initial_price, origin}, trace);
  }

  const std::string lower_title = text::to_lower(s.title);
  if (GENERIC_TITLES.contains(lower_title) || text::code_point_length(s.title) <= 3 ||
      lower_title == text::to_lower(s.merchant_name)) {
    const std::optional<std::string>& html_title = page.html_title();
    if (const auto og = meta.find("og:title"); og != meta.end() && !is_generic_title(og->second)) {
      s.title = text::html_unescape(og->second);
    } else if (html_title && !html_title->empty() && !is_generic_title(*html_title)) {
      s.title = text::html_unescape(*html_title);
    }
  }
}

// Whether every character of `s` may stand in a URI (RFC 3986: unreserved,
// reserved and "%").
bool is_uri_text(std::string_view s) noexcept {
  constexpr std::string_view marks = "-._~:/?#[]@!$&'()*+,;=%";
  return std::all_of(s.begin(), s.end(), [&](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           marks.find(c) != std::string_view::npos;
  });
}

// An image link starting with "/" (root-relative "/img/a.jpg" or
// protocol-relative "//cdn.example/a.jpg") is unusable out of its page: it
// is resolved against the page's link when that is an http or https URL.
// Anything else (absolute links, bare words, text forms of objects) stays.
void resolve_image_link(MetadataParseState& s) {
  if (!s.primary_image_url || !s.primary_image_url->starts_with('/')) return;
  if (!is_uri_text(*s.primary_image_url) || !text::is_web_url(s.direct_url)) return;
  s.primary_image_url = text::resolve_reference(s.direct_url, *s.primary_image_url);
}

// A generic link text gives way to the merchant name (when that is not just
// the host) or to the last segment of the link's path.
void replace_generic_title(MetadataParseState& s) {
  if (!is_generic_title(s.title)) return;
  if (text::code_point_length(s.merchant_name) > 5 &&
      !contains(s.domain, text::to_lower(s.merchant_name))) {
    s.title = std::move(s.merchant_name);
    s.merchant_name = s.domain;
    return;
  }
  std::string_view path = s.path;
  while (!path.empty() && path.front() == '/') path.remove_prefix(1);
  while (!path.empty() && path.back() == '/') path.remove_suffix(1);
  std::string_view last;
  while (!path.empty()) {
    const std::size_t slash = path.find('/');
    const std::string_view piece = path.substr(0, slash);
    if (!piece.empty()) last = piece;
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash + 1);
  }
  if (last.empty()) return;
  std::string words(last);
  std::replace(words.begin(), words.end(), '-', ' ');
  std::replace(words.begin(), words.end(), '_', ' ');
  s.title = text::title_case(words);
}

// A one-word title beside a merchant "name" of three or more words: the two
// were given the wrong way round.
void swap_title_and_merchant(MetadataParseState& s) {
  if (word_count(s.title) > 1 || s.merchant_name.empty() || word_count(s.merchant_name) < 3) return;
  std::swap(s.title, s.merchant_name);
  if (!detail::is_set(s.brand)) s.brand = s.merchant_name;
}

// Condition, stock and brand read from the title and merchant of product
// and marketplace pages. The extended mode does not take the merchant for
// the brand: a shop's name is the brand only where the page says so.
void infer_from_title(MetadataParseState& s, ExtractionMode mode) {
  const std::string title = text::to_lower(s.title);
  if (!s.condition) s.condition = models::detail::condition_named_in(title);
  if (!s.stock_status && s.price_amount && !contains(title, "sold out") &&
      !contains(title, "out of stock")) {
    s.stock_status = StockStatus::IN_STOCK;
  }
  if (mode == ExtractionMode::standard && !detail::is_set(s.brand) && text::code_point_length(s.merchant_name) >= 3 &&
      !contains(s.domain, text::to_lower(s.merchant_name))) {
    s.brand = s.merchant_name;
  }
}

// 98 for rank 1, 3 less per rank, at least 50; 2 more (at most 99) when the
// brand occurs in the title. Computed wide so that no rank overflows.
int match_score(const MetadataParseState& s, int rank) {
  long long score = std::max(50LL, 98LL - 3LL * (static_cast<long long>(rank) - 1));
  if (detail::is_set(s.brand) && contains(text::to_lower(s.title), text::to_lower(*s.brand))) {
    score = std::min(score + 2, 99LL);
  }
  return static_cast<int>(std::min<long long>(score, std::numeric_limits<int>::max()));
}

// The amount with its currency; "USD" when none is known, except in extended
// mode, where an unknown currency stays empty and the raw text is the amount
// alone.
std::optional<models::NormalizedPrice> price_record(const MetadataParseState& s, ExtractionMode mode) {
  if (!s.price_amount || !std::isfinite(*s.price_amount) || *s.price_amount < 0.0) return std::nullopt;
  std::string code = detail::is_set(s.currency) ? *s.currency : std::string("USD");
  if (mode == ExtractionMode::extended && !detail::is_set(s.currency)) code.clear();
  std::string raw = text::format_fixed2(*s.price_amount);
  if (!code.empty()) raw += " " + code;
  return models::NormalizedPrice(std::move(raw), *s.price_amount, std::move(code));
}

}  // namespace

std::string_view to_string(FetchSource source) noexcept {
  switch (source) {
    case FetchSource::ld_json: return "ld_json";
    case FetchSource::next_data: return "next_data";
    case FetchSource::opengraph: return "opengraph";
    case FetchSource::serp_fallback: return "serp_fallback";
  }
  return {};
}

template <class Enum>
std::optional<Enum> enum_from_string(std::string_view text) noexcept {
  return text::enum_from_text<Enum>(text);
}
template std::optional<FetchSource> enum_from_string<FetchSource>(std::string_view) noexcept;

MetadataResult DestinationMetadataParser::parse_metadata(
    std::optional<std::string_view> html, std::string_view direct_url, std::string_view initial_title,
    std::string_view initial_merchant, const std::optional<models::NormalizedPrice>& initial_price,
    std::optional<bool> initial_stock, int rank) {
  return parse_metadata(MetadataRequest{.html = html,
                                        .direct_url = direct_url,
                                        .initial_title = initial_title,
                                        .initial_merchant = initial_merchant,
                                        .initial_price = initial_price,
                                        .initial_stock = initial_stock,
                                        .rank = rank,
                                        .extraction = ExtractionMode::standard});
}

MetadataResult DestinationMetadataParser::parse_metadata(const MetadataRequest& request) {
  return detail::parse_metadata_traced(request, nullptr);
}

MetadataResult detail::parse_metadata_traced(const MetadataRequest& request, extended::Trace* trace) {
  if (!request.html) return parse_metadata_of_page(request, nullptr, trace);
  ParsedPage page(*request.html, request.extraction);
  return parse_metadata_of_page(request, &page, trace);
}

MetadataResult detail::parse_metadata_of_page(const MetadataRequest& request, ParsedPage* page,
                                              extended::Trace* trace) {
  detail::start_unit(detail::Unit::metadata);
  std::string url_storage, title_storage, merchant_storage;
  const std::string_view url = text::as_valid_utf8(request.direct_url, url_storage);
  MetadataParseState s = initial_state(url, text::as_valid_utf8(request.initial_title, title_storage),
                                       text::as_valid_utf8(request.initial_merchant, merchant_storage),
                                       request.initial_price, request.initial_stock);

  if (page != nullptr && page->usable()) read_page(s, *page, request, trace);
  resolve_image_link(s);

  replace_generic_title(s);
  swap_title_and_merchant(s);
  detail::classify_url(s);
  const bool product_like = s.page_type == PageType::PRODUCT || s.page_type == PageType::MARKETPLACE;
  if (product_like) {
    infer_from_title(s, request.extraction);
  } else {
    s.sku.reset();
    s.stock_status.reset();
    s.condition.reset();
  }

  MetadataResult r;
  r.match_score = match_score(s, request.rank);
  r.title = text::collapse_white_space(text::html_unescape(s.title));
  r.merchant_name = std::move(s.merchant_name);
  r.brand = std::move(s.brand);
  r.sku = std::move(s.sku);
  r.price = price_record(s, request.extraction);
  r.stock_status = s.stock_status;
  r.condition = s.condition;
  r.primary_image_url = std::move(s.primary_image_url);
  r.shipping_info = std::nullopt;
  r.page_type = s.page_type;
  r.fetch_source = s.fetch_source;
  return r;
}

json::value to_json(const MetadataResult& r) {
  const auto text_or_null = [](const std::optional<std::string>& v) -> json::value {
    return v ? json::value(*v) : json::value(nullptr);
  };
  json::object o;
  o.reserve(12);
  o.emplace("title", r.title);
  o.emplace("merchant_name", r.merchant_name);
  o.emplace("brand", text_or_null(r.brand));
  o.emplace("sku", text_or_null(r.sku));
  o.emplace("price", r.price ? models::to_json(*r.price) : json::value(nullptr));
  o.emplace("stock_status", r.stock_status ? json::value(models::to_string(*r.stock_status))
                                           : json::value(nullptr));
  o.emplace("condition", r.condition ? json::value(models::to_string(*r.condition)) : json::value(nullptr));
  o.emplace("primary_image_url", text_or_null(r.primary_image_url));
  o.emplace("shipping_info", text_or_null(r.shipping_info));
  o.emplace("page_type", models::to_string(r.page_type));
  o.emplace("match_score", r.match_score);
  o.emplace("fetch_source", to_string(r.fetch_source));
  return o;
}

}  // namespace korvane::commerce
