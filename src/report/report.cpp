#include <korvane/report.hpp>

#include <korvane/commerce/unwrapper.hpp>

#include "commerce/output_file.hpp"
#include "commerce/product_identity.hpp"
#include "report/assets.hpp"
#include "report/charts.hpp"
#include "report/data.hpp"
#include "report/labels.hpp"
#include "report/markup.hpp"
#include "text/number.hpp"

#include <korvane/errors.hpp>

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <vector>

namespace korvane::report {
namespace fs = std::filesystem;
using models::CommerceIntelligence;
using models::EnrichedCommerceMatch;

namespace {

using detail::append_attribute;
using detail::append_text;
using detail::CATEGORIES;
using detail::format_amount;
using detail::has_price;
using detail::ItemFacts;
using detail::key_of;
using detail::label;
using detail::NO_CATEGORY;
using detail::NO_RELEVANCE;
using detail::NO_STOCK;
using detail::PAGE_TYPES;
using detail::RELEVANCE;
using detail::SCRIPT;
using detail::STYLE;
using detail::web_link;

// The base64 of the SHA-256 of `text`: how a Content-Security-Policy names an
// inline script or style sheet it allows.
std::string csp_hash(std::string_view text) {
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int length = 0;
  if (EVP_Digest(text.data(), text.size(), digest.data(), &length, EVP_sha256(), nullptr) != 1) {
    throw Error("SHA-256 is not available");
  }
  std::string out(4 * ((length + 2) / 3), '\0');
  EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), digest.data(), static_cast<int>(length));
  return out;
}

// The script and the style sheet are constants, so are their hashes.
const std::string& script_hash() {
  static const std::string hash = csp_hash(SCRIPT);
  return hash;
}
const std::string& style_hash() {
  static const std::string hash = csp_hash(STYLE);
  return hash;
}

// A visual-match item whose link the store resolution replaced.
bool link_resolved(const EnrichedCommerceMatch& item) {
  if (item.source_engine != "lens") return false;
  try {
    return item.direct_url != commerce::URLUnwrapper::unwrap(item.original_url);
  } catch (const InvalidUrlError&) {
    return false;
  }
}

// Items per key, in the enumeration's order, "none" last.
template <class Enum, std::size_t N>
std::vector<std::pair<std::optional<Enum>, std::size_t>> count_by(
    const std::vector<EnrichedCommerceMatch>& items, const std::array<Enum, N>& values,
    std::optional<Enum> EnrichedCommerceMatch::*field) {
  std::vector<std::pair<std::optional<Enum>, std::size_t>> counts;
  for (const Enum v : values) counts.emplace_back(v, 0);
  counts.emplace_back(std::nullopt, 0);
  for (const auto& item : items) {
    const auto& value = item.*field;
    auto it = std::find_if(counts.begin(), counts.end(), [&](const auto& c) { return c.first == value; });
    ++it->second;
  }
  std::erase_if(counts, [](const auto& c) { return c.second == 0; });
  return counts;
}

// ---------------------------------------------------------------- parts of the page

void append_head(std::string& out, std::size_t items) {
  out.append("<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n");
  out.append("<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; script-src 'sha256-");
  out.append(script_hash()).append("'; style-src 'sha256-").append(style_hash());
  out.append("'; img-src http: https: data:; connect-src 'none'; base-uri 'none'; form-action 'none'\">\n");
  out.append("<meta name=\"referrer\" content=\"no-referrer\">\n");
  out.append("<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n");
  out.append("<title>Commerce report: ").append(std::to_string(items)).append(items == 1 ? " item" : " items");
  out.append("</title>\n<link rel=\"icon\" href=\"data:,\">\n");
  out.append("<style>").append(STYLE).append("</style>\n");
  out.append("<script>").append(SCRIPT).append("</script>\n</head>\n");
}

