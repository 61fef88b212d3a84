// A destination page read once for every match that links to it. What the
// extraction finds in a page depends on the page (and its link) alone; what a
// parse makes of it depends on the match too: its title, merchant, price,
// stock flag and rank. So the page-level findings are computed here, each
// on first use and kept, and every parse of the page applies its match's
// values over them.
#pragma once

#include <korvane/commerce/metadata.hpp>

#include "commerce/metadata/embedded_data.hpp"
#include "commerce/metadata/extended/extended.hpp"
#include "commerce/metadata/lazy.hpp"
#include "commerce/metadata/shop_markup.hpp"

#include <cstddef>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace korvane::commerce::detail {

// One page and its page-level findings. The page text must outlive the
// object, which views it (or keeps a valid UTF-8 copy when the text is not
// valid UTF-8). Not for use by two threads at once.
class ParsedPage {
 public:
  // The findings that parses in `mode` read are looked for at once where
  // one pass finds them best; the others on first use.
  explicit ParsedPage(std::string_view html, ExtractionMode mode = ExtractionMode::standard);
  ParsedPage(const ParsedPage&) = delete;
  ParsedPage& operator=(const ParsedPage&) = delete;

  // True when the page is long enough to be read (more than 200 characters).
  [[nodiscard]] bool usable() const noexcept { return usable_; }
  [[nodiscard]] ValidUtf8 html() const noexcept { return ValidUtf8{page_}; }

  [[nodiscard]] const MetaTags& meta_tags();
  [[nodiscard]] const std::optional<std::string>& html_title();
  [[nodiscard]] const LdJsonProducts& ld_json_products();
  [[nodiscard]] const NextDataProduct& next_data_product();
  [[nodiscard]] ShopMarkup& shop_markup() noexcept { return markup_; }
  // The extended readers' findings on the page behind `url`. A page has one
  // link: the first call's is the one read.
  [[nodiscard]] const extended::Reading& extended_reading(std::string_view url);

 private:
  std::string storage_;  // the valid UTF-8 form, when the text was not
  std::string_view page_;
  bool usable_;
  // The page's markers, with the shop markers when they were found in the
  // same pass.
  struct Markers {
    PageMarkers page;
    std::optional<ShopMarkers> shop;
  };
  static Markers markers_for(ValidUtf8 page, ExtractionMode mode);

  Markers markers_;
  Lazy<MetaTags> meta_;
  Lazy<std::optional<std::string>> title_;
  Lazy<LdJsonProducts> ld_;
  Lazy<NextDataProduct> next_;
  ShopMarkup markup_;
  Lazy<extended::Reading> extended_;
};

// Parsed pages kept across the runs of a batch: a page is found again by its
// link and its exact text (a page fetched anew that changed is parsed anew).
// The least recently used pages go once the texts kept exceed the budget.
// One thread at a time.
class ParsedPageCache {
 public:
  // Keeps pages while their texts add up to at most `budget_bytes` (the
  // page last asked for is always kept).
  explicit ParsedPageCache(std::size_t budget_bytes) noexcept : budget_(budget_bytes) {}

  // The parsed page of `url` with text `html`, made now when it is not kept.
  // The page stays valid for its holders after the cache lets it go.
  [[nodiscard]] std::shared_ptr<ParsedPage> page(std::string_view url, std::string_view html);

 private:
  // A page's own copy of its text, and the parse that views it.
  struct OwnedPage {
    explicit OwnedPage(std::string_view text) : html(text), parsed(html) {}
    std::string html;
    ParsedPage parsed;
  };
  struct Entry {
    std::string url;
    std::shared_ptr<OwnedPage> page;
  };

  std::size_t budget_;
  std::size_t bytes_ = 0;
  std::list<Entry> entries_;  // the most recently used first
  std::unordered_map<std::string_view, std::list<Entry>::iterator> by_url_;  // keys view the entries' links
};

}  // namespace korvane::commerce::detail
