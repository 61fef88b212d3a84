#include <korvane/commerce/input.hpp>

#include <korvane/errors.hpp>
#include <korvane/models/json.hpp>

#include "commerce/input_values.hpp"
#include "text/json_reader.hpp"

#include <string>

namespace korvane::commerce {
namespace json = boost::json;

namespace {

[[noreturn]] void fail(std::string_view source, const std::string& why) {
  throw InputError(std::string(source) + ": " + why);
}

json::value parse(std::string_view text, std::string_view source) {
  text::JsonError error;
  auto document = text::read_json(text, detail::input_parse_options(), error);
  if (!document) throw InputError(detail::invalid_json_message(text, error.offset, error.code.message(), source));
  text::null_non_finite(*document);
  return std::move(*document);
}

// Every element of the array `v` read as a Record, named "name[i]".
template <class Record>
std::vector<Record> read_array(const json::value& v, const std::string& name, std::string_view source) {
  if (!v.is_array()) fail(source, (name.empty() ? std::string("the value") : name) + " must be a JSON array");
  std::vector<Record> out;
  out.reserve(v.get_array().size());
  std::size_t i = 0;
  try {
    for (const auto& element : v.get_array()) {
      out.push_back(models::from_json<Record>(element, name + "[" + std::to_string(i) + "]"));
      ++i;
    }
  } catch (const InputError&) {
    throw;
  } catch (const ValueError& e) {
    fail(source, e.what());
  }
  return out;
}

}  // namespace

namespace detail {

json::parse_options input_parse_options() {
  json::parse_options options;
  options.max_depth = 1000;  // deeper than any search result; far from the stack's limit
  return options;
}

std::string invalid_json_message(std::string_view text, std::size_t offset, std::string_view reason,
                                 std::string_view source) {
  return std::string(source) + ": " + text::line_and_column(text, offset) + ": invalid JSON: " + std::string(reason);
}

EnrichRequest search_result_of(const json::value& doc, std::string_view source) {
  EnrichRequest request;
  if (doc.is_array()) {
    request.matches = read_array<models::VisualMatch>(doc, "", source);
    return request;
  }
  if (!doc.is_object()) fail(source, "expected a JSON array of matches or an object");
  const auto& obj = doc.get_object();
  const auto matches = obj.find("visual_matches");
  if (matches == obj.end()) fail(source, "the object has no \"visual_matches\" member");
  request.matches = read_array<models::VisualMatch>(matches->value(), "visual_matches", source);
  if (const auto offers = obj.find("shopping_results"); offers != obj.end() && !offers->value().is_null()) {
    request.offers = read_array<models::ShoppingOffer>(offers->value(), "shopping_results", source);
  }
  return request;
}

}  // namespace detail

EnrichRequest read_search_result(std::string_view json_text, std::string_view source) {
  return detail::search_result_of(parse(json_text, source), source);
}

std::vector<models::ShoppingOffer> read_shopping_offers(std::string_view json_text, std::string_view source) {
  const json::value doc = parse(json_text, source);
  if (doc.is_object()) {
    const auto& obj = doc.get_object();
    const auto offers = obj.find("shopping_results");
    if (offers == obj.end()) fail(source, "the object has no \"shopping_results\" member");
    return read_array<models::ShoppingOffer>(offers->value(), "shopping_results", source);
  }
  return read_array<models::ShoppingOffer>(doc, "", source);
}

namespace {

// Enriched items always carry a direct_url (the export writes it); a visual
// match carries a link instead, and reading one as an item would give an
// empty item.
void check_enriched(const json::value& items, const std::string& name, std::string_view source) {
  if (!items.is_array()) return;  // (read_array names it)
  std::size_t i = 0;
  for (const auto& item : items.get_array()) {
    const std::string where = name + "[" + std::to_string(i++) + "]";
    const auto* object = item.if_object();
    if (object == nullptr || object->contains("direct_url")) continue;
    if (object->contains("link")) fail(source, where + " is a visual match, not an enriched item: enrich it first");
    fail(source, where + ".direct_url is missing");
  }
}

}  // namespace

EnrichedItems read_enriched_items(std::string_view json_text, std::string_view source) {
  const json::value doc = parse(json_text, source);
  EnrichedItems items;
  if (doc.is_array()) {
    check_enriched(doc, "", source);
    items.result.items = read_array<models::EnrichedCommerceMatch>(doc, "", source);
    return items;
  }
  if (const auto* object = doc.if_object()) {
    if (!object->contains("items")) {
      fail(source, object->contains("visual_matches")
                       ? "a visual-search result, not enriched items: enrich it first"
                       : "the object has no \"items\" member");
    }
    check_enriched(object->at("items"), "items", source);
  }
  try {
    items.result = models::from_json<models::CommerceIntelligence>(doc);
  } catch (const ValueError& e) {
    fail(source, e.what());
  }
  items.whole_result = doc.get_object().contains("summary");
  return items;
}

}  // namespace korvane::commerce