void append_stat(std::string& out, std::string_view name, std::string_view value, std::string_view note = {}) {
  out.append("<div><dt>").append(name).append("</dt><dd>");
  append_text(out, value);
  if (!note.empty()) {
    out.append("<small>");
    append_text(out, note);
    out.append("</small>");
  }
  out.append("</dd></div>");
}

// What the header counts: items by where they come from, product groups,
// store links.
struct Counts {
  std::size_t items = 0;
  std::size_t matches = 0;   // items from visual matches (source engine "lens")
  std::size_t offers = 0;    // items from shopping offers ("shopping")
  std::size_t products = 0;  // product groups
  std::size_t resolved = 0;
};

std::string counted(std::size_t n, std::string_view one, std::string_view many) {
  return detail::format_count(n) + " " + std::string(n == 1 ? one : many);
}

void append_summary(std::string& out, const CommerceIntelligence& commerce, const Counts& counts) {
  const auto& s = commerce.summary;
  out.append("<header class=\"top\">\n<h1>Commerce report</h1>\n<p class=\"sub\">");
  out.append(counted(counts.items, "item", "items"));
  if (counts.items > 0) {
    out.append(": ").append(counted(counts.matches, "visual match", "visual matches"));
    out.append(", ").append(counted(counts.offers, "shopping offer", "shopping offers"));
    if (const std::size_t other = counts.items - counts.matches - counts.offers; other > 0) {
      out.append(", ").append(detail::format_count(other)).append(" from other sources");
    }
    out.append("; ").append(counted(counts.products, "product", "products"));
  }
  out.append("</p>\n<dl class=\"stats\">");
  append_stat(out, "Visual matches", detail::format_count(counts.matches));
  append_stat(out, "Shopping offers", detail::format_count(counts.offers));
  append_stat(out, "Products", detail::format_count(counts.products));
  append_stat(out, "Priced", detail::format_count(static_cast<std::size_t>(std::max(0, s.total_priced_matches))));
  if (s.min_price && s.max_price) {
    const std::string range = *s.min_price == *s.max_price
                                  ? format_amount(*s.min_price)
                                  : format_amount(*s.min_price) + " \xE2\x80\x93 " + format_amount(*s.max_price);
    append_stat(out, "Price range", range, s.currency);
  } else {
    append_stat(out, "Price range", "\xE2\x80\x94", s.currency);
  }
  append_stat(out, "Median price", s.median_price ? format_amount(*s.median_price) : "\xE2\x80\x94", s.currency);
  append_stat(out, "In stock", detail::format_count(static_cast<std::size_t>(std::max(0, s.in_stock_count))));
  append_stat(out, "Store links resolved", detail::format_count(counts.resolved));
  out.append("</dl>\n</header>\n");
}

// One strip per currency: the summary's currency first, then by number of
// prices.
void append_prices(std::string& out, const CommerceIntelligence& commerce) {
  std::map<std::string_view, std::vector<detail::PricePoint>> by_currency;
  for (const auto& item : commerce.items) {
    if (has_price(item)) by_currency[item.price->currency].push_back({item.price->amount, item.title});
  }
  std::vector<const std::pair<const std::string_view, std::vector<detail::PricePoint>>*> order;
  for (const auto& entry : by_currency) order.push_back(&entry);
  const std::string_view main_currency = commerce.summary.currency;
  std::stable_sort(order.begin(), order.end(), [&](const auto* a, const auto* b) {
    if ((a->first == main_currency) != (b->first == main_currency)) return a->first == main_currency;
    return a->second.size() > b->second.size();
  });

  out.append("<section aria-labelledby=\"h-prices\">\n<h2 id=\"h-prices\">Prices</h2>\n");
  if (order.empty()) {
    out.append("<p class=\"empty\">No item has a price.</p>\n");
  } else {
    out.append("<div class=\"charts\">");
    for (const auto* entry : order) {
      detail::append_price_strip(out, entry->first.empty() ? std::string_view("no currency") : entry->first,
                         entry->second);
    }
    out.append("</div>\n");
  }
  out.append("</section>\n");
}

