// The destination fetcher's rules, without any network: address ranges,
// link checks, response acceptance and charset decoding.
#include "core/charset.hpp"
#include "core/policy.hpp"

#include <korvane/core/fetcher.hpp>

#include <gtest/gtest.h>
#include <unicode/ucnv.h>

#include <limits>
#include <memory>
#include <optional>
#include <string>

namespace core = korvane::core;
namespace detail = korvane::core::detail;
using detail::AddressKind;

namespace {

constexpr std::string_view fffd = "\xEF\xBF\xBD";

AddressKind kind_of(const char* text) {
  return detail::classify_address(boost::asio::ip::make_address(text));
}

}  // namespace

TEST(FetchPolicy, ClassifiesAddressRanges) {
  const std::pair<const char*, AddressKind> cases[] = {
      {"8.8.8.8", AddressKind::PUBLIC},
      {"172.32.0.1", AddressKind::PUBLIC},
      {"100.128.0.1", AddressKind::PUBLIC},
      {"10.1.2.3", AddressKind::PRIVATE},
      {"172.16.0.1", AddressKind::PRIVATE},
      {"172.31.255.255", AddressKind::PRIVATE},
      {"192.168.1.1", AddressKind::PRIVATE},
      {"100.64.0.1", AddressKind::PRIVATE},
      {"127.0.0.1", AddressKind::LOOPBACK},
      {"127.255.3.4", AddressKind::LOOPBACK},
      {"169.254.169.254", AddressKind::LINK_LOCAL},
      {"0.0.0.0", AddressKind::UNSPECIFIED},
      {"0.1.2.3", AddressKind::UNSPECIFIED},
      {"224.0.0.1", AddressKind::MULTICAST},
      {"239.255.255.250", AddressKind::MULTICAST},
      {"255.255.255.255", AddressKind::BROADCAST},
      {"240.0.0.1", AddressKind::RESERVED},
      {"198.18.0.1", AddressKind::RESERVED},
      {"192.0.2.10", AddressKind::RESERVED},
      {"::", AddressKind::UNSPECIFIED},
      {"::1", AddressKind::LOOPBACK},
      {"::ffff:127.0.0.1", AddressKind::LOOPBACK},
      {"::ffff:10.0.0.1", AddressKind::PRIVATE},
      {"::ffff:0.0.0.0", AddressKind::UNSPECIFIED},
      {"::ffff:8.8.8.8", AddressKind::PUBLIC},
      {"::127.0.0.1", AddressKind::LOOPBACK},
      {"64:ff9b::a00:1", AddressKind::PRIVATE},
      {"64:ff9b::808:808", AddressKind::PUBLIC},
      {"2002:7f00:1::", AddressKind::LOOPBACK},
      {"2001:0:4136:e378:8000:63bf:80ff:fffe", AddressKind::LOOPBACK},  // Teredo, client 127.0.0.1
      {"fc00::1", AddressKind::PRIVATE},
      {"fd12:3456::1", AddressKind::PRIVATE},
      {"fec0::1", AddressKind::PRIVATE},
      {"fe80::1", AddressKind::LINK_LOCAL},
      {"febf::1", AddressKind::LINK_LOCAL},
      {"ff02::1", AddressKind::MULTICAST},
      {"2001:db8::1", AddressKind::RESERVED},
      {"2606:4700:4700::1111", AddressKind::PUBLIC},
      {"2a00:1450:4001::200e", AddressKind::PUBLIC},
  };
  for (const auto& [text, kind] : cases) {
    EXPECT_EQ(kind_of(text), kind) << text;
  }
}

TEST(FetchPolicy, AllowsPrivateRangesOnlyWhenAskedAndNeverTheUnroutable) {
  const std::pair<AddressKind, std::pair<bool, bool>> cases[] = {
      // kind, {allowed by default, allowed with allow_private}
      {AddressKind::PUBLIC, {true, true}},       {AddressKind::LOOPBACK, {false, true}},
      {AddressKind::PRIVATE, {false, true}},     {AddressKind::LINK_LOCAL, {false, true}},
      {AddressKind::RESERVED, {false, true}},    {AddressKind::MULTICAST, {false, false}},
      {AddressKind::BROADCAST, {false, false}},  {AddressKind::UNSPECIFIED, {false, false}},
  };
  for (const auto& [kind, allowed] : cases) {
    EXPECT_EQ(detail::address_allowed(kind, false), allowed.first) << static_cast<int>(kind);
    EXPECT_EQ(detail::address_allowed(kind, true), allowed.second) << static_cast<int>(kind);
  }
}

