// Deep enrichment and the whole pipeline, with pages from a fake transport.
#include <korvane/browser/session.hpp>
#include <korvane/commerce/enricher.hpp>
#include <korvane/commerce/metadata.hpp>
#include <korvane/commerce/normalizer.hpp>
#include <korvane/commerce/unwrapper.hpp>
#include <korvane/commerce/run.hpp>

#include "commerce/async_runtime.hpp"
#include "commerce/metadata/parsed_page.hpp"

#include <boost/asio/detached.hpp>
#include <gtest/gtest.h>

#include "support/page_table.hpp"
#include "support/records.hpp"

#include <algorithm>
#include <map>
#include <stop_token>
#include <stdexcept>

using namespace korvane::models;
using namespace korvane::commerce;
namespace core = korvane::core;
namespace asio = boost::asio;

namespace {

using korvane::testing::PageTable;
using korvane::testing::match;

std::string product_page(std::string_view name, std::string_view price, std::string_view currency,
                         std::string_view image = "https://img.example/p.jpg") {
  return std::string("<html><head><title>") + std::string(name) +
         "</title><script type=\"application/ld+json\">{\"@type\":\"Product\",\"name\":\"" + std::string(name) +
         "\",\"brand\":{\"name\":\"Acme\"},\"sku\":\"A-1\",\"image\":\"" + std::string(image) +
         "\",\"offers\":{\"price\":\"" + std::string(price) + "\",\"priceCurrency\":\"" + std::string(currency) +
         "\",\"availability\":\"https://schema.org/InStock\"}}</script></head><body>" + std::string(200, ' ') +
         "</body></html>";
}

std::string article_page() {
  return "<html><head><meta property=\"og:type\" content=\"article\"><title>Review</title></head><body>" +
         std::string(300, 'x') + "</body></html>";
}

struct Pipeline {
  std::shared_ptr<PageTable> table;
  RunOptions options;
  std::vector<std::string> messages;
  ProgressCallback progress() {
    return [this](std::string m) { messages.push_back(std::move(m)); };
  }
};

Pipeline make_run(std::map<std::string, std::string> pages) {
  Pipeline run;
  run.table = std::make_shared<PageTable>(std::move(pages));
  run.options.transport = run.table;
  run.options.resolve_stores = false;
  return run;
}

std::vector<EnrichedCommerceMatch> deep(Pipeline& run, std::vector<VisualMatch> matches,
                                        std::optional<long long> max_items = std::nullopt) {
  return detail::run_coroutine(
      CommerceEnricher::enrich_matches_deep_async(std::move(matches), max_items, run.progress(), run.options));
}

}  // namespace

