#include <korvane/commerce/run.hpp>

#include <korvane/browser/session.hpp>
#include <korvane/commerce/json.hpp>
#include <korvane/commerce/resolver.hpp>

#include <boost/asio/this_coro.hpp>
#include <boost/json/array.hpp>
#include <boost/json/object.hpp>

#include "async/semaphore.hpp"
#include "commerce/async_runtime.hpp"
#include "commerce/metadata/parsed_page.hpp"
#include "commerce/pipeline.hpp"
#include "text/enum_text.hpp"

#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <exception>

namespace korvane::commerce {

std::string_view to_string(RunPhase phase) noexcept {
  switch (phase) {
    case RunPhase::fetching: return "fetching";
    case RunPhase::parsing: return "parsing";
    case RunPhase::resolving: return "resolving";
  }
  return {};
}

std::string_view to_string(StoreOutcome outcome) noexcept {
  switch (outcome) {
    case StoreOutcome::resolved: return "resolved";
    case StoreOutcome::no_match: return "no_match";
    case StoreOutcome::no_links: return "no_links";
    case StoreOutcome::page_refused: return "page_refused";
    case StoreOutcome::failed: return "failed";
    case StoreOutcome::not_crawled: return "not_crawled";
    case StoreOutcome::browser_unavailable: return "browser_unavailable";
    case StoreOutcome::host_not_found: return "host_not_found";
  }
  return {};
}

template <class Enum>
std::optional<Enum> enum_from_string(std::string_view text) noexcept {
  return text::enum_from_text<Enum>(text);
}
template std::optional<RunPhase> enum_from_string<RunPhase>(std::string_view) noexcept;
template std::optional<StoreOutcome> enum_from_string<StoreOutcome>(std::string_view) noexcept;

std::size_t ResolveReport::stores_resolved() const noexcept {
  return static_cast<std::size_t>(std::count_if(stores.begin(), stores.end(), [](const StoreAttempt& a) {
    return a.outcome == StoreOutcome::resolved;
  }));
}

std::size_t ResolveReport::stores_failed() const noexcept {
  return static_cast<std::size_t>(std::count_if(stores.begin(), stores.end(), [](const StoreAttempt& a) {
    return a.outcome == StoreOutcome::failed || a.outcome == StoreOutcome::browser_unavailable ||
           a.outcome == StoreOutcome::host_not_found;
  }));
}

boost::json::value to_json(const RunReport& report) {
  boost::json::array missed;
  for (const auto& miss : report.pages_missed) {
    boost::json::object o{{"url", miss.url},
                          {"reason", core::to_string(miss.reason)},
                          {"detail", miss.detail},
                          {"match", miss.match}};
    if (miss.retries > 0) o.emplace("retries", miss.retries);
    missed.push_back(std::move(o));
  }
  boost::json::array stores;
  for (const auto& attempt : report.stores.stores) {
    boost::json::object o{{"search_url", attempt.search_url}, {"outcome", to_string(attempt.outcome)}};
    if (attempt.product_url) o.emplace("product_url", *attempt.product_url);
    o.emplace("score", attempt.score);
    if (!attempt.detail.empty()) o.emplace("detail", attempt.detail);
    o.emplace("items", attempt.items);
    stores.push_back(std::move(o));
  }
  boost::json::object json{
      {"matches", report.matches},
      {"pages_requested", report.pages_requested},
      {"pages_fetched", report.pages_fetched},
      {"pages_missed", std::move(missed)},
      {"pages_from_cache", report.fetch_counts.from_cache},
      {"pages_revalidated", report.fetch_counts.revalidated},
      {"retries", report.fetch_counts.retries},
      {"robots_refused", report.fetch_counts.robots_refused},
      {"store_candidates", report.stores.candidates},
      {"items_resolved", report.stores.items_resolved},
      {"stores", std::move(stores)},
      {"seconds", boost::json::object{{"fetch", report.fetch_time.count()},
                                      {"parse", report.parse_time.count()},
                                      {"resolve", report.resolve_time.count()},
                                      {"total", report.total_time.count()}}}};
  if (!report.cache_problem.empty()) json.emplace("cache_problem", report.cache_problem);
  return json;
}

namespace detail {

core::ConcurrentFetcher fetcher_of(const RunOptions& options) {
  if (options.shared_fetcher) return *options.shared_fetcher;  // a copy shares all it holds
  core::FetcherOptions fetcher = options.fetcher;
  fetcher.allow_private_addresses = fetcher.allow_private_addresses || options.allow_private_addresses;
  std::shared_ptr<const core::Transport> transport = options.transport;
  if (!transport && options.pages) transport = core::make_directory_transport(*options.pages);
  std::shared_ptr<core::PageCache> cache;
  if (options.cache) {
    cache = core::PageCache::open(*options.cache, {.max_age = options.cache_max_age, .max_bytes = options.cache_max_bytes});
  }
  return core::ConcurrentFetcher(std::move(fetcher), std::move(transport), std::move(cache));
}

browser::SessionFactory session_factory_of(const RunOptions& options) {
  if (options.session_factory) return options.session_factory;
  browser::SessionOptions browser = options.browser;
  browser.allow_private_addresses = browser.allow_private_addresses || options.allow_private_addresses;
  return browser::stealth_session_factory(std::move(browser));
}

}  // namespace detail

RunResult enrich(EnrichRequest request, const RunOptions& options, const RunCallbacks& callbacks,
                 std::stop_token stop) {
  ProgressCallback on_message;
  if (callbacks.on_message) on_message = callbacks.on_message;
  return detail::run_coroutine(
      detail::run_pipeline(std::move(request), options, std::move(on_message), callbacks.on_progress, nullptr),
      std::move(stop));
}

core::FetchReport fetch_pages(std::vector<std::string> urls, const RunOptions& options, std::stop_token stop) {
  return detail::run_coroutine(
      [](std::vector<std::string> links, RunOptions run_options) -> awaitable<core::FetchReport> {
        const core::ConcurrentFetcher fetcher = detail::fetcher_of(run_options);
        co_return co_await fetcher.fetch(std::move(links), run_options.fetch_timeout);
      }(std::move(urls), options),
      std::move(stop));
}

namespace {

// The browser of a batch: one session, opened by the first run that asks for
// it and shared by all. Every run gets its own handle (SharedSession) from
// the batch's session factory; the handles' enter() and exit() only take and
// drop the shared session, close() ends it. Tabs are handed out by a permit
// per page, first come first served, so a crawl waits for a free tab without
// a deadline instead of timing out in the session's own queue while the
// crawls of other runs hold the tabs. All on the batch's one thread.
class BatchBrowser {
 public:
  BatchBrowser(boost::asio::any_io_executor executor, browser::SessionFactory factory)
      : executor_(std::move(executor)), factory_(std::move(factory)), opening_(executor_, 1) {}

