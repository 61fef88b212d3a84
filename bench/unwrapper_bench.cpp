// URLUnwrapper::unwrap and extract_domain over a realistic mix of links:
// search-engine redirect links, links with tracking parameters and text
// fragments, and clean links.
#include <korvane/commerce/unwrapper.hpp>

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> realistic_links() {
  const std::vector<std::string> shops = {
      "www.nike.com/t/air-max-90-mens-shoes-6n3vKB/CN8490-002",
      "www.amazon.com/Apple-MacBook-13-inch-256GB-Storage/dp/B08N5M7S6K",
      "www.ebay.com/itm/1234567890",
      "www.zalando.de/adidas-originals-samba-og-sneaker-low-ad115o0ju-a11.html",
      "shop.example-boutique.store/products/linen-shirt-white?variant=4455",
      "www.etsy.com/listing/987654321/handmade-ceramic-mug",
      "stockx.com/air-jordan-1-retro-high-og-chicago-lost-and-found",
      "www.johnlewis.com/john-lewis-anyday-duvet/p5417361",
      "www.ikea.com/de/de/p/billy-buecherregal-weiss-00263850/",
      "www.farfetch.com/shopping/women/gucci-horsebit-loafers-item-12345678.aspx",
  };
  std::vector<std::string> links;
  for (const auto& s : shops) {
    const std::string target = "https://" + s;
    links.push_back("https://www.google.com/url?sa=t&rct=j&q=&esrc=s&source=web&cd=&ved=2ahUKEwi"
                    "&url=" + target + "&usg=AOvVaw3");
    links.push_back("https://www.google.co.uk/url?q=" + target + "%3Futm_source%3Dlens%26ref%3Dabc&sa=U");
    links.push_back(target + (target.find('?') == std::string::npos ? "?" : "&") +
                    "utm_source=google&utm_medium=cpc&utm_campaign=spring_sale&gclid=EAIaIQob&color=black");
    links.push_back(target + "#:~:text=Air%20Max%2090");
    links.push_back(target);
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
