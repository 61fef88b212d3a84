#include "records.hpp"

#include <korvane/models/json.hpp>
#include <korvane/relevance.hpp>


#include <algorithm>
#include <cmath>
#include <functional>
#include <map>
#include <optional>
#include <memory>
#include <string>
#include <utility>

namespace korvane::python {

// ---------------------------------------------------------------- enumerations
namespace {

template <class Enum>
void add_enum(py::module_& m, const char* doc) {
  py::list members;
  for (const auto& member : models::enum_members<Enum>()) {
    members.append(py::make_tuple(to_python(member.name), to_python(member.text)));
  }
  // class Name(str, enum.Enum), so that members compare equal to their text
  // and json.dumps writes them as it.
  py::object cls = py::module_::import("enum").attr("Enum")(
      EnumName<Enum>::value, members, py::arg("module") = "korvane.models.common",
      py::arg("qualname") = EnumName<Enum>::value, py::arg("type") = py::module_::import("builtins").attr("str"));
  cls.attr("__doc__") = doc;
  // str() and f-strings give the text value, as for a str enum (Python 3.11
  // would otherwise give "PageType.PRODUCT").
  const py::object text = py::module_::import("builtins").attr("str");
  cls.attr("__str__") = text.attr("__str__");
  cls.attr("__format__") = text.attr("__format__");
  m.attr(EnumName<Enum>::value) = cls;
}

}  // namespace

void bind_enums(py::module_& m) {
  add_enum<models::PageType>(m, "What kind of page a destination link leads to.");
  add_enum<models::MerchantCategory>(m, "Who sells behind a domain.");
  add_enum<models::StockStatus>(m, "Whether an item can be bought now.");
  add_enum<models::ItemCondition>(m, "New, used or refurbished.");
  add_enum<models::RelevanceLabel>(m, "How closely an item answers the search.");
}

// ---------------------------------------------------------------- record classes
namespace {

// One field of a record: read as a Python value, and written from one (empty
// `set` for a read-only field).
template <class Record>
struct FieldAccess {
  std::string name;
  std::function<py::object(const Record&)> get;
  std::function<void(Record&, py::handle)> set;
};

template <class Record>
using FieldList = std::vector<FieldAccess<Record>>;

// Builds the Python class of a record field by field, then adds what every
// record has.
template <class Record>
class RecordClass {
 public:
  RecordClass(py::module_& m, const char* name, const char* python_module, const char* doc)
      : cls_(m, name, doc), name_(name), fields_(std::make_shared<FieldList<Record>>()) {
    cls_.attr("__module__") = python_module;
  }

  template <class T>
  RecordClass& field(const char* name, T Record::*member) {
    const std::string what = name_ + "." + name;
    FieldAccess<Record> f{name, [member](const Record& r) { return Field<T>::to(r.*member); },
                          [member, what](Record& r, py::handle v) { r.*member = Field<T>::from(v, what); }};
    cls_.def_property(
        name, [get = f.get](const py::object& self) { return get(record<Record>(self, "self")); },
        [set = f.set](const py::object& self, const py::object& v) { set(record<Record>(self, "self"), v); });
    fields_->push_back(std::move(f));
    return *this;
  }

  template <class T>
  RecordClass& readonly(const char* name, T Record::*member) {
    FieldAccess<Record> f{name, [member](const Record& r) { return Field<T>::to(r.*member); }, {}};
    cls_.def_property_readonly(name,
                               [get = f.get](const py::object& self) { return get(record<Record>(self, "self")); });
    fields_->push_back(std::move(f));
    return *this;
  }

