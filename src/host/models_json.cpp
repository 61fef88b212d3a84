// The records' JSON form, both ways (declared in <korvane/models/json.hpp>).
#include <korvane/errors.hpp>
#include <korvane/models.hpp>
#include <korvane/models/json.hpp>

#include "text/json_reader.hpp"
#include "text/json_writer.hpp"

#include <boost/json.hpp>

#include <functional>
#include <map>
#include <string>
#include <utility>

namespace korvane::models {
namespace json = boost::json;

// ---------------------------------------------------------------- JSON out
namespace {

class ObjectWriter {
 public:
  explicit ObjectWriter(JsonOptions o) : options_(o) {}

  template <class T>
  ObjectWriter& add(std::string_view key, const T& value) {
    obj_[key] = convert(value);
    return *this;
  }
  template <class T>
  ObjectWriter& add(std::string_view key, const std::optional<T>& value) {
    if (value) {
      obj_[key] = convert(*value);
    } else if (!options_.exclude_none) {
      obj_[key] = nullptr;
    }
    return *this;
  }
  json::value done() { return std::move(obj_); }

 private:
  json::value convert(const std::string& s) const { return json::value(s); }
  json::value convert(int v) const { return json::value(v); }
  json::value convert(long long v) const { return json::value(v); }
  json::value convert(double v) const { return json::value(v); }
  json::value convert(bool v) const { return json::value(v); }
  template <class Enum>
    requires std::is_enum_v<Enum>
  json::value convert(Enum v) const { return json::value(to_string(v)); }
  json::value convert(const NormalizedPrice& v) const { return to_json(v, options_); }

  JsonOptions options_;
  json::object obj_;
};

}  // namespace

json::value to_json(const NormalizedPrice& v, JsonOptions o) {
  return ObjectWriter(o).add("raw", v.raw).add("amount", v.amount).add("currency", v.currency).done();
}

json::value to_json(const EnrichedCommerceMatch& v, JsonOptions o) {
  return ObjectWriter(o)
      .add("title", v.title)
      .add("direct_url", v.direct_url)
      .add("original_url", v.original_url)
      .add("price", v.price)
      .add("merchant_name", v.merchant_name)
      .add("merchant_category", v.merchant_category)
      .add("thumbnail", v.thumbnail)
      .add("match_score", v.match_score)
      .add("page_type", v.page_type)
      .add("brand", v.brand)
      .add("sku", v.sku)
      .add("condition", v.condition)
      .add("stock_status", v.stock_status)
      .add("primary_image_url", v.primary_image_url)
      .add("shipping_info", v.shipping_info)
      .add("source_engine", v.source_engine)
      .add("relevance", v.relevance)
      .done();
}

json::value to_json(const CommerceSummary& v, JsonOptions o) {
  json::object categories;
  for (const auto& [k, n] : v.merchant_categories) categories[to_string(k)] = n;
  json::object page_types;
  for (const auto& [k, n] : v.page_types) page_types[to_string(k)] = n;
  auto obj = ObjectWriter(o)
                 .add("total_matches", v.total_matches)
                 .add("currency", v.currency)
                 .add("total_priced_matches", v.total_priced_matches)
                 .add("min_price", v.min_price)
                 .add("median_price", v.median_price)
                 .add("average_price", v.average_price)
                 .add("max_price", v.max_price)
                 .add("in_stock_count", v.in_stock_count)
                 .done();
  obj.as_object()["merchant_categories"] = std::move(categories);
  obj.as_object()["page_types"] = std::move(page_types);
  return obj;
}

json::value to_json(const CommerceIntelligence& v, JsonOptions o) {
  json::object obj;
  obj["summary"] = to_json(v.summary, o);
  json::array items;
  items.reserve(v.items.size());
  for (const auto& item : v.items) items.push_back(to_json(item, o));
  obj["items"] = std::move(items);
  return obj;
}

json::value to_json(const VisualMatch& v, JsonOptions o) {
  return ObjectWriter(o)
      .add("link", v.link)
      .add("title", v.title)
      .add("source", v.source)
      .add("price", v.price)
      .add("currency", v.currency)
      .add("thumbnail", v.thumbnail)
      .add("in_stock", v.in_stock)
      .done();
}

json::value to_json(const ShoppingOffer& v, JsonOptions o) {
  return ObjectWriter(o)
      .add("title", v.title)
      .add("link", v.link)
      .add("source", v.source)
      .add("price", v.price)
      .add("extracted_price", v.extracted_price)
      .add("currency", v.currency)
      .add("thumbnail", v.thumbnail)
      .add("rating", v.rating)
      .add("reviews", v.reviews)
      .add("delivery", v.delivery)
      .add("condition", v.condition)
      .add("in_stock", v.in_stock)
      .add("position", v.position)
      .done();
}

std::string json_text(const json::value& v, int indent) { return text::write_json(v, indent); }

template <class Record>
std::string model_dump_json(const Record& r, int indent, bool exclude_none) {
  return text::write_json(to_json(r, JsonOptions{exclude_none}), indent);
}
template std::string model_dump_json(const NormalizedPrice&, int, bool);
template std::string model_dump_json(const EnrichedCommerceMatch&, int, bool);
template std::string model_dump_json(const CommerceSummary&, int, bool);
template std::string model_dump_json(const CommerceIntelligence&, int, bool);
template std::string model_dump_json(const VisualMatch&, int, bool);
template std::string model_dump_json(const ShoppingOffer&, int, bool);

// ---------------------------------------------------------------- JSON in
namespace {

// Reads the members of one JSON object; errors name the member by its path
// ("visual_matches[2].link must be a string").
class ObjectReader {
 public:
  ObjectReader(const json::value& v, std::string_view where) : where_(where) {
    if (!v.is_object()) throw ValueError((where_.empty() ? std::string("the value") : where_) + " must be a JSON object");
    obj_ = &v.get_object();
  }

