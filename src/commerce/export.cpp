#include <korvane/commerce/export.hpp>
#include <korvane/models/json.hpp>

#include "commerce/csv.hpp"
#include "commerce/output_file.hpp"
#include "commerce/units.hpp"

#include "text/number.hpp"

#include <boost/json/array.hpp>

namespace korvane::commerce {
namespace fs = std::filesystem;
using models::EnrichedCommerceMatch;

namespace {

constexpr std::string_view csv_header[] = {
    "Match Score", "Relevance",   "Page Type",     "Brand",         "SKU",
    "Condition",   "Title",       "Price Amount",  "Currency",      "Stock Status",
    "Merchant Name", "Merchant Category", "Direct URL", "Original URL", "Primary Image URL"};

// Spreadsheets run a cell that starts with one of these as a formula.
bool starts_like_formula(std::string_view cell) noexcept {
  if (cell.empty()) return false;
  const char c = cell.front();
  return c == '=' || c == '+' || c == '-' || c == '@' || c == '\t' || c == '\r';
}

void append_cell(std::string& out, std::string_view cell) {
  if (cell.find_first_of(",\"\r\n") == std::string_view::npos) {
    out.append(cell);
    return;
  }
  out.push_back('"');
  for (const char c : cell) {
    if (c == '"') out.push_back('"');
    out.push_back(c);
  }
  out.push_back('"');
}

// A cell of text that came from a web page.
std::string page_text(std::string_view cell) {
  std::string out;
  out.reserve(cell.size() + 1);
  if (starts_like_formula(cell)) out.push_back('\'');
  out.append(cell);
  return out;
}
std::string optional_page_text(const std::optional<std::string>& cell) {
  return cell ? page_text(std::string_view(*cell)) : std::string();
}

template <class Enum>
std::string enum_text(const std::optional<Enum>& v) {
  return v ? std::string(models::to_string(*v)) : std::string();
}

void append_record(std::string& out, std::initializer_list<std::string_view> cells) {
  bool first = true;
  for (const auto cell : cells) {
    if (!first) out.push_back(',');
    first = false;
    append_cell(out, cell);
  }
  out += "\r\n";
}

void append_item(std::string& out, const EnrichedCommerceMatch& item) {
  const std::string score = std::to_string(item.match_score) + "%";
  const std::string amount = item.price ? text::format_shortest(item.price->amount) : std::string();
  const std::string currency = item.price ? page_text(item.price->currency) : std::string();
  append_record(out, {score, enum_text(item.relevance), models::to_string(item.page_type),
                      optional_page_text(item.brand), optional_page_text(item.sku), enum_text(item.condition),
                      page_text(item.title), amount, currency, enum_text(item.stock_status),
                      optional_page_text(item.merchant_name), enum_text(item.merchant_category),
                      page_text(item.direct_url), page_text(item.original_url),
                      optional_page_text(item.primary_image_url)});
}

}  // namespace

namespace detail {

std::string commerce_csv_text(const models::CommerceIntelligence& commerce) {
  std::string out;
  out.reserve(256 + commerce.items.size() * 400);
  bool first = true;
  for (const auto name : csv_header) {
    if (!first) out.push_back(',');
    first = false;
    out.append(name);
  }
  out += "\r\n";
  for (const auto& item : commerce.items) append_item(out, item);
  return out;
}

}  // namespace detail

std::string commerce_to_csv(const models::CommerceIntelligence& commerce) {
  detail::start_unit(detail::Unit::aggregator);
  return detail::commerce_csv_text(commerce);
}

std::string commerce_to_json(const models::CommerceIntelligence& commerce) {
  detail::start_unit(detail::Unit::aggregator);
  return models::model_dump_json(commerce, 2, true);
}

std::string items_to_json(std::span<const EnrichedCommerceMatch> items) {
  detail::start_unit(detail::Unit::aggregator);
  boost::json::array array;
  array.reserve(items.size());
  for (const auto& item : items) array.push_back(models::to_json(item, {.exclude_none = true}));
  return models::json_text(array, 2);
}

fs::path export_commerce_to_csv(const models::CommerceIntelligence& commerce, const fs::path& output_path,
                                std::stop_token stop) {
  return detail::write_output_file(output_path, commerce_to_csv(commerce), std::move(stop));
}

fs::path export_items_to_json(std::span<const EnrichedCommerceMatch> items, const fs::path& output_path,
                              std::stop_token stop) {
  return detail::write_output_file(output_path, items_to_json(items), std::move(stop));
}

fs::path export_commerce_to_json(const models::CommerceIntelligence& commerce, const fs::path& output_path,
                                 std::stop_token stop) {
  return detail::write_output_file(output_path, commerce_to_json(commerce), std::move(stop));
}

}  // namespace korvane::commerce