TEST(DeepEnrichment, BuildsOneItemPerMatchFromItsPage) {
  Pipeline run = make_run({{"https://shop.acme.com/p/1", product_page("Acme Runner", "19.99", "EUR")},
                      {"https://blog.example/review", article_page()}});
  auto m1 = match("https://www.google.com/url?q=https://shop.acme.com/p/1%3Futm_source%3Dlens&sa=U", "runner",
                  "Acme");
  m1.thumbnail = "https://thumb.example/1.jpg";
  m1.price = "$25";
  auto m2 = match("https://blog.example/review", "Acme Runner review", "Blog");
  m2.thumbnail = "https://thumb.example/2.jpg";
  m2.in_stock = true;
  auto m3 = match("https://gone.example/p/3?gclid=x", "Acme Runner Blue", "Gone Shop");
  m3.price = "€30";
  m3.thumbnail = "https://thumb.example/3.jpg";
  const auto items = deep(run, {m1, m2, m3});

  ASSERT_EQ(items.size(), 3u);
  EXPECT_EQ(run.messages, (std::vector<std::string>{
                              "Fetching metadata from 3 merchant destinations...",
                              "Extracting structured product metadata & price intelligence (3 items)..."}));
  // One batch with the cleaned links, in match order.
  ASSERT_EQ(run.table->batches.size(), 1u);
  EXPECT_EQ(run.table->batches[0], (std::vector<std::string>{"https://shop.acme.com/p/1", "https://blog.example/review",
                                                             "https://gone.example/p/3"}));

  const auto& a = items[0];
  EXPECT_EQ(a.title, "Acme Runner");
  EXPECT_EQ(a.direct_url, "https://shop.acme.com/p/1");
  EXPECT_EQ(a.original_url, m1.link);
  ASSERT_TRUE(a.price);
  EXPECT_EQ(a.price->amount, 19.99);
  EXPECT_EQ(a.price->currency, "EUR");
  EXPECT_EQ(a.page_type, PageType::PRODUCT);
  EXPECT_EQ(a.merchant_category, MerchantCategory::OFFICIAL_BRAND);
  EXPECT_EQ(a.brand, "Acme");
  EXPECT_EQ(a.sku, "A-1");
  EXPECT_EQ(a.stock_status, StockStatus::IN_STOCK);
  EXPECT_EQ(a.primary_image_url, "https://img.example/p.jpg");
  EXPECT_EQ(a.thumbnail, "https://thumb.example/1.jpg");
  EXPECT_EQ(a.match_score, 99);  // rank 1, brand in the title
  EXPECT_EQ(a.source_engine, "lens");
  EXPECT_FALSE(a.relevance);

  // An article: no merchant category, no stock; the thumbnail stands in for the image.
  const auto& b = items[1];
  EXPECT_EQ(b.page_type, PageType::ARTICLE);
  EXPECT_FALSE(b.merchant_category);
  EXPECT_FALSE(b.stock_status);
  EXPECT_EQ(b.primary_image_url, "https://thumb.example/2.jpg");
  EXPECT_EQ(b.match_score, 95);

  // A page the fetcher did not get: the search result's own values.
  const auto& c = items[2];
  EXPECT_EQ(c.direct_url, "https://gone.example/p/3");
  EXPECT_EQ(c.title, "Acme Runner Blue");
  ASSERT_TRUE(c.price);
  EXPECT_EQ(c.price->currency, "EUR");
  EXPECT_EQ(c.page_type, PageType::PRODUCT);  // a price is known
  EXPECT_EQ(c.match_score, 92);
}

TEST(DeepEnrichment, ImageLinksAreMadeAbsoluteAndAnEmptyOneGivesTheThumbnail) {
  Pipeline run = make_run({{"https://shop.acme.com/p/1", product_page("Acme Runner", "19.99", "EUR", "/img/p1.jpg")},
                           {"https://shop.acme.com/p/2", product_page("Acme Walker", "9.99", "EUR", "")}});
  auto m1 = match("https://shop.acme.com/p/1", "runner", "Acme");
  auto m2 = match("https://shop.acme.com/p/2", "walker", "Acme");
  m1.thumbnail = "https://thumb.example/1.jpg";
  m2.thumbnail = "https://thumb.example/2.jpg";
  const auto items = deep(run, {m1, m2});
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].primary_image_url, "https://shop.acme.com/img/p1.jpg");
  EXPECT_EQ(items[1].primary_image_url, "https://thumb.example/2.jpg");
}

TEST(DeepEnrichment, SlicesLikeAListAndFetchesEvenForNone) {
  Pipeline run = make_run({});
  const std::vector<VisualMatch> three{match("https://a.example/1", "A"), match("https://b.example/2", "B"),
                                       match("https://c.example/3", "C")};
  EXPECT_EQ(deep(run, three, 2).size(), 2u);
  EXPECT_EQ(deep(run, three, 10).size(), 3u);
  EXPECT_EQ(deep(run, three, -1).size(), 2u);
  EXPECT_EQ(deep(run, three, -5).size(), 0u);
  run.messages.clear();
  run.table->batches.clear();
  EXPECT_TRUE(deep(run, three, 0).empty());
  EXPECT_EQ(run.messages, (std::vector<std::string>{
                              "Fetching metadata from 0 merchant destinations...",
                              "Extracting structured product metadata & price intelligence (0 items)..."}));
  // An empty batch never reaches the transport.
  EXPECT_TRUE(run.table->batches.empty() || run.table->batches[0].empty());

  run.messages.clear();
  EXPECT_TRUE(deep(run, {}).empty());
  EXPECT_TRUE(run.messages.empty());
}