  // Record(field=value, ...): keyword arguments only, the others keep the
  // struct's defaults. As model_validate() reads a dict: unknown names are
  // ignored, the `required` fields must be given (TypeError naming the first
  // one missing).
  RecordClass& keyword_init(std::vector<std::string> required = {}) {
    cls_.def(py::init([fields = fields_, name = name_, required](const py::args& args, const py::kwargs& kwargs) {
               if (!args.empty()) throw py::type_error(name + "() takes keyword arguments only");
               for (const std::string& field : required) {
                 if (!kwargs.contains(field)) {
                   throw py::type_error(name + "() missing required keyword argument '" + field + "'");
                 }
               }
               Record r{};
               for (const auto& [key, value] : kwargs) {
                 const std::string_view key_name = text_view(key, "keyword");
                 const auto f = std::find_if(fields->begin(), fields->end(),
                                             [&](const FieldAccess<Record>& a) { return a.name == key_name; });
                 if (f != fields->end() && f->set) f->set(r, value);
               }
               return r;
             }),
             "Builds the record from keyword arguments; fields not given keep their defaults, unknown names "
             "are ignored (as model_validate does).");
    return *this;
  }

  // Name(field=repr(value), ...), fields in declaration order.
  RecordClass& repr() {
    cls_.def("__repr__", [fields = fields_, name = name_](const py::object& self) {
      const Record& r = record<Record>(self, "self");
      std::string out = name + "(";
      for (std::size_t i = 0; i < fields->size(); ++i) {
        if (i > 0) out += ", ";
        out += (*fields)[i].name + "=" + py::repr((*fields)[i].get(r)).template cast<std::string>();
      }
      return out + ")";
    });
    return *this;
  }

  RecordClass& equality() {
    cls_.def("__eq__", [](const py::object& self, const py::object& other) -> py::object {
      const Record& r = record<Record>(self, "self");
      if (!py::isinstance<Record>(other)) return py::reinterpret_borrow<py::object>(Py_NotImplemented);
      return py::bool_(r == record<Record>(other, "other"));
    });
    cls_.attr("__hash__") = py::none();  // records are mutable
    return *this;
  }

  // model_dump, model_dump_json, model_validate and pickling through the
  // library's JSON form.
  RecordClass& json_model();

  py::class_<Record>& cls() { return cls_; }

