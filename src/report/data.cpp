#include "report/data.hpp"

#include "report/labels.hpp"
#include "report/markup.hpp"
#include "text/number.hpp"

#include <algorithm>
#include <array>
#include <deque>
#include <string_view>
#include <unordered_map>

namespace korvane::report::detail {

namespace {

using models::EnrichedCommerceMatch;

// How a column's values are written.
enum class Kind {
  text,    // a text: an index into "strings" when it occurs more than once, else the JSON string itself
  key,     // a text the script compares (a record value's key): always an index into "strings"
  number,  // a JSON number (or null)
};
struct Column {
  std::string_view name;
  Kind kind;
};

// The values of one item, in this order; the script finds them by name.
// Links and image links come in two parts, the origin ("https://shop.example",
// shared by many items and so written once) and the rest.
constexpr std::array<Column, 23> COLUMNS = {{
    {"title", Kind::text},          {"amount", Kind::number},     {"price", Kind::text},
    {"currency", Kind::key},        {"merchant", Kind::text},     {"category", Kind::key},
    {"relevance", Kind::key},       {"stock", Kind::key},         {"condition", Kind::key},
    {"page", Kind::key},            {"score", Kind::number},      {"brand", Kind::text},
    {"sku", Kind::text},            {"linkOrigin", Kind::text},   {"linkRest", Kind::text},
    {"linkText", Kind::text},       {"imageOrigin", Kind::text},  {"imageRest", Kind::text},
    {"fallback", Kind::text},       {"shipping", Kind::text},     {"source", Kind::key},
    {"resolved", Kind::number},     {"group", Kind::number},
}};

// "https://shop.example" and "/p/1?x=2" of "https://shop.example/p/1?x=2";
// a link without "//" is all rest.
std::pair<std::string_view, std::string_view> origin_and_rest(std::string_view link) {
  const std::size_t authority = link.find("//");
  if (authority == std::string_view::npos) return {{}, link};
  const std::size_t end = std::min(link.find_first_of("/?#", authority + 2), link.size());
  return {link.substr(0, end), link.substr(end)};
}

// One item's values, as views into the item, into constant texts or into
// `made` (texts worked out for it, in a deque so that they do not move).
using Row = std::array<std::string_view, COLUMNS.size()>;

std::string_view text_or_empty(const std::optional<std::string>& s) { return s ? std::string_view(*s) : ""; }

Row row_of(const EnrichedCommerceMatch& item, const ItemFacts& facts, std::deque<std::string>& made) {
  const auto keep = [&made](std::string s) -> std::string_view { return made.emplace_back(std::move(s)); };
  const bool priced = has_price(item);
  const auto link = web_link(item.direct_url);
  const auto [link_origin, link_rest] = origin_and_rest(link.value_or(""));
  const auto images = image_sources(item);
  const auto [image_origin, image_rest] = origin_and_rest(images.empty() ? "" : images[0]);
  return {
      item.title,
      priced ? keep(text::format_shortest(item.price->amount)) : "null",
      priced ? keep(format_amount(item.price->amount)) : "",
      priced ? std::string_view(item.price->currency) : "",
      text_or_empty(item.merchant_name),
      key_of(item.merchant_category),
      key_of(item.relevance),
      key_of(item.stock_status),
      key_of(item.condition),
      models::to_string(item.page_type),
      keep(std::to_string(item.match_score)),
      text_or_empty(item.brand),
      text_or_empty(item.sku),
      link_origin,
      link_rest,
      link ? keep(link_text(*link)) : std::string_view(item.direct_url),
      image_origin,
      image_rest,
      images.size() < 2 ? "" : images[1],
      text_or_empty(item.shipping_info),
      item.source_engine,
      facts.resolved ? "1" : "0",
      keep(std::to_string(facts.group)),
  };
}

// The texts written once in "strings": every key, and every other text that
// occurs more than once (merchants, brands, prices, hosts repeat across
// thousands of items), the most frequent first so that their indices are
// short.
class StringTable {
 public:
  static constexpr std::size_t NOT_KEPT = static_cast<std::size_t>(-1);

