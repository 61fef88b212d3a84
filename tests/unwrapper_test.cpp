// URL unwrapper: redirect links, tracking parameters, text fragments, domains.
#include <korvane/commerce/unwrapper.hpp>

#include <gtest/gtest.h>

using korvane::commerce::URLUnwrapper;

namespace {
struct Case {
  const char* input;
  const char* expected;
};
}  // namespace

TEST(Unwrap, RedirectLinks) {
  const Case cases[] = {
      // "q" wins over "url"; the target is cleaned too.
      {"https://www.google.com/url?url=https://b.example/&q=https://a.example/p%3Fid%3D1%26utm_source%3Dx",
       "https://a.example/p?id=1"},
      // Every country domain of the engine is recognised.
      {"https://www.google.co.uk/url?q=https://a.example/x", "https://a.example/x"},
      // An empty "q" counts as absent: "url" is used.
      {"https://google.com/url?q=&url=https://b.example/y", "https://b.example/y"},
      // Neither: the redirect link itself, cleaned.
      {"https://www.google.com/url?sa=t&ved=abc&usg=x&rct=j", "https://www.google.com/url?rct=j"},
      // Only "/url" exactly is a redirect path.
      {"https://www.google.com/urls?q=https://a.example/", "https://www.google.com/urls?q=https%3A%2F%2Fa.example%2F"},
      // An upper-case host is not the engine's redirect host.
      {"https://WWW.GOOGLE.COM/url?q=https://a.example/", "https://WWW.GOOGLE.COM/url?q=https%3A%2F%2Fa.example%2F"},
      // Only targets on http or https, or without a scheme, are followed;
      // otherwise the redirect link itself is cleaned.
      {"https://www.google.com/url?q=javascript:alert(1)&sa=t", "https://www.google.com/url?q=javascript%3Aalert%281%29"},
      {"https://www.google.com/url?q=JavaScript%3Aalert(1)&url=https://b.example/",
       "https://www.google.com/url?q=JavaScript%3Aalert%281%29&url=https%3A%2F%2Fb.example%2F"},
      {"https://www.google.com/url?url=data:text/html,x", "https://www.google.com/url?url=data%3Atext%2Fhtml%2Cx"},
      {"https://www.google.com/url?q=file:///etc/passwd", "https://www.google.com/url?q=file%3A%2F%2F%2Fetc%2Fpasswd"},
      {"https://www.google.com/url?q=mailto:a@b.example", "https://www.google.com/url?q=mailto%3Aa%40b.example"},
      {"https://www.google.com/url?q=HTTPS://A.example/x", "https://A.example/x"},
      {"https://www.google.com/url?q=/relative/page%3Fx%3D1", "/relative/page?x=1"},
      // One level only.
      {"https://google.com/url?q=https://google.com/url%3Fq%3Dhttps://c.example/",
       "https://google.com/url?q=https%3A%2F%2Fc.example%2F"},
  };
  for (const auto& c : cases) EXPECT_EQ(URLUnwrapper::unwrap(c.input), c.expected) << c.input;
}

TEST(Unwrap, QueryCleaning) {
  const Case cases[] = {
      {"https://shop.example/p?utm_source=a&UTM_Medium=b&gclid=1&Source=x", "https://shop.example/p"},
      {"https://shop.example/p?utm_id=7&fbclid=z", "https://shop.example/p?utm_id=7"},
      {"https://shop.example/p?a=1&b=2&a=3", "https://shop.example/p?a=1&a=3&b=2"},
      {"https://shop.example/p?flag&empty=&q=a%20b", "https://shop.example/p?q=a+b"},
      {"https://shop.example/p?Color=Red&msclkid=9", "https://shop.example/p?Color=Red"},
      {"https://shop.example/p;jsessionid=1?x=%E2%82%AC", "https://shop.example/p;jsessionid=1?x=%E2%82%AC"},
      {"https://shop.example/p?x=%FF", "https://shop.example/p?x=%EF%BF%BD"},
  };
  for (const auto& c : cases) EXPECT_EQ(URLUnwrapper::unwrap(c.input), c.expected) << c.input;
}

TEST(Unwrap, TextFragments) {
  EXPECT_EQ(URLUnwrapper::unwrap("https://a.example/p#intro:~:text=blue%20shoe"), "https://a.example/p");
  EXPECT_EQ(URLUnwrapper::unwrap("https://a.example/p#:~:note"), "https://a.example/p");
  EXPECT_EQ(URLUnwrapper::unwrap("https://a.example/p#reviews"), "https://a.example/p#reviews");
}

TEST(Unwrap, EmptyAndInvalid) {
  EXPECT_EQ(URLUnwrapper::unwrap(""), "");
  EXPECT_EQ(URLUnwrapper::extract_domain(""), "");
  EXPECT_THROW((void)URLUnwrapper::unwrap("https://[::1/x"), korvane::InvalidUrlError);
  EXPECT_THROW((void)URLUnwrapper::extract_domain("https://a]b/"), korvane::InvalidUrlError);
  // Odd but splittable links pass.
  EXPECT_EQ(URLUnwrapper::unwrap("https://shop.example/a b/ü?x=ü"), "https://shop.example/a b/ü?x=%C3%BC");
}

TEST(ExtractDomain, LowerCasedWithoutOneLeadingWww) {
  EXPECT_EQ(URLUnwrapper::extract_domain("https://WWW.Shop.Example:8080/x"), "shop.example:8080");
  EXPECT_EQ(URLUnwrapper::extract_domain("https://www.www.a.example/"), "www.a.example");
  EXPECT_EQ(URLUnwrapper::extract_domain("https://user@m.a.example/"), "user@m.a.example");
  EXPECT_EQ(URLUnwrapper::extract_domain("shop.example/path"), "");
}
