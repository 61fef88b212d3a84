// PriceNormalizer::parse over price texts as shops and search results write
// them: symbols and codes before or after the number, both separator styles,
// quantity offers, texts without a price.
#include <korvane/commerce/normalizer.hpp>

#include <benchmark/benchmark.h>

#include <array>
#include <string_view>

namespace {

constexpr std::array<std::string_view, 52> price_texts{
    "$1,299.99",          "1.299,99 €",          "EUR 12,50",
    "₹ 2,499",            "¥12,800",             "CA$ 89.00",
    "Price: 45.00 USD",   "£24.99",              "US$ 19.95",
    "19,99 €",            "€19,99",              "12,50 EUR",
    "2 for $30",          "3 x 2,50 €",          "From $19.99/mo",
    "$0.99",              "1 234,56 €",          "1 299 kr",
    "JPY 1 000",          "CNY 88.00",           "A$ 149.95",
    "AUD 1,049.00",       "₹1,00,000",           "INR 59,999",
    "£1,000,000.00",      "USD 2,499.00",        "$ 1,049",
    "Now $79.99 (was $99.99)", "Save 20% - now 79,99 €", "49.90 CHF",
    "R$ 1.299,90",        "zł 249,99",           "₩ 30,000",
    "12,345.67 USD",      "1.234.567",           "1\u00A0234,56 €",
    "Sold out",           "Price on request",    "Free shipping over $50",
    "$1,299.99 $999.99",  "129.00",              "8,95",
    "USD1299",            "€ 5",                 "5 £",
    "3.99/lb",            "¥ 3,980 (tax incl.)", "GBP 1,234.50",
    "CAD 64.99",          "EUR 1.499,00",        "  $  12.00  ",
    "0.005",
};

void BM_Parse(benchmark::State& state) {
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(korvane::commerce::PriceNormalizer::parse(price_texts[i]));
    if (++i == price_texts.size()) i = 0;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Parse);
// The shared pattern from several threads at once.
BENCHMARK(BM_Parse)->Threads(2)->UseRealTime();

void BM_ParseWithHint(benchmark::State& state) {
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(korvane::commerce::PriceNormalizer::parse(price_texts[i], "eur"));
    if (++i == price_texts.size()) i = 0;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ParseWithHint);

}  // namespace

BENCHMARK_MAIN();
