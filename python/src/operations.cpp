#include "bindings.hpp"
#include "records.hpp"

#include <korvane/commerce.hpp>
#include <korvane/commerce/input.hpp>
#include <korvane/relevance.hpp>
#include <korvane/report.hpp>

#include <string>
#include <utility>

namespace korvane::python {
namespace {

using namespace korvane::commerce;

// ---------------------------------------------------------------- tables

template <std::size_t N>
py::frozenset frozenset_of(const StringSet<N>& table) {
  py::set out;
  for (const std::string_view entry : table) out.add(to_python(entry));
  return py::frozenset(out);
}

template <std::size_t N>
py::tuple tuple_of(const StringSet<N>& table) {
  py::tuple out(N);
  std::size_t i = 0;
  for (const std::string_view entry : table) out[i++] = to_python(entry);
  return out;
}

// A read-only mapping (types.MappingProxyType) in the table's order.
template <std::size_t N>
py::object mapping_of(const StringMap<N>& table) {
  py::dict out;
  for (const auto& [key, value] : table) out[to_python(key)] = to_python(value);
  return py::module_::import("types").attr("MappingProxyType")(out);
}

void bind_tables(py::module_& m) {
  // Sets (membership is what counts) as frozensets, sequences as tuples.
  m.attr("ARTICLE_PATH_PATTERNS") = tuple_of(ARTICLE_PATH_PATTERNS);
  m.attr("CATALOG_PATH_PATTERNS") = tuple_of(CATALOG_PATH_PATTERNS);
  m.attr("CURRENCY_MAP") = mapping_of(CURRENCY_MAP);
  m.attr("CURRENCY_TOKEN_PATTERN") = to_python(CURRENCY_TOKEN_PATTERN);
  m.attr("EDITORIAL_DOMAINS") = frozenset_of(EDITORIAL_DOMAINS);
  m.attr("GENERIC_TITLES") = frozenset_of(GENERIC_TITLES);
  m.attr("MARKETPLACE_DOMAINS") = frozenset_of(MARKETPLACE_DOMAINS);
  m.attr("MULTI_TENANT_SUBDOMAINS") = frozenset_of(MULTI_TENANT_SUBDOMAINS);
  m.attr("PORTFOLIO_DOMAINS") = frozenset_of(PORTFOLIO_DOMAINS);
  m.attr("PORTFOLIO_KEYWORDS") = tuple_of(PORTFOLIO_KEYWORDS);
  m.attr("PORTFOLIO_PATH_PATTERNS") = tuple_of(PORTFOLIO_PATH_PATTERNS);
  m.attr("RESELLER_DOMAINS") = frozenset_of(RESELLER_DOMAINS);
  m.attr("SOCIAL_DOMAINS") = frozenset_of(SOCIAL_DOMAINS);
  m.attr("TRACKING_PARAMS") = frozenset_of(TRACKING_PARAMS);

  py::tuple exports(EXPORTS.size());
  for (std::size_t i = 0; i < EXPORTS.size(); ++i) exports[i] = to_python(EXPORTS[i]);
  m.attr("EXPORTS") = exports;
}

// ---------------------------------------------------------------- component operations

// A class of class-level operations, shown as part of korvane.commerce.
template <class T>
py::class_<T> operations_class(py::module_& m, const char* name, const char* doc) {
  py::class_<T> cls(m, name, doc);
  cls.attr("__module__") = "korvane.commerce";
  return cls;
}

py::dict metadata_to_python(MetadataResult r) {
  py::dict d;
  d["title"] = to_python(r.title);
  d["merchant_name"] = to_python(r.merchant_name);
  d["brand"] = Field<std::optional<std::string>>::to(r.brand);
  d["sku"] = Field<std::optional<std::string>>::to(r.sku);
  d["price"] = Field<std::optional<models::NormalizedPrice>>::to(r.price);
  d["stock_status"] = Field<std::optional<models::StockStatus>>::to(r.stock_status);
  d["condition"] = Field<std::optional<models::ItemCondition>>::to(r.condition);
  d["primary_image_url"] = Field<std::optional<std::string>>::to(r.primary_image_url);
  d["shipping_info"] = Field<std::optional<std::string>>::to(r.shipping_info);
  d["page_type"] = to_python(r.page_type);
  d["match_score"] = r.match_score;
  d["fetch_source"] = to_python(to_string(r.fetch_source));
  return d;
}

// The operations on links, price texts and domains.
void bind_text_operations(py::module_& m) {
  operations_class<URLUnwrapper>(m, "URLUnwrapper", "Cleans search-engine links and reduces links to domains.")
      .def_static(
          "unwrap", [](const py::object& url) { return to_python(URLUnwrapper::unwrap(text_view(url, "url"))); },
          py::arg("url"),
          "The destination link without the search engine's redirect wrapper (one level), tracking "
          "parameters and text-fragment directive; '' for ''. Raises InvalidUrlError for a link that "
          "cannot be split.")
      .def_static(
          "extract_domain",
          [](const py::object& url) { return to_python(URLUnwrapper::extract_domain(text_view(url, "url"))); },
          py::arg("url"), "The lower-cased network location without one leading 'www.'; '' for ''.");

  operations_class<PriceNormalizer>(m, "PriceNormalizer", "Reads free-form price texts.")
      .def_static(
          "parse",
          [](const py::object& raw_price, const py::object& currency_hint) -> py::object {
            auto price = PriceNormalizer::parse(optional_text_view(raw_price, "raw_price"),
                                                optional_text_view(currency_hint, "currency_hint"));
            if (!price) return py::none();
            return py::cast(std::move(*price));
          },
          py::arg("raw_price"), py::arg("currency_hint") = py::none(),
          "The NormalizedPrice of a price text (amount rounded to cents, ISO 4217 code), or None when "
          "no price can be read.")
      .def_static(
          "parse_extended",
          [](const py::object& raw_price, const py::object& currency_hint) -> py::object {
            auto price = PriceNormalizer::parse_extended(optional_text_view(raw_price, "raw_price"),
                                                         optional_text_view(currency_hint, "currency_hint"));
            if (!price) return py::none();
            return py::cast(std::move(*price));
          },
          py::arg("raw_price"), py::arg("currency_hint") = py::none(),
          "The NormalizedPrice of a price text read the way shops write prices (every currency, local "
          "grouping by the currency's minor units, 'Free' as 0, not a saving, percentage or former "
          "price): the amount exactly as written, the currency empty when neither the text nor the hint "
          "names one; None when the text holds no price.")
      .attr("PRICE_PATTERN") = to_python(PriceNormalizer::PRICE_PATTERN);

  operations_class<MerchantClassifier>(m, "MerchantClassifier", "Classifies the merchant behind a domain.")
      .def_static(
          "classify",
          [](const py::object& domain, const py::object& title, const py::object& brand,
             const py::object& merchant_name) {
            return to_python(MerchantClassifier::classify(text_view(domain, "domain"), text_view(title, "title"),
                                                          optional_text_view(brand, "brand"),
                                                          optional_text_view(merchant_name, "merchant_name")));
          },
          py::arg("domain"), py::arg("title") = "", py::arg("brand") = py::none(),
          py::arg("merchant_name") = py::none(), "The MerchantCategory of the merchant at `domain`.");
}

void bind_metadata_parser(py::module_& m) {
  operations_class<DestinationMetadataParser>(m, "DestinationMetadataParser",
                                              "Mines destination pages for product metadata.")
      .def_static(
          "parse_metadata",
          [](const py::object& html, const py::object& direct_url, const py::object& initial_title,
             const py::object& initial_merchant, const py::object& initial_price, const py::object& initial_stock,
             const py::object& rank, const py::object& extended) {
            // A page may come as bytes too (as fetched; invalid UTF-8 reads as U+FFFD), which
            // saves the UTF-8 copy of a str that is not ASCII.
            const std::optional<std::string_view> page =
                PyBytes_Check(html.ptr()) ? std::optional<std::string_view>(std::string_view(
                                                PyBytes_AS_STRING(html.ptr()),
                                                static_cast<std::size_t>(PyBytes_GET_SIZE(html.ptr()))))
                                          : optional_text_view(html, "html");
            const MetadataRequest request{
                .html = page,
                .direct_url = text_view(direct_url, "direct_url"),
                .initial_title = text_view(initial_title, "initial_title"),
                .initial_merchant = text_view(initial_merchant, "initial_merchant"),
                .initial_price = Field<std::optional<models::NormalizedPrice>>::from(initial_price, "initial_price"),
                .initial_stock = Field<std::optional<bool>>::from(initial_stock, "initial_stock"),
                .rank = Field<int>::from(rank, "rank"),
                .extraction = boolean(extended, "extended") ? ExtractionMode::extended : ExtractionMode::standard};
            MetadataResult result;
            {
              // The texts are views into the arguments, which the call holds.
              const py::gil_scoped_release unlocked;
              result = DestinationMetadataParser::parse_metadata(request);
            }
            return metadata_to_python(std::move(result));
          },
          py::arg("html"), py::arg("direct_url"), py::arg("initial_title") = "", py::arg("initial_merchant") = "",
          py::arg("initial_price") = py::none(), py::arg("initial_stock") = py::none(), py::arg("rank") = 1,
          py::kw_only(), py::arg("extended") = false,
          "The metadata of one destination page (str, or bytes in UTF-8) as a dict of 12 entries: title, merchant_name, brand, sku, "
          "price, stock_status, condition, primary_image_url, shipping_info (always None), page_type, "
          "match_score, fetch_source ('ld_json', 'next_data', 'opengraph' or 'serp_fallback'). Runs "
          "without the GIL.");
}

void bind_aggregator(py::module_& m) {
  operations_class<CommerceAggregator>(m, "CommerceAggregator", "Fuses visual matches with shopping offers.")
      .def_static(
          "fuse_matches_and_offers",
          [](const py::object& lens_items, const py::object& shopping_offers, const py::object& extended) {
            const auto items = items_of(lens_items, "lens_items");
            const auto offers = list_of(shopping_offers, "shopping_offers", "ShoppingOffer",
                                        [](py::handle h, const std::string& what) {
                                          return record<models::ShoppingOffer>(h, what);
                                        });
            const auto mode = boolean(extended, "extended") ? ExtractionMode::extended : ExtractionMode::standard;
            return to_python(CommerceAggregator::fuse_matches_and_offers(items, offers, mode));
          },
          py::arg("lens_items"), py::arg("shopping_offers"), py::kw_only(), py::arg("extended") = false,
          "One deduplicated list (new records) of the offers and the items, offers first, in relevance "
          "order. extended=True also merges listings that agree once tracking is removed, and items of one "
          "shop with the same GTIN or brand and SKU, and gives offers their merchant category.");
}

// ---------------------------------------------------------------- exports, readers

template <class Export>
py::object export_to(const py::object& commerce, const py::object& output_path, Export write) {
  const models::CommerceIntelligence result = to_model(commerce, "commerce");
  const std::filesystem::path target = path(output_path, "output_path");
  std::filesystem::path written;
  {
    const py::gil_scoped_release unlocked;
    written = write(result, target);
  }
  return path_to_python(written);
}

void bind_exports(py::module_& m) {
  m.def(
      "export_commerce_to_csv",
      [](const py::object& commerce, const py::object& output_path) {
        return export_to(commerce, output_path, [](const auto& r, const auto& p) { return export_commerce_to_csv(r, p); });
      },
      py::arg("commerce"), py::arg("output_path"),
      "Writes the result as a CSV table and returns the absolute path written.");
  m.def(
      "export_commerce_to_json",
      [](const py::object& commerce, const py::object& output_path) {
        return export_to(commerce, output_path,
                         [](const auto& r, const auto& p) { return export_commerce_to_json(r, p); });
      },
      py::arg("commerce"), py::arg("output_path"),
      "Writes the result as one JSON document and returns the absolute path written.");

  const auto offers_to_python = [](std::vector<models::ShoppingOffer> offers) {
    py::list out(offers.size());
    for (std::size_t i = 0; i < offers.size(); ++i) out[i] = py::cast(std::move(offers[i]));
    return out;
  };
  m.def(
      "read_search_result",
      [offers_to_python](const py::object& text, const py::object& source) {
        EnrichRequest request = read_search_result(text_view(text, "text"), text_view(source, "source"));
        py::list matches(request.matches.size());
        for (std::size_t i = 0; i < request.matches.size(); ++i) matches[i] = py::cast(std::move(request.matches[i]));
        return py::make_tuple(matches, request.offers ? py::object(offers_to_python(std::move(*request.offers)))
                                                      : py::object(py::none()));
      },
      py::arg("text"), py::arg("source") = "input");
  m.def(
      "read_shopping_offers",
      [offers_to_python](const py::object& text, const py::object& source) {
        return offers_to_python(read_shopping_offers(text_view(text, "text"), text_view(source, "source")));
      },
      py::arg("text"), py::arg("source") = "input");
  m.def(
      "read_enriched_items",
      [](const py::object& text, const py::object& source) {
        EnrichedItems items = read_enriched_items(text_view(text, "text"), text_view(source, "source"));
        return py::make_tuple(to_python(std::move(items.result)), items.whole_result);
      },
      py::arg("text"), py::arg("source") = "input");
}

// ---------------------------------------------------------------- relevance, report

void bind_relevance(py::module_& m) {
  m.def(
      "classify_match_relevance",
      [](const py::object& item, const py::object& context) {
        const auto& record_item = record<models::EnrichedCommerceMatch>(item, "item");
        if (context.is_none()) return to_python(relevance::classify_match_relevance(record_item));
        const auto& ctx = record<relevance::RelevanceContext>(context, "context");
        return to_python(relevance::classify_match_relevance(record_item, &ctx));
      },
      py::arg("item"), py::arg("context") = py::none());
  m.def(
      "recompute_market_summary",
      [](const py::object& items, const py::object& summary) {
        return py::cast(relevance::recompute_market_summary(items_of(items, "items"),
                                                            record<models::CommerceSummary>(summary, "summary")));
      },
      py::arg("items"), py::arg("summary"));
  m.def(
      "sort_commerce_items",
      [](const py::object& items) { return to_python(relevance::sort_commerce_items(items_of(items, "items"))); },
      py::arg("items"));
}

report::ReportOptions report_options(const py::object& resolved_links) {
  report::ReportOptions options;
  if (!resolved_links.is_none()) {
    const long long n = integer(resolved_links, "resolved_links");
    if (n < 0) throw py::value_error("resolved_links must not be negative");
    options.resolved_links = static_cast<std::size_t>(n);
  }
  return options;
}

void bind_report(py::module_& m) {
  m.def(
      "commerce_to_html",
      [](const py::object& commerce, const py::object& resolved_links) {
        const models::CommerceIntelligence result = to_model(commerce, "commerce");
        const report::ReportOptions options = report_options(resolved_links);
        std::string html;
        {
          const py::gil_scoped_release unlocked;
          html = report::commerce_to_html(result, options);
        }
        return to_python(html);
      },
      py::arg("commerce"), py::kw_only(), py::arg("resolved_links") = py::none());
  m.def(
      "export_commerce_to_html",
      [](const py::object& commerce, const py::object& output_path, const py::object& resolved_links) {
        const report::ReportOptions options = report_options(resolved_links);
        return export_to(commerce, output_path, [&options](const auto& r, const auto& p) {
          return report::export_commerce_to_html(r, p, options);
        });
      },
      py::arg("commerce"), py::arg("output_path"), py::kw_only(), py::arg("resolved_links") = py::none());
}

}  // namespace

void bind_operations(py::module_& m) {
  bind_tables(m);
  bind_text_operations(m);
  bind_metadata_parser(m);
  bind_aggregator(m);
  bind_exports(m);
  bind_relevance(m);
  bind_report(m);
}

}  // namespace korvane::python