  explicit StringTable(std::span<const Row> rows) {
    std::unordered_map<std::string_view, Entry> entries;
    entries.reserve(rows.size() * 4);
    std::vector<Entry*> cells;  // each text cell's entry, row after row
    cells.reserve(rows.size() * COLUMNS.size());
    for (const Row& row : rows) {
      for (std::size_t c = 0; c < COLUMNS.size(); ++c) {
        if (COLUMNS[c].kind == Kind::number) continue;
        auto [it, inserted] = entries.try_emplace(row[c], Entry{.first = entries.size()});
        ++it->second.count;
        it->second.key = it->second.key || COLUMNS[c].kind == Kind::key;
        cells.push_back(&it->second);
      }
    }
    std::vector<std::pair<const std::string_view, Entry>*> kept;
    for (auto& entry : entries) {
      if (entry.second.count > 1 || entry.second.key) kept.push_back(&entry);
    }
    std::sort(kept.begin(), kept.end(), [](const auto* a, const auto* b) {
      return a->second.count != b->second.count ? a->second.count > b->second.count : a->second.first < b->second.first;
    });
    for (std::size_t i = 0; i < kept.size(); ++i) {
      kept[i]->second.index = i;
      texts_.push_back(kept[i]->first);
    }
    indices_.reserve(cells.size());
    for (const Entry* cell : cells) indices_.push_back(cell->index);
  }

  // The index of text cell `k` (counted row after row), or NOT_KEPT when the
  // text is written where it stands.
  [[nodiscard]] std::size_t index(std::size_t k) const { return indices_[k]; }

  void append_json(std::string& out) const {
    out.push_back('[');
    for (std::size_t i = 0; i < texts_.size(); ++i) {
      if (i > 0) out.push_back(',');
      append_json_string(out, texts_[i]);
    }
    out.push_back(']');
  }

 private:
  struct Entry {
    std::size_t first = 0;  // order of first use
    std::size_t count = 0;
    std::size_t index = NOT_KEPT;
    bool key = false;
  };
  std::vector<std::string_view> texts_;
  std::vector<std::size_t> indices_;
};

// Appends `row`; `cell` counts the text cells written so far.
void append_row(std::string& out, const StringTable& strings, const Row& row, std::size_t& cell) {
  out.push_back('[');
  for (std::size_t c = 0; c < COLUMNS.size(); ++c) {
    if (c > 0) out.push_back(',');
    if (COLUMNS[c].kind == Kind::number) {
      out.append(row[c]);
    } else if (const std::size_t index = strings.index(cell++); index == StringTable::NOT_KEPT) {
      append_json_string(out, row[c]);
    } else {
      out.append(std::to_string(index));
    }
  }
  out.push_back(']');
}

// {"official_brand": "Official brand", ..., "none": "No category"}
template <class Enum, std::size_t N>
void append_labels(std::string& out, std::string_view field, const std::array<Enum, N>& values,
                   std::string_view absent) {
  append_json_string(out, field);
  out.append(":{");
  for (const Enum v : values) {
    append_json_string(out, models::to_string(v));
    out.push_back(':');
    append_json_string(out, label(v));
    out.push_back(',');
  }
  out.append("\"none\":");
  append_json_string(out, absent);
  out.push_back('}');
}

}  // namespace

void append_data_block(std::string& out, std::span<const EnrichedCommerceMatch> items,
                       std::span<const ItemFacts> facts) {
  std::deque<std::string> made;
  std::vector<Row> rows;
  rows.reserve(items.size());
  for (std::size_t i = 0; i < items.size(); ++i) rows.push_back(row_of(items[i], facts[i], made));
  const StringTable strings(rows);

  out.append("<script type=\"application/json\" id=\"report-data\">{\"columns\":[");
  for (const auto& column : COLUMNS) {
    if (&column != COLUMNS.data()) out.push_back(',');
    append_json_string(out, column.name);
  }
  out.append("],\"labels\":{");
  append_labels(out, "category", CATEGORIES, NO_CATEGORY);
  out.push_back(',');
  append_labels(out, "relevance", RELEVANCE, NO_RELEVANCE);
  out.push_back(',');
  append_labels(out, "stock", STOCK, NO_STOCK);
  out.push_back(',');
  append_labels(out, "condition", CONDITIONS, "");
  out.push_back(',');
  append_labels(out, "page", PAGE_TYPES, "");
  out.append("},\"strings\":");
  strings.append_json(out);
  out.append(",\"byPrice\":[");
  std::vector<std::size_t> by_price;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (has_price(items[i])) by_price.push_back(i);
  }
  std::stable_sort(by_price.begin(), by_price.end(),
                   [&](std::size_t a, std::size_t b) { return items[a].price->amount < items[b].price->amount; });
  for (const std::size_t i : by_price) {
    if (i != by_price.front()) out.push_back(',');
    out.append(std::to_string(i));
  }
  out.append("],\"items\":[");
  std::size_t cell = 0;
  for (const Row& row : rows) {
    if (&row != rows.data()) out.push_back(',');
    append_row(out, strings, row, cell);
  }
  out.append("]}</script>\n");
}

}  // namespace korvane::report::detail
