#include "commerce/metadata/extended/extended.hpp"

#include "commerce/metadata/extended/decide.hpp"
#include "commerce/metadata/extended/page_index.hpp"
#include "commerce/metadata/extended/readers.hpp"

#include "text/unicode.hpp"

#include <algorithm>

namespace korvane::commerce::detail::extended {
namespace {

// Runs the readers from the most to the least trusted; the weak readers of
// a field only when the stronger ones have not settled it.
Evidence gather(const PageIndex& index, std::string_view url) {
  const PageContext ctx(index, url);
  Evidence e;
  read_json_ld(ctx, e);
  read_meta_tags(ctx, e);
  read_microdata(ctx, e);
  read_page_state(ctx, e);
  read_data_attributes(ctx, e);
  read_link_identifier(ctx, e);
  if (!price_settled(e)) read_visible_price(ctx, e);
  // Labels are read for the SKU always: whether the shopper is shown an item
  // number decides between the page's identifiers.
  const bool skus = true;
  const bool brands = !brand_settled(e);
  if (skus || brands) read_item_labels(ctx, e, skus, brands);
  if (brands && e.brands.empty()) read_byline(ctx, e);
  if (!stock_settled(e)) read_stock_cues(ctx, e);
  return e;
}

// True when the page or the search result states currency `code`.
bool stated(std::string_view code, const Evidence& e, const std::optional<models::NormalizedPrice>& serp_price) {
  if (serp_price && serp_price->currency == code) return true;
  const auto listed = [code](const std::vector<std::string>& codes) {
    return std::find(codes.begin(), codes.end(), code) != codes.end();
  };
  if (listed(e.declared_currencies) || listed(e.written_currencies)) return true;
  return std::any_of(e.prices.begin(), e.prices.end(), [&](const PriceCandidate& c) { return c.currency == code; });
}

// True when the standard stage that set the price read a source that the
// extended readers read in full: JSON-LD or meta tags.
bool read_in_full(PriceOrigin origin) {
  return origin == PriceOrigin::ld_json || origin == PriceOrigin::meta_tags;
}

void apply_price(MetadataParseState& s, const Decision& d, const Evidence& e, const Inputs& inputs,
                 Trace* trace) {
  const auto& serp_price = inputs.serp_price;
  const bool serp_amount = serp_price && s.price_amount && *s.price_amount == serp_price->amount;
  const bool fill_only = d.price && !d.price->structured;
  if (d.price && (!fill_only || !s.price_amount)) {
    s.price_amount = d.price->amount;
    // The page's currency, else the one the search result states, else none.
    if (!d.price->currency.empty()) {
      s.currency = d.price->currency;
    } else if (serp_price && !serp_price->currency.empty()) {
      s.currency = serp_price->currency;
    } else {
      s.currency.reset();
    }
    if (trace != nullptr) trace->price = d.price->source;
    return;
  }
  if (!s.price_amount) return;
  // The standard answer or the search result's price stands, without a zero
  // amount from the page, without an amount of a source read in full that
  // the readers rejected, and without a currency nobody states.
  if ((*s.price_amount == 0.0 || read_in_full(inputs.price_origin)) && !serp_amount) {
    // Known to be wrong: back to the search result's price, if any.
    s.price_amount.reset();
    if (serp_price) {
      s.price_amount = serp_price->amount;
      s.currency = serp_price->currency;
      if (trace != nullptr) trace->price = Source::standard;
    }
    return;
  }
  if (is_set(s.currency) && !stated(*s.currency, e, serp_price)) {
    const std::string_view declared = e.declared_currency();
    if (declared.empty()) {
      s.currency.reset();
    } else {
      s.currency = std::string(declared);
    }
  }
  if (trace != nullptr) trace->price = Source::standard;
}

// A page with a structured price and an add-to-cart control, a structured
// availability or a structured SKU sells a product, whatever its og:type
// or path suggested.
bool sells_a_product(const Decision& d, const Evidence& e) {
  if (!d.price || !d.price->structured) return false;
  const auto structured = [](Source s) {
    return s == Source::json_ld || s == Source::microdata || s == Source::meta_tags;
  };
  return std::any_of(e.stock.begin(), e.stock.end(),
                     [&](const StockCandidate& c) { return c.source == Source::add_to_cart || structured(c.source); }) ||
         std::any_of(e.skus.begin(), e.skus.end(), [&](const SkuCandidate& c) { return structured(c.source); });
}

// True when `brand` names the shop (its site name or its link's host)
// rather than the product's maker.
bool names_the_shop(std::string_view brand, const Evidence& e, std::string_view domain) {
  if (e.is_shop_name(brand)) return true;
  const std::string key = letters_and_digits(brand);
  if (key.empty()) return false;
  // The host without its top-level domain ("shop.example.co.uk" gives
  // "shop.example.co"): a brand that holds it, or that it holds, is the
  // shop's name written out ("www.shop.example", "Shop Example").
  const std::string_view host = domain.substr(0, domain.rfind('.'));
  const std::string site = letters_and_digits(host);
  return !site.empty() && (site.find(key) != std::string::npos || key.find(site) != std::string::npos);
}

void apply_brand(MetadataParseState& s, const Decision& d, const Evidence& e, Trace* trace) {
  if (d.brand) {
    s.brand = d.brand->value;
    if (trace != nullptr) trace->brand = d.brand->source;
    return;
  }
  // Nothing names the product's brand: a standard answer that names the
  // shop (its site name, its host), or that is empty, a link or a
  // placeholder, is not the brand.
  if (s.brand && (!brand_text(*s.brand) || names_the_shop(*s.brand, e, s.domain))) s.brand.reset();
  if (is_set(s.brand) && trace != nullptr) trace->brand = Source::standard;
}

}  // namespace

Evidence gather(ValidUtf8 html, std::string_view url) {
  const PageIndex index(html);
  return gather(index, url);
}

Reading read(ValidUtf8 html, std::string_view url) {
  const PageIndex index(html);
  Reading reading{gather(index, url), {}};
  reading.decision = decide(reading.evidence, url);
  return reading;
}

void apply(MetadataParseState& s, const Reading& reading, const Inputs& inputs, Trace* trace) {
  const Evidence& e = reading.evidence;
  const Decision& d = reading.decision;

  apply_price(s, d, e, inputs, trace);
  const bool other_type = s.page_type == models::PageType::ARTICLE || s.page_type == models::PageType::PORTFOLIO ||
                          s.page_type == models::PageType::UNCATEGORIZED;
  if (other_type && sells_a_product(d, e)) s.page_type = models::PageType::PRODUCT;
  if (d.sku) {
    s.sku = d.sku->value;
    if (trace != nullptr) trace->sku = d.sku->source;
  } else if (is_set(s.sku) && plausible_sku(*s.sku)) {
    if (trace != nullptr) trace->sku = Source::standard;
  } else {
    s.sku.reset();
  }
  apply_brand(s, d, e, trace);
  if (d.stock) {
    s.stock_status = d.stock->status;
    if (trace != nullptr) trace->stock = d.stock->source;
  } else if (s.stock_status && trace != nullptr) {
    trace->stock = Source::standard;
  }
}

}  // namespace korvane::commerce::detail::extended