void append_breakdowns(std::string& out, const std::vector<EnrichedCommerceMatch>& items) {
  if (items.empty()) return;
  std::vector<std::string> classes;  // kept alive for the bars' views
  std::vector<detail::Bar> merchants;
  const auto categories = count_by(items, CATEGORIES, &EnrichedCommerceMatch::merchant_category);
  classes.reserve(categories.size());
  for (const auto& [category, count] : categories) {
    classes.push_back("k-" + std::string(key_of(category)));
    merchants.push_back({category ? label(*category) : NO_CATEGORY, count, classes.back()});
  }
  std::vector<detail::Bar> pages;
  for (const auto type : PAGE_TYPES) {
    const auto n = static_cast<std::size_t>(
        std::count_if(items.begin(), items.end(), [type](const auto& item) { return item.page_type == type; }));
    if (n > 0) pages.push_back({label(type), n, "k-page"});
  }
  out.append("<section aria-labelledby=\"h-breakdown\">\n<h2 id=\"h-breakdown\">Merchants and pages</h2>\n");
  out.append("<div class=\"charts\">");
  detail::append_bar_chart(out, "Items by merchant category", merchants);
  detail::append_bar_chart(out, "Items by page type", pages);
  out.append("</div>\n</section>\n");
}

template <class Enum>
void append_options(std::string& out, const std::vector<std::pair<std::optional<Enum>, std::size_t>>& counts,
                    std::string_view absent) {
  out.append("<option value=\"\">All</option>");
  for (const auto& [value, count] : counts) {
    out.append("<option value=\"").append(key_of(value)).append("\">");
    out.append(value ? label(*value) : absent).append(" (").append(std::to_string(count)).append(")</option>");
  }
}

// The search, filters, sorting, grouping and pager work only with the
// script, which shows them.
void append_filters(std::string& out, const std::vector<EnrichedCommerceMatch>& items) {
  out.append("<form id=\"filters\" class=\"filters\" hidden role=\"search\" aria-label=\"Search, filter and sort the items\">");
  out.append("<label class=\"search\">Search<input type=\"search\" name=\"q\" autocomplete=\"off\" spellcheck=\"false\" ");
  out.append("placeholder=\"Title, merchant, brand or SKU\"></label>");
  out.append("<label>Merchant category<select name=\"category\">");
  append_options(out, count_by(items, CATEGORIES, &EnrichedCommerceMatch::merchant_category), NO_CATEGORY);
  out.append("</select></label><label>Relevance<select name=\"relevance\">");
  append_options(out, count_by(items, RELEVANCE, &EnrichedCommerceMatch::relevance), NO_RELEVANCE);
  out.append("</select></label>");
  out.append("<label class=\"check\"><input type=\"checkbox\" name=\"instock\">In stock only</label>");
  out.append("<label class=\"check\"><input type=\"checkbox\" name=\"priced\">Priced only</label>");
  out.append("<label>Sort<select name=\"sort\"><option value=\"result\">Result order</option>");
  out.append("<option value=\"price-up\">Price, low to high</option>");
  out.append("<option value=\"price-down\">Price, high to low</option></select></label>");
  out.append("<label class=\"check\"><input type=\"checkbox\" name=\"group\" checked>One card per product</label>");
  out.append("<button type=\"reset\">Reset</button><output id=\"shown\" aria-live=\"polite\"></output></form>\n");
  out.append("<p id=\"none-shown\" class=\"empty\" hidden>No item matches these filters.</p>\n");
}

