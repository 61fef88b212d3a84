// The visual report of a large result: writing it (items per second), its
// size per item, and in Chromium the time from navigation to the load event,
// then one filter change and one sort, each with the layout it causes.
#include <korvane/commerce/async.hpp>

#include "commerce/async_runtime.hpp"
#include <korvane/relevance.hpp>
#include <korvane/report.hpp>

#include "support/devtools.hpp"

#include <benchmark/benchmark.h>

#include <filesystem>

namespace {

namespace fs = std::filesystem;
namespace models = korvane::models;

// Items as enrichment gives them: most priced (a few in another currency),
// all four merchant categories and relevance labels, images, brands, SKUs,
// links that the unwrapper has to look at.
models::CommerceIntelligence many_items(int count) {
  std::vector<models::EnrichedCommerceMatch> items;
  items.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    models::EnrichedCommerceMatch m;
    m.title = "Nike Air Max 90 \"Infrared\" <2020> & more, size " + std::to_string(36 + i % 12);
    m.direct_url = "https://shop" + std::to_string(i % 50) + ".example/p/" + std::to_string(i);
    m.original_url = m.direct_url + "?utm_source=lens&id=" + std::to_string(i);
    if (i % 4 != 0) m.price = models::NormalizedPrice("x", 99.99 + i % 100, i % 10 == 1 ? "EUR" : "USD");
    m.merchant_name = "Shop " + std::to_string(i % 50);
    m.merchant_category = static_cast<models::MerchantCategory>(i % 4);
    m.match_score = 50 + i % 49;
    m.page_type = i % 7 == 0 ? models::PageType::ARTICLE : models::PageType::PRODUCT;
    m.brand = "Nike";
    m.sku = "CT1685-" + std::to_string(i);
    m.stock_status = i % 3 == 0 ? models::StockStatus::OUT_OF_STOCK : models::StockStatus::IN_STOCK;
    m.condition = models::ItemCondition::NEW;
    m.primary_image_url = "https://img.example/" + std::to_string(i) + ".jpg";
    m.thumbnail = "https://thumbs.example/" + std::to_string(i) + ".jpg";
    m.relevance = static_cast<models::RelevanceLabel>(i % 4);
    items.push_back(std::move(m));
  }
  models::CommerceIntelligence ci;
  ci.summary = korvane::relevance::recompute_market_summary(items, {});
  ci.items = std::move(items);
  return ci;
}

void BM_ReportText(benchmark::State& state) {
  const auto ci = many_items(static_cast<int>(state.range(0)));
  std::size_t bytes = 0;
  for (auto _ : state) {
    const std::string html = korvane::report::commerce_to_html(ci);
    bytes = html.size();
    benchmark::DoNotOptimize(html.data());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * ci.items.size()));
  state.counters["bytes"] = static_cast<double>(bytes);
  state.counters["bytes_per_item"] = static_cast<double>(bytes) / static_cast<double>(ci.items.size());
}
BENCHMARK(BM_ReportText)->Arg(10000)->Unit(benchmark::kMillisecond);

// The same through the export: temporary file, rename.
void BM_ExportHtml(benchmark::State& state) {
  const auto ci = many_items(static_cast<int>(state.range(0)));
  const fs::path out = fs::temp_directory_path() / "korvane-bench-report.html";
  for (auto _ : state) benchmark::DoNotOptimize(korvane::report::export_commerce_to_html(ci, out));
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * ci.items.size()));
  state.counters["bytes_per_item"] =
      static_cast<double>(fs::file_size(out)) / static_cast<double>(ci.items.size());
  fs::remove(out);
}
BENCHMARK(BM_ExportHtml)->Arg(10000)->Unit(benchmark::kMillisecond);

// Loads the report of `state.range(0)` items in one tab again and again;
// the time is the page's own navigation timing (navigation start to the load
// event).
void BM_BrowserLoad(benchmark::State& state) {
  const auto ci = many_items(static_cast<int>(state.range(0)));
  const fs::path file = korvane::report::export_commerce_to_html(
      ci, fs::temp_directory_path() / "korvane-bench-report-load.html");
  double filter_ms = 0;
  double sort_ms = 0;
  korvane::commerce::detail::run_coroutine([&]() -> korvane::commerce::awaitable<void> {
    korvane::testing::Chromium browser;
    co_await browser.start();
    auto tab = co_await browser.open_tab();
    co_await browser.set_viewport(*tab, 1280, 900, false);
    for (auto _ : state) {
      co_await browser.load(*tab, file);
      const auto t = co_await browser.evaluate(*tab, R"((() => {
        const controls = document.getElementById('filters').elements;
        const change = (name, value) => {
          controls[name].value = value;
          controls[name].dispatchEvent(new Event('change', {bubbles: true}));
          return document.body.offsetHeight;  // layout
        };
        const t0 = performance.now();
        change('category', 'major_marketplace');
        const t1 = performance.now();
        change('sort', 'price-up');
        return [performance.getEntriesByType('navigation')[0].loadEventStart, t1 - t0, performance.now() - t1];
      })())");
      state.SetIterationTime(t.as_array()[0].to_number<double>() / 1000.0);
      filter_ms += t.as_array()[1].to_number<double>();
      sort_ms += t.as_array()[2].to_number<double>();
    }
  }());
  state.counters["filter_ms"] = filter_ms / static_cast<double>(state.iterations());
  state.counters["sort_ms"] = sort_ms / static_cast<double>(state.iterations());
  state.counters["bytes"] = static_cast<double>(fs::file_size(file));
  fs::remove(file);
}
BENCHMARK(BM_BrowserLoad)->Arg(1000)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(10);

}  // namespace

BENCHMARK_MAIN();