TEST(DeepEnrichment, DuplicateLinksShareOnePageAndHostlessLinksUseTheSource) {
  Pipeline run = make_run({{"https://shop.acme.com/p/1", product_page("Acme Runner", "10", "USD")}});
  const auto items = deep(run, {match("https://shop.acme.com/p/1?utm_source=a", "x"),
                                match("https://shop.acme.com/p/1#:~:text=runner", "y"),
                                match("acme-shop/runner", "Runner", "Acme Shop")});
  ASSERT_EQ(items.size(), 3u);
  EXPECT_EQ(items[0].title, "Acme Runner");
  EXPECT_EQ(items[1].title, "Acme Runner");
  // Fetched once; the link without scheme and host never reaches the transport.
  EXPECT_EQ(run.table->batches.at(0), std::vector<std::string>{"https://shop.acme.com/p/1"});
  EXPECT_EQ(items[2].merchant_name, "Acme Shop");
}

// Pages of every kind the parser reads, each linked by several matches with
// their own title, merchant, price and stock flag, in both modes: every item
// is what a parse of its match alone gives, although each page is parsed
// once for all its matches.
TEST(DeepEnrichment, MatchesSharingAPageGetTheirOwnAnswers) {
  const std::string filler(300, ' ');
  const std::map<std::string, std::string> pages{
      {"https://shop.acme.com/p/1", product_page("Acme Runner", "19.99", "EUR")},
      {"https://blog.example/review", article_page()},
      {"https://meta.example/item/7",
       "<html><head><meta property=\"og:type\" content=\"product\"><meta property=\"og:title\" content=\"Trail "
       "Boot\"><meta property=\"og:brand\" content=\"Hike &amp; Co\"><meta property=\"product:price:amount\" "
       "content=\"49.50\"><meta property=\"product:price:currency\" content=\"gbp\"><meta "
       "property=\"product:availability\" content=\"out of stock\"><title>Boot</title></head><body>" +
           filler + "</body></html>"},
      {"https://woo.example/product/lamp",
       "<html><head><title>Desk Lamp</title></head><body><p class=\"price\"><span class=\"woocommerce-Price-amount "
       "amount\"><bdi>1,299.00</bdi></span></p><span class=\"sku\">LMP-9</span><div class=\"stock instock\">In "
       "stock</div>" +
           filler + "</body></html>"},
      {"https://next.example/sneaker",
       "<html><head><title>Sneaker</title></head><body>" + filler +
           "<script id=\"__NEXT_DATA__\" type=\"application/json\">{\"props\":{\"pageProps\":{\"product\":"
           "{\"name\":\"Court Sneaker\",\"brandName\":\"Vela\",\"sku\":\"VL-2\",\"priceCents\":8900}}}}"
           "</script></body></html>"},
      {"https://www.instagram.com/p/abc", product_page("Post", "5", "USD")},
  };
  struct Context {
    std::string title;
    std::optional<std::string> source, price;
    std::optional<bool> in_stock;
  };
  const std::vector<Context> contexts{{"Shop now", "Example Store", "12,50 €", true},
                                      {"x", std::nullopt, std::nullopt, false},
                                      {"Blue Runner Shoe Renewed", "Runner World Magazine Shop", "$5", std::nullopt}};
  std::vector<VisualMatch> matches;
  for (const auto& c : contexts) {
    for (const auto& [link, html] : pages) {
      auto m = match(link, c.title, c.source);
      m.price = c.price;
      m.in_stock = c.in_stock;
      m.thumbnail = "https://thumb.example/t.jpg";
      matches.push_back(std::move(m));
    }
  }
  for (const auto mode : {ExtractionMode::standard, ExtractionMode::extended}) {
    Pipeline run = make_run(pages);
    run.options.extraction = mode;
    const auto items = deep(run, matches);
    ASSERT_EQ(items.size(), matches.size());
    for (std::size_t i = 0; i < matches.size(); ++i) {
      const VisualMatch& m = matches[i];
      const std::string domain = URLUnwrapper::extract_domain(m.link);
      const MetadataResult alone = DestinationMetadataParser::parse_metadata(
          {.html = pages.at(m.link),
           .direct_url = m.link,
           .initial_title = m.title,
           .initial_merchant = m.source ? std::string_view(*m.source) : std::string_view(domain),
           .initial_price = mode == ExtractionMode::extended ? PriceNormalizer::parse_extended(m.price, m.currency)
                                                             : PriceNormalizer::parse(m.price, m.currency),
           .initial_stock = m.in_stock,
           .rank = static_cast<int>(i + 1),
           .extraction = mode});
      const auto& item = items[i];
      SCOPED_TRACE(m.link + " / " + m.title + (mode == ExtractionMode::extended ? " (extended)" : ""));
      EXPECT_EQ(item.title, alone.title);
      EXPECT_EQ(item.merchant_name, alone.merchant_name);
      EXPECT_EQ(item.price, alone.price);
      EXPECT_EQ(item.brand, alone.brand);
      EXPECT_EQ(item.sku, alone.sku);
      EXPECT_EQ(item.stock_status, alone.stock_status);
      EXPECT_EQ(item.condition, alone.condition);
      EXPECT_EQ(item.page_type, alone.page_type);
      EXPECT_EQ(item.match_score, alone.match_score);
      EXPECT_EQ(item.primary_image_url, alone.primary_image_url ? alone.primary_image_url : m.thumbnail);
    }
  }
}