// Page buttons under the cards, for the script.
void append_pager(std::string& out) {
  out.append("<nav id=\"pager\" class=\"pager\" hidden aria-label=\"Pages\">");
  out.append("<button type=\"button\" data-go=\"first\" aria-label=\"First page\">\xC2\xAB</button>");
  out.append("<button type=\"button\" data-go=\"prev\">\xE2\x80\xB9 Previous</button>");
  out.append("<label>Page <input type=\"number\" name=\"page\" min=\"1\" value=\"1\" inputmode=\"numeric\"></label>");
  out.append("<span id=\"pages\"></span>");
  out.append("<button type=\"button\" data-go=\"next\">Next \xE2\x80\xBA</button>");
  out.append("<button type=\"button\" data-go=\"last\" aria-label=\"Last page\">\xC2\xBB</button></nav>\n");
}

void append_fact(std::string& out, std::string_view name, std::string_view value) {
  out.append("<dt>").append(name).append("</dt><dd>");
  append_text(out, value);
  out.append("</dd>");
}

void append_image(std::string& out, const EnrichedCommerceMatch& item) {
  // The page's own image first, the search engine's thumbnail as fallback.
  const std::vector<std::string_view> sources = detail::image_sources(item);
  out.append("<figure class=\"ph\">");
  if (!sources.empty()) {
    out.append("<img src=\"");
    append_attribute(out, sources[0]);
    if (sources.size() > 1) {
      out.append("\" data-fallback=\"");
      append_attribute(out, sources[1]);
    }
    out.append("\" alt=\"");
    append_attribute(out, item.title);
    out.append("\" loading=\"lazy\" decoding=\"async\" referrerpolicy=\"no-referrer\" width=\"400\" height=\"300\">");
  }
  out.append("</figure>");
}

void append_link(std::string& out, const EnrichedCommerceMatch& item, bool resolved) {
  out.append("<p class=\"link\">");
  const auto link = web_link(item.direct_url);
  if (link) {
    out.append("<a href=\"");
    append_attribute(out, *link);
    out.append("\" rel=\"noopener noreferrer\" target=\"_blank\" title=\"");
    append_attribute(out, *link);
    out.append("\">");
    append_text(out, detail::link_text(*link));
    out.append("</a>");
    if (resolved) out.append(" <span class=\"resolved\">\xE2\x9C\x93 direct store link</span>");
  } else if (item.direct_url.empty()) {
    out.append("<span class=\"bad\">no link</span>");
  } else {
    out.append("<span class=\"bad\" title=\"Not opened: not an http or https link\">");
    append_text(out, item.direct_url);
    out.append("</span>");
  }
  out.append("</p>");
}

void append_card(std::string& out, const EnrichedCommerceMatch& item, std::size_t index, bool resolved) {
  out.append("<article class=\"card\" data-index=\"").append(std::to_string(index));
  out.append("\" data-category=\"").append(key_of(item.merchant_category));
  out.append("\" data-relevance=\"").append(key_of(item.relevance));
  out.append("\" data-stock=\"").append(key_of(item.stock_status)).append("\"");
  if (has_price(item)) out.append(" data-price=\"").append(text::format_shortest(item.price->amount)).append("\"");
  out.append(">");
  append_image(out, item);

  out.append("<div class=\"body\"><h3>");
  append_text(out, item.title);
  out.append("</h3>");
  if (has_price(item)) {
    out.append("<p class=\"price\">").append(format_amount(item.price->amount)).append(" ");
    append_text(out, item.price->currency);
    out.append("</p>");
  } else {
    out.append("<p class=\"price none\">No price</p>");
  }

  out.append("<p class=\"merchant\">");
  append_text(out, item.merchant_name && !item.merchant_name->empty() ? *item.merchant_name : "Unknown merchant");
  out.append(" <span class=\"badge k-").append(key_of(item.merchant_category)).append("\">");
  out.append(item.merchant_category ? label(*item.merchant_category) : NO_CATEGORY).append("</span></p>");

  out.append("<p class=\"tags\"><span class=\"badge r-").append(key_of(item.relevance)).append("\">");
  out.append(item.relevance ? label(*item.relevance) : NO_RELEVANCE).append("</span> ");
  out.append(std::to_string(item.match_score)).append("% match</p>");

  out.append("<dl class=\"facts\">");
  append_fact(out, "Page", label(item.page_type));
  append_fact(out, "Stock", item.stock_status ? label(*item.stock_status) : NO_STOCK);
  if (item.condition) append_fact(out, "Condition", label(*item.condition));
  if (item.brand && !item.brand->empty()) append_fact(out, "Brand", *item.brand);
  if (item.sku && !item.sku->empty()) append_fact(out, "SKU", *item.sku);
  if (item.shipping_info && !item.shipping_info->empty()) append_fact(out, "Shipping", *item.shipping_info);
  out.append("</dl>");
  append_link(out, item, resolved);
  out.append("</div></article>\n");
}

