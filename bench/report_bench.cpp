// The visual report of a large result: writing it (items per second) and
// its size per item. The browser's load time of a 1,000-item report is
// printed by the report_browser test (ReportBrowser.ThousandItemsLoadAndFilterQuickly).
#include <korvane/relevance.hpp>
#include <korvane/report.hpp>

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

}  // namespace

BENCHMARK_MAIN();