  // The open session, opened now when there is none or its browser has died.
  // A failure to open is kept and thrown to every later caller, as each run
  // on its own would meet it again; a cancelled opening is not kept.
  [[nodiscard]] awaitable<std::shared_ptr<browser::Session>> open(int max_pages, int timeout_ms) {
    const auto permit = co_await opening_.scoped_acquire();
    if (failure_) std::rethrow_exception(failure_);
    if (session_ && !browser_died(*session_)) co_return session_;
    if (session_) {
      const std::shared_ptr<browser::Session> dead = std::move(session_);
      co_await dead->exit();
    }
    std::shared_ptr<browser::Session> session;
    std::exception_ptr failure;
    try {
      session = factory_(max_pages, timeout_ms);
      if (!session) throw BrowserUnavailableError("the session factory made no session");
      co_await session->enter();
    } catch (...) {
      failure = std::current_exception();
    }
    if (failure) {
      if (session) co_await session->exit();
      if (!detail::is_cancellation(failure)) failure_ = failure;
      std::rethrow_exception(failure);
    }
    if (!tabs_) tabs_.emplace(executor_, static_cast<std::size_t>(std::max(1, max_pages)));
    session_ = std::move(session);
    co_return session_;
  }

  // A tab permit, held by the page it is given to.
  [[nodiscard]] awaitable<async::Semaphore::Permit> tab() { return tabs_->scoped_acquire(); }

