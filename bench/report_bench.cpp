// The visual report of a large result: writing it (items per second), its
// size per item, and in Chromium the time from navigation to the first page
// of cards laid out (and to the load event, which also waits for the images
// in view), then one filter change, one sort and one search, each with the
// layout it causes.
#include <korvane/commerce/async.hpp>

#include "commerce/async_runtime.hpp"
#include <korvane/relevance.hpp>
#include <korvane/report.hpp>

#include "support/devtools.hpp"

#include <benchmark/benchmark.h>

#include <array>
#include <filesystem>

namespace {

namespace fs = std::filesystem;
namespace models = korvane::models;

// Items as enrichment gives them: most priced (a few in another currency),
// all four merchant categories and relevance labels, images, brands, SKUs
// (four items of each product), links that the unwrapper has to look at.
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
    m.sku = "CT1685-" + std::to_string(i / 4);
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
BENCHMARK(BM_ReportText)->Arg(1000)->Arg(50000)->Unit(benchmark::kMillisecond);

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
BENCHMARK(BM_ExportHtml)->Arg(50000)->Unit(benchmark::kMillisecond);

// Loads the report of `state.range(0)` items in one tab again and again;
// the time is the page's own navigation timing: navigation start to the end
// of its ready handler (the first page of cards built), plus the layout of
// that page.
void BM_BrowserLoad(benchmark::State& state) {
  const auto ci = many_items(static_cast<int>(state.range(0)));
  const fs::path file = korvane::report::export_commerce_to_html(
      ci, fs::temp_directory_path() / "korvane-bench-report-load.html");
  std::array<double, 4> sums{};  // load event, filter, sort, search (ms)
  korvane::commerce::detail::run_coroutine([&]() -> korvane::commerce::awaitable<void> {
    korvane::testing::Chromium browser;
    co_await browser.start();
    auto tab = co_await browser.open_tab();
    co_await browser.set_viewport(*tab, 1280, 900, false);
    for (auto _ : state) {
      co_await browser.load(*tab, file);
      const auto t = co_await browser.evaluate(*tab, R"((() => {
        const navigation = performance.getEntriesByType('navigation')[0];
        const controls = document.getElementById('filters').elements;
        const timed = (step) => {
          const t0 = performance.now();
          step();
          void document.body.offsetHeight;  // layout
          return performance.now() - t0;
        };
        const change = (name, value) => () => {
          controls[name].value = value;
          controls[name].dispatchEvent(new Event('change', {bubbles: true}));
        };
        const shown = navigation.domContentLoadedEventEnd + timed(() => {});
        const filter = timed(change('category', 'major_marketplace'));
        const sort = timed(change('sort', 'price-up'));
        const search = timed(() => {
          controls.q.value = 'infrared 42';
          controls.q.dispatchEvent(new Event('input', {bubbles: true}));
        });
        return [shown, navigation.loadEventStart, filter, sort, search];
      })())");
      const auto& v = t.as_array();
      state.SetIterationTime(v[0].to_number<double>() / 1000.0);
      for (std::size_t k = 0; k < sums.size(); ++k) sums[k] += v[k + 1].to_number<double>();
    }
  }());
  const auto mean = [&](std::size_t k) { return sums[k] / static_cast<double>(state.iterations()); };
  state.counters["load_event_ms"] = mean(0);
  state.counters["filter_ms"] = mean(1);
  state.counters["sort_ms"] = mean(2);
  state.counters["search_ms"] = mean(3);
  state.counters["bytes"] = static_cast<double>(fs::file_size(file));
  fs::remove(file);
}
BENCHMARK(BM_BrowserLoad)->Arg(1000)->Arg(50000)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