TEST(FetchPolicy, ChecksLinksBeforeFetching) {
  const std::pair<const char*, std::optional<std::string>> cases[] = {
      {"https://shop.example/p/1?x=2#top", std::nullopt},
      {"HTTP://Shop.Example:8080/p", std::nullopt},
      {"http://user:pw@shop.example/", std::nullopt},
      {"http://[2001:db8::1]:80/p", std::nullopt},
      {"ftp://files.example/a.html", "unsupported scheme (ftp)"},
      {"file:///etc/passwd", "unsupported scheme (file)"},
      {"javascript:alert(1)", "unsupported scheme (javascript)"},
      {"data:text/html,<p>hi", "unsupported scheme (data)"},
      {"shop.example/p", "malformed link (no scheme)"},
      {"", "malformed link (no scheme)"},
      {"/relative/path", "malformed link (no scheme)"},
      {"http:///path", "malformed link (no host)"},
      {"https://user@:443/", "malformed link (no host)"},
      {"http://[::1/p", "malformed link (unbalanced brackets)"},
  };
  for (const auto& [link, problem] : cases) {
    const auto found = detail::link_problem(link);
    EXPECT_EQ(found ? std::optional<std::string>(found->detail) : std::nullopt, problem) << link;
  }
  EXPECT_EQ(detail::link_host("https://User@Shop.Example:8443/x"), "shop.example");
  EXPECT_EQ(detail::link_host("http://[2001:DB8::1]:80/"), "2001:db8::1");
}

TEST(FetchPolicy, RequestUrlEscapesWhatCannotBeSent) {
  const std::pair<const char*, const char*> cases[] = {
      {"https://shop.example/a b/caf\xC3\xA9?q=x y&z=\"1\"#frag",
       "https://shop.example/a%20b/caf%C3%A9?q=x%20y&z=%221%22"},
      {"  http://shop.example/p\t/q\n  ", "http://shop.example/p/q"},
      {"http://b\xC3\xBC" "cher.example/p|q", "http://b\xC3\xBC" "cher.example/p%7Cq"},
      {"http://shop.example", "http://shop.example"},
      {"http://shop.example?a=%41", "http://shop.example?a=%41"},
  };
  for (const auto& [link, url] : cases) {
    EXPECT_EQ(detail::request_url(link), url) << link;
  }
}

TEST(FetchPolicy, AcceptsOnlyHtmlResponses) {
  struct Case {
    long status;
    const char* type;
    std::string body;
    std::optional<std::string> page;  // absent: expect `reason`
    const char* reason;
  };
  const std::string html = "<!DOCTYPE html><title>x</title>";
  const Case cases[] = {
      {200, "text/html; charset=utf-8", html, html, ""},
      {203, "application/xhtml+xml", html, html, ""},
      {200, "TEXT/HTML", html, html, ""},
      {200, "", html, html, ""},
      {200, "nonsense", "  \n<html lang=en>", "  \n<html lang=en>", ""},
      {200, "", "<?xml version=\"1.0\"?>\n<html xmlns=\"x\">", "<?xml version=\"1.0\"?>\n<html xmlns=\"x\">", ""},
      {200, "", "\xEF\xBB\xBF<!-- c --><p>", "<!-- c --><p>", ""},
      {404, "text/html", html, std::nullopt, "status 404"},
      {500, "text/html", html, std::nullopt, "status 500"},
      {301, "text/html", html, std::nullopt, "status 301"},
      {200, "image/png", "\x89PNG", std::nullopt, "not HTML (image/png)"},
      {200, "application/json; charset=utf-8", "{}", std::nullopt, "not HTML (application/json)"},
      {200, "text/plain", html, std::nullopt, "not HTML (text/plain)"},
      {200, "", "%PDF-1.7", std::nullopt, "not HTML (no content type)"},
      {200, "", "<abbr>", std::nullopt, "not HTML (no content type)"},
      {200, "text/html", "", std::nullopt, "empty page"},
  };
  const core::FetcherOptions options;
  for (const Case& c : cases) {
    const auto outcome = detail::page_from_response({c.status, c.type, c.body}, options);
    EXPECT_EQ(outcome.page, c.page) << c.status << " " << c.type << " " << c.body;
    if (!c.page) EXPECT_EQ(outcome.reason.detail, c.reason) << c.body;
  }
  core::FetcherOptions small;
  small.max_decoded_bytes = 10;
  EXPECT_EQ(detail::page_from_response({200, "text/html", html}, small).reason.detail, "too large when decoded");
}