  // Ends the session; never throws.
  [[nodiscard]] awaitable<void> close() {
    if (const std::shared_ptr<browser::Session> session = std::move(session_)) co_await session->exit();
  }

 private:
  // A Chromium session whose browser process is gone (crashed or killed):
  // reaped by the session, or ended and not yet seen by it (it notices on a
  // later turn of the loop; waitid with WNOWAIT leaves the process to it).
  static bool browser_died(const browser::Session& session) noexcept {
    const auto* chromium = dynamic_cast<const browser::AsyncStealthySession*>(&session);
    if (chromium == nullptr) return false;
    const std::optional<int> pid = chromium->browser_pid();
    if (!pid) return true;
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(*pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) return errno == ECHILD;
    return info.si_pid == *pid;
  }

  boost::asio::any_io_executor executor_;
  browser::SessionFactory factory_;
  async::Semaphore opening_;
  std::optional<async::Semaphore> tabs_;
  std::shared_ptr<browser::Session> session_;
  std::exception_ptr failure_;
};

// A page of the shared session with the tab permit it holds.
class SharedPage final : public browser::Page {
 public:
  SharedPage(async::Semaphore::Permit permit, std::unique_ptr<browser::Page> page)
      : permit_(std::move(permit)), page_(std::move(page)) {}

  [[nodiscard]] std::optional<int> status() const override { return page_->status(); }
  [[nodiscard]] awaitable<std::vector<std::unique_ptr<browser::Element>>> css(std::string selector) override {
    return page_->css(std::move(selector));
  }

 private:
  async::Semaphore::Permit permit_;  // given back after the page (declared first, destroyed last)
  std::unique_ptr<browser::Page> page_;
};

// One run's handle on the batch's session.
class SharedSession final : public browser::Session {
 public:
  SharedSession(std::shared_ptr<BatchBrowser> browser, int max_pages, int timeout_ms)
      : browser_(std::move(browser)), max_pages_(max_pages), timeout_ms_(timeout_ms) {}

  [[nodiscard]] awaitable<void> enter() override { session_ = co_await browser_->open(max_pages_, timeout_ms_); }

  [[nodiscard]] awaitable<std::unique_ptr<browser::Page>> fetch(std::string url) override {
    return fetch_when_ready(std::move(url), {});
  }

  [[nodiscard]] awaitable<std::unique_ptr<browser::Page>> fetch_when_ready(std::string url,
                                                                            browser::ReadyWhen ready) override {
    // (The session is held here too: the batch may replace a dead one meanwhile.)
    const std::shared_ptr<browser::Session> session = session_;
    if (!session) throw BrowserError("the browser session is not entered");
    async::Semaphore::Permit permit = co_await browser_->tab();
    std::unique_ptr<browser::Page> page = co_await session->fetch_when_ready(std::move(url), std::move(ready));
    if (!page) co_return nullptr;
    co_return std::make_unique<SharedPage>(std::move(permit), std::move(page));
  }

  // Leaves the shared session open for the other runs.
  [[nodiscard]] awaitable<void> exit() override {
    session_.reset();
    co_return;
  }

