// URLUnwrapper::unwrap and extract_domain over a realistic mix of links:
// search-engine redirect links, links with tracking parameters and text
// fragments, and clean links.
#include <korvane/commerce/unwrapper.hpp>

#include "support/files.hpp"

#include <benchmark/benchmark.h>

#include <sstream>
#include <string>
#include <vector>

namespace {

// The links of bench/data/unwrap_links.txt (also read by the Python layer's
// benchmark): ten shops' product links, each behind two search-engine
// redirect links, with tracking parameters, with a text fragment, and clean.
std::vector<std::string> realistic_links() {
  std::istringstream lines(korvane::testing::read_file(KORVANE_BENCH_SOURCE_DIR "/data/unwrap_links.txt"));
  std::vector<std::string> links;
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty()) links.push_back(line);
  }
  return links;
}

void BM_Unwrap(benchmark::State& state) {
  const auto links = realistic_links();
  std::size_t bytes = 0;
  for (const auto& l : links) bytes += l.size();
  for (auto _ : state) {
    for (const auto& link : links) benchmark::DoNotOptimize(korvane::commerce::URLUnwrapper::unwrap(link));
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * links.size()));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}
BENCHMARK(BM_Unwrap);

void BM_ExtractDomain(benchmark::State& state) {
  const auto links = realistic_links();
  for (auto _ : state) {
    for (const auto& link : links) {
      benchmark::DoNotOptimize(korvane::commerce::URLUnwrapper::extract_domain(link));
    }
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * links.size()));
}
BENCHMARK(BM_ExtractDomain);

}  // namespace

BENCHMARK_MAIN();