TEST(FetchCharset, MapsLabelsAsBrowsersDo) {
  const std::pair<const char*, std::optional<std::string_view>> cases[] = {
      {"utf-8", "UTF-8"},          {" UTF8 ", "UTF-8"},           {"iso-8859-1", "windows-1252"},
      {"Latin1", "windows-1252"},  {"ascii", "windows-1252"},     {"US-ASCII", "windows-1252"},
      {"iso-8859-9", "windows-1254"}, {"sjis", "Shift_JIS"},     {"Shift_JIS", "Shift_JIS"},
      {"x-sjis", "Shift_JIS"},     {"euc-jp", "EUC-JP"},          {"gb2312", "GBK"},
      {"GB18030", "gb18030"},      {"big5", "Big5"},              {"ks_c_5601-1987", "EUC-KR"},
      {"koi8-r", "KOI8-R"},        {"tis-620", "windows-874"},    {"utf-16", "UTF-16LE"},
      {"utf-7", std::nullopt},     {"x-bogus", std::nullopt},     {"", std::nullopt},
  };
  for (const auto& [label, encoding] : cases) {
    EXPECT_EQ(detail::encoding_for_label(label), encoding) << label;
  }
}

TEST(FetchCharset, EveryEncodingHasAnIcuConverter) {
  const char* encodings[] = {"IBM866",       "ISO-8859-2",     "ISO-8859-3",   "ISO-8859-4",
                             "ISO-8859-5",   "ISO-8859-6",     "ISO-8859-7",   "ISO-8859-8",
                             "ISO-8859-8-I", "ISO-8859-10",    "ISO-8859-13",  "ISO-8859-14",
                             "ISO-8859-15",  "KOI8-R",         "KOI8-U",       "macintosh",
                             "windows-874",  "windows-1250",   "windows-1251", "windows-1252",
                             "windows-1253", "windows-1254",   "windows-1255", "windows-1256",
                             "windows-1257", "windows-1258",   "x-mac-cyrillic", "GBK",
                             "gb18030",      "Big5",           "EUC-JP",       "ISO-2022-JP",
                             "Shift_JIS",    "EUC-KR",         "UTF-16BE",     "UTF-16LE",
                             "x-user-defined"};
  for (const char* encoding : encodings) {
    UErrorCode error = U_ZERO_ERROR;
    UConverter* converter =
        ucnv_open(std::string(detail::icu_converter_name(encoding)).c_str(), &error);
    EXPECT_FALSE(U_FAILURE(error)) << encoding << ": " << u_errorName(error);
    ucnv_close(converter);
  }
}