// A batch keeps parsed pages for its later runs: a page found again under its
// link but with another text is parsed anew, and a page the cache lets go
// stays whole for whoever still holds it.
TEST(DeepEnrichment, KeptPagesAreFoundByLinkAndText) {
  detail::ParsedPageCache cache(1000);
  const std::string first = product_page("Acme Runner", "10", "USD");
  const std::string second = product_page("Acme Walker", "12", "USD");
  const auto a = cache.page("https://shop.acme.com/p/1", first);
  EXPECT_EQ(cache.page("https://shop.acme.com/p/1", first), a);
  const auto b = cache.page("https://shop.acme.com/p/1", second);
  EXPECT_NE(b, a);
  const auto title = [](detail::ParsedPage& page) { return page.html_title().value_or(""); };
  EXPECT_EQ(title(*b), "Acme Walker");
  for (int i = 0; i < 5; ++i) (void)cache.page("https://shop.acme.com/p/" + std::to_string(i + 2), second);
  EXPECT_NE(cache.page("https://shop.acme.com/p/1", second), b);  // over the budget: let go, parsed anew
  EXPECT_EQ(title(*a), "Acme Runner");
  EXPECT_EQ(title(*b), "Acme Walker");
}

// A link that cannot be split is a miss of its own item, not of the run: the
// item keeps the link as given, the report names its reason and match.
TEST(DeepEnrichment, ALinkThatCannotBeSplitIsAMissOfItsItem) {
  Pipeline run = make_run({{"https://shop.acme.com/p/1", product_page("Acme Runner", "10", "USD")}});
  const RunResult result = enrich({.matches = {match("https://shop.acme.com/p/1", "Runner"),
                                               match("http://[::1", "Broken", "Some Shop"),
                                               match("https://[broken/p?utm_source=x", "Broken too")}},
                                  run.options);
  ASSERT_EQ(result.result.items.size(), 3u);
  EXPECT_EQ(result.result.items[0].title, "Acme Runner");
  EXPECT_EQ(result.result.items[1].direct_url, "http://[::1");
  EXPECT_EQ(result.result.items[1].original_url, "http://[::1");
  EXPECT_EQ(result.result.items[1].merchant_name, "Some Shop");
  EXPECT_EQ(result.result.items[2].direct_url, "https://[broken/p?utm_source=x");
  ASSERT_EQ(result.report.pages_missed.size(), 2u);
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(result.report.pages_missed[i].url, result.result.items[i + 1].direct_url);
    EXPECT_EQ(result.report.pages_missed[i].reason, core::FetchFailure::malformed_link);
    EXPECT_EQ(result.report.pages_missed[i].match, i + 1);
  }
}

