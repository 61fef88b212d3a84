// The visual report of any result read from JSON: every text of the records
// comes out escaped (a text that holds markup adds no element and no
// attribute to the page, and cannot end the page's data block, which stays
// one JSON document) and every link or image address of the page, in its
// markup or its data, is an http or https one.
#include <korvane/commerce/input.hpp>
#include <korvane/errors.hpp>
#include <korvane/report.hpp>

#include "fuzz_check.hpp"
#include "text/unicode.hpp"

#include <boost/json.hpp>

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

bool is_web_link_or_empty(std::string_view link) {
  return link.empty() || starts_with_nocase(link, "http:") || starts_with_nocase(link, "https:");
}

// A text cell of the data block: the JSON string, or its index into "strings".
std::string cell_text(const boost::json::value& cell, const boost::json::array& strings) {
  if (cell.is_string()) return std::string(cell.get_string());
  require(cell.is_int64() && static_cast<std::size_t>(cell.get_int64()) < strings.size(), "text cells are kept");
  return std::string(strings.at(static_cast<std::size_t>(cell.get_int64())).as_string());
}

// The page's data block: one JSON document whose links are web links.
void check_data_block(std::string_view block) {
  require(block.find("<!--") == std::string_view::npos, "the data block opens no comment");
  boost::system::error_code ec;
  const boost::json::value data = boost::json::parse(block, ec);
  require(!ec, "the data block is one JSON document");
  const auto& columns = data.at("columns").as_array();
  const auto& strings = data.at("strings").as_array();
  const auto column = [&](std::string_view name) {
    for (std::size_t i = 0; i < columns.size(); ++i) {
      if (columns[i].as_string() == name) return i;
    }
    require(false, "the data block has the link columns");
    return std::size_t{0};
  };
  const std::size_t link_origin = column("linkOrigin");
  const std::size_t image_origin = column("imageOrigin");
  const std::size_t fallback = column("fallback");
  for (const auto& item : data.at("items").as_array()) {
    const auto& cells = item.as_array();
    for (const std::size_t origin : {link_origin, image_origin}) {
      require(is_web_link_or_empty(cell_text(cells.at(origin), strings) + cell_text(cells.at(origin + 1), strings)),
              "every link and image address of the data is http or https");
    }
    require(is_web_link_or_empty(cell_text(cells.at(fallback), strings)), "fallback images are http or https");
  }
}

// Where the raw text of a script element ends: its "</script" in any case.
std::size_t script_end(std::string_view page, std::size_t from) {
  for (std::size_t pos = page.find("</", from); pos != std::string_view::npos; pos = page.find("</", pos + 2)) {
    if (korvane::text::ascii_iequals(page.substr(pos, 8), "</script")) return pos;
  }
  return std::string_view::npos;
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
    const std::size_t tag_start = pos;
    pos = read_attributes(page, name_end);
    if (name == "script") {
      const std::size_t end = script_end(page, pos);
      require(end != std::string_view::npos, "scripts are closed");
      if (page.substr(tag_start, pos - tag_start).find("application/json") != std::string_view::npos) {
        check_data_block(page.substr(pos, end - pos));
      }
      pos = end;
    } else if (name == "style") {
      pos = page.find("</style>", pos);
      require(pos != std::string_view::npos, "the style sheet is closed");
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