 private:
  py::class_<Record> cls_;
  std::string name_;
  std::shared_ptr<FieldList<Record>> fields_;
};

// The indentation of model_dump_json: None (compact) or a count of spaces.
int indent_of(const py::object& indent) {
  if (indent.is_none()) return 0;
  const int n = Field<int>::from(indent, "indent");
  if (n < 0) throw py::value_error("indent must not be negative");
  return n;
}

// The fields that include= and exclude= name at one level (pydantic's
// forms): a set or other iterable of field names, or a dict from a field
// name to True (the whole field) or to the same form for the fields inside
// it (of each element, for a list of records). Absent when None.
using FieldSelection = std::map<std::string, py::object, std::less<>>;

std::optional<FieldSelection> field_selection(py::handle h, std::string_view what) {
  if (h.is_none()) return std::nullopt;
  FieldSelection chosen;
  if (PyDict_Check(h.ptr())) {
    for (const auto& [key, nested] : py::reinterpret_borrow<py::dict>(h)) {
      const bool whole = nested.ptr() == Py_True || nested.ptr() == Py_Ellipsis;
      chosen[std::string(text_view(key, what))] = whole ? py::none() : py::reinterpret_borrow<py::object>(nested);
    }
    return chosen;
  }
  if (PyUnicode_Check(h.ptr()) || !py::isinstance<py::iterable>(h)) {
    raise_type_error(what, "a set of field names, a dict or None", h);
  }
  for (const py::handle name : py::reinterpret_borrow<py::iterable>(h)) {
    chosen[std::string(text_view(name, what))] = py::none();
  }
  return chosen;
}

// `v` with only the fields that `include` keeps and `exclude` leaves
// (member order kept).
void filter_fields(boost::json::value& v, py::handle include, py::handle exclude) {
  if (auto* array = v.if_array()) {
    for (auto& element : *array) filter_fields(element, include, exclude);
    return;
  }
  auto* object = v.if_object();
  const auto kept = field_selection(include, "include");
  const auto left = field_selection(exclude, "exclude");
  if (object == nullptr || (!kept && !left)) return;
  boost::json::object out;
  for (auto& member : *object) {
    const auto in = kept ? kept->find(std::string_view(member.key())) : FieldSelection::const_iterator();
    const auto out_of = left ? left->find(std::string_view(member.key())) : FieldSelection::const_iterator();
    if (kept && in == kept->end()) continue;
    const bool excluded = left && out_of != left->end();
    if (excluded && out_of->second.is_none()) continue;
    filter_fields(member.value(), kept ? in->second : py::none(), excluded ? out_of->second : py::none());
    out.emplace(member.key(), std::move(member.value()));
  }
  *object = std::move(out);
}

// NaN and the infinities as null, as JSON text holds them.
void null_non_finite(boost::json::value& v) {
  if (auto* array = v.if_array()) {
    for (auto& element : *array) null_non_finite(element);
  } else if (auto* object = v.if_object()) {
    for (auto& member : *object) null_non_finite(member.value());
  } else if (v.is_double() && !std::isfinite(v.get_double())) {
    v = nullptr;
  }
}

// The JSON form of a record with model_dump's options.
template <class Model>
boost::json::value dumped(const Model& model, const py::object& include, const py::object& exclude,
                          const py::object& exclude_none) {
  boost::json::value v = models::to_json(model, {.exclude_none = boolean(exclude_none, "exclude_none")});
  filter_fields(v, include, exclude);
  return v;
}

// The JSON methods of a Python class `cls` whose instances convert to Model
// with `to_model(handle)` and are made from one with `from_model(Model)`.
template <class Model, class Bound, class ToModel, class FromModel>
void add_json_methods(py::class_<Bound>& cls, ToModel to_model, FromModel from_model) {
  cls.def(
      "model_dump",
      [to_model](const py::object& self, const py::object& mode, const py::object& include,
                 const py::object& exclude, const py::object& exclude_none) {
        const std::string_view how = text_view(mode, "mode");
        if (how != "python" && how != "json") throw py::value_error("mode must be 'python' or 'json'");
        boost::json::value v = dumped(to_model(self), include, exclude, exclude_none);
        if (how == "json") null_non_finite(v);
        return json_to_python(v);
      },
      py::kw_only(), py::arg("mode") = "python", py::arg("include") = py::none(), py::arg("exclude") = py::none(),
      py::arg("exclude_none") = false,
      "The record's JSON form as Python values: nested records as dicts, enumerations as their text "
      "values; mode='json' gives what the JSON text holds (NaN and infinities as None). include and "
      "exclude name the fields kept or left out (a set of names, or a dict for the fields inside one); "
      "with exclude_none, absent fields are left out at every level.");
  cls.def(
      "model_dump_json",
      [to_model](const py::object& self, const py::object& indent, const py::object& include,
                 const py::object& exclude, const py::object& exclude_none) {
        return to_python(models::json_text(dumped(to_model(self), include, exclude, exclude_none), indent_of(indent)));
      },
      py::kw_only(), py::arg("indent") = py::none(), py::arg("include") = py::none(),
      py::arg("exclude") = py::none(), py::arg("exclude_none") = false,
      "The record as JSON text, the same as the library writes: compact when indent is None, fields in "
      "declaration order, numbers as the shortest text that reads back the same (NaN and infinities, "
      "which JSON has not, as null). include, exclude and exclude_none as for model_dump.");
  cls.def_static(
      "model_validate",
      [from_model](const py::object& obj) -> py::object {
        if (py::isinstance<Bound>(obj)) return obj;
        if (!PyDict_Check(obj.ptr())) raise_type_error("obj", "a dict", obj);
        return from_model(models::from_json<Model>(python_to_json(obj, "obj")));
      },
      py::arg("obj"),
      "The record of a dict in the JSON form (as model_dump gives it); absent and None members take "
      "the defaults, unknown members are ignored. Raises ValueError naming the member that has the "
      "wrong shape.");
  cls.def_static(
      "model_validate_json",
      [from_model](const py::object& json_data) -> py::object {
        if (PyBytes_Check(json_data.ptr())) {
          const std::string text(py::reinterpret_borrow<py::bytes>(json_data));
          return from_model(models::model_validate_json<Model>(text));
        }
        return from_model(models::model_validate_json<Model>(text_view(json_data, "json_data")));
      },
      py::arg("json_data"),
      "The record of a JSON text (str or bytes), as model_validate reads its dict; numbers are read "
      "correctly rounded. Raises ValueError naming the position of invalid JSON or the member that has "
      "the wrong shape.");
}

// Pickling with every protocol: __reduce_ex__ gives copyreg.__newobj__ (an
// instance without value) and the state that __setstate__ then gives it.
// (Protocols 0 and 1 would otherwise rebuild the object through
// object.__new__, which pybind11 classes refuse.)
template <class Bound, class GetState, class SetState>
void add_pickling(py::class_<Bound>& cls, GetState get_state, SetState set_state) {
  cls.def(py::pickle(std::move(get_state), std::move(set_state)));
  cls.def(
      "__reduce_ex__",
      [](const py::object& self, const py::object&) {
        (void)record<Bound>(self, "self");
        return py::make_tuple(py::module_::import("copyreg").attr("__newobj__"), py::make_tuple(py::type::of(self)),
                              self.attr("__getstate__")());
      },
      py::arg("protocol"));
}

template <class Record>
RecordClass<Record>& RecordClass<Record>::json_model() {
  add_json_methods<Record>(
      cls_, [](py::handle self) -> const Record& { return record<Record>(self, "self"); },
      [](Record r) { return py::cast(std::move(r)); });
  // Pickled (and copied by the copy module) as the JSON form's Python
  // values, which keep what JSON text cannot (NaN, infinities).
  add_pickling(
      cls_,
      [](const py::object& self) {
        return py::reinterpret_borrow<py::dict>(json_to_python(models::to_json(record<Record>(self, "self"))));
      },
      [](const py::dict& state) { return models::from_json<Record>(python_to_json(state, "state")); });
  return *this;
}

// ---------------------------------------------------------------- CommerceIntelligence

const models::CommerceSummary& summary_of(const Intelligence& v, std::string_view what) {
  return record<models::CommerceSummary>(v.summary, std::string(what) + ".summary");
}

void bind_intelligence(py::module_& m) {
  py::class_<Intelligence> cls(m, "CommerceIntelligence",
                               "The result of one enrichment: a market summary and the items. The summary and "
                               "the list of items are held as they are given, so changes to them change the "
                               "result.");
  cls.attr("__module__") = "korvane.models.commerce";
  cls.def(py::init([](const py::args& args, const py::object& summary, const py::object& items) {
            if (!args.empty()) throw py::type_error("CommerceIntelligence() takes keyword arguments only");
            Intelligence v{summary.is_none() ? py::cast(models::CommerceSummary{}) : summary,
                           items.is_none() ? py::list() : items};
            (void)summary_of(v, "CommerceIntelligence");
            if (!PyList_Check(v.items.ptr())) raise_type_error("CommerceIntelligence.items", "a list", v.items);
            return v;
          }),
          py::kw_only(), py::arg("summary") = py::none(), py::arg("items") = py::none(),
          "A result; without arguments the empty result (a default summary and no items).");
  const auto value = [](const py::object& self) -> Intelligence& { return record<Intelligence>(self, "self"); };
  cls.def_property(
      "summary", [value](const py::object& self) { return value(self).summary; },
      [value](const py::object& self, const py::object& summary) {
        (void)record<models::CommerceSummary>(summary, "CommerceIntelligence.summary");
        value(self).summary = summary;
      });
  cls.def_property(
      "items", [value](const py::object& self) { return value(self).items; },
      [value](const py::object& self, const py::object& items) {
        if (!PyList_Check(items.ptr())) raise_type_error("CommerceIntelligence.items", "a list", items);
        value(self).items = items;
      });
  cls.def("__repr__", [value](const py::object& self) {
    const Intelligence& v = value(self);
    return "CommerceIntelligence(summary=" + py::repr(v.summary).cast<std::string>() +
           ", items=" + py::repr(v.items).cast<std::string>() + ")";
  });
  cls.def("__eq__", [value](const py::object& self, const py::object& other) -> py::object {
    const Intelligence& a = value(self);
    if (!py::isinstance<Intelligence>(other)) return py::reinterpret_borrow<py::object>(Py_NotImplemented);
    const Intelligence& b = record<Intelligence>(other, "other");
    return py::bool_(a.summary.equal(b.summary) && a.items.equal(b.items));
  });
  cls.attr("__hash__") = py::none();
  add_json_methods<models::CommerceIntelligence>(
      cls, [](py::handle self) { return to_model(self, "CommerceIntelligence"); },
      [](models::CommerceIntelligence v) { return to_python(std::move(v)); });
  add_pickling(
      cls,
      [value](const py::object& self) {
        const Intelligence& v = value(self);
        return py::make_tuple(v.summary, v.items);
      },
      [](const py::tuple& state) {
        if (state.size() != 2) throw py::value_error("bad CommerceIntelligence state");
        return Intelligence{state[0], state[1]};
      });
}

}  // namespace

models::CommerceIntelligence to_model(py::handle h, std::string_view what) {
  const auto& v = record<Intelligence>(h, what);
  models::CommerceIntelligence out;
  out.summary = summary_of(v, what);
  out.items = items_of(v.items, std::string(what) + ".items");
  return out;
}

py::object to_python(models::CommerceIntelligence v) {
  return py::cast(Intelligence{py::cast(std::move(v.summary)), to_python(std::move(v.items))});
}

py::list to_python(std::vector<models::EnrichedCommerceMatch> items) {
  py::list out(items.size());
  for (std::size_t i = 0; i < items.size(); ++i) out[i] = py::cast(std::move(items[i]));
  return out;
}

std::vector<models::EnrichedCommerceMatch> items_of(py::handle h, std::string_view what) {
  return list_of(h, what, "EnrichedCommerceMatch", [](py::handle item, const std::string& item_what) {
    return record<models::EnrichedCommerceMatch>(item, item_what);
  });
}

// ---------------------------------------------------------------- the records

namespace {

// What the search engine gives: visual matches and shopping offers.
void bind_search_results(py::module_& m) {
  using namespace models;

  RecordClass<VisualMatch>(m, "VisualMatch", "korvane.models.lens", "One visual match of the search engine.")
      .field("link", &VisualMatch::link)
      .field("title", &VisualMatch::title)
      .field("source", &VisualMatch::source)
      .field("price", &VisualMatch::price)
      .field("currency", &VisualMatch::currency)
      .field("thumbnail", &VisualMatch::thumbnail)
      .field("in_stock", &VisualMatch::in_stock)
      .keyword_init({"link"})
      .repr()
      .equality()
      .json_model();

  RecordClass<ShoppingOffer>(m, "ShoppingOffer", "korvane.models.shopping", "One shopping result of the search engine.")
      .field("title", &ShoppingOffer::title)
      .field("link", &ShoppingOffer::link)
      .field("source", &ShoppingOffer::source)
      .field("price", &ShoppingOffer::price)
      .field("extracted_price", &ShoppingOffer::extracted_price)
      .field("currency", &ShoppingOffer::currency)
      .field("thumbnail", &ShoppingOffer::thumbnail)
      .field("rating", &ShoppingOffer::rating)
      .field("reviews", &ShoppingOffer::reviews)
      .field("delivery", &ShoppingOffer::delivery)
      .field("condition", &ShoppingOffer::condition)
      .field("in_stock", &ShoppingOffer::in_stock)
      .field("position", &ShoppingOffer::position)
      .keyword_init()
      .repr()
      .equality()
      .json_model();
}

// What enrichment makes: prices and items.
void bind_enriched_records(py::module_& m) {
  using namespace models;

  // Read-only: the constructor's checks are the only way in.
  RecordClass<NormalizedPrice> price(m, "NormalizedPrice", "korvane.models.commerce",
                                     "A price amount with its ISO 4217 currency code and the text it came from. "
                                     "Immutable; the amount must be finite and not negative (ValueError).");
  price.readonly("raw", &NormalizedPrice::raw)
      .readonly("amount", &NormalizedPrice::amount)
      .readonly("currency", &NormalizedPrice::currency)
      .repr()
      .equality()
      .json_model();
  // (raw and currency as model_validate reads them: empty when not given.)
  price.cls().def(py::init([](const py::object& raw, const py::object& amount, const py::object& currency) {
                    return NormalizedPrice(std::string(text_view(raw, "NormalizedPrice.raw")),
                                           number(amount, "NormalizedPrice.amount"),
                                           std::string(text_view(currency, "NormalizedPrice.currency")));
                  }),
                  py::kw_only(), py::arg("raw") = "", py::arg("amount"), py::arg("currency") = "");

  RecordClass<EnrichedCommerceMatch> item(m, "EnrichedCommerceMatch", "korvane.models.commerce",
                                          "One commerce item: a visual match or a shopping offer, enriched.");
  item.field("title", &EnrichedCommerceMatch::title)
      .field("direct_url", &EnrichedCommerceMatch::direct_url)
      .field("original_url", &EnrichedCommerceMatch::original_url)
      .field("price", &EnrichedCommerceMatch::price)
      .field("merchant_name", &EnrichedCommerceMatch::merchant_name)
      .field("merchant_category", &EnrichedCommerceMatch::merchant_category)
      .field("thumbnail", &EnrichedCommerceMatch::thumbnail)
      .field("match_score", &EnrichedCommerceMatch::match_score)
      .field("page_type", &EnrichedCommerceMatch::page_type)
      .field("brand", &EnrichedCommerceMatch::brand)
      .field("sku", &EnrichedCommerceMatch::sku)
      .field("condition", &EnrichedCommerceMatch::condition)
      .field("stock_status", &EnrichedCommerceMatch::stock_status)
      .field("primary_image_url", &EnrichedCommerceMatch::primary_image_url)
      .field("shipping_info", &EnrichedCommerceMatch::shipping_info)
      .field("source_engine", &EnrichedCommerceMatch::source_engine)
      .field("relevance", &EnrichedCommerceMatch::relevance)
      .keyword_init()
      .repr()
      .equality()
      .json_model();
  item.cls().def_static(
      "from_shopping_offer",
      [](const py::object& offer) {
        return EnrichedCommerceMatch::from_shopping_offer(record<ShoppingOffer>(offer, "offer"));
      },
      py::arg("offer"), "An item made from a shopping offer (source engine \"shopping\").");
}

}  // namespace

void bind_records(py::module_& m) {
  using namespace models;

  bind_search_results(m);
  bind_enriched_records(m);
  RecordClass<CommerceSummary>(m, "CommerceSummary", "korvane.models.commerce",
                               "The market summary of a result. The counts per category and page type are "
                               "read-only mappings; assign a new dict to change them.")
      .field("total_matches", &CommerceSummary::total_matches)
      .field("currency", &CommerceSummary::currency)
      .field("total_priced_matches", &CommerceSummary::total_priced_matches)
      .field("min_price", &CommerceSummary::min_price)
      .field("median_price", &CommerceSummary::median_price)
      .field("average_price", &CommerceSummary::average_price)
      .field("max_price", &CommerceSummary::max_price)
      .field("in_stock_count", &CommerceSummary::in_stock_count)
      .field("merchant_categories", &CommerceSummary::merchant_categories)
      .field("page_types", &CommerceSummary::page_types)
      .keyword_init()
      .repr()
      .equality()
      .json_model();

  bind_intelligence(m);

  RecordClass<relevance::RelevanceContext>(m, "RelevanceContext", "korvane.relevance",
                                           "What the caller searched for, when known.")
      .field("query", &relevance::RelevanceContext::query)
      .keyword_init()
      .repr();
}

}  // namespace korvane::python
