#include "bindings.hpp"
#include "records.hpp"

#include <korvane/commerce/json.hpp>
#include <korvane/commerce/run.hpp>

#include <memory>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

namespace korvane::python {
namespace {

// A Python callable that C++ may copy and destroy without holding the GIL:
// the one reference it holds is released with the GIL by the last copy.
class PythonCallable {
 public:
  explicit PythonCallable(py::object fn) : held_(std::make_shared<Held>(std::move(fn))) {}

  // Calls it with `msg`, holding the GIL for the call. A Python exception
  // leaves as py::error_already_set, which ends the library's run.
  void operator()(std::string msg) const {
    const py::gil_scoped_acquire locked;
    held_->fn(to_python(msg));
  }

 private:
  struct Held {
    py::object fn;
    explicit Held(py::object f) : fn(std::move(f)) {}
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    ~Held() {
      const py::gil_scoped_acquire locked;
      fn = py::object();
    }
  };
  std::shared_ptr<const Held> held_;
};

// One blocking library call, for a thread of its own: the arguments are
// converted when the run is made (with the GIL, so a wrong argument fails at
// once), run() makes the call without the GIL and returns its result as
// Python objects, and stop() asks it to end from any thread (the library
// then throws CancelledError once it has released what it held).
class Run {
 public:
  Run() = default;
  Run(const Run&) = delete;
  Run& operator=(const Run&) = delete;
  virtual ~Run() = default;

  py::object run(const py::object& on_message) {
    if (started_) throw std::runtime_error("a run runs once");
    started_ = true;
    commerce::RunCallbacks callbacks;
    if (!on_message.is_none()) callbacks.on_message = PythonCallable(on_message);
    {
      const py::gil_scoped_release unlocked;
      call(callbacks, stop_.get_token());
    }
    return result();
  }

  void stop() noexcept { stop_.request_stop(); }

 protected:
  // The library call; without the GIL.
  virtual void call(const commerce::RunCallbacks& callbacks, std::stop_token stop) = 0;
  // Its result; with the GIL.
  virtual py::object result() = 0;

 private:
  std::stop_source stop_;
  bool started_ = false;  // read and written with the GIL
};

// The settings of a run from the keyword arguments of the Python calls.
struct RunSettings {
  py::object pages = py::none();
  bool allow_private = false;
  bool resolve_stores = true;
  bool extended = false;
  double fetch_timeout = commerce::DEFAULT_FETCH_TIMEOUT;
  std::optional<long long> max_items;
  int store_tabs = commerce::DEFAULT_STORE_TABS;
  int store_timeout = commerce::DEFAULT_STORE_TIMEOUT;

  [[nodiscard]] commerce::RunOptions options() const {
    commerce::RunOptions o;
    o.fetch_timeout = fetch_timeout;
    if (!pages.is_none()) o.pages = path(pages, "pages");
    o.allow_private_addresses = allow_private;
    o.resolve_stores = resolve_stores;
    o.extraction = extended ? commerce::ExtractionMode::extended : commerce::ExtractionMode::standard;
    o.max_items = max_items;
    o.store_tabs = store_tabs;
    o.store_timeout = store_timeout;
    return o;
  }
};

// CommerceEnricher.process and enrich(): the whole pipeline.
class EnrichRun final : public Run {
 public:
  EnrichRun(commerce::EnrichRequest request, commerce::RunOptions options)
      : request_(std::move(request)), options_(std::move(options)) {}

 protected:
  void call(const commerce::RunCallbacks& callbacks, std::stop_token stop) override {
    result_ = commerce::enrich(std::move(request_), options_, callbacks, std::move(stop));
  }
  // (CommerceIntelligence, report as a dict)
  py::object result() override {
    py::object report = json_to_python(commerce::to_json(result_->report));
    return py::make_tuple(to_python(std::move(result_->result)), std::move(report));
  }

 private:
  commerce::EnrichRequest request_;
  commerce::RunOptions options_;
  std::optional<commerce::RunResult> result_;
};

// DirectStoreResolver.resolve: the items' links resolved by value, then
// written back into the caller's records.
class ResolveRun final : public Run {
 public:
  ResolveRun(py::list records, std::vector<models::EnrichedCommerceMatch> items, commerce::RunOptions options)
      : records_(std::move(records)), items_(std::move(items)), options_(std::move(options)) {}

 protected:
  void call(const commerce::RunCallbacks& callbacks, std::stop_token stop) override {
    result_ = commerce::resolve_store_links(std::move(items_), options_, callbacks, std::move(stop));
  }
  // A new list of the same records, their direct_url changed where a product
  // link was found.
  py::object result() override {
    for (std::size_t i = 0; i < result_->items.size(); ++i) {
      records_[i].cast<models::EnrichedCommerceMatch&>().direct_url = std::move(result_->items[i].direct_url);
    }
    return records_;
  }

