#include "search_input.hpp"

#include <boost/json.hpp>

#include <fstream>
#include <sstream>

namespace korvane::cli {
namespace json = boost::json;

namespace {

std::string position_of(std::string_view text, std::size_t offset) {
  std::size_t line = 1, column = 1;
  for (std::size_t i = 0; i < offset && i < text.size(); ++i) {
    if (text[i] == '\n') {
      ++line;
      column = 1;
    } else {
      ++column;
    }
  }
  return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

// Reads members of one JSON object, naming the object in every error.
class Fields {
 public:
  Fields(const json::value& v, std::string where, const std::filesystem::path& file)
      : where_(std::move(where)), file_(file) {
    if (!v.is_object()) fail("must be a JSON object");
    obj_ = &v.get_object();
  }

  [[nodiscard]] const json::value* get(std::string_view key) const {
    const auto it = obj_->find(key);
    return it == obj_->end() || it->value().is_null() ? nullptr : &it->value();
  }
  [[nodiscard]] std::string text(std::string_view key) const {
    const auto* v = get(key);
    if (!v) fail(std::string(key) + " is missing");
    if (!v->is_string()) fail(std::string(key) + " must be a string");
    return std::string(v->get_string());
  }
  [[nodiscard]] std::optional<std::string> opt_text(std::string_view key) const {
    const auto* v = get(key);
    if (!v) return std::nullopt;
    if (v->is_string()) return std::string(v->get_string());
    if (v->is_number()) return models::json_text(*v);
    fail(std::string(key) + " must be a string");
  }
  [[nodiscard]] std::optional<double> opt_number(std::string_view key) const {
    const auto* v = get(key);
    if (!v) return std::nullopt;
    if (!v->is_number()) fail(std::string(key) + " must be a number");
    return v->to_number<double>();
  }
  [[nodiscard]] std::optional<long long> opt_integer(std::string_view key) const {
    const auto* v = get(key);
    if (!v) return std::nullopt;
    if (!v->is_int64()) fail(std::string(key) + " must be an integer");
    return v->get_int64();
  }
  [[nodiscard]] std::optional<bool> opt_bool(std::string_view key) const {
    const auto* v = get(key);
    if (!v) return std::nullopt;
    if (!v->is_bool()) fail(std::string(key) + " must be true, false or null");
    return v->get_bool();
  }
  [[noreturn]] void fail(const std::string& why) const {
    throw InputError(file_.string() + ": " + where_ + (where_.empty() ? "" : " ") + why);
  }
  [[nodiscard]] const std::string& where() const { return where_; }

 private:
  const json::object* obj_ = nullptr;
  std::string where_;
  const std::filesystem::path& file_;
};

models::VisualMatch match_from(const json::value& v, const std::string& where, const std::filesystem::path& file) {
  const Fields f(v, where, file);
  models::VisualMatch m;
  m.link = f.text("link");
  m.title = f.get("title") ? f.text("title") : std::string();
  m.source = f.opt_text("source");
  if (const auto* price = f.get("price"); price && price->is_object()) {
    const Fields p(*price, where + ".price", file);
    m.price = p.opt_text("value");
    if (!m.price) {
      if (const auto amount = p.opt_number("extracted_value")) m.price = models::json_text(json::value(*amount));
    }
    m.currency = p.opt_text("currency");
  } else {
    m.price = f.opt_text("price");
  }
  if (const auto hint = f.opt_text("currency")) m.currency = hint;
  m.thumbnail = f.opt_text("thumbnail");
  m.in_stock = f.opt_bool("in_stock");
  return m;
}

models::ShoppingOffer offer_from(const json::value& v, const std::string& where, const std::filesystem::path& file) {
  const Fields f(v, where, file);
  models::ShoppingOffer o;
  o.title = f.get("title") ? f.text("title") : std::string();
  o.link = f.get("link") ? f.text("link") : (f.get("product_link") ? f.text("product_link") : std::string());
  o.source = f.opt_text("source");
  if (const auto* price = f.get("price"); price && price->is_object()) {
    const Fields p(*price, where + ".price", file);
    o.price = p.opt_text("value");
    o.extracted_price = p.opt_number("extracted_value");
    o.currency = p.opt_text("currency");
  } else {
    o.price = f.opt_text("price");
  }
  if (const auto extracted = f.opt_number("extracted_price")) o.extracted_price = extracted;
  if (const auto currency = f.opt_text("currency")) o.currency = currency;
  o.thumbnail = f.opt_text("thumbnail");
  o.rating = f.opt_number("rating");
  o.reviews = f.opt_integer("reviews");
  o.delivery = f.opt_text("delivery");
  o.condition = f.opt_text("condition");
  o.in_stock = f.opt_bool("in_stock");
  o.position = f.opt_integer("position");
  return o;
}

template <class T, class Convert>
std::vector<T> read_array(const json::value& v, const std::string& name, const std::filesystem::path& file,
                          Convert convert) {
  if (!v.is_array()) throw InputError(file.string() + ": " + name + " must be a JSON array");
  std::vector<T> out;
  out.reserve(v.get_array().size());
  std::size_t i = 0;
  for (const auto& el : v.get_array()) out.push_back(convert(el, name + "[" + std::to_string(i++) + "]", file));
  return out;
}

}  // namespace

json::value read_json_file(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw InputError(file.string() + ": cannot open the file");
  std::stringstream buffer;
  buffer << in.rdbuf();
  const std::string text = buffer.str();
  json::parse_options options;
  options.max_depth = 1000;
  json::stream_parser parser({}, options);
  boost::system::error_code ec;
  const std::size_t used = parser.write_some(text.data(), text.size(), ec);
  if (!ec) parser.finish(ec);
  if (ec) throw InputError(file.string() + ": " + position_of(text, used) + ": invalid JSON: " + ec.message());
  return parser.release();
}

SearchInput read_search_result(const std::filesystem::path& file) {
  const json::value doc = read_json_file(file);
  SearchInput input;
  if (doc.is_array()) {
    input.matches = read_array<models::VisualMatch>(doc, "", file, match_from);
    return input;
  }
  if (!doc.is_object()) throw InputError(file.string() + ": expected a JSON array of matches or an object");
  const auto& obj = doc.get_object();
  const auto matches = obj.find("visual_matches");
  if (matches == obj.end()) throw InputError(file.string() + ": the object has no \"visual_matches\" member");
  input.matches = read_array<models::VisualMatch>(matches->value(), "visual_matches", file, match_from);
  if (const auto offers = obj.find("shopping_results"); offers != obj.end() && !offers->value().is_null()) {
    input.offers = read_array<models::ShoppingOffer>(offers->value(), "shopping_results", file, offer_from);
    input.has_offers = true;
  }
  return input;
}

std::vector<models::ShoppingOffer> read_shopping_offers(const std::filesystem::path& file) {
  const json::value doc = read_json_file(file);
  if (doc.is_object()) {
    const auto& obj = doc.get_object();
    const auto offers = obj.find("shopping_results");
    if (offers == obj.end()) throw InputError(file.string() + ": the object has no \"shopping_results\" member");
    return read_array<models::ShoppingOffer>(offers->value(), "shopping_results", file, offer_from);
  }
  return read_array<models::ShoppingOffer>(doc, "", file, offer_from);
}

models::CommerceIntelligence read_enriched_items(const std::filesystem::path& file, bool& had_summary) {
  const json::value doc = read_json_file(file);
  had_summary = false;
  try {
    if (doc.is_array()) {
      models::CommerceIntelligence ci;
      std::size_t i = 0;
      for (const auto& item : doc.get_array()) {
        try {
          ci.items.push_back(models::enriched_match_from_json(item));
        } catch (const ValueError& e) {
          throw InputError(file.string() + ": [" + std::to_string(i) + "] " + e.what());
        }
        ++i;
      }
      return ci;
    }
    had_summary = doc.is_object() && doc.get_object().contains("summary");
    return models::commerce_intelligence_from_json(doc);
  } catch (const ValueError& e) {
    throw InputError(file.string() + ": " + e.what());
  }
}

}  // namespace korvane::cli
