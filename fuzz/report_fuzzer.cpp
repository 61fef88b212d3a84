// The visual report of any result read from JSON: every text of the records
// comes out escaped (a text that holds markup adds no element and no
// attribute to the page) and every link or image address of the page is an
// http or https one.
#include <korvane/commerce/input.hpp>
#include <korvane/errors.hpp>
#include <korvane/report.hpp>

#include "fuzz_check.hpp"
#include "text/unicode.hpp"

#include <array>
#include <optional>
#include <string>

namespace {

namespace models = korvane::models;
using korvane::fuzz::require;

// Appended to every text of the records: markup for element content, for a
// double-quoted and for a single-quoted attribute value.
constexpr std::string_view kProbe = "<x-probe>\" x-injected=\"1' x-injected='1";

// The page's one address that is not a web link: its empty icon.
constexpr std::string_view kIconTag = "<link rel=\"icon\" href=\"data:,\">";

// Attributes whose value the browser loads or opens.
constexpr std::array<std::string_view, 4> kLinkAttributes{"href", "src", "data-fallback", "srcset"};

bool is_name_char(char c) noexcept {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

bool starts_with_nocase(std::string_view s, std::string_view prefix) noexcept {
  return s.size() >= prefix.size() && korvane::text::ascii_iequals(s.substr(0, prefix.size()), prefix);
}

void check_attribute(std::string_view name, std::string_view value) {
  require(name != "x-injected", "no attribute comes from a record's text");
  for (const std::string_view link_attribute : kLinkAttributes) {
    if (name != link_attribute) continue;
    require(starts_with_nocase(value, "http:") || starts_with_nocase(value, "https:"),
            "every link and image address is http or https");
  }
}

// Reads the attributes of the tag that starts at `pos` (just after its name)
// up to its ">"; returns the position after it.
std::size_t read_attributes(std::string_view page, std::size_t pos) {
  while (pos < page.size() && page[pos] != '>') {
    if (!is_name_char(page[pos])) {
      ++pos;
      continue;
    }
    const std::size_t name_start = pos;
    while (pos < page.size() && is_name_char(page[pos])) ++pos;
    const std::string_view name = page.substr(name_start, pos - name_start);
    std::string_view value;
    if (pos < page.size() && page[pos] == '=') {
      ++pos;
      const char quote = pos < page.size() ? page[pos] : '\0';
      require(quote == '"', "the report quotes every attribute value with double quotes");
      const std::size_t end = page.find('"', pos + 1);
      require(end != std::string_view::npos, "attribute values are closed");
      value = page.substr(pos + 1, end - pos - 1);
      pos = end + 1;
    }
    check_attribute(name, value);
  }
  return pos + 1;
}

// Walks the page's tags: no element from a record's text, attributes as
// check_attribute() wants them. The contents of the page's own script and
// style sheet are passed over.
void check_page(std::string_view page) {
  std::size_t pos = 0;
  while ((pos = page.find('<', pos)) != std::string_view::npos) {
    if (page.substr(pos, 4) == "<!--") {
      pos = page.find("-->", pos);
      require(pos != std::string_view::npos, "comments are closed");
      continue;
    }
    if (page.substr(pos, kIconTag.size()) == kIconTag) {
      pos += kIconTag.size();
      continue;
    }
    std::size_t name_end = pos + 1;
    if (name_end < page.size() && (page[name_end] == '/' || page[name_end] == '!')) ++name_end;
    while (name_end < page.size() && is_name_char(page[name_end])) ++name_end;
    const std::string_view name = page.substr(pos + 1, name_end - pos - 1);
    require(name != "x-probe", "no element comes from a record's text");
    pos = read_attributes(page, name_end);
    if (name == "script" || name == "style") {
      pos = page.find(name == "script" ? "</script>" : "</style>", pos);
      require(pos != std::string_view::npos, "the script and the style sheet are closed");
    }
  }
}

void poison(std::string& text) { text.append(kProbe); }
void poison(std::optional<std::string>& text) {
  if (text) poison(*text);
}

// Every text of the result with the probe appended.
models::CommerceIntelligence poisoned(models::CommerceIntelligence result) {
  poison(result.summary.currency);
  for (auto& item : result.items) {
    for (std::string* text : {&item.title, &item.direct_url, &item.original_url, &item.source_engine}) poison(*text);
    for (std::optional<std::string>* text : {&item.merchant_name, &item.thumbnail, &item.brand, &item.sku,
                                             &item.primary_image_url, &item.shipping_info}) {
      poison(*text);
    }
    if (item.price) {
      poison(item.price->raw);
      poison(item.price->currency);
    }
  }
  return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  models::CommerceIntelligence result;
  try {
    result = korvane::commerce::read_enriched_items(korvane::fuzz::as_text(data, size)).result;
  } catch (const korvane::Error&) {
    return 0;
  }
  check_page(korvane::report::commerce_to_html(result));
  check_page(korvane::report::commerce_to_html(poisoned(std::move(result))));
  return 0;
}