TEST(DeepEnrichment, FailuresEndTheCall) {
  Pipeline run = make_run({});
  const RunOptions failing = run.options;
  const ProgressCallback boom = [](const std::string&) { throw std::runtime_error("progress failed"); };
  EXPECT_THROW(detail::run_coroutine(CommerceEnricher::enrich_matches_deep_async({match("https://a.example/", "A")},
                                                                                 std::nullopt, boom, failing)),
               std::runtime_error);
}

TEST(Process, LabelsSummaryAndMatchOrder) {
  Pipeline run = make_run({{"https://shop.acme.com/p/1", product_page("Acme Runner", "19.99", "EUR")},
                      {"https://blog.example/review", article_page()}});
  const auto result = CommerceEnricher::process(
      {match("https://blog.example/review", "Review"), match("https://shop.acme.com/p/1", "runner", "Acme")},
      run.progress(), run.options);
  ASSERT_EQ(result.items.size(), 2u);
  EXPECT_EQ(result.items[0].page_type, PageType::ARTICLE);
  EXPECT_EQ(result.items[0].relevance, RelevanceLabel::LOW);
  EXPECT_EQ(result.items[1].match_score, 97);  // rank 2, brand in the title
  EXPECT_EQ(result.items[1].relevance, RelevanceLabel::EXACT_MATCH);
  EXPECT_EQ(result.summary.total_matches, 2);
  EXPECT_EQ(result.summary.total_priced_matches, 1);
  EXPECT_EQ(result.summary.currency, "EUR");

  run.messages.clear();
  run.table->batches.clear();
  EXPECT_EQ(CommerceEnricher::process({}, run.progress(), run.options), CommerceIntelligence{});
  EXPECT_TRUE(run.messages.empty());
  EXPECT_TRUE(run.table->batches.empty());
}

TEST(Process, WorksInsideARunningLoopAndFromAProgressCallback) {
  Pipeline run = make_run({{"https://shop.acme.com/p/1", product_page("Acme Runner", "5", "USD")}});
  const std::vector<VisualMatch> matches{match("https://shop.acme.com/p/1", "runner", "Acme")};
  const auto direct = CommerceEnricher::process(matches, {}, run.options);

  // A progress callback that runs the whole pipeline again, blocking.
  std::optional<CommerceIntelligence> nested;
  const ProgressCallback reentrant = [&](const std::string& msg) {
    if (!nested && msg.starts_with("Fetching")) nested = CommerceEnricher::process(matches, {}, run.options);
  };
  asio::io_context ctx;
  std::optional<CommerceIntelligence> outer;
  asio::co_spawn(ctx, [&]() -> awaitable<void> {
    outer = CommerceEnricher::process(matches, reentrant, run.options);  // blocks inside a running loop
    co_return;
  }, asio::detached);
  ctx.run();
  ASSERT_TRUE(outer && nested);
  EXPECT_EQ(*outer, direct);
  EXPECT_EQ(*nested, direct);
  EXPECT_EQ(detail::run_coroutine(CommerceEnricher::process_async(matches, {}, run.options)), direct);
}

