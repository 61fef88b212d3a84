// JSON-LD reader: every ld+json block, unwrapped and read loosely when it is
// not strict JSON; the page's product is the first one outside lists of
// other products that has a priced offer (the variant the link names, when
// a group lists several); an offer without a product stands for it when
// there is none.
#include "commerce/metadata/extended/json_values.hpp"
#include "commerce/metadata/extended/loose_json.hpp"
#include "commerce/metadata/extended/readers.hpp"
#include "commerce/metadata/embedded_data.hpp"
#include "text/unicode.hpp"

#include <boost/json/monotonic_resource.hpp>
#include <boost/json/parser.hpp>

#include <algorithm>
#include <deque>
#include <vector>

namespace korvane::commerce::detail::extended {
namespace json = boost::json;
namespace {

// The body of a block without the wrappers pages put around it.
std::string_view unwrap(std::string_view body) {
  body = text::strip(body);
  const auto drop_prefix = [&](std::string_view p) {
    if (body.substr(0, p.size()) == p) body = text::strip(body.substr(p.size()));
  };
  const auto drop_suffix = [&](std::string_view p) {
    if (body.size() >= p.size() && body.substr(body.size() - p.size()) == p) {
      body = text::strip(body.substr(0, body.size() - p.size()));
    }
  };
  drop_prefix("<!--");
  drop_suffix("-->");
  drop_prefix("/*<![CDATA[*/");
  drop_suffix("/*]]>*/");
  drop_prefix("//<![CDATA[");
  drop_suffix("//]]>");
  drop_prefix("<![CDATA[");
  drop_suffix("]]>");
  return body;
}

std::optional<json::value> parse_block(std::string_view body, const json::storage_ptr& sp) {
  json::parse_options options;
  options.max_depth = kMaxJsonDepth;
  options.allow_comments = true;
  options.allow_trailing_commas = true;
  options.allow_invalid_utf8 = true;
  json::parser parser(sp, options);
  parser.reset(sp);  // the value in `sp` too, not only the parser's stack
  json::error_code ec;
  parser.write(body.data(), body.size(), ec);
  if (!ec) return parser.release();
  // Raw line breaks in strings, single quotes, several objects in a row: read loosely.
  const std::size_t start = body.find_first_of("{[");
  if (start == std::string_view::npos) return std::nullopt;
  auto loose = read_loose_literal(body, start, sp);
  if (!loose) return std::nullopt;
  return std::move(loose->value);
}

bool is_product_type(const json::object& o) {
  return has_type(o, {"product", "productgroup", "individualproduct", "productmodel", "someproducts", "vehicle",
                      "car", "motorcycle", "book", "event", "service", "softwareapplication", "menuitem"});
}

bool is_offer_type(const json::object& o) { return has_type(o, {"offer", "aggregateoffer"}); }

// Members whose objects are other products than the page's own.
bool leads_to_other_products(std::string_view key) {
  static constexpr std::array<std::string_view, 11> keys{
      "itemListElement", "isRelatedTo", "isSimilarTo", "isAccessoryOrSparePartFor", "isConsumableFor",
      "relatedLink",     "isVariantOf", "subjectOf",   "isPartOf",                  "hasPart",
      "mentions"};
  return std::find(keys.begin(), keys.end(), key) != keys.end();
}

// Members that never hold the page's product.
bool holds_no_product(std::string_view key) {
  static constexpr std::array<std::string_view, 11> keys{
      "review",   "reviews",   "aggregateRating", "brand",  "manufacturer", "seller",
      "author",   "publisher", "breadcrumb",      "offers", "potentialAction"};
  return std::find(keys.begin(), keys.end(), key) != keys.end();
}

struct Found {
  const json::object* object;
  bool listed;     // among other products
  bool list_item;  // an element of an item list
  bool variant;    // one of a product group's variants
};

struct Collected {
  std::vector<Found> products;
  std::vector<const json::object*> offers;  // offers outside any product
};

// Collects products and free offers in document order, with an explicit
// stack and a visit budget.
void collect(const json::value& root, Collected& out, std::size_t budget) {
  struct Item {
    const json::value* value;
    bool listed;
    bool list_item;
    bool variant;
  };
  std::vector<Item> stack{{&root, false, false, false}};
  while (!stack.empty() && budget > 0) {
    --budget;
    const Item item = stack.back();
    stack.pop_back();
    if (const auto* arr = item.value->if_array()) {
      for (auto it = arr->end(); it != arr->begin();) {
        --it;
        if (it->is_structured()) stack.push_back({&*it, item.listed, item.list_item, item.variant});
      }
      continue;
    }
    const auto* obj = item.value->if_object();
    if (obj == nullptr) continue;
    const bool product = is_product_type(*obj);
    if (product) {
      out.products.push_back({obj, item.listed, item.list_item, item.variant});
    } else if (is_offer_type(*obj)) {
      if (!item.listed) out.offers.push_back(obj);
      continue;
    }
    for (auto it = obj->end(); it != obj->begin();) {
      --it;
      if (!it->value().is_structured() || holds_no_product(it->key())) continue;
      // A product's variants are its own; its other members lead elsewhere.
      const bool variants = product && it->key() == "hasVariant";
      const bool listed = item.listed || leads_to_other_products(it->key()) || (product && !variants);
      const bool list_item = it->key() == "itemListElement" || (item.list_item && !product);
      stack.push_back({&it->value(), listed, list_item, variants || (item.variant && !product)});
    }
  }
}

// The offer objects of an "offers" value: an object, or the objects of a
// list (an aggregate's own "offers" list after the aggregate).
std::vector<const json::object*> offers_of(const json::object& product) {
  std::vector<const json::object*> out;
  const json::value* offers = product.if_contains("offers");
  if (offers == nullptr) return out;
  const auto add = [&out](const json::value& v) {
    if (const auto* o = v.if_object()) {
      out.push_back(o);
      if (const auto* inner = o->if_contains("offers"); inner != nullptr && inner->is_array()) {
        for (const auto& el : inner->get_array()) {
          if (el.is_object()) out.push_back(&el.get_object());
        }
      }
    }
  };
  if (offers->is_array()) {
    for (const auto& el : offers->get_array()) add(el);
  } else {
    add(*offers);
  }
  return out;
}

struct OfferPrice {
  Money money;
  const json::object* offer = nullptr;
};

// True when a price specification's type names a list or recommended
// price (ListPrice, StrikethroughPrice, MSRP, SRP), not what the shop asks.
bool names_a_former_price(const json::object& term) {
  const auto* kind = term.if_contains("priceType");
  if (kind == nullptr || !kind->is_string()) return false;
  const std::string lower = text::ascii_lower(kind->get_string());
  return lower.find("list") != std::string::npos || lower.find("strike") != std::string::npos ||
         lower.find("srp") != std::string::npos;
}

// True when a price specification prices a quantity other than one piece
// (a base price per kilogram or litre beside the price of the pack).
bool prices_a_measure(const json::object& term) {
  const auto* quantity = term.if_contains("referenceQuantity");
  if (quantity == nullptr) return false;
  const auto* q = quantity->if_object();
  const auto* unit = q != nullptr ? q->if_contains("unitCode") : nullptr;
  // C62 and H87 are UN/CEFACT's codes for one piece.
  return !(unit != nullptr && unit->is_string() && (unit->get_string() == "C62" || unit->get_string() == "H87"));
}

// The price an offer asks: "price", a price specification's price (not a
// list or strike-through price; a base price per measure only when no other
// is given), else the lowest price of an aggregate.
std::optional<OfferPrice> offer_price(const json::object& offer) {
  const auto currency_of = [](const json::object& o) -> std::string {
    if (const auto* c = o.if_contains("priceCurrency"); c != nullptr && c->is_string()) {
      if (auto code = currency_code_of(c->get_string())) return *code;
    }
    return {};
  };
  const std::string currency = currency_of(offer);
  if (auto m = price_of(member(&offer, "price"), currency)) {
    if (m->currency.empty()) m->currency = currency;
    return OfferPrice{*m, &offer};
  }
  if (const auto* terms = offer.if_contains("priceSpecification")) {
    std::vector<const json::object*> price_terms;
    if (const auto* o = terms->if_object()) price_terms.push_back(o);
    if (const auto* arr = terms->if_array()) {
      for (const auto& el : *arr) {
        if (el.is_object()) price_terms.push_back(&el.get_object());
      }
    }
    for (const bool measures : {false, true}) {
      for (const auto* term : price_terms) {
        if (names_a_former_price(*term) || prices_a_measure(*term) != measures) continue;
        std::string c = currency_of(*term);
        if (c.empty()) c = currency;
        if (auto m = price_of(member(term, "price"), c)) {
          if (m->currency.empty()) m->currency = c;
          return OfferPrice{*m, &offer};
        }
      }
    }
  }
  for (const std::string_view key : {"lowPrice", "highPrice"}) {
    if (auto m = price_of(member(&offer, key), currency)) {
      if (m->currency.empty()) m->currency = currency;
      return OfferPrice{*m, &offer};
    }
  }
  return std::nullopt;
}

std::optional<OfferPrice> product_price(const json::object& product) {
  for (const auto* offer : offers_of(product)) {
    if (auto p = offer_price(*offer)) return p;
  }
  return std::nullopt;
}

// True when an identifier or link of `product` occurs in the page's link.
bool named_by_link(const json::object& product, std::string_view url) {
  for (const std::string_view key : {"sku", "productID", "@id", "url", "gtin13", "mpn"}) {
    const auto id = identifier_of(member(&product, key));
    if (!id || id->size() < 3) continue;
    if (key == "url" || key == "@id") {
      if (*id == url) return true;
      continue;
    }
    if (url.find(*id) != std::string_view::npos) return true;
  }
  return false;
}

void add_identifiers(const json::object& product, bool other_product, Evidence& out) {
  const auto add = [&](std::string_view name, IdField field) {
    if (auto id = identifier_of(member(&product, name)); id && id->size() <= 64) {
      out.skus.push_back({std::move(*id), Source::json_ld, field, false, other_product});
    }
  };
  add("sku", IdField::sku);
  add("productID", IdField::product_id);
  add("mpn", IdField::mpn);
  for (const std::string_view gtin : GTIN_KEYS) add(gtin, IdField::gtin);
  add("isbn", IdField::gtin);
  add("productId", IdField::product_id);
}

// The name a "brand" or "manufacturer" value gives: a text, an object's
// "name" (a text or the first of a list of texts), or the first of a list of
// those; absent for anything else.
std::optional<std::string_view> organisation_name(const json::value* v) {
  const auto first = [](const json::value* x) {
    if (const auto* arr = x->if_array(); arr != nullptr && !arr->empty()) return &arr->front();
    return x;
  };
  if (v == nullptr) return std::nullopt;
  v = first(v);
  if (v->is_string()) return std::string_view(v->get_string());
  if (const auto* o = v->if_object()) {
    if (const auto* name = o->if_contains("name"); name != nullptr && first(name)->is_string()) {
      return std::string_view(first(name)->get_string());
    }
  }
  return std::nullopt;
}

// The named node of the page's blocks that `id` refers to ("brand":
// {"@id": "#brand"} with the brand itself elsewhere in a "@graph").
const json::object* node_named_by_id(const std::deque<json::value>& documents, std::string_view id) {
  // Graphs put their nodes a level or two down; deeper is content.
  constexpr int kMaxDepth = 4;
  const auto find = [id](const auto& self, const json::value& v, int depth) -> const json::object* {
    if (depth > kMaxDepth) return nullptr;
    if (const auto* arr = v.if_array()) {
      for (const json::value& item : *arr) {
        if (const auto* found = self(self, item, depth + 1)) return found;
      }
    } else if (const auto* o = v.if_object()) {
      const auto* node_id = o->if_contains("@id");
      if (node_id != nullptr && node_id->is_string() && node_id->get_string() == id && o->contains("name")) return o;
      for (const auto& member : *o) {
        if (const auto* found = self(self, member.value(), depth + 1)) return found;
      }
    }
    return nullptr;
  };
  for (const json::value& doc : documents) {
    if (const auto* found = find(find, doc, 0)) return found;
  }
  return nullptr;
}

// The brand of the page's product, else of another of its own products (a
// group whose variant was chosen); its maker after that. A brand given as a
// reference to a node of the page's blocks takes that node's name.
void add_product_brand(const json::object* chosen, const std::vector<const json::object*>& own,
                       const std::deque<json::value>& documents, Evidence& out) {
  std::vector<const json::object*> order;
  if (chosen != nullptr) order.push_back(chosen);
  for (const auto* p : own) {
    if (p != chosen) order.push_back(p);
  }
  // References followed, at most: each walks the page's blocks, and a page
  // of thousands of products each naming its brand by reference would
  // take time in the square of its size.
  constexpr int kMaxReferences = 4;
  int references = 0;
  for (const std::string_view key : {"brand", "manufacturer"}) {
    for (const auto* p : order) {
      const json::value* value = member(p, key);
      if (const auto* ref = value != nullptr ? value->if_object() : nullptr; ref != nullptr && !ref->contains("name")) {
        const auto* id = ref->if_contains("@id");
        if (id != nullptr && id->is_string() && references++ < kMaxReferences) {
          if (const auto* node = node_named_by_id(documents, id->get_string())) value = node->if_contains("name");
        }
      }
      if (const auto name = organisation_name(value)) {
        // An empty or placeholder name gives way to the next.
        const std::size_t before = out.brands.size();
        out.add_brand(*name, Source::json_ld, key == "manufacturer");
        if (out.brands.size() > before) return;
      }
    }
  }
}

// The availability of a set of offers: in stock when any offer is, else
// what the first offer that says something says.
std::optional<models::StockStatus> offers_availability(const std::vector<const json::object*>& offers) {
  std::optional<models::StockStatus> first;
  for (const auto* offer : offers) {
    const auto* a = offer->if_contains("availability");
    if (a == nullptr || !a->is_string()) continue;
    const auto status = availability_of(a->get_string());
    if (status == models::StockStatus::IN_STOCK) return status;
    if (!first) first = status;
  }
  return first;
}

void add_offer_facts(const std::vector<const json::object*>& offers, const json::object* priced, Evidence& out) {
  if (const auto status = offers_availability(offers)) out.stock.push_back({*status, Source::json_ld, 0});
  if (priced != nullptr) {
    if (auto id = identifier_of(member(priced, "sku"))) {
      out.skus.push_back({std::move(*id), Source::json_ld, IdField::sku, /*secondary=*/true});
    }
  }
}

void declare_currencies(const Collected& c, Evidence& out) {
  const auto declare = [&out](const json::object& offer) {
    if (const auto* cur = offer.if_contains("priceCurrency"); cur != nullptr && cur->is_string()) {
      if (auto code = currency_code_of(cur->get_string())) out.declare_currency(*code);
    }
  };
  for (const Found& f : c.products) {
    for (const auto* offer : offers_of(*f.object)) declare(*offer);
  }
  for (const auto* offer : c.offers) declare(*offer);
}

}  // namespace

void read_json_ld(const PageContext& ctx, Evidence& out) {
  const PageIndex& page = ctx.page;
  // The blocks' values live until the page is read; the arena frees them
  // at once, without a walk over every parsed tree (a non-owning pointer to
  // it tells the values so).
  json::monotonic_resource arena;
  const json::storage_ptr sp(&arena);
  std::deque<json::value> documents;
  Collected found;
  for (const std::size_t i : page.scripts()) {
    const Tag& t = page.tags()[i];
    const auto type = page.attribute(t, "type");
    if (!type || !icontains(*type, "ld+json")) continue;
    const std::string_view body = unwrap(page.text_after(i));
    if (body.empty()) continue;
    auto parsed = parse_block(body, sp);
    if (!parsed) continue;
    const json::value& doc = documents.emplace_back(std::move(*parsed));
    collect(doc, found, 4 * body.size() + 1024);
  }
  if (found.products.empty() && found.offers.empty()) return;
  declare_currencies(found, out);

  // The page's product: unlisted products with a priced offer, the one the
  // link names first; an item list of exactly one product stands for it
  // when there is no other.
  std::vector<const json::object*> own;
  for (const Found& f : found.products) {
    if (!f.listed) own.push_back(f.object);
  }
  if (own.empty()) {
    std::size_t items = 0;
    const json::object* only = nullptr;
    for (const Found& f : found.products) {
      if (f.list_item) {
        ++items;
        only = f.object;
      }
    }
    if (items == 1) own.push_back(only);
  }

  // Among several, the one the link names, else the one the page's heading
  // or title names (a product of a carousel listed before the page's own is
  // not), else the first.
  const auto named_by_title = [&ctx](const json::object& p) {
    const auto name = member(&p, "name");
    return name != nullptr && name->is_string() && names_the_page(ctx, name->get_string());
  };
  enum class Named { by_link, by_title, any };
  const json::object* chosen = nullptr;
  std::optional<OfferPrice> price;
  for (const Named named : {Named::by_link, Named::by_title, Named::any}) {
    if (named == Named::by_title && own.size() < 2) continue;
    for (const auto* p : own) {
      if (named == Named::by_link && !named_by_link(*p, ctx.url)) continue;
      if (named == Named::by_title && !named_by_title(*p)) continue;
      if (auto pp = product_price(*p)) {
        chosen = p;
        price = pp;
        break;
      }
    }
    if (chosen != nullptr) break;
  }
  if (chosen == nullptr && !own.empty()) chosen = own.front();

  if (chosen != nullptr) {
    if (price) out.prices.push_back({price->money.amount, price->money.currency, Source::json_ld, 0});
    // A variant the link does not name stands for its group: the product is
    // in stock when any of the group's variants is (some sizes sold out).
    std::vector<const json::object*> offers = offers_of(*chosen);
    std::vector<const json::object*> variants;
    for (const Found& f : found.products) {
      if (f.variant && !f.listed) variants.push_back(f.object);
    }
    if (std::find(variants.begin(), variants.end(), chosen) != variants.end() && !named_by_link(*chosen, ctx.url)) {
      for (const auto* p : variants) {
        if (p == chosen) continue;
        for (const auto* offer : offers_of(*p)) offers.push_back(offer);
      }
    }
    add_offer_facts(offers, price ? price->offer : nullptr, out);
    add_identifiers(*chosen, false, out);
  }
  add_product_brand(chosen, own, documents, out);
  // Identifiers of the other own products (a group and its variants) rank lower.
  for (const auto* p : own) {
    if (p != chosen) add_identifiers(*p, true, out);
  }
  if (price) return;
  for (const auto* offer : found.offers) {
    if (auto p = offer_price(*offer)) {
      out.prices.push_back({p->money.amount, p->money.currency, Source::json_ld, 1});
      add_offer_facts({offer}, offer, out);
      return;
    }
  }
}

}  // namespace korvane::commerce::detail::extended