  [[nodiscard]] const json::value* find(std::string_view key) const {
    const auto it = obj_->find(key);
    if (it == obj_->end() || it->value().is_null()) return nullptr;
    return &it->value();
  }
  [[nodiscard]] std::string text(std::string_view key, bool required = true) const {
    const auto* v = find(key);
    if (!v) {
      if (required) fail(key, "is missing");
      return {};
    }
    if (!v->is_string()) fail(key, "must be a string");
    return std::string(v->get_string());
  }
  [[nodiscard]] std::optional<std::string> opt_text(std::string_view key) const {
    if (!find(key)) return std::nullopt;
    return text(key);
  }
  // A text, or a number written as JSON writes it (prices and codes given as
  // numbers: 129.99 -> "129.99").
  [[nodiscard]] std::optional<std::string> opt_text_or_number(std::string_view key) const {
    const auto* v = find(key);
    if (!v) return std::nullopt;
    if (v->is_string()) return std::string(v->get_string());
    if (v->is_number()) return json_text(*v);
    fail(key, "must be a string");
  }
  [[nodiscard]] std::optional<double> opt_number(std::string_view key) const {
    const auto* v = checked(key, &json::value::is_number, "must be a number");
    return v ? std::optional(v->to_number<double>()) : std::nullopt;
  }
  [[nodiscard]] std::optional<long long> opt_integer(std::string_view key) const {
    const auto* v = checked(key, &json::value::is_int64, "must be an integer");
    return v ? std::optional(v->get_int64()) : std::nullopt;
  }
  [[nodiscard]] int integer(std::string_view key, int fallback) const {
    const auto* v = checked(key, &is_integer, "must be an integer");
    return v ? static_cast<int>(v->to_number<long long>()) : fallback;
  }
  [[nodiscard]] std::optional<bool> opt_bool(std::string_view key) const {
    const auto* v = checked(key, &json::value::is_bool, "must be true, false or null");
    return v ? std::optional(v->get_bool()) : std::nullopt;
  }
  template <class Enum>
  [[nodiscard]] std::optional<Enum> opt_enum(std::string_view key) const {
    const auto t = opt_text(key);
    if (!t) return std::nullopt;
    const auto e = enum_from_string<Enum>(*t);
    if (!e) fail(key, "has an unknown value \"" + *t + "\"");
    return e;
  }
  // The path of a member, for nested readers.
  [[nodiscard]] std::string path(std::string_view key) const {
    return where_.empty() ? std::string(key) : where_ + "." + std::string(key);
  }
  [[noreturn]] void fail(std::string_view key, const std::string& why) const {
    throw ValueError(path(key) + " " + why);
  }