 private:
  py::list records_;  // the caller's records, in a list of our own
  std::vector<models::EnrichedCommerceMatch> items_;
  commerce::RunOptions options_;
  std::optional<commerce::ResolveResult> result_;
};

// ConcurrentFetcher.fetch_many: link to page or None, in the order given.
class FetchRun final : public Run {
 public:
  FetchRun(std::vector<std::string> urls, commerce::RunOptions options)
      : urls_(std::move(urls)), options_(std::move(options)) {}

 protected:
  void call(const commerce::RunCallbacks&, std::stop_token stop) override {
    report_ = commerce::fetch_pages(urls_, options_, std::move(stop));
  }
  py::object result() override {
    py::dict pages;
    for (const std::string& url : urls_) {
      const auto page = report_->pages.find(url);
      pages[to_python(url)] = page != report_->pages.end() ? Field<std::optional<std::string>>::to(page->second)
                                                            : py::object(py::none());
    }
    return pages;
  }

 private:
  std::vector<std::string> urls_;
  commerce::RunOptions options_;
  std::optional<core::FetchReport> report_;
};

std::vector<models::VisualMatch> matches_of(const py::object& matches) {
  return list_of(matches, "matches", "VisualMatch", [](py::handle h, const std::string& what) {
    return record<models::VisualMatch>(h, what);
  });
}

}  // namespace

void bind_runs(py::module_& m) {
  py::class_<Run>(m, "Run",
                  "One blocking library call: run(on_message) makes it without the GIL (call it on a thread "
                  "of its own) and returns its result; stop() asks it to end from any thread, after which "
                  "run() raises korvane.errors.CancelledError once the browser is closed.")
      .def("run", &Run::run, py::arg("on_message") = py::none())
      .def("stop", &Run::stop);

  m.def(
      "enrich_run",
      [](const py::object& matches, const py::object& offers, const py::object& pages,
         const py::object& allow_private, const py::object& resolve_stores, const py::object& extended,
         const py::object& timeout, const py::object& max_items) -> std::unique_ptr<Run> {
        commerce::EnrichRequest request{.matches = matches_of(matches), .offers = std::nullopt};
        if (!offers.is_none()) {
          request.offers = list_of(offers, "offers", "ShoppingOffer", [](py::handle h, const std::string& what) {
            return record<models::ShoppingOffer>(h, what);
          });
        }
        const RunSettings settings{.pages = pages,
                                   .allow_private = boolean(allow_private, "allow_private"),
                                   .resolve_stores = boolean(resolve_stores, "resolve_stores"),
                                   .extended = boolean(extended, "extended"),
                                   .fetch_timeout = number(timeout, "timeout"),
                                   .max_items = Field<std::optional<long long>>::from(max_items, "max_items")};
        return std::make_unique<EnrichRun>(std::move(request), settings.options());
      },
      py::arg("matches"), py::arg("offers") = py::none(), py::kw_only(), py::arg("pages") = py::none(),
      py::arg("allow_private") = false, py::arg("resolve_stores") = true, py::arg("extended") = false,
      py::arg("timeout") = commerce::DEFAULT_FETCH_TIMEOUT, py::arg("max_items") = py::none(),
      "A run of the whole pipeline; its result is (CommerceIntelligence, report dict).");

  m.def(
      "resolve_run",
      [](const py::object& items, const py::object& max_concurrency, const py::object& timeout,
         const py::object& allow_private) -> std::unique_ptr<Run> {
        std::vector<models::EnrichedCommerceMatch> values = items_of(items, "items");
        const RunSettings settings{.allow_private = boolean(allow_private, "allow_private"),
                                   .max_items = std::nullopt,
                                   .store_tabs = Field<int>::from(max_concurrency, "max_concurrency"),
                                   .store_timeout = Field<int>::from(timeout, "timeout")};
        // A list of our own (py::list(items) would share a list).
        py::list records = py::reinterpret_steal<py::list>(PySequence_List(items.ptr()));
        if (!records) throw py::error_already_set();
        return std::make_unique<ResolveRun>(std::move(records), std::move(values), settings.options());
      },
      py::arg("items"), py::arg("max_concurrency") = commerce::DEFAULT_STORE_TABS,
      py::arg("timeout") = commerce::DEFAULT_STORE_TIMEOUT, py::kw_only(), py::arg("allow_private") = false,
      "A store resolution of the items; its result is a new list of the same records.");

  m.def(
      "fetch_run",
      [](const py::object& urls, const py::object& timeout, const py::object& pages,
         const py::object& allow_private) -> std::unique_ptr<Run> {
        std::vector<std::string> links = list_of(
            urls, "urls", "str", [](py::handle h, const std::string& what) { return std::string(text_view(h, what)); });
        const RunSettings settings{.pages = pages,
                                   .allow_private = boolean(allow_private, "allow_private"),
                                   .fetch_timeout = number(timeout, "timeout"),
                                   .max_items = std::nullopt};
        return std::make_unique<FetchRun>(std::move(links), settings.options());
      },
      py::arg("urls"), py::arg("timeout") = commerce::DEFAULT_FETCH_TIMEOUT, py::kw_only(),
      py::arg("pages") = py::none(), py::arg("allow_private") = false,
      "A batch of page fetches; its result is a dict from each link to its HTML or None.");
}

}  // namespace korvane::python