 private:
  std::shared_ptr<BatchBrowser> browser_;
  int max_pages_;
  int timeout_ms_;
  std::shared_ptr<browser::Session> session_;
};

// The page texts a batch keeps parsed for its later runs: the pages of a few
// dozen results (a page is 0.1 to 1 MB of text; its parsed data adds less
// than that again), while a worker's whole batch stays far below its
// memory.
constexpr std::size_t kBatchPageBudget = std::size_t{64} << 20;

// What the runs of a batch share.
struct Batch {
  std::vector<EnrichRequest> requests;
  std::vector<BatchOutcome> outcomes;
  RunOptions options;
  ProgressCallback on_message;
  detail::CountObserver on_counts;
  detail::ParsedPageCache pages{kBatchPageBudget};  // the same product searched again finds its pages parsed
  std::size_t next = 0;  // the next request to start
};

// Runs requests one after the other, taking the next one not yet started,
// until none is left; a request's failure is its outcome, a cancellation of
// the batch ends the worker.
awaitable<void> batch_worker(Batch& batch) {
  while (batch.next < batch.requests.size()) {
    co_await detail::throw_if_cancelled();
    const std::size_t i = batch.next++;
    std::exception_ptr failure;
    try {
      RunResult run = co_await detail::run_pipeline(std::move(batch.requests[i]), batch.options, batch.on_message,
                                                    batch.on_counts, &batch.pages);
      batch.outcomes[i].run.emplace(std::move(run));
    } catch (...) {
      failure = std::current_exception();
    }
    if (!failure) continue;
    const auto state = co_await boost::asio::this_coro::cancellation_state;
    if (state.cancelled() != boost::asio::cancellation_type::none) std::rethrow_exception(failure);
    batch.outcomes[i].error = detail::message_of(failure);
  }
}

awaitable<std::vector<BatchOutcome>> run_batch(std::vector<EnrichRequest> requests, RunOptions options,
                                               RunCallbacks callbacks, std::size_t concurrency) {
  Batch batch;
  batch.outcomes.resize(requests.size());
  batch.requests = std::move(requests);
  if (batch.requests.empty()) co_return std::move(batch.outcomes);

  // One fetcher for every run: a page folder's manifest is read once, and
  // the runs share the pace per host, what robots.txt said and the cache.
  batch.options = std::move(options);
  if (!batch.options.shared_fetcher) {
    batch.options.shared_fetcher = std::make_shared<const core::ConcurrentFetcher>(detail::fetcher_of(batch.options));
  }
  const auto executor = co_await boost::asio::this_coro::executor;
  const auto browser = std::make_shared<BatchBrowser>(executor, detail::session_factory_of(batch.options));
  batch.options.session_factory = [browser](int max_pages, int timeout_ms) -> std::unique_ptr<browser::Session> {
    return std::make_unique<SharedSession>(browser, max_pages, timeout_ms);
  };
  if (callbacks.on_message) batch.on_message = std::move(callbacks.on_message);
  batch.on_counts = std::move(callbacks.on_progress);

  std::vector<awaitable<void>> workers;
  const std::size_t count = std::min(concurrency, batch.requests.size());
  for (std::size_t i = 0; i < count; ++i) workers.push_back(batch_worker(batch));
  std::vector<detail::Outcome<void>> ended;
  std::exception_ptr failure;
  try {
    ended = co_await detail::gather(std::move(workers));
  } catch (...) {
    failure = std::current_exception();
  }
  // Closed in order also when the batch was cancelled.
  co_await boost::asio::this_coro::throw_if_cancelled(false);
  co_await browser->close();
  if (failure) std::rethrow_exception(failure);
  for (const auto& worker : ended) {
    if (!worker.ok()) std::rethrow_exception(worker.error);  // the batch was cancelled
  }
  co_return std::move(batch.outcomes);
}

}  // namespace

std::vector<BatchOutcome> enrich_batch(std::vector<EnrichRequest> requests, const RunOptions& options,
                                       const RunCallbacks& callbacks, std::stop_token stop, std::size_t concurrency) {
  if (concurrency == 0) throw ValueError("a batch needs a concurrency of at least 1");
  return detail::run_coroutine(run_batch(std::move(requests), options, callbacks, concurrency), std::move(stop));
}

ResolveResult resolve_store_links(std::vector<models::EnrichedCommerceMatch> items, const RunOptions& options,
                                  const RunCallbacks& callbacks, std::stop_token stop) {
  ResolverOptions resolver;
  resolver.session_factory = detail::session_factory_of(options);
  if (callbacks.on_progress) {
    resolver.on_crawled = [on_progress = callbacks.on_progress](std::size_t done, std::size_t total) {
      on_progress(RunProgress{RunPhase::resolving, done, total});
    };
  }
  ProgressCallback on_message;
  if (callbacks.on_message) on_message = callbacks.on_message;
  return detail::run_coroutine(DirectStoreResolver::resolve_links_async(std::move(items), options.store_tabs,
                                                                        options.store_timeout, std::move(on_message),
                                                                        std::move(resolver)),
                               std::move(stop));
}

}  // namespace korvane::commerce
