#include "host/browser/tab.hpp"

#include "host/browser/address.hpp"
#include "host/browser/browser.hpp"
#include "host/browser/devtools.hpp"
#include "host/browser/scripts.hpp"
#include "host/browser/snapshot_element.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <algorithm>
#include <charconv>
#include <map>
#include <utility>

namespace korvane::browser::detail {

namespace asio = boost::asio;
namespace json = boost::json;

Tab::Tab(std::shared_ptr<AsyncStealthySession::Impl> owner, std::optional<async::Semaphore::Permit> permit)
    : owner_(std::move(owner)), permit_(std::move(permit)), wake_(owner_->executor()) {}

void Tab::close() noexcept {
  if (closed_) return;
  closed_ = true;
  const auto& conn = owner_->connection();
  if (conn) {
    if (!session_id_.empty()) conn->unsubscribe(session_id_);
    if (!target_id_.empty()) {
      try {
        conn->post("Target.closeTarget", target_params("targetId", target_id_), "");
      } catch (...) {  // NOLINT(bugprone-empty-catch): closing is best effort
      }
    }
  }
  wake_.cancel();
  permit_.reset();
}

asio::awaitable<void> Tab::open(Clock::time_point deadline) {
  const auto conn = owner_->connection();
  const auto& config = owner_->config();
  const auto target = co_await conn->call("Target.createTarget", target_params("url", "about:blank"), "", deadline);
  target_id_ = std::string(text_of(target, "targetId"));
  if (target_id_.empty()) throw BrowserError("the browser opened no tab");
  const auto attached = co_await conn->call("Target.attachToTarget", attach_params(target_id_), "", deadline);
  session_id_ = std::string(text_of(attached, "sessionId"));
  if (session_id_.empty()) throw BrowserError("the browser gave no session for the tab");
  conn->subscribe(session_id_, weak_from_this());

  // Everything is set up before the first request of the page: the commands
  // go out together and are all answered before the navigation starts (some
  // are answered by the tab's renderer; a navigation sent with them would
  // overtake them, its first document without the stealth measures).
  auto patterns = fetch_patterns(config.options.disable_resources, !config.options.allow_private_addresses);
  std::vector<std::shared_ptr<PendingCall>> calls;
  calls.push_back(conn->begin("Page.enable", {}, session_id_, deadline));
  calls.push_back(conn->begin("Page.setLifecycleEventsEnabled", flag_params("enabled", true), session_id_,
                              deadline));
  calls.push_back(conn->begin("Network.enable", {}, session_id_, deadline));
  if (!patterns.empty()) calls.push_back(conn->begin("Fetch.enable", std::move(patterns), session_id_, deadline));
  calls.push_back(conn->begin("Emulation.setUserAgentOverride",
                              user_agent_params(owner_->user_agent(), owner_->user_agent_metadata()), session_id_,
                              deadline));
  calls.push_back(conn->begin("Page.addScriptToEvaluateOnNewDocument",
                              target_params("source", STEALTH_SCRIPT), session_id_, deadline));
  for (auto& call : calls) (void)co_await conn->finish(std::move(call));
}

asio::awaitable<void> Tab::open_ahead(Clock::time_point deadline) {
  const auto self = shared_from_this();
  opening_ = true;
  bool failed = false;
  try {
    co_await open(deadline);
  } catch (...) {
    failed = true;  // the page that takes it opens another
  }
  if (failed || closed_) {
    // A tab that failed to open, or that was given up while it opened
    // (maybe before it had a target to close), is closed now.
    closed_ = false;
    close();
  }
  opening_ = false;
  wake_.cancel();
}

asio::awaitable<bool> Tab::opened(Clock::time_point deadline) {
  const auto self = shared_from_this();
  while (opening_ && Clock::now() < deadline) {
    wake_.expires_at(deadline);
    boost::system::error_code ec;
    co_await wake_.async_wait(asio::redirect_error(asio::use_awaitable, ec));
  }
  co_return !opening_ && reusable();
}

void Tab::begin_load() {
  navigations_.clear();
  ready_links_.reset();
  in_flight_.clear();
  context_id_.reset();
  refused_ = false;
  spare_asked_ = false;
  last_activity_ = Clock::now();
}

asio::awaitable<std::optional<Tab::Loaded>> Tab::load(const std::string& url, const ReadyWhen& ready,
                                                      Clock::time_point deadline) {
  const auto conn = owner_->connection();
  const auto& config = owner_->config();
  begin_load();
  url_ = url;
  // Most blocked resources are known by their file name: refused by the
  // browser's network layer at once, with no round trip to this process.
  // Not for a page whose own address would match (the names are matched
  // against whole addresses, queries included).
  const bool by_name = config.options.disable_resources && !blocked_by_name(url);
  if (by_name != blocking_by_name_) {
    conn->post("Network.setBlockedURLs", by_name ? blocked_url_params() : blocked_url_params({}), session_id_);
    blocking_by_name_ = by_name;
  }
  json::object nav;
  try {
    nav = co_await conn->call("Page.navigate", target_params("url", url), session_id_, deadline);
  } catch (const CommandTimeout&) {
    throw;  // reported by fetch()
  } catch (const BrowserError& e) {
    if (conn->closed()) throw;
    throw BrowserError("loading " + url + " failed: " + e.what());
  }
  const std::string loader(text_of(nav, "loaderId"));
  const std::string error(text_of(nav, "errorText"));
  if (refused_) co_return std::nullopt;
  if (!error.empty()) {
    const auto it = navigations_.find(loader);
    if (it != navigations_.end() && it->second.status) co_return Loaded{it->second.status};
    // Chromium's network error for a host name that does not resolve.
    if (error.find("ERR_NAME_NOT_RESOLVED") != std::string::npos) {
      throw HostNotFoundError("loading " + url + " failed: " + error);
    }
    throw BrowserError("loading " + url + " failed: " + error);
  }
  if (loader.empty()) throw BrowserError("loading " + url + " started no navigation");
  if (!co_await settle(loader, url, ready, deadline)) co_return std::nullopt;

  const Navigation& state = navigations_[loader];
  if (!config.options.allow_private_addresses && !state.remote_ip.empty()) {
    const auto address = parse_address(state.remote_ip);
    if (address && !is_public_address(*address)) co_return std::nullopt;
  }
  co_return Loaded{state.status};
}

asio::awaitable<bool> Tab::settle(const std::string& loader, const std::string& url, const ReadyWhen& ready,
                                  Clock::time_point deadline) {
  // Settled: the load event has fired and no request has been in flight
  // for the quiet period since the later of that event and the last
  // request's end. Ready (with selectors): from DOMContentLoaded on, the
  // elements are there and stay the same with no request in flight for the
  // ready quiet period: before the load event, of wall-clock time; from it
  // on, of the page's own time, which runs ahead whenever the page only
  // waits for its timers and stands still while a request of it is in
  // flight, so that a list a script inserts late still comes in and a page
  // that is done is not waited for. Either way ready once the elements have
  // been there for the settle limit. At the deadline a loaded (or at least
  // parsed) page is taken as it is; one that is not is a timeout.
  const auto conn = owner_->connection();
  const auto& config = owner_->config();
  const auto quiet = config.options.quiet_period;
  ReadyWatch watch;
  watch.active = !ready.selectors.empty();
  for (;;) {
    if (conn->closed()) throw BrowserError(conn->close_reason());
    if (crashed_) throw BrowserError("the page crashed while loading " + url);
    if (detached_) throw BrowserError("the tab was closed while loading " + url);
    if (refused_) co_return false;
    const auto now = Clock::now();
    const Navigation& state = navigations_[loader];
    Clock::time_point wake_at = deadline;
    if (state.loaded) {
      const auto settle_at = std::max(*state.loaded, last_activity_) + quiet;
      if (in_flight_.empty() && now >= settle_at) co_return true;
      if (now >= deadline) co_return true;
      if (in_flight_.empty()) wake_at = std::min(settle_at, wake_at);
    } else if (now >= deadline) {
      if (state.dom_content_loaded) co_return true;
      throw BrowserError("loading " + url + " timed out after " + std::to_string(config.timeout.count()) + " ms");
    }
    if (watch.active && state.dom_content_loaded && now >= watch.retry_at) {
      if (ready_now(watch, now)) co_return true;
      if (state.loaded && !spare_asked_) {
        // This page's clock will most likely run ahead (see below), and its
        // tab be closed: the next page's tab opens now, while this page
        // waits for the network (what it asks for at its load event is
        // asked for by now) rather than for the processor.
        spare_asked_ = true;
        owner_->open_spare();
      }
      if (watch.page_time && state.loaded && (!watch.signature.empty() || watch.page_clock)) {
        if (co_await quiet_look(ready, watch, deadline)) co_return true;
      } else {
        co_await look(ready, watch, std::min(ready_at(watch), wake_at), deadline);
      }
      continue;  // that took time: look at everything again
    } else if (watch.active && state.dom_content_loaded) {
      wake_at = std::min(watch.retry_at, wake_at);
    }
    wake_.expires_at(std::min(wake_at, deadline));
    boost::system::error_code ec;
    co_await wake_.async_wait(asio::redirect_error(asio::use_awaitable, ec));
  }
}

// The longest one look at the elements waits in the page for them to change,
// so that the load event, the network and the deadline are looked at again
// at least this often.
constexpr auto kLongestLook = std::chrono::milliseconds(100);
// After a look that failed (the document was changing), the next is not
// tried before this long.
constexpr auto kLookRetry = std::chrono::milliseconds(25);

asio::awaitable<void> Tab::look(const ReadyWhen& ready, ReadyWatch& watch, Clock::time_point wait_until,
                                Clock::time_point deadline) {
  const auto conn = owner_->connection();
  using std::chrono::milliseconds;
  // Only a page whose clock follows the wall clock can time the wait itself.
  const auto wait = watch.page_clock
                        ? milliseconds(0)
                        : std::min(std::chrono::ceil<milliseconds>(wait_until - Clock::now()), kLongestLook);
  std::string signature;
  try {
    const int context = co_await world(deadline);
    json::object params = wait.count() > 0
                              ? signature_change_params(context, ready.selectors, watch.signature, wait.count())
                              : ready_params(context, ready.selectors);
    const auto result = co_await conn->call("Runtime.callFunctionOn", std::move(params), session_id_, deadline);
    if (object_of(result, "exceptionDetails") != nullptr) {
      watch.active = false;  // a selector the page refuses: wait as without one
      co_return;
    }
    if (const auto* remote = object_of(result, "result")) signature = std::string(text_of(*remote, "value"));
  } catch (const CommandTimeout&) {
    throw;
  } catch (const BrowserError&) {
    if (conn->closed()) throw;
    context_id_.reset();  // the document changed under the world: the next look makes a new one
    watch.retry_at = Clock::now() + kLookRetry;
  }
  const auto now = Clock::now();
  if (signature != watch.signature) {
    if (watch.signature.empty()) watch.first_seen = now;
    watch.signature = std::move(signature);
    watch.changed_at = now;
  }
}

// Page time beyond the quiet period that the page's clock may run: the timer
// of a quiet look, set just before the clock starts to run ahead, is due
// within the budget.
constexpr auto kBudgetMargin = std::chrono::milliseconds(50);

asio::awaitable<bool> Tab::quiet_look(const ReadyWhen& ready, ReadyWatch& watch, Clock::time_point deadline) {
  const auto conn = owner_->connection();
  const auto& options = owner_->config().options;
  const auto quiet = options.ready_quiet_period;
  if (!spare_asked_) owner_->open_spare();  // for the page after this one
  spare_asked_ = true;
  clock_ran_ahead_ = true;
  const bool clock_was_run = watch.page_clock;
  watch.page_clock = true;
  // A page whose clock never gets through the quiet period (a request that
  // never ends stops it) is ready at the settle limit all the same.
  const auto until = watch.signature.empty() ? deadline : std::min(deadline, watch.first_seen + options.ready_settle_limit);
  const std::string before = watch.signature;
  std::string signature;
  json::array elements;
  bool page_time = true;
  bool clock_answered = false;
  try {
    const int context = co_await world(deadline);
    // The look goes first, so that its timer is set before the clock runs
    // ahead; the budget outlasts that timer. Neither waits for the other's
    // answer.
    auto look = conn->begin("Runtime.callFunctionOn",
                            signature_snapshot_params(context, ready.selectors, before, quiet.count()), session_id_,
                            until);
    auto clock = conn->begin("Emulation.setVirtualTimePolicy",
                             virtual_time_params((quiet + kBudgetMargin).count()), session_id_, until);
    try {
      (void)co_await conn->finish(std::move(clock));
      clock_answered = true;
    } catch (const CommandTimeout&) {
      throw;
    } catch (const BrowserError&) {
      if (conn->closed()) throw;
      // Refused: the look's timer runs on the wall clock, and so does the
      // quiet period.
      page_time = false;
      watch.page_clock = clock_was_run;
    }
    const auto result = co_await conn->finish(std::move(look));
    if (object_of(result, "exceptionDetails") != nullptr) {
      watch.active = false;  // a selector the page refuses: wait as without one
      co_return false;
    }
    if (const auto* remote = object_of(result, "result")) {
      if (const auto* answer = object_of(*remote, "value")) {
        signature = std::string(text_of(*answer, "signature"));
        if (const auto* found = answer->if_contains("elements"); found != nullptr && found->is_array()) {
          elements = found->as_array();
        }
      }
    }
  } catch (const CommandTimeout&) {
    // At the settle limit the elements are ready; at the deadline a page
    // that still answers is taken as it is.
    if (until == deadline && !clock_answered) throw;
    co_return false;
  } catch (const BrowserError&) {
    if (conn->closed()) throw;
    context_id_.reset();  // the document changed under the world: the next look makes a new one
    watch.retry_at = Clock::now() + kLookRetry;
    co_return false;
  }
  watch.page_time = page_time;
  const auto now = Clock::now();
  if (signature != watch.signature) {
    if (watch.signature.empty()) watch.first_seen = now;
    watch.signature = std::move(signature);
    watch.changed_at = now;
    co_return false;  // another quiet period
  }
  const bool settled = page_time && !watch.signature.empty() && in_flight_.empty();
  if (settled) {
    // The signature starts with the index of the selector that matched.
    std::size_t matched = ready.selectors.size();
    (void)std::from_chars(watch.signature.data(), watch.signature.data() + watch.signature.size(), matched);
    if (matched < ready.selectors.size()) ready_links_ = ReadyLinks{ready.selectors, matched, std::move(elements)};
  }
  co_return settled;
}

bool Tab::ready_now(const ReadyWatch& watch, Clock::time_point now) const {
  if (watch.signature.empty()) return false;
  const auto& options = owner_->config().options;
  if (now - watch.first_seen >= options.ready_settle_limit) return true;
  if (watch.page_clock) return false;  // the page's clock tells
  return in_flight_.empty() && now - std::max(watch.changed_at, last_activity_) >= options.ready_quiet_period;
}

Clock::time_point Tab::ready_at(const ReadyWatch& watch) const {
  if (watch.signature.empty()) return Clock::time_point::max();
  const auto& options = owner_->config().options;
  const auto limit = watch.first_seen + options.ready_settle_limit;
  if (watch.page_clock || !in_flight_.empty()) return limit;
  return std::min(limit, std::max(watch.changed_at, last_activity_) + options.ready_quiet_period);
}

asio::awaitable<int> Tab::world(Clock::time_point deadline) {
  if (!context_id_) {
    // An isolated world: the page's own scripts cannot change what the
    // query functions do there.
    const auto conn = owner_->connection();
    const auto made =
        co_await conn->call("Page.createIsolatedWorld", isolated_world_params(target_id_), session_id_, deadline);
    const auto* id = made.if_contains("executionContextId");
    if (id == nullptr || !id->is_int64()) throw BrowserError("the browser made no isolated world");
    context_id_ = static_cast<int>(id->as_int64());
  }
  co_return *context_id_;
}

bool Tab::reusable() const noexcept {
  const auto& conn = owner_->connection();
  return !closed_ && !crashed_ && !detached_ && !clock_ran_ahead_ && conn && !conn->closed();
}

bool Tab::within_document(std::string_view url) const noexcept {
  const auto document = [](std::string_view u) { return u.substr(0, u.find('#')); };
  return !url_.empty() && document(url) == document(url_);
}

void Tab::park() noexcept {
  permit_.reset();
  ready_links_.reset();
  try {
    owner_->connection()->post("Page.navigate", target_params("url", "about:blank"), session_id_);
  } catch (...) {  // NOLINT(bugprone-empty-catch): the next load navigates anyway
  }
}

void Tab::release() noexcept { owner_->give_back(shared_from_this()); }

void Tab::on_event(std::string_view method, const json::object& params) {
  if (method == "Network.requestWillBeSent") {
    in_flight_.insert(std::string(text_of(params, "requestId")));
    touch_network();
  } else if (method == "Network.loadingFinished" || method == "Network.loadingFailed") {
    in_flight_.erase(std::string(text_of(params, "requestId")));
    touch_network();
  } else if (method == "Network.responseReceived") {
    if (text_of(params, "type") == "Document" && text_of(params, "frameId") == target_id_) {
      if (const auto* response = object_of(params, "response")) {
        auto& nav = navigations_[std::string(text_of(params, "loaderId"))];
        if (const auto* status = response->if_contains("status"); status != nullptr && status->is_number()) {
          nav.status = static_cast<int>(status->to_number<double>());
        }
        nav.remote_ip = std::string(text_of(*response, "remoteIPAddress"));
      }
    }
    touch_network();
  } else if (method == "Page.lifecycleEvent") {
    if (text_of(params, "frameId") != target_id_) return;
    const auto name = text_of(params, "name");
    auto& nav = navigations_[std::string(text_of(params, "loaderId"))];
    if (name == "init" || name == "commit" || name == "DOMContentLoaded" || name == "load") ready_links_.reset();
    if (name == "load") {
      nav.loaded = Clock::now();
    } else if (name == "DOMContentLoaded") {
      nav.dom_content_loaded = Clock::now();
    }
    wake_.cancel();
  } else if (method == "Fetch.requestPaused") {
    const std::string request_id(text_of(params, "requestId"));
    const auto type = text_of(params, "resourceType");
    const auto& conn = owner_->connection();
    const auto* request = object_of(params, "request");
    const auto request_url = request != nullptr ? text_of(*request, "url") : std::string_view();
    const bool blocked = owner_->config().options.disable_resources && is_blocked_resource(type, request_url);
    if (blocked) {
      conn->post("Fetch.failRequest", fail_params(request_id), session_id_);
    } else if (type == "Document" && !owner_->config().options.allow_private_addresses) {
      std::string url(request_url);
      const bool main_frame = text_of(params, "frameId") == target_id_;
      asio::co_spawn(owner_->executor(), check_document(request_id, std::move(url), main_frame),
                     asio::detached);
    } else {
      conn->post("Fetch.continueRequest", target_params("requestId", request_id), session_id_);
    }
  } else if (method == "Page.javascriptDialogOpening") {
    owner_->connection()->post("Page.handleJavaScriptDialog", flag_params("accept", false), session_id_);
  } else if (method == "Inspector.targetCrashed") {
    crashed_ = true;
    wake_.cancel();
  } else if (method == "Target.detachedFromTarget" || method == "Inspector.detached") {
    detached_ = true;
    wake_.cancel();
  }
}

asio::awaitable<void> Tab::check_document(std::string request_id, std::string url, bool main_frame) {
  const auto self = shared_from_this();
  bool allowed = false;
  try {
    const auto scheme = scheme_of(url);
    if (scheme == "http" || scheme == "https") allowed = co_await owner_->host_allowed(core::detail::link_host(url));
  } catch (const std::exception&) {
    allowed = false;
  }
  const auto& conn = owner_->connection();
  if (closed_ || !conn || conn->closed()) co_return;
  if (allowed) {
    conn->post("Fetch.continueRequest", target_params("requestId", request_id), session_id_);
  } else {
    if (main_frame) refused_ = true;
    conn->post("Fetch.failRequest", fail_params(request_id), session_id_);
    wake_.cancel();
  }
}

namespace {

// The elements of an element query's answer ([{attrib, text, all_text}]).
std::vector<std::unique_ptr<Element>> elements_of(const json::array& found) {
  std::vector<std::unique_ptr<Element>> elements;
  elements.reserve(found.size());
  for (const auto& item : found) {
    if (!item.is_object()) continue;
    const auto& o = item.as_object();
    std::map<std::string, std::string> attrib;
    if (const auto* attributes = object_of(o, "attrib")) {
      for (const auto& [name, v] : *attributes) {
        if (v.is_string()) attrib.emplace(std::string(name), std::string(v.as_string()));
      }
    }
    elements.push_back(std::make_unique<SnapshotElement>(std::move(attrib), std::string(text_of(o, "text")),
                                                         std::string(text_of(o, "all_text"))));
  }
  return elements;
}

}  // namespace

asio::awaitable<std::vector<std::unique_ptr<Element>>> Tab::query(std::string selector) {
  const auto self = shared_from_this();
  const auto conn = owner_->connection();
  if (closed_ || !conn || conn->closed()) {
    throw BrowserError(conn && conn->closed() ? conn->close_reason() : "the page is closed");
  }
  if (ready_links_) {
    // The page was ready a moment ago: what the last look saw answers the
    // ready selectors up to the one that matched (those before it matched
    // nothing).
    const auto& selectors = ready_links_->selectors;
    const auto asked = std::find(selectors.begin(), selectors.end(), selector);
    const auto index = static_cast<std::size_t>(asked - selectors.begin());
    if (asked != selectors.end() && index < ready_links_->matched) co_return std::vector<std::unique_ptr<Element>>{};
    if (index == ready_links_->matched) {
      const json::array found = std::move(ready_links_->elements);
      ready_links_.reset();
      co_return elements_of(found);
    }
    ready_links_.reset();
  }
  const auto deadline = Clock::now() + owner_->config().timeout;
  json::object result;
  for (int attempt = 0;; ++attempt) {
    const int context = co_await world(deadline);
    try {
      result = co_await conn->call("Runtime.callFunctionOn", query_params(context, selector), session_id_, deadline);
      break;
    } catch (const BrowserError&) {
      // The page navigated since the world was made: make a new one, once.
      if (attempt > 0 || conn->closed()) throw;
      context_id_.reset();
    }
  }
  if (const auto* details = object_of(result, "exceptionDetails")) {
    std::string message(text_of(*details, "text"));
    if (const auto* exception = object_of(*details, "exception")) {
      if (const auto description = text_of(*exception, "description"); !description.empty()) {
        message = std::string(description.substr(0, description.find('\n')));
      }
    }
    throw BrowserError("selector '" + selector + "' failed: " + message);
  }
  const auto* remote = object_of(result, "result");
  const auto* value = remote != nullptr ? remote->if_contains("value") : nullptr;
  if (value == nullptr || !value->is_array()) co_return std::vector<std::unique_ptr<Element>>{};
  co_return elements_of(value->as_array());
}
asio::awaitable<std::vector<std::unique_ptr<Element>>> ChromiumPage::css(std::string selector) {
  co_return co_await tab_->query(std::move(selector));
}

}  // namespace korvane::browser::detail
