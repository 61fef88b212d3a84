#include "commerce/metadata/parsed_page.hpp"

#include "text/unicode.hpp"
#include "text/utf8.hpp"

#include <utility>

namespace korvane::commerce::detail {
namespace {

// A page is read only when it is longer than this many characters.
constexpr std::size_t kMinUsablePageLength = 200;

// True when valid UTF-8 text `s` has more than `n` characters (looks at the
// first n + 1 only).
bool longer_than(std::string_view s, std::size_t n) noexcept {
  if (s.size() <= n) return false;
  return text::code_point_length(s.substr(0, text::code_point_prefix_bytes(s, n + 1))) > n;
}

}  // namespace

// The standard mode reads shop markup: its markers are found in the pass
// over the page that finds the tags. The extended mode reads that markup
// with its own readers: the tags alone are found, in a quicker pass.
ParsedPage::Markers ParsedPage::markers_for(ValidUtf8 page, ExtractionMode mode) {
  if (mode == ExtractionMode::extended) return {find_page_markers(page), std::nullopt};
  AllMarkers all = find_all_markers(page);
  return {std::move(all.page), all.shop};
}

ParsedPage::ParsedPage(std::string_view html, ExtractionMode mode)
    : page_(text::as_valid_utf8(html, storage_)),
      usable_(longer_than(page_, kMinUsablePageLength)),
      markers_(markers_for(ValidUtf8{page_}, mode)),
      markup_(ValidUtf8{page_}, markers_.shop) {}

const MetaTags& ParsedPage::meta_tags() {
  return meta_.get([this] { return extract_meta_tags(html(), markers_.page); });
}

const std::optional<std::string>& ParsedPage::html_title() {
  return title_.get([this] { return extract_html_title(html()); });
}

const LdJsonProducts& ParsedPage::ld_json_products() {
  return ld_.get([this] { return find_ld_json_products(html(), markers_.page); });
}

const NextDataProduct& ParsedPage::next_data_product() {
  return next_.get([this] { return find_next_data_product(html(), markers_.page); });
}

const extended::Reading& ParsedPage::extended_reading(std::string_view url) {
  return extended_.get([this, url] { return extended::read(html(), url); });
}

std::shared_ptr<ParsedPage> ParsedPageCache::page(std::string_view url, std::string_view html) {
  // A page asked for again is taken out and put first. (Not by
  // std::list::splice: unoptimised, it refers to abort(), which the library
  // never calls.)
  std::shared_ptr<OwnedPage> kept;
  if (const auto found = by_url_.find(url); found != by_url_.end()) {
    const auto entry = found->second;
    if (entry->page->html == html) {
      kept = std::move(entry->page);
    } else {
      bytes_ -= entry->page->html.size();
    }
    by_url_.erase(found);
    entries_.erase(entry);
  }
  if (!kept) {
    kept = std::make_shared<OwnedPage>(html);
    bytes_ += html.size();
  }
  entries_.push_front(Entry{std::string(url), std::move(kept)});
  by_url_.emplace(entries_.front().url, entries_.begin());
  while (bytes_ > budget_ && entries_.size() > 1) {
    bytes_ -= entries_.back().page->html.size();
    by_url_.erase(entries_.back().url);
    entries_.pop_back();
  }
  return {entries_.front().page, &entries_.front().page->parsed};
}

}  // namespace korvane::commerce::detail