TEST(Process, AnUnavailableBrowserLeavesStoreLinksAsTheyAre) {
  Pipeline run = make_run({});
  run.options.resolve_stores = true;
  int sessions = 0;
  run.options.session_factory = [&](int, int) -> std::unique_ptr<korvane::browser::Session> {
    ++sessions;
    throw korvane::BrowserUnavailableError("no browser here");
  };
  const auto result = CommerceEnricher::process(
      {match("https://www.ebay.com/sch/i.html?_nkw=acme+runner", "Acme Runner"), match("https://a.example/p", "A")},
      run.progress(), run.options);
  EXPECT_EQ(sessions, 1);
  EXPECT_EQ(result.items[0].direct_url, "https://www.ebay.com/sch/i.html?_nkw=acme+runner");
  ASSERT_EQ(run.messages.size(), 3u);
  EXPECT_EQ(run.messages[2], "Resolving direct product links across 1 store destinations...");
}

TEST(Run, FusesOffersReportsEveryPageCountsEachPhaseAndStops) {
  Pipeline run = make_run({{"https://shop.acme.com/p/1", product_page("Acme Runner", "19.99", "EUR")}});
  EnrichRequest request;
  request.matches = {match("https://shop.acme.com/p/1", "runner", "Acme"), match("https://gone.example/p", "Gone"),
                     match("https://gone.example/p", "Gone again")};
  ShoppingOffer offer;
  offer.title = "Acme Runner";
  offer.link = "https://store.example/acme-runner";
  offer.source = "Store";
  offer.extracted_price = 21.5;
  request.offers = std::vector<ShoppingOffer>{offer};
  std::vector<RunProgress> counts;
  RunCallbacks callbacks;
  callbacks.on_message = [&](std::string m) { run.messages.push_back(std::move(m)); };
  callbacks.on_progress = [&](const RunProgress& p) { counts.push_back(p); };

  const RunResult result = enrich(request, run.options, callbacks);
  // The fused list (the second match of one link is a duplicate), every item
  // labelled, and a summary of that list.
  ASSERT_EQ(result.result.items.size(), 3u);
  EXPECT_EQ(result.result.summary.total_matches, 3);
  EXPECT_TRUE(std::all_of(result.result.items.begin(), result.result.items.end(),
                          [](const EnrichedCommerceMatch& i) { return i.relevance.has_value(); }));
  // Each distinct page once in the report, with its reason.
  EXPECT_EQ(result.report.matches, 3u);
  EXPECT_EQ(result.report.pages_requested, 2u);
  EXPECT_EQ(result.report.pages_fetched, 1u);
  ASSERT_EQ(result.report.pages_missed.size(), 1u);
  EXPECT_EQ(result.report.pages_missed[0].url, "https://gone.example/p");
  EXPECT_EQ(result.report.pages_missed[0].reason, core::FetchFailure::http_status);
  EXPECT_EQ(result.report.pages_missed[0].detail, "status 404");
  // Counts end at their totals, phase by phase.
  ASSERT_FALSE(counts.empty());
  EXPECT_EQ(counts.back().phase, RunPhase::parsing);
  EXPECT_EQ(counts.back().done, 3u);
  EXPECT_TRUE(std::any_of(counts.begin(), counts.end(), [](const RunProgress& p) {
    return p.phase == RunPhase::fetching && p.done == 2 && p.total == 2;
  }));
  // The run's fetcher alone.
  const auto fetched = fetch_pages({"https://shop.acme.com/p/1", "https://gone.example/p"}, run.options);
  EXPECT_TRUE(fetched.pages.at("https://shop.acme.com/p/1").has_value());
  EXPECT_EQ(fetched.failures.at("https://gone.example/p").reason, core::FetchFailure::http_status);
  // max_items slices the matches before anything is fetched.
  run.options.max_items = -2;
  EXPECT_EQ(enrich(request, run.options).report.pages_requested, 1u);
  run.options.max_items.reset();

  // A stop requested while the run works ends it with CancelledError.
  std::stop_source stop;
  callbacks.on_message = [&](const std::string& m) {
    if (m.starts_with("Extracting")) stop.request_stop();
  };
  callbacks.on_progress = {};
  EXPECT_THROW((void)enrich(request, run.options, callbacks, stop.get_token()), korvane::CancelledError);
}
