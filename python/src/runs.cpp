#include "bindings.hpp"
#include "records.hpp"

#include <korvane/commerce/batch.hpp>
#include <korvane/commerce/input.hpp>
#include <korvane/commerce/json.hpp>
#include <korvane/commerce/run.hpp>
#include <korvane/core/fetcher.hpp>
#include <korvane/models/json.hpp>


#include <algorithm>
#include <cerrno>
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

  // Calls it, holding the GIL, with the argument tuple that `arguments()`
  // (called with the GIL too) makes. A Python exception leaves as
  // py::error_already_set, which ends the library's run.
  template <class Arguments>
  void call(Arguments arguments) const {
    const py::gil_scoped_acquire locked;
    held_->fn(*arguments());
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

// The run's observers: `on_message(text)` for each progress message and
// `on_counts(phase, done, total)` for each count (None: not wanted).
commerce::RunCallbacks callbacks_of(const py::object& on_message, const py::object& on_counts) {
  commerce::RunCallbacks callbacks;
  if (!on_message.is_none()) {
    callbacks.on_message = [fn = PythonCallable(on_message)](const std::string& message) {
      fn.call([&] { return py::make_tuple(to_python(message)); });
    };
  }
  if (!on_counts.is_none()) {
    callbacks.on_progress = [fn = PythonCallable(on_counts)](const commerce::RunProgress& counts) {
      fn.call([&] { return py::make_tuple(to_python(commerce::to_string(counts.phase)), counts.done, counts.total); });
    };
  }
  return callbacks;
}

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

  py::object run(const py::object& on_message, const py::object& on_counts) {
    if (started_) throw std::runtime_error("a run runs once");
    started_ = true;
    const commerce::RunCallbacks callbacks = callbacks_of(on_message, on_counts);
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

// Raises the OSError `type` as open() would: (errno, message, path).
[[noreturn]] void raise_os_error(PyObject* type, int error, const char* message, const std::filesystem::path& at) {
  const py::object exception = py::reinterpret_borrow<py::object>(type)(error, message, path_to_python(at));
  PyErr_SetObject(type, exception.ptr());
  throw py::error_already_set();
}

// A page folder is checked when the run is made: FileNotFoundError when it
// or its manifest.json is missing, NotADirectoryError for a file.
void check_page_folder(const std::filesystem::path& folder) {
  std::error_code ignored;
  const auto status = std::filesystem::status(folder, ignored);
  if (!std::filesystem::exists(status)) raise_os_error(PyExc_FileNotFoundError, ENOENT, "No such page folder", folder);
  if (!std::filesystem::is_directory(status)) {
    raise_os_error(PyExc_NotADirectoryError, ENOTDIR, "Not a page folder", folder);
  }
  if (!std::filesystem::is_regular_file(folder / "manifest.json", ignored)) {
    raise_os_error(PyExc_FileNotFoundError, ENOENT, "No manifest.json in this page folder", folder / "manifest.json");
  }
}

// The settings of a run: the fields of a korvane.commerce.settings.RunSettings
// (read by name, each checked), and the store settings of the resolver's
// arguments.
struct RunSettings {
  py::object pages = py::none();
  bool allow_private = false;
  bool resolve_stores = true;
  bool extended = false;
  double fetch_timeout = commerce::DEFAULT_FETCH_TIMEOUT;
  int store_tabs = commerce::DEFAULT_STORE_TABS;
  int store_timeout = commerce::DEFAULT_STORE_TIMEOUT;
  // Fetching at scale: pace per host, retries, robots.txt, the page cache.
  core::FetcherOptions fetching{};
  py::object cache = py::none();
  double cache_max_age = core::DEFAULT_CACHE_MAX_AGE;

  static RunSettings of(const py::handle& settings) {
    const auto field = [&](const char* name) {
      if (!py::hasattr(settings, name)) raise_type_error("settings", "RunSettings", settings);
      return settings.attr(name);
    };
    RunSettings run{.pages = field("pages"),
                    .allow_private = boolean(field("allow_private"), "settings.allow_private"),
                    .resolve_stores = boolean(field("resolve_stores"), "settings.resolve_stores"),
                    .extended = boolean(field("extended"), "settings.extended"),
                    .fetch_timeout = number(field("timeout"), "settings.timeout")};
    const long long per_host = integer(field("per_host"), "settings.per_host");
    const long long retries = integer(field("retries"), "settings.retries");
    if (per_host < 1) throw py::value_error("settings.per_host must be at least 1");
    if (retries < 0) throw py::value_error("settings.retries must not be negative");
    run.fetching.max_per_host = static_cast<std::size_t>(per_host);
    run.fetching.host_delay = number(field("host_delay"), "settings.host_delay");
    run.fetching.adaptive = boolean(field("adaptive"), "settings.adaptive");
    // (More than a hundred retries of one page is no retry policy.)
    run.fetching.retries = static_cast<int>(std::min<long long>(retries, 100));
    run.fetching.respect_robots = boolean(field("respect_robots"), "settings.respect_robots");
    run.cache = field("cache");
    run.cache_max_age = number(field("cache_max_age"), "settings.cache_max_age");
    return run;
  }

  [[nodiscard]] commerce::RunOptions options() const {
    commerce::RunOptions o;
    o.fetch_timeout = fetch_timeout;
    if (!pages.is_none()) {
      o.pages = path(pages, "settings.pages");
      check_page_folder(*o.pages);
    }
    o.fetcher = fetching;
    if (!cache.is_none()) o.cache = path(cache, "settings.cache");
    o.cache_max_age = cache_max_age;
    o.allow_private_addresses = allow_private;
    o.resolve_stores = resolve_stores;
    o.extraction = extended ? commerce::ExtractionMode::extended : commerce::ExtractionMode::standard;
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
// texts, answered as JSON lines (enrich_batch_lines).
class BatchRun final : public Run {
 public:
  BatchRun(std::vector<commerce::BatchInput> inputs, commerce::RunOptions options, std::size_t concurrency)
      : inputs_(std::move(inputs)), options_(std::move(options)), concurrency_(concurrency) {}

 protected:
  void call(const commerce::RunCallbacks& callbacks, std::stop_token stop) override {
    if (options_.pages && !options_.transport) options_.transport = folder_transport(*options_.pages);
    lines_ = commerce::enrich_batch_lines(std::move(inputs_), options_, callbacks, std::move(stop), concurrency_);
  }

  // [(id, line, items, priced, error or None)], in the order of the inputs;
  // the id as Python's json module reads it (an integer of any size stays
  // an int).
  py::object result() override {
    const py::object loads = py::module_::import("json").attr("loads");
    py::list answers;
    for (commerce::BatchLine& a : lines_) {
      answers.append(py::make_tuple(loads(to_python(a.id)), to_python(a.line), a.items, a.priced,
                                    a.error ? to_python(*a.error) : py::object(py::none())));
    }
    return answers;
  }

 private:
  std::vector<commerce::BatchInput> inputs_;
  commerce::RunOptions options_;
  std::size_t concurrency_;
  std::vector<commerce::BatchLine> lines_;
};

// A search result as JSON text: a str or bytes as it is, other values (a
// dict, a list) written as JSON.
std::string result_text(py::handle h, const std::string& what) {
  if (PyBytes_Check(h.ptr())) return std::string(py::reinterpret_borrow<py::bytes>(h));
  if (PyUnicode_Check(h.ptr())) return std::string(text_view(h, what));
  if (!PyDict_Check(h.ptr()) && !PyList_Check(h.ptr())) raise_type_error(what, "str, bytes, dict or list", h);
  // Python's own JSON writer: it keeps integers of any size (an "id", say);
  // records inside are written in their JSON form.
  const py::cpp_function record_form(
      [](const py::object& value) { return json_to_python(python_to_json(value, "value")); });
  return py::str(py::module_::import("json").attr("dumps")(h, py::arg("default") = record_form)).cast<std::string>();
}

std::vector<models::VisualMatch> matches_of(const py::object& matches) {
  return list_of(matches, "matches", "VisualMatch", [](py::handle h, const std::string& what) {
    return record<models::VisualMatch>(h, what);
  });
}

// enrich_run(matches, offers, settings, *, max_items)
std::unique_ptr<Run> enrich_run(const py::object& matches, const py::object& offers, const py::object& settings,
                                const py::object& max_items) {
  commerce::EnrichRequest request{.matches = matches_of(matches), .offers = std::nullopt};
  if (!offers.is_none()) {
    request.offers = list_of(offers, "offers", "ShoppingOffer", [](py::handle h, const std::string& what) {
      return record<models::ShoppingOffer>(h, what);
    });
  }
  commerce::RunOptions options = RunSettings::of(settings).options();
  options.max_items = Field<std::optional<long long>>::from(max_items, "max_items");
  return std::make_unique<EnrichRun>(std::move(request), std::move(options));
}

// resolve_run(items, max_concurrency, timeout, settings)
std::unique_ptr<Run> resolve_run(const py::object& items, const py::object& max_concurrency,
                                 const py::object& timeout, const py::object& settings) {
  // A list of our own (py::list(items) would share a list), read once.
  py::list records =
      py::reinterpret_steal<py::list>(PySequence_List(elements(items, "items", "EnrichedCommerceMatch").ptr()));
  if (!records) throw py::error_already_set();
  std::vector<models::EnrichedCommerceMatch> values = items_of(records, "items");
  RunSettings run = RunSettings::of(settings);
  run.store_tabs = Field<int>::from(max_concurrency, "max_concurrency");
  run.store_timeout = Field<int>::from(timeout, "timeout");
  return std::make_unique<ResolveRun>(std::move(records), std::move(values), run.options());
}

// A batch record: a (number or None, search result) pair.
commerce::BatchInput batch_input(py::handle h, const std::string& what) {
  if (!PyTuple_Check(h.ptr()) || PyTuple_GET_SIZE(h.ptr()) != 2) raise_type_error(what, "a (number, result) pair", h);
  const py::tuple pair = py::reinterpret_borrow<py::tuple>(h);
  commerce::BatchInput input;
  if (!pair[0].is_none()) input.number = integer(pair[0], what + "[0]");
  input.text = result_text(pair[1], what + "[1]");
  return input;
}

// batch_run(records, settings, *, concurrency)
std::unique_ptr<Run> batch_run(const py::object& records, const py::object& settings,
                               const py::object& concurrency) {
  std::vector<commerce::BatchInput> values = list_of(records, "records", "(number, result) pairs", batch_input);
  const long long parallel = integer(concurrency, "concurrency");
  if (parallel < 1) throw py::value_error("concurrency must be at least 1");
  return std::make_unique<BatchRun>(std::move(values), RunSettings::of(settings).options(),
                                    static_cast<std::size_t>(parallel));
}

// fetch_run(urls, settings)
std::unique_ptr<Run> fetch_run(const py::object& urls, const py::object& settings) {
  std::vector<std::string> links = list_of(
      urls, "urls", "str", [](py::handle h, const std::string& what) { return std::string(text_view(h, what)); });
  return std::make_unique<FetchRun>(std::move(links), RunSettings::of(settings).options());
}

}  // namespace

void bind_runs(py::module_& m) {
  py::class_<Run>(m, "Run",
                  "One blocking library call: run(on_message, on_counts) makes it without the GIL (call it on "
                  "a thread of its own) and returns its result; stop() asks it to end from any thread, after which "
                  "run() raises korvane.errors.CancelledError once the browser is closed.")
      .def(
          "run",
          [](const py::object& self, const py::object& on_message, const py::object& on_counts) {
            return record<Run>(self, "self").run(on_message, on_counts);
          },
          py::arg("on_message") = py::none(), py::arg("on_counts") = py::none())
      .def("stop", [](const py::object& self) { record<Run>(self, "self").stop(); });

  m.def("enrich_run", &enrich_run, py::arg("matches"), py::arg("offers"), py::arg("settings"), py::kw_only(),
        py::arg("max_items") = py::none(),
        "A run of the whole pipeline; its result is (CommerceIntelligence, report dict).");
  m.def("resolve_run", &resolve_run, py::arg("items"), py::arg("max_concurrency"), py::arg("timeout"),
        py::arg("settings"), "A store resolution of the items; its result is a new list of the same records.");
  m.def("batch_run", &batch_run, py::arg("records"), py::arg("settings"), py::kw_only(),
        py::arg("concurrency") = commerce::DEFAULT_BATCH_CONCURRENCY,
        "A batch of enrichments, one browser session for all; its result is a list of (id, JSON line, items, "
        "priced items, error or None), one per record.");
  m.def("fetch_run", &fetch_run, py::arg("urls"), py::arg("settings"),
        "A batch of page fetches; its result is a dict from each link to its HTML or None.");
}

}  // namespace korvane::python