 private:
  // The member, or null when it is missing; fails with `why` when it is
  // there but not of the kind `is_kind` accepts.
  template <class Check>
  [[nodiscard]] const json::value* checked(std::string_view key, Check is_kind, const char* why) const {
    const auto* v = find(key);
    if (v && !std::invoke(is_kind, *v)) fail(key, why);
    return v;
  }
  static bool is_integer(const json::value& v) { return v.is_int64() || v.is_uint64(); }

  const json::object* obj_ = nullptr;
  std::string where_;
};

// A match's or offer's price: an object {value, extracted_value, currency}
// or, flat, the text or number of the member itself. An offer keeps the
// extracted amount beside the text (`with_extracted`); a match reads it
// only in place of a missing text.
struct PriceMember {
  std::optional<std::string> text;
  std::optional<double> extracted;
  std::optional<std::string> currency;
};

PriceMember read_price(const ObjectReader& r, bool with_extracted) {
  const auto* price = r.find("price");
  if (!price || !price->is_object()) return {r.opt_text_or_number("price"), std::nullopt, std::nullopt};
  const ObjectReader p(*price, r.path("price"));
  PriceMember m;
  m.text = p.opt_text_or_number("value");
  if (with_extracted || !m.text) m.extracted = p.opt_number("extracted_value");
  m.currency = p.opt_text_or_number("currency");
  return m;
}

// Counts by enumerator (an object of "VALUE": n); unknown values and
// non-integer counts are passed over.
template <class Enum>
void read_counts(const ObjectReader& r, std::string_view key, std::map<Enum, int>& counts) {
  const auto* members = r.find(key);
  if (!members || !members->is_object()) return;
  for (const auto& member : members->get_object()) {
    const auto e = enum_from_string<Enum>(member.key());
    if (e && member.value().is_int64()) counts[*e] = static_cast<int>(member.value().get_int64());
  }
}

}  // namespace

template <>
NormalizedPrice from_json<NormalizedPrice>(const json::value& v, std::string_view where) {
  const ObjectReader r(v, where);
  const auto amount = r.opt_number("amount");
  if (!amount) r.fail("amount", "is missing");
  return NormalizedPrice(r.text("raw", false), *amount, r.text("currency", false));
}

template <>
VisualMatch from_json<VisualMatch>(const json::value& v, std::string_view where) {
  const ObjectReader r(v, where);
  VisualMatch m;
  m.link = r.text("link");
  m.title = r.text("title", false);
  m.source = r.opt_text_or_number("source");
  const auto price = read_price(r, false);
  m.price = price.text;
  if (!m.price && price.extracted) m.price = json_text(json::value(*price.extracted));
  m.currency = price.currency;
  if (const auto hint = r.opt_text_or_number("currency")) m.currency = hint;
  m.thumbnail = r.opt_text_or_number("thumbnail");
  m.in_stock = r.opt_bool("in_stock");
  return m;
}

template <>
ShoppingOffer from_json<ShoppingOffer>(const json::value& v, std::string_view where) {
  const ObjectReader r(v, where);
  ShoppingOffer o;
  o.title = r.text("title", false);
  o.link = r.find("link") ? r.text("link") : r.text("product_link", false);
  o.source = r.opt_text_or_number("source");
  auto price = read_price(r, true);
  o.price = std::move(price.text);
  o.extracted_price = price.extracted;
  o.currency = std::move(price.currency);
  if (const auto extracted = r.opt_number("extracted_price")) o.extracted_price = extracted;
  if (const auto currency = r.opt_text_or_number("currency")) o.currency = currency;
  o.thumbnail = r.opt_text_or_number("thumbnail");
  o.rating = r.opt_number("rating");
  o.reviews = r.opt_integer("reviews");
  o.delivery = r.opt_text_or_number("delivery");
  o.condition = r.opt_text_or_number("condition");
  o.in_stock = r.opt_bool("in_stock");
  o.position = r.opt_integer("position");
  return o;
}

template <>
EnrichedCommerceMatch from_json<EnrichedCommerceMatch>(const json::value& v, std::string_view where) {
  const ObjectReader r(v, where);
  EnrichedCommerceMatch m;
  m.title = r.text("title", false);
  m.direct_url = r.text("direct_url", false);
  m.original_url = r.text("original_url", false);
  if (const auto* p = r.find("price")) m.price = from_json<NormalizedPrice>(*p, r.path("price"));
  m.merchant_name = r.opt_text("merchant_name");
  m.merchant_category = r.opt_enum<MerchantCategory>("merchant_category");
  m.thumbnail = r.opt_text("thumbnail");
  m.match_score = r.integer("match_score", 0);
  m.page_type = r.opt_enum<PageType>("page_type").value_or(PageType::UNCATEGORIZED);
  m.brand = r.opt_text("brand");
  m.sku = r.opt_text("sku");
  m.condition = r.opt_enum<ItemCondition>("condition");
  m.stock_status = r.opt_enum<StockStatus>("stock_status");
  m.primary_image_url = r.opt_text("primary_image_url");
  m.shipping_info = r.opt_text("shipping_info");
  if (const auto engine = r.opt_text("source_engine")) m.source_engine = *engine;
  m.relevance = r.opt_enum<RelevanceLabel>("relevance");
  return m;
}

template <>
CommerceSummary from_json<CommerceSummary>(const json::value& v, std::string_view where) {
  const ObjectReader r(v, where);
  CommerceSummary s;
  s.total_matches = r.integer("total_matches", 0);
  if (const auto c = r.opt_text("currency")) s.currency = *c;
  s.total_priced_matches = r.integer("total_priced_matches", 0);
  s.min_price = r.opt_number("min_price");
  s.median_price = r.opt_number("median_price");
  s.average_price = r.opt_number("average_price");
  s.max_price = r.opt_number("max_price");
  s.in_stock_count = r.integer("in_stock_count", 0);
  read_counts(r, "merchant_categories", s.merchant_categories);
  read_counts(r, "page_types", s.page_types);
  return s;
}

template <>
CommerceIntelligence from_json<CommerceIntelligence>(const json::value& v, std::string_view where) {
  const ObjectReader r(v, where);
  CommerceIntelligence ci;
  if (const auto* s = r.find("summary")) ci.summary = from_json<CommerceSummary>(*s, r.path("summary"));
  if (const auto* items = r.find("items")) {
    if (!items->is_array()) r.fail("items", "must be an array");
    std::size_t i = 0;
    for (const auto& item : items->get_array()) {
      ci.items.push_back(from_json<EnrichedCommerceMatch>(item, r.path("items") + "[" + std::to_string(i++) + "]"));
    }
  }
  return ci;
}

}  // namespace korvane::models

namespace korvane::models {

template <class Record>
Record model_validate_json(std::string_view json_text) {
  json::parse_options options;
  options.max_depth = 1000;  // deeper than any record; far from the stack's limit
  text::JsonError error;
  auto document = text::read_json(json_text, options, error);
  if (!document) {
    throw ValueError(text::line_and_column(json_text, error.offset) + ": invalid JSON: " + error.code.message());
  }
  text::null_non_finite(*document);
  return from_json<Record>(*document);
}
template NormalizedPrice model_validate_json<NormalizedPrice>(std::string_view);
template VisualMatch model_validate_json<VisualMatch>(std::string_view);
template ShoppingOffer model_validate_json<ShoppingOffer>(std::string_view);
template EnrichedCommerceMatch model_validate_json<EnrichedCommerceMatch>(std::string_view);
template CommerceSummary model_validate_json<CommerceSummary>(std::string_view);
template CommerceIntelligence model_validate_json<CommerceIntelligence>(std::string_view);

}  // namespace korvane::models
