// Page-state reader: the JSON and JavaScript objects shop platforms embed.
//
// Analytics objects describe the product being viewed: an "ecommerce"
// object's "detail" products or "items", "ViewContent" and "view_item"
// events (their value and currency). Page-state objects of JSON scripts and
// script assignments count only under a key that names a product and when
// their name matches the page's title, so that the products of lists and
// recommendations are left alone.
#include "commerce/metadata/extended/readers.hpp"

#include "commerce/metadata/extended/json_values.hpp"
#include "commerce/metadata/extended/loose_json.hpp"
#include "commerce/metadata/embedded_data.hpp"
#include "text/html.hpp"
#include "text/number.hpp"
#include "text/regex.hpp"
#include "text/unicode.hpp"

#include <boost/json/monotonic_resource.hpp>
#include <boost/json/parser.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <deque>
#include <set>
#include <vector>

namespace korvane::commerce::detail::extended {
namespace json = boost::json;
namespace {

using text::find_icase;

constexpr std::size_t npos = std::string_view::npos;
// JSON scripts larger than this are not read.
constexpr std::size_t kMaxStateBytes = 4 << 20;
// Objects visited per parsed value, at most.
constexpr std::size_t kVisitBudget = 200000;

// ---------------------------------------------------------------- the page's title

// Lower-cased words of letters and digits.
std::vector<std::string> words_of(std::string_view s) {
  std::vector<std::string> words;
  const std::string lower = text::to_lower(s);
  std::string word;
  for (std::size_t i = 0; i < lower.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(lower[i]);
    const bool part = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c >= 0x80;
    if (part) {
      word.push_back(static_cast<char>(c));
    } else if (!word.empty()) {
      words.push_back(std::move(word));
      word.clear();
    }
  }
  if (!word.empty()) words.push_back(std::move(word));
  return words;
}

// The words of the page's own names for its product: og:title, the main
// heading and the title element.
std::set<std::string> title_words(const PageContext& ctx) {
  std::set<std::string> words;
  for (const std::string& title : ctx.titles) {
    for (auto& w : words_of(title)) words.insert(std::move(w));
  }
  return words;
}

// True when most words of `name` are words of the page's title.
bool matches_title(std::string_view name, const std::set<std::string>& title) {
  const auto words = words_of(name);
  if (words.empty()) return false;
  std::size_t hits = 0;
  for (const auto& w : words) hits += title.count(w);
  return hits * 3 >= words.size() * 2 && (hits >= 2 || words.size() == 1);
}

// ---------------------------------------------------------------- fields of objects

constexpr std::array<std::string_view, 9> kPriceKeys{"price",      "salePrice",    "currentPrice",
                                                    "finalPrice", "sellingPrice", "offerPrice",
                                                    "priceValue", "actualPrice",  "specialPrice"};

// Keys of a price object that hold its current amount, or an object of it.
constexpr std::array<std::string_view, 8> kAmountKeys{"now", "current", "value", "amount", "final", "sale", "price", "raw"};

// The object of a price object's current amount: {"current": {"value": 29.99,
// "currency": "EUR"}} gives the inner object; one without such gives itself.
const json::object& current_price_object(const json::object& price) {
  for (const std::string_view k : kAmountKeys) {
    if (const auto* v = price.if_contains(k); v != nullptr && v->is_object()) return v->get_object();
  }
  return price;
}

// The price of a product object: a number or text, or an object holding
// the current amount ({"now": "24.50"}, {"value": 12000}, {"current":
// {"value": 29.99}}).
std::optional<Money> object_price(const json::object& o, std::string_view declared) {
  for (const std::string_view key : kPriceKeys) {
    const json::value* v = o.if_contains(key);
    if (v == nullptr) continue;
    if (const auto* inner = v->if_object()) {
      const json::object& current = current_price_object(*inner);
      for (const std::string_view k : kAmountKeys) {
        if (auto m = price_of(current.if_contains(k), declared)) return m;
      }
      continue;
    }
    if (auto m = price_of(v, declared)) return m;
  }
  if (const auto* info = o.if_contains("priceInfo"); info != nullptr && info->is_object()) {
    return object_price(info->get_object(), declared);
  }
  return std::nullopt;
}

std::string object_currency(const json::object& o) {
  for (const std::string_view key : {"currency", "currencyCode", "priceCurrency", "currency_code"}) {
    if (const auto* v = o.if_contains(key); v != nullptr && v->is_string()) {
      if (auto code = currency_code_of(v->get_string())) return *code;
    }
  }
  if (const auto* p = o.if_contains("price"); p != nullptr && p->is_object()) {
    const json::object& price = p->get_object();
    if (const json::object& current = current_price_object(price); &current != &price) {
      if (std::string code = object_currency(current); !code.empty()) return code;
    }
    return object_currency(price);
  }
  return {};
}

std::optional<models::StockStatus> object_availability(const json::object& o) {
  for (const std::string_view key : {"availability", "stockStatus", "stock_status", "availabilityStatus"}) {
    if (const auto* v = o.if_contains(key); v != nullptr && v->is_string()) {
      if (auto s = availability_of(v->get_string())) return s;
    }
  }
  for (const std::string_view key : {"inStock", "isInStock", "in_stock", "isAvailable"}) {
    if (const auto* v = o.if_contains(key); v != nullptr && v->is_bool()) {
      return v->get_bool() ? models::StockStatus::IN_STOCK : models::StockStatus::OUT_OF_STOCK;
    }
  }
  for (const std::string_view key : {"isSoldOut", "soldOut", "outOfStock", "isOutOfStock"}) {
    if (const auto* v = o.if_contains(key); v != nullptr && v->is_bool() && v->get_bool()) {
      return models::StockStatus::OUT_OF_STOCK;
    }
  }
  return std::nullopt;
}

// The identifiers of a product object; `listed` when it is an item of a
// list (an event's "items"), which says less than a product object itself.
void add_skus(const json::object& o, Source source, bool listed, Evidence& out) {
  static constexpr std::array<std::string_view, 8> strong{"sku",        "productSku",  "skuCode",   "articleNumber",
                                                          "itemNumber", "productCode", "item_sku", "product_sku"};
  for (const std::string_view key : strong) {
    if (auto id = identifier_of(o.if_contains(key)); id && id->size() <= 64) {
      out.skus.push_back({std::move(*id), source, IdField::sku, listed});
    }
  }
  for (const std::string_view key : {"id", "item_id", "productId", "code", "product_id"}) {
    if (auto id = identifier_of(o.if_contains(key)); id && id->size() <= 64 && id->size() >= 3) {
      out.skus.push_back({std::move(*id), source, IdField::internal_id, listed});
    }
  }
}

// The brand of a product object: "brand" (a text or an object's "name"),
// "brandName", "item_brand" or the shop platform's "vendor".
void add_object_brand(const json::object& o, Source source, Evidence& out) {
  for (const std::string_view key : {"brand", "brandName", "item_brand", "vendor"}) {
    const json::value* v = o.if_contains(key);
    if (v == nullptr) continue;
    if (const auto* inner = v->if_object()) v = inner->if_contains("name");
    if (v != nullptr && v->is_string() && !text::strip(v->get_string()).empty()) {
      out.add_brand(v->get_string(), source);
      return;
    }
  }
}

std::string_view name_of(const json::object& o) {
  for (const std::string_view key : {"name", "title", "productName", "product_name", "item_name", "displayName"}) {
    if (const auto* v = o.if_contains(key); v != nullptr && v->is_string() && !v->get_string().empty()) {
      return v->get_string();
    }
  }
  return {};
}

// ---------------------------------------------------------------- analytics

// The first object of a value that is an object or a list of objects.
const json::object* first_object(const json::value* v) {
  if (v == nullptr) return nullptr;
  if (const auto* o = v->if_object()) return o;
  if (const auto* a = v->if_array(); a != nullptr && !a->empty()) return a->front().if_object();
  return nullptr;
}

// An "ecommerce" object: the viewed product of its "detail" or "items".
void read_ecommerce(const json::object& ecommerce, Evidence& out) {
  std::string currency = object_currency(ecommerce);
  const json::object* product = nullptr;
  if (const auto* detail = ecommerce.if_contains("detail"); detail != nullptr && detail->is_object()) {
    product = first_object(detail->get_object().if_contains("products"));
  }
  if (product == nullptr) product = first_object(ecommerce.if_contains("items"));
  if (product == nullptr) return;
  out.declare_currency(currency);
  if (auto m = object_price(*product, currency)) {
    out.prices.push_back({m->amount, m->currency.empty() ? currency : m->currency, Source::analytics, 0});
  }
  add_skus(*product, Source::analytics, false, out);
  add_object_brand(*product, Source::analytics, out);
  if (auto s = object_availability(*product)) out.stock.push_back({*s, Source::analytics, 1});
}

// A tracking event's parameters: {value, currency, content_ids}, {items:
// [...]}, or the product itself ({price, sku, name, currency}).
void read_event(const json::object& params, Evidence& out) {
  const std::string currency = object_currency(params);
  out.declare_currency(currency);
  if (params.contains("price") || params.contains("sku")) {
    if (auto m = object_price(params, currency)) {
      out.prices.push_back({m->amount, m->currency.empty() ? currency : m->currency, Source::analytics, 1});
    }
    add_skus(params, Source::analytics, false, out);
    add_object_brand(params, Source::analytics, out);
    return;
  }
  if (const auto* items = first_object(params.if_contains("items"))) {
    if (auto m = object_price(*items, currency)) {
      out.prices.push_back({m->amount, m->currency.empty() ? currency : m->currency, Source::analytics, 1});
    }
    add_skus(*items, Source::analytics, true, out);
    add_object_brand(*items, Source::analytics, out);
    return;
  }
  if (auto m = price_of(params.if_contains("value"), currency)) {
    out.prices.push_back({m->amount, m->currency.empty() ? currency : m->currency, Source::analytics, 1});
  }
  const json::value* ids = params.if_contains("content_ids");
  if (ids != nullptr && ids->is_array() && ids->get_array().size() == 1) ids = &ids->get_array().front();
  if (auto id = identifier_of(ids); id && id->size() >= 3 && id->size() <= 64) {
    out.skus.push_back({std::move(*id), Source::analytics, IdField::internal_id});
  }
}

// ---------------------------------------------------------------- product objects

bool names_product(std::string_view key) {
  return iequals(key, "product") || iequals(key, "productdetail") || iequals(key, "productdetails") ||
         iequals(key, "currentproduct") || iequals(key, "productdata") || iequals(key, "productinfo") ||
         iequals(key, "item") || iequals(key, "pdp");
}

struct Walk {
  const std::set<std::string>& title;
  Evidence& out;
  bool product_found = false;
  bool ecommerce_found = false;
};

// The whole number of four or more digits that the first price key of a
// state object holds, if it does: shop platforms' states often count minor
// units there (49900 for 499.00), which nothing in the value tells apart.
std::optional<std::uint64_t> whole_price(const json::object& o) {
  // Below this, a whole number is read as the amount itself: prices under
  // 10.00 counted in cents are rare, and small whole prices are common.
  constexpr std::uint64_t kMaybeMinorUnits = 1000;
  for (const std::string_view key : kPriceKeys) {
    const json::value* v = o.if_contains(key);
    if (v == nullptr) continue;
    std::optional<std::uint64_t> n;
    if (v->is_int64() && v->get_int64() >= 0) n = static_cast<std::uint64_t>(v->get_int64());
    if (v->is_uint64()) n = v->get_uint64();
    if (n && *n >= kMaybeMinorUnits) return n;
    return std::nullopt;
  }
  return std::nullopt;
}

// The amount a whole number `n` of a state object stands for: itself in a
// currency without minor units (JPY 2490); else the reading another source
// of the page agrees with, counted in minor units (24900 for 249.00) or
// not; absent when nothing tells.
std::optional<double> whole_price_amount(std::uint64_t n, std::string_view currency, const Evidence& e) {
  const int digits = currency.empty() ? 2 : minor_units(currency);
  if (!currency.empty() && digits == 0) return static_cast<double>(n);
  double scale = 1.0;
  for (int k = 0; k < digits; ++k) scale *= 10.0;
  const double minor = text::round_to_cents(static_cast<double>(n) / scale);
  const double whole = static_cast<double>(n);
  for (const PriceCandidate& c : e.prices) {
    if (std::fabs(c.amount - minor) < 0.005) return minor;
    if (std::fabs(c.amount - whole) < 0.005) return whole;
  }
  return std::nullopt;
}

void consider_product(const json::object& o, Walk& w) {
  if (w.product_found) return;
  const std::string_view name = name_of(o);
  if (name.empty() || !matches_title(name, w.title)) return;
  const std::string currency = object_currency(o);
  const std::string_view page_currency = currency.empty() ? w.out.declared_currency() : std::string_view(currency);
  auto m = object_price(o, page_currency);
  if (const auto n = whole_price(o)) {
    m.reset();
    if (const auto amount = whole_price_amount(*n, page_currency, w.out)) m = Money{*amount, {}, false, {}};
  }
  const auto stock = object_availability(o);
  if (!m && !stock) return;
  w.product_found = true;
  w.out.declare_currency(currency);
  if (m) w.out.prices.push_back({m->amount, m->currency.empty() ? currency : m->currency, Source::page_state, 0});
  add_skus(o, Source::page_state, false, w.out);
  add_object_brand(o, Source::page_state, w.out);
  if (stock) w.out.stock.push_back({*stock, Source::page_state, 1});
}

void walk(const json::value& root, Walk& w) {
  struct Item {
    const json::value* value;
    bool product_key;
  };
  std::vector<Item> stack{{&root, false}};
  std::size_t budget = kVisitBudget;
  while (!stack.empty() && budget-- > 0) {
    const Item item = stack.back();
    stack.pop_back();
    if (const auto* arr = item.value->if_array()) {
      for (auto it = arr->end(); it != arr->begin();) {
        --it;
        if (it->is_structured()) stack.push_back({&*it, false});
      }
      continue;
    }
    const auto* obj = item.value->if_object();
    if (obj == nullptr) continue;
    if (item.product_key) consider_product(*obj, w);
    for (auto it = obj->end(); it != obj->begin();) {
      --it;
      if (!it->value().is_structured()) continue;
      if (iequals(it->key(), "ecommerce") && it->value().is_object() && !w.ecommerce_found) {
        read_ecommerce(it->value().get_object(), w.out);
        w.ecommerce_found = true;
        continue;
      }
      stack.push_back({&it->value(), names_product(it->key())});
    }
  }
}

// ---------------------------------------------------------------- scripts

// Words of JSON states worth reading: "product" (or "ecommerce" or "\"item"
// in lower case), and "price" or "stock".
constexpr std::array<text::Needle, 5> kStateWords{{{"product"}, {"price"}, {"stock"}, {"ecommerce"}, {"\"item"}}};

bool is_json_type(std::string_view type) {
  return icontains(type, "json") && !icontains(type, "ld+json");
}

std::optional<json::value> parse_strict(std::string_view body, const json::storage_ptr& sp) {
  json::parse_options options;
  options.max_depth = kMaxJsonDepth;
  json::parser parser(sp, options);
  parser.reset(sp);  // the value in `sp` too, not only the parser's stack
  json::error_code ec;
  parser.write(body.data(), body.size(), ec);
  if (ec) return std::nullopt;
  return parser.release();
}

// Script words after which an object literal describes the viewed product.
struct Anchor {
  std::string_view lower;  // the anchor in lower case
  bool event;              // the literal holds an event's parameters
  std::string_view part;   // a part it shares with others: a script without it holds none of them
};
constexpr std::array<Anchor, 8> kAnchors{{{"viewcontent", true, "view"},
                                          {"view_item", true, "view"},
                                          {"viewed product", true, "view"},
                                          {"product viewed", true, "view"},
                                          {"datalayer", false, "datalayer"},
                                          {"ecommerce", false, "ecommerce"},
                                          {"__initial_state__", false, "_state__"},
                                          {"__preloaded_state__", false, "_state__"}}};

// The anchors' parts, each once, every place of each listed.
constexpr std::array<text::Needle, 4> kAnchorParts{
    {{"view", npos}, {"datalayer", npos}, {"ecommerce", npos}, {"_state__", npos}}};

// The first "{" or "[" within a short distance after `pos`, skipping only
// what may stand between a name and its value.
std::size_t literal_start(std::string_view s, std::size_t pos) {
  const std::size_t limit = std::min(s.size(), pos + 48);
  for (std::size_t k = pos; k < limit; ++k) {
    const char c = s[k];
    if (c == '{' || c == '[') return k;
    if (c == ';' || c == '}' || c == ')') return npos;
  }
  return npos;
}

// In scripts longer than this, anchors are looked for only at their start
// (where state assignments stand); analytics calls live in short scripts.
constexpr std::size_t kFullScanBytes = 64 << 10;
constexpr std::size_t kHeadScanBytes = 4 << 10;
// Literals read per script, at most (one that never closes is read to the
// script's end).
constexpr int kMaxLiterals = 8;
constexpr int kMaxFailedLiterals = 2;

void read_script(std::string_view body, Walk& w, const json::storage_ptr& sp) {
  const std::string_view scanned = body.size() > kFullScanBytes ? body.substr(0, kHeadScanBytes) : body;
  std::vector<std::pair<std::size_t, std::size_t>> read;  // literals read so far
  const auto already_read = [&read](std::size_t at) {
    return std::any_of(read.begin(), read.end(), [at](const auto& r) { return at >= r.first && at < r.second; });
  };
  int tries = 0;
  int failures = 0;
  // Where each shared part occurs, in order, all found in one pass: an
  // anchor stands where its part does, and a script without the part holds
  // none of its anchors.
  const auto places = text::find_each_icase(scanned, kAnchorParts);
  for (const Anchor& anchor : kAnchors) {
    std::size_t k = 0;
    while (kAnchorParts[k].lower != anchor.part) ++k;
    const std::vector<std::size_t>& part_places = places[k];
    if (part_places.empty()) continue;
    // Where the part stands in the anchor.
    const std::size_t inset = anchor.lower.find(anchor.part);
    // The first place of the anchor at or after `from`.
    const auto next_anchor = [&](std::size_t from) {
      auto it = std::lower_bound(part_places.begin(), part_places.end(), from + inset);
      for (; it != part_places.end(); ++it) {
        if (text::starts_with_icase(scanned, *it - inset, anchor.lower)) return *it - inset;
      }
      return npos;
    };
    std::size_t pos = 0;
    while (tries < kMaxLiterals) {
      const std::size_t at = next_anchor(pos);
      if (at == npos) break;
      pos = at + anchor.lower.size();
      if (already_read(at)) continue;
      const std::size_t start = literal_start(body, pos);
      if (start == npos) continue;
      ++tries;
      auto literal = read_loose_literal(body, start, sp);
      if (!literal) {
        // A literal that does not close was read to the script's end; the
        // next ones of the same script mostly would be too.
        if (++failures == kMaxFailedLiterals) return;
        continue;
      }
      read.emplace_back(start, literal->end);
      pos = literal->end;
      if (anchor.event) {
        if (const auto* o = literal->value.if_object()) read_event(*o, w.out);
        continue;
      }
      if (anchor.lower == "ecommerce") {
        if (const auto* o = literal->value.if_object(); o != nullptr && !w.ecommerce_found) {
          read_ecommerce(*o, w.out);
          w.ecommerce_found = true;
        }
        continue;
      }
      walk(literal->value, w);
    }
  }
}

}  // namespace

bool names_the_page(const PageContext& ctx, std::string_view name) {
  return matches_title(name, title_words(ctx));
}

void read_page_state(const PageContext& ctx, Evidence& out) {
  const PageIndex& page = ctx.page;
  const std::set<std::string> title = title_words(ctx);
  Walk w{title, out};
  // Parsed values go when the page is read, with the arena: a non-owning
  // pointer to it spares the walk over every parsed tree when it goes.
  json::monotonic_resource arena;
  const json::storage_ptr sp(&arena);
  for (const std::size_t i : page.scripts()) {
    const Tag& t = page.tags()[i];
    const std::string_view body = page.text_after(i);
    if (body.size() < 16 || body.size() > kMaxStateBytes) continue;
    const auto type = page.attribute(t, "type");
    if (type && is_json_type(*type)) {
      // Only states that can hold an ecommerce object or a product, and a
      // price or stock, are read (the words looked for in one pass).
      const auto words = text::find_each_icase(body, kStateWords);
      // "ecommerce" and "\"item" count in lower case only: looked for from where they first stand in any case.
      const auto exact = [&](std::size_t k, std::string_view word) {
        return !words[k].empty() && text::find_literal(body, word, words[k].front()) != npos;
      };
      const bool holder = !words[0].empty() || exact(3, "ecommerce") || exact(4, "\"item");
      if (!holder || (words[1].empty() && words[2].empty())) continue;
      if (auto parsed = parse_strict(text::strip(body), sp)) walk(*parsed, w);
      continue;
    }
    if (type && !icontains(*type, "javascript") && !text::strip(*type).empty()) continue;
    read_script(body, w, sp);
  }
}

}  // namespace korvane::commerce::detail::extended
