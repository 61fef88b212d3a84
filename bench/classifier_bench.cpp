// MerchantClassifier::classify over real shop domains with the titles,
// brands and merchant names search results carry.
#include <korvane/commerce/classifier.hpp>

#include "commerce/merchant_label.hpp"

#include <benchmark/benchmark.h>

#include <array>
#include <optional>
#include <string_view>

namespace {

struct Listing {
  std::string_view domain;
  std::string_view title;
  std::optional<std::string_view> brand;
  std::optional<std::string_view> merchant_name;
};

constexpr std::array<Listing, 50> listings{{
    {"amazon.com", "Apple AirPods Pro (2nd Generation)", "Apple", "Amazon.com"},
    {"amazon.co.uk", "Sony WH-1000XM5 Wireless Headphones", "Sony", std::nullopt},
    {"smile.amazon.de", "Bosch Professional GSR 18V-55", "Bosch", std::nullopt},
    {"ebay.com", "Nike Air Jordan 1 Retro High OG Size 10", std::nullopt, "sneakerhub"},
    {"ebay.co.uk", "Vintage Omega Seamaster 1968", "Omega", std::nullopt},
    {"walmart.com", "Great Value Whole Milk, 1 Gallon", "Great Value", "Walmart.com"},
    {"target.com", "Stanley Quencher H2.0 40oz Tumbler", "Stanley", "Target"},
    {"aliexpress.com", "Mini Projector 4K WiFi", std::nullopt, "Shop1102"},
    {"etsy.com", "Handmade Ceramic Mug", std::nullopt, "ClayStudioCo"},
    {"bestbuy.com", "Samsung 65\" Class QN90C Neo QLED", "Samsung", "Best Buy"},
    {"produto.mercadolivre.com.br", "Tênis Olympikus Corre 3", "Olympikus", std::nullopt},
    {"stockx.com", "Jordan 4 Retro Military Black", "Jordan", "StockX"},
    {"goat.com", "Yeezy Boost 350 V2 Onyx", "adidas", std::nullopt},
    {"grailed.com", "Supreme Box Logo Hoodie FW22", "Supreme", std::nullopt},
    {"poshmark.com", "Lululemon Align Pant 25\"", "lululemon", std::nullopt},
    {"therealreal.com", "Chanel Classic Flap Bag", "Chanel", std::nullopt},
    {"chrono24.com", "Rolex Submariner Date 126610LN", "Rolex", std::nullopt},
    {"vinted.com", "Levi's 501 Original Jeans", "Levi's", std::nullopt},
    {"nike.com", "Nike Air Max 90", "Nike", "Nike"},
    {"adidas.com", "Samba OG Shoes", "adidas", std::nullopt},
    {"shop.lululemon.com", "Define Jacket Nulu", std::nullopt, "lululemon"},
    {"apple.com", "iPhone 15 Pro", "Apple", std::nullopt},
    {"store.google.com", "Pixel 8 Pro", "Google", "Google Store"},
    {"patagonia.com", "Men's Better Sweater Fleece Jacket", "Patagonia", std::nullopt},
    {"thenorthface.com", "Men's 1996 Retro Nuptse Jacket", "The North Face", std::nullopt},
    {"us.allbirds.com", "Men's Tree Runners", std::nullopt, "Allbirds"},
    {"gymshark.com", "Vital Seamless 2.0 Leggings", std::nullopt, std::nullopt},
    {"uniqlo.com", "Ultra Light Down Jacket", "UNIQLO", std::nullopt},
    {"zara.com", "Textured Knit Sweater", "ZARA", std::nullopt},
    {"hm.com", "Relaxed Fit Hoodie", "H&M", std::nullopt},
    {"ikea.com", "BILLY Bookcase, white", "IKEA", std::nullopt},
    {"johnlewis.com", "John Lewis ANYDAY Cotton Duvet Cover", "John Lewis", "John Lewis"},
    {"otto.de", "Samsung Galaxy S24 Smartphone", "Samsung", "OTTO"},
    {"zalando.de", "Nike Sportswear AIR FORCE 1 '07", "Nike Sportswear", "Zalando"},
    {"fnac.com", "Apple MacBook Air 13\" M2", "Apple", "Fnac"},
    {"costco.com", "Kirkland Signature Mixed Nuts", "Kirkland Signature", std::nullopt},
    {"wayfair.com", "Andover Mills Sofa", "Andover Mills", "Wayfair"},
    {"potterybarn.com", "Pottery Barn York Slope Arm Sofa", std::nullopt, std::nullopt},
    {"overstock.com", "Safavieh Handmade Wool Rug", "Safavieh", std::nullopt},
    {"ssense.com", "Acne Studios Black Wool Scarf", "Acne Studios", "SSENSE"},
    {"farfetch.com", "Gucci GG Marmont Bag", "Gucci", std::nullopt},
    {"net-a-porter.com", "Loewe Puzzle Bag", "Loewe", std::nullopt},
    {"endclothing.com", "New Balance 990v6", "New Balance", "END."},
    {"sephora.com", "Rare Beauty Soft Pinch Liquid Blush", "Rare Beauty", "Sephora"},
    {"glossier.com", "Boy Brow", "Glossier", std::nullopt},
    {"dyson.co.uk", "Dyson V15 Detect", "Dyson", std::nullopt},
    {"bose.com", "Bose QuietComfort Ultra Headphones", "Bose", std::nullopt},
    {"lego.com", "LEGO Star Wars Millennium Falcon 75192", "LEGO", std::nullopt},
    {"flipkart.com", "Redmi Note 13 5G", "Xiaomi", "Flipkart"},
    {"olx.pl", "Rower górski Kross", std::nullopt, std::nullopt},
}};

void BM_Classify(benchmark::State& state) {
  std::size_t i = 0;
  for (auto _ : state) {
    const Listing& l = listings[i];
    benchmark::DoNotOptimize(
        korvane::commerce::MerchantClassifier::classify(l.domain, l.title, l.brand, l.merchant_name));
    if (++i == listings.size()) i = 0;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Classify);

void BM_ExtractSld(benchmark::State& state) {
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(korvane::commerce::detail::extract_sld(listings[i].domain));
    if (++i == listings.size()) i = 0;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ExtractSld);

}  // namespace

BENCHMARK_MAIN();
