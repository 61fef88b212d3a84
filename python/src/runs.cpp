#include "bindings.hpp"
#include "records.hpp"

#include <korvane/commerce/input.hpp>
#include <korvane/commerce/json.hpp>
#include <korvane/commerce/run.hpp>
#include <korvane/core/fetcher.hpp>
#include <korvane/models/json.hpp>

#include <boost/json/object.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
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

// The fields of a korvane.core.fetcher.FetchOptions (read by name, each
// checked) into `options`: pace per host, retries, robots.txt, the cache's
// maximum age.
void apply_fetch_options(const py::handle& fetching, commerce::RunOptions& options) {
  const auto field = [&](const char* name) {
    if (!py::hasattr(fetching, name)) raise_type_error("fetching", "FetchOptions", fetching);
    return fetching.attr(name);
  };
  const long long per_host = integer(field("per_host"), "fetching.per_host");
  const long long retries = integer(field("retries"), "fetching.retries");
  if (per_host < 1) throw py::value_error("fetching.per_host must be at least 1");
  if (retries < 0) throw py::value_error("fetching.retries must not be negative");
  options.fetcher.max_per_host = static_cast<std::size_t>(per_host);
  options.fetcher.host_delay = number(field("host_delay"), "fetching.host_delay");
  options.fetcher.adaptive = boolean(field("adaptive"), "fetching.adaptive");
  options.fetcher.retries = static_cast<int>(std::min<long long>(retries, 100));
  options.fetcher.respect_robots = boolean(field("respect_robots"), "fetching.respect_robots");
  options.cache_max_age = number(field("cache_max_age"), "fetching.cache_max_age");
}

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
  py::object cache = py::none();     // a page cache file
  py::object fetching = py::none();  // a korvane.core.fetcher.FetchOptions

  [[nodiscard]] commerce::RunOptions options() const {
    commerce::RunOptions o;
    o.fetch_timeout = fetch_timeout;
    if (!pages.is_none()) o.pages = path(pages, "pages");
    if (!cache.is_none()) o.cache = path(cache, "cache");
    if (!fetching.is_none()) apply_fetch_options(fetching, o);
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

// The transport of a page folder, made once per process and folder (its
// manifest read again when it changed): the batches of a worker share one.
std::shared_ptr<const core::Transport> folder_transport(const std::filesystem::path& folder) {
  struct Made {
    std::filesystem::file_time_type written;
    std::uintmax_t size = 0;
    std::shared_ptr<const core::Transport> transport;
  };
  static std::mutex mutex;
  static std::map<std::filesystem::path, Made> made;
  const std::filesystem::path key = std::filesystem::weakly_canonical(folder);
  std::error_code error;
  const auto written = std::filesystem::last_write_time(key / "manifest.json", error);
  const auto size = std::filesystem::file_size(key / "manifest.json", error);
  const std::lock_guard lock(mutex);
  if (const auto it = made.find(key); !error && it != made.end() && it->second.written == written &&
                                      it->second.size == size) {
    return it->second.transport;
  }
  auto transport = core::make_directory_transport(key);
  if (!error) made[key] = Made{written, size, transport};
  return transport;
}

// The library's batch of enrichments over search results given as JSON
// texts: each read by the library's reader, its identity its "id" member or
// its number, its answer one JSON line.
class BatchRun final : public Run {
 public:
  struct Record {
    std::optional<long long> number;
    std::string text;
  };

  BatchRun(std::vector<Record> records, commerce::RunOptions options, std::size_t concurrency)
      : records_(std::move(records)), options_(std::move(options)), concurrency_(concurrency) {}

 protected:
  void call(const commerce::RunCallbacks& callbacks, std::stop_token stop) override {
    std::vector<commerce::EnrichRequest> requests;
    std::vector<std::optional<std::size_t>> request_of(records_.size());
    answers_.resize(records_.size());
    for (std::size_t i = 0; i < records_.size(); ++i) {
      Answer& answer = answers_[i];
      answer.id = identity(records_[i]);
      const std::string source = records_[i].number ? "line " + std::to_string(*records_[i].number) : "input";
      try {
        requests.push_back(commerce::read_search_result(records_[i].text, source));
        request_of[i] = requests.size() - 1;
      } catch (const Error& e) {
        answer.error = e.what();
      }
    }
    if (options_.pages && !options_.transport) options_.transport = folder_transport(*options_.pages);
    std::vector<commerce::BatchOutcome> outcomes =
        commerce::enrich_batch(std::move(requests), options_, callbacks, std::move(stop), concurrency_);
    for (std::size_t i = 0; i < records_.size(); ++i) {
      Answer& answer = answers_[i];
      boost::json::object line;
      line.emplace("id", answer.id);
      if (request_of[i] && outcomes[*request_of[i]].run) {
        const commerce::RunResult& run = *outcomes[*request_of[i]].run;
        boost::json::value result = models::to_json(run.result, {.exclude_none = true});
        line.emplace("summary", std::move(result.as_object()["summary"]));
        line.emplace("items", std::move(result.as_object()["items"]));
        answer.items = run.result.items.size();
        answer.priced = static_cast<std::size_t>(std::max(0, run.result.summary.total_priced_matches));
      } else {
        if (request_of[i]) answer.error = std::move(outcomes[*request_of[i]].error);
        line.emplace("error", *answer.error);
      }
      answer.line = models::json_text(line);
    }
  }

  // [(id, line, items, priced, error or None)], in the order of the records.
  py::object result() override {
    py::list answers;
    for (Answer& a : answers_) {
      answers.append(py::make_tuple(json_to_python(a.id), to_python(a.line), a.items, a.priced,
                                    a.error ? to_python(*a.error) : py::object(py::none())));
    }
    return answers;
  }

 private:
  struct Answer {
    boost::json::value id;
    std::string line;
    std::size_t items = 0;
    std::size_t priced = 0;
    std::optional<std::string> error;
  };

  // The record's "id" member when it is a JSON object with one, else its
  // number (null without one).
  static boost::json::value identity(const Record& record) {
    boost::system::error_code error;
    boost::json::value parsed = boost::json::parse(record.text, error);
    if (!error && parsed.is_object()) {
      if (auto* id = parsed.as_object().if_contains("id")) return std::move(*id);
    }
    return record.number ? boost::json::value(*record.number) : boost::json::value(nullptr);
  }

  std::vector<Record> records_;
  commerce::RunOptions options_;
  std::size_t concurrency_;
  std::vector<Answer> answers_;
};

// A search result as JSON text: a str or bytes as it is, other values (a
// dict, a list) written as JSON.
std::string result_text(py::handle h, const std::string& what) {
  if (PyBytes_Check(h.ptr())) return std::string(py::reinterpret_borrow<py::bytes>(h));
  if (PyUnicode_Check(h.ptr())) return std::string(text_view(h, what));
  if (!PyDict_Check(h.ptr()) && !PyList_Check(h.ptr())) raise_type_error(what, "str, bytes, dict or list", h);
  return boost::json::serialize(python_to_json(h, what));
}

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
         const py::object& timeout, const py::object& max_items, const py::object& cache,
         const py::object& fetching) -> std::unique_ptr<Run> {
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
                                   .max_items = Field<std::optional<long long>>::from(max_items, "max_items"),
                                   .cache = cache,
                                   .fetching = fetching};
        return std::make_unique<EnrichRun>(std::move(request), settings.options());
      },
      py::arg("matches"), py::arg("offers") = py::none(), py::kw_only(), py::arg("pages") = py::none(),
      py::arg("allow_private") = false, py::arg("resolve_stores") = true, py::arg("extended") = false,
      py::arg("timeout") = commerce::DEFAULT_FETCH_TIMEOUT, py::arg("max_items") = py::none(),
      py::arg("cache") = py::none(), py::arg("fetching") = py::none(),
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
      "batch_run",
      [](const py::object& records, const py::object& pages, const py::object& allow_private,
         const py::object& resolve_stores, const py::object& extended, const py::object& timeout,
         const py::object& concurrency, const py::object& cache, const py::object& fetching) -> std::unique_ptr<Run> {
        std::vector<BatchRun::Record> values =
            list_of(records, "records", "(number, result) pairs", [](py::handle h, const std::string& what) {
              if (!PyTuple_Check(h.ptr()) || PyTuple_GET_SIZE(h.ptr()) != 2) {
                raise_type_error(what, "a (number, result) pair", h);
              }
              const py::tuple pair = py::reinterpret_borrow<py::tuple>(h);
              BatchRun::Record record;
              if (!pair[0].is_none()) record.number = integer(pair[0], what + "[0]");
              record.text = result_text(pair[1], what + "[1]");
              return record;
            });
        const long long parallel = integer(concurrency, "concurrency");
        if (parallel < 1) throw py::value_error("concurrency must be at least 1");
        const RunSettings settings{.pages = pages,
                                   .allow_private = boolean(allow_private, "allow_private"),
                                   .resolve_stores = boolean(resolve_stores, "resolve_stores"),
                                   .extended = boolean(extended, "extended"),
                                   .fetch_timeout = number(timeout, "timeout"),
                                   .max_items = std::nullopt,
                                   .cache = cache,
                                   .fetching = fetching};
        return std::make_unique<BatchRun>(std::move(values), settings.options(),
                                          static_cast<std::size_t>(parallel));
      },
      py::arg("records"), py::kw_only(), py::arg("pages") = py::none(), py::arg("allow_private") = false,
      py::arg("resolve_stores") = true, py::arg("extended") = false,
      py::arg("timeout") = commerce::DEFAULT_FETCH_TIMEOUT,
      py::arg("concurrency") = commerce::DEFAULT_BATCH_CONCURRENCY, py::arg("cache") = py::none(),
      py::arg("fetching") = py::none(),
      "A batch of enrichments, one browser session for all; its result is a list of (id, JSON line, items, "
      "priced items, error or None), one per record.");

  m.def(
      "fetch_run",
      [](const py::object& urls, const py::object& timeout, const py::object& pages,
         const py::object& allow_private, const py::object& cache, const py::object& fetching) -> std::unique_ptr<Run> {
        std::vector<std::string> links = list_of(
            urls, "urls", "str", [](py::handle h, const std::string& what) { return std::string(text_view(h, what)); });
        const RunSettings settings{.pages = pages,
                                   .allow_private = boolean(allow_private, "allow_private"),
                                   .fetch_timeout = number(timeout, "timeout"),
                                   .max_items = std::nullopt,
                                   .cache = cache,
                                   .fetching = fetching};
        return std::make_unique<FetchRun>(std::move(links), settings.options());
      },
      py::arg("urls"), py::arg("timeout") = commerce::DEFAULT_FETCH_TIMEOUT, py::kw_only(),
      py::arg("pages") = py::none(), py::arg("allow_private") = false, py::arg("cache") = py::none(),
      py::arg("fetching") = py::none(),
      "A batch of page fetches; its result is a dict from each link to its HTML or None.");
}

}  // namespace korvane::python
