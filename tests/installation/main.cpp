// A program built against the installed package.
#include <korvane/commerce/unwrapper.hpp>

#include <iostream>

int main() {
  const auto url = korvane::commerce::URLUnwrapper::unwrap(
      "https://www.google.com/url?q=https://shop.example/p?id=3%26utm_source=x");
  std::cout << url << '\n';
  return url == "https://shop.example/p?id=3" ? 0 : 1;
}