// Cards written into the page itself, for readers without JavaScript (and
// the first view before the script runs): a whole ordinary search result;
// beyond it, the first ones and a note, so that a result of many thousands
// of items does not become a page of many thousands of cards.
constexpr std::size_t STATIC_CARDS = 200;

void append_items(std::string& out, const std::vector<EnrichedCommerceMatch>& items,
                  const std::vector<ItemFacts>& facts) {
  out.append("<section aria-labelledby=\"h-items\">\n<h2 id=\"h-items\">Items</h2>\n");
  if (items.empty()) {
    out.append("<p class=\"empty\">This result has no items.</p>\n");
  } else {
    append_filters(out, items);
  }
  const std::size_t shown = std::min(items.size(), STATIC_CARDS);
  if (shown < items.size()) {
    out.append("<p id=\"static-note\" class=\"note\">Without JavaScript this page lists the first ");
    out.append(detail::format_count(shown)).append(" of ").append(detail::format_count(items.size()));
    out.append(" items, in result order. With JavaScript on, it pages through all of them, with search, "
               "filters and one card per product.</p>\n");
  }
  out.append("<div id=\"grid\" class=\"grid\">\n");
  for (std::size_t i = 0; i < shown; ++i) append_card(out, items[i], i, facts[i].resolved);
  out.append("</div>\n");
  if (!items.empty()) {
    append_pager(out);
    detail::append_data_block(out, items, facts);
  }
  out.append("</section>\n");
}

}  // namespace

std::string commerce_to_html(const CommerceIntelligence& commerce, const ReportOptions& options) {
  const auto& items = commerce.items;
  const std::vector<std::size_t> groups = commerce::detail::product_groups(items);
  std::vector<ItemFacts> facts(items.size());
  Counts counts;
  counts.items = items.size();
  for (std::size_t i = 0; i < items.size(); ++i) {
    facts[i] = {.resolved = link_resolved(items[i]), .group = groups[i]};
    counts.resolved += facts[i].resolved ? 1U : 0U;
    counts.matches += items[i].source_engine == "lens" ? 1U : 0U;
    counts.offers += items[i].source_engine == "shopping" ? 1U : 0U;
    counts.products = std::max(counts.products, groups[i] + 1);
  }
  if (options.resolved_links) counts.resolved = *options.resolved_links;

  std::string out;
  out.reserve(STYLE.size() + SCRIPT.size() + 8192 + std::min(items.size(), STATIC_CARDS) * 1600 + items.size() * 300);
  append_head(out, items.size());
  out.append("<body>\n");
  append_summary(out, commerce, counts);
  out.append("<main>\n");
  append_prices(out, commerce);
  append_breakdowns(out, items);
  append_items(out, items, facts);
  out.append("</main>\n");
  out.append("<footer>Made by korvane-commerce from a visual product search. Prices and stock as the pages "
             "stated them.</footer>\n</body>\n</html>\n");
  return out;
}

fs::path export_commerce_to_html(const CommerceIntelligence& commerce, const fs::path& output_path,
                                 const ReportOptions& options, std::stop_token stop) {
  return commerce::detail::write_output_file(output_path, commerce_to_html(commerce, options), std::move(stop));
}

}  // namespace korvane::report