TEST(FetchCharset, ReadsCharsetParameter) {
  const std::pair<const char*, std::optional<std::string>> cases[] = {
      {"text/html; charset=Shift_JIS", "Shift_JIS"},
      {"text/html;charset=\"utf-8\"", "utf-8"},
      {"text/html; foo=\"a;b\"; CHARSET = latin1 ", "latin1"},
      {"text/html; foo; charset=koi8-r", "koi8-r"},
      {"text/html", std::nullopt},
      {"text/html; charset=", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& [type, label] : cases) {
    EXPECT_EQ(detail::charset_parameter(type), label) << type;
  }
}

TEST(FetchCharset, FindsMetaDeclarations) {
  const std::pair<std::string, std::optional<std::string_view>> cases[] = {
      {"<html><head><meta charset=\"shift_jis\">", "Shift_JIS"},
      {"<META HTTP-EQUIV=\"Content-Type\" CONTENT=\"text/html; charset=windows-1251\">", "windows-1251"},
      {"<meta content='text/html; charset=euc-jp' http-equiv='content-type'/>", "EUC-JP"},
      {"<meta charset=gbk/>", std::nullopt},  // "gbk/" is no label
      {"<meta charset=gbk />", "GBK"},
      {"<meta content=\"text/html; charset=koi8-r\">", std::nullopt},  // no http-equiv
      {"<meta name=\"description\" content=\"charset=utf-8 matters\">", std::nullopt},
      {"<!-- <meta charset=\"gbk\"> --><meta charset=euc-kr>", "EUC-KR"},
      {"<meta charset=\"utf-16\">", "UTF-8"},
      {"<meta charset=\"bogus\"><meta charset=\"latin1\">", "windows-1252"},
      {"<div title=\"<meta charset=gbk>\"><meta charset=\"big5\">", "Big5"},
      {"<script>var s = 1 < 2;</script><meta charset=\"iso-8859-2\">", "ISO-8859-2"},
      {"<metadata charset=\"gbk\">", std::nullopt},
      {"<p>no declaration at all</p>", std::nullopt},
      {std::string(detail::meta_prescan_bytes, ' ') + "<meta charset=\"gbk\">", std::nullopt},
  };
  for (const auto& [html, encoding] : cases) {
    EXPECT_EQ(detail::meta_charset(html), encoding) << html.substr(0, 80);
  }
}

TEST(FetchCharset, SniffsInBrowserOrder) {
  struct Case {
    std::string body;
    const char* type;
    std::string_view encoding;
    std::size_t bom;
  };
  const Case cases[] = {
      {"\xEF\xBB\xBF<p>", "text/html; charset=iso-8859-1", "UTF-8", 3},  // the BOM wins
      {"\xFF\xFE<\0p\0", "text/html", "UTF-16LE", 2},
      {"\xFE\xFF\0<", "", "UTF-16BE", 2},
      {"<meta charset=euc-jp>", "text/html; charset=shift_jis", "Shift_JIS", 0},
      {"<meta charset=euc-jp>", "text/html; charset=x-unknown", "EUC-JP", 0},
      {"<meta charset=euc-jp>", "text/html", "EUC-JP", 0},
      {"<p>plain</p>", "text/html", "UTF-8", 0},
  };
  for (const Case& c : cases) {
    const auto sniffed = detail::sniff_encoding(c.body, c.type);
    EXPECT_EQ(sniffed.encoding, c.encoding) << c.body;
    EXPECT_EQ(sniffed.bom_length, c.bom) << c.body;
  }
}

TEST(FetchCharset, DecodesToUtf8WithReplacementCharacters) {
  const std::string r(fffd);
  const std::tuple<std::string, const char*, std::string> cases[] = {
      {"\x93\xFA\x96\x7B\x8C\xEA", "Shift_JIS", "日本語"},
      {"\x81\x5C", "Shift_JIS", "\xE2\x80\x95"},  // U+2015, as the Encoding standard maps it
      {"\xC6\xFC\xCB\xDC", "EUC-JP", "日本"},
      {"\xD6\xD0\xCE\xC4", "gb18030", "中文"},
      {"\xD6\xD0\xCE\xC4", "GBK", "中文"},
      {"caf\xE9 \x80 \x9F", "windows-1252", "café € Ÿ"},
      {"\xCF\xF0\xE8\xE2\xE5\xF2", "windows-1251", "Привет"},
      {"ok\x82", "Shift_JIS", "ok" + r},                    // truncated double-byte character
      {"a\xFF" "b", "Shift_JIS", "a" + r + "b"},            // a byte Shift_JIS does not define
      {"a\xC3(b", "UTF-8", "a" + r + "(b"},
      {std::string("a\0b\0", 4), "UTF-16LE", std::string("ab")},
      {std::string("\xD8\x00", 2), "UTF-16BE", r},          // a lone surrogate
  };
  for (const auto& [bytes, encoding, text] : cases) {
    EXPECT_EQ(detail::decode(bytes, encoding), text) << encoding;
  }
  // A whole page: the header names iso-8859-1, read as windows-1252.
  EXPECT_EQ(detail::decode_page("<p>\x80 5</p>", "text/html; charset=iso-8859-1"), "<p>€ 5</p>");
  EXPECT_EQ(detail::decode_page("\xEF\xBB\xBF<p>\xE2\x82\xAC</p>", "text/html"), "<p>€</p>");
  // Long input crosses the converter's buffers intact.
  std::string long_sjis, long_utf8;
  for (int i = 0; i < 20000; ++i) {
    long_sjis += "\x93\xFA" "a";
    long_utf8 += "日a";
  }
  EXPECT_EQ(detail::decode(long_sjis, "Shift_JIS"), long_utf8);
}
