// A program built against the installed package: the surface header alone
// brings every public name.
#include <korvane/commerce.hpp>

#include <iostream>

int main() {
  using namespace korvane;
  const auto url = commerce::URLUnwrapper::unwrap(
      "https://www.google.com/url?q=https://shop.example/p?id=3%26utm_source=x");
  const auto price = commerce::PriceNormalizer::parse("1.299,99 \xE2\x82\xAC");
  std::cout << url << ' ' << (price ? price->amount : 0.0) << ' ' << commerce::EXPORTS.size() << '\n';
  return url == "https://shop.example/p?id=3" && price && price->currency == "EUR" ? 0 : 1;
}
