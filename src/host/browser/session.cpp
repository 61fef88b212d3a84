// AsyncStealthySession: Chromium driven over the DevTools pipe.
#include <korvane/browser/session.hpp>

#include "async/semaphore.hpp"
#include "host/browser/address.hpp"
#include "host/browser/connection.hpp"
#include "host/browser/process.hpp"
#include "host/browser/scripts.hpp"
#include "text/unicode.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/json/array.hpp>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <stdexcept>
#include <unordered_map>
#include <unordered_set>
#include <utility>

namespace korvane::browser {

namespace asio = boost::asio;
namespace json = boost::json;
using detail::Clock;
using std::chrono::milliseconds;

namespace {

// Resource types that disable_resources keeps from loading.
constexpr std::array<std::string_view, 4> BLOCKED_RESOURCE_TYPES = {"Image", "Media", "Font",
                                                                    "Stylesheet"};

// Chromium adds the quality values itself.
constexpr std::string_view ACCEPT_LANGUAGE = "en-US,en";
constexpr std::string_view ISOLATED_WORLD = "korvane";

std::string_view text_of(const json::object& o, std::string_view key) {
  const auto* v = o.if_contains(key);
  return v != nullptr && v->is_string() ? std::string_view(v->as_string()) : std::string_view();
}

const json::object* object_of(const json::object& o, std::string_view key) {
  const auto* v = o.if_contains(key);
  return v != nullptr && v->is_object() ? &v->as_object() : nullptr;
}

// The scheme of `url`, lower-cased; empty when it has none.
std::string scheme_of(std::string_view url) {
  std::size_t i = 0;
  while (i < url.size() && static_cast<unsigned char>(url[i]) <= ' ') ++i;
  url.remove_prefix(i);
  const auto colon = url.find(':');
  if (colon == std::string_view::npos || colon == 0) return {};
  const auto scheme = url.substr(0, colon);
  const bool valid = std::all_of(scheme.begin(), scheme.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '+' || c == '-' || c == '.';
  });
  return valid ? text::ascii_lower(scheme) : std::string();
}

// The user agent metadata (client hints) matching a Chromium user agent.
json::object user_agent_metadata(std::string_view full_version) {
  const std::string version(full_version);
  const std::string major = version.substr(0, version.find('.'));
  json::object md;
  md["brands"] = json::array{json::object{{"brand", "Chromium"}, {"version", major}},
                             json::object{{"brand", "Not_A Brand"}, {"version", "24"}}};
  md["fullVersionList"] = json::array{json::object{{"brand", "Chromium"}, {"version", version}},
                                      json::object{{"brand", "Not_A Brand"}, {"version", "24.0.0.0"}}};
  md["fullVersion"] = version;
  md["platform"] = "Linux";
  md["platformVersion"] = "";
  md["architecture"] = "x86";
  md["model"] = "";
  md["mobile"] = false;
  md["bitness"] = "64";
  md["wow64"] = false;
  return md;
}

// DevTools command parameters. Built outside the coroutines: GCC 12 cannot
// keep braced lists of string literals in a coroutine frame.
json::object target_params(std::string_view key, std::string_view value) {
  json::object o;
  o[key] = value;
  return o;
}

json::object flag_params(std::string_view key, bool value) {
  json::object o;
  o[key] = value;
  return o;
}

json::object attach_params(std::string_view target_id) {
  json::object o;
  o["targetId"] = target_id;
  o["flatten"] = true;
  return o;
}

json::object fetch_patterns(bool block_resources, bool check_documents) {
  json::array patterns;
  const auto add = [&patterns](std::string_view type) {
    json::object p;
    p["urlPattern"] = "*";
    p["resourceType"] = type;
    p["requestStage"] = "Request";
    patterns.push_back(std::move(p));
  };
  if (block_resources) {
    for (const auto type : BLOCKED_RESOURCE_TYPES) add(type);
    // The browser's own favicon request (type "Other") is an image too.
    json::object favicon;
    favicon["urlPattern"] = "*/favicon.ico";
    favicon["requestStage"] = "Request";
    patterns.push_back(std::move(favicon));
  }
  if (check_documents) add("Document");
  json::object o;
  if (!patterns.empty()) o["patterns"] = std::move(patterns);
  return o;
}

json::object user_agent_params(std::string_view user_agent, const json::object& metadata) {
  json::object o;
  o["userAgent"] = user_agent;
  o["acceptLanguage"] = ACCEPT_LANGUAGE;
  o["platform"] = "Linux x86_64";
  o["userAgentMetadata"] = metadata;
  return o;
}

json::object isolated_world_params(std::string_view frame_id) {
  json::object o;
  o["frameId"] = frame_id;
  o["worldName"] = ISOLATED_WORLD;
  return o;
}

json::object query_params(int context_id, std::string_view selector) {
  json::object arg;
  arg["value"] = selector;
  json::object o;
  o["functionDeclaration"] = detail::QUERY_FUNCTION;
  o["executionContextId"] = context_id;
  o["arguments"] = json::array{std::move(arg)};
  o["returnByValue"] = true;
  return o;
}

json::object fail_params(std::string_view request_id) {
  json::object o;
  o["requestId"] = request_id;
  o["errorReason"] = "BlockedByClient";
  return o;
}

// An element as it was when the selector ran.
class SnapshotElement final : public Element {
 public:
  SnapshotElement(std::map<std::string, std::string> attrib, std::string text, std::string all_text)
      : attrib_(std::move(attrib)), text_(std::move(text)), all_text_(std::move(all_text)) {}
  [[nodiscard]] const std::map<std::string, std::string>& attrib() const override { return attrib_; }
  [[nodiscard]] std::string get_all_text() const override { return all_text_; }
  [[nodiscard]] std::string text() const override { return text_; }

 private:
  std::map<std::string, std::string> attrib_;
  std::string text_;
  std::string all_text_;
};

}  // namespace

// ---------------------------------------------------------------- the running browser

struct SessionConfig {
  int max_pages;
  milliseconds timeout;
  SessionOptions options;
};

class Tab;

class AsyncStealthySession::Impl : public std::enable_shared_from_this<Impl> {
 public:
  Impl(asio::any_io_executor executor, SessionConfig config)
      : executor_(std::move(executor)),
        config_(std::move(config)),
        tab_slots_(executor_, static_cast<std::size_t>(config_.max_pages)) {}
  ~Impl() { terminate(); }
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  asio::awaitable<void> start();
  asio::awaitable<std::unique_ptr<Page>> fetch(std::string url);
  asio::awaitable<void> stop();
  void terminate() noexcept;

  // True when a page may be loaded from `host` (resolved here; a host that
  // does not resolve here is left to the check of the response's address).
  asio::awaitable<bool> host_allowed(std::string host);

  [[nodiscard]] const SessionConfig& config() const noexcept { return config_; }
  [[nodiscard]] const std::shared_ptr<detail::Connection>& connection() const noexcept { return conn_; }
  [[nodiscard]] const asio::any_io_executor& executor() const noexcept { return executor_; }
  [[nodiscard]] std::optional<int> pid() const noexcept {
    if (process_ && !process_->reaped()) return process_->pid();
    return std::nullopt;
  }
  [[nodiscard]] std::string profile() const { return dir_ ? dir_->path().string() : std::string(); }
  [[nodiscard]] milliseconds start_up_time() const noexcept { return start_up_time_; }

 private:
  asio::awaitable<void> watch_exit();

  asio::any_io_executor executor_;
  SessionConfig config_;
  async::Semaphore tab_slots_;  // one permit per open tab
  std::string executable_;
  std::optional<detail::TempDirectory> dir_;
  std::optional<detail::ChromiumProcess> process_;
  std::shared_ptr<detail::Connection> conn_;
  std::optional<asio::posix::stream_descriptor> exit_watch_;
  std::string user_agent_;
  json::object user_agent_metadata_;
  std::unordered_map<std::string, bool> host_verdicts_;
  milliseconds start_up_time_{0};
  bool terminated_ = false;

  friend class Tab;
};

using Impl = AsyncStealthySession::Impl;

// ---------------------------------------------------------------- one tab

// One browser tab and the state of its navigation, fed by its events.
class Tab final : public detail::EventSink, public std::enable_shared_from_this<Tab> {
 public:
  // What became of one navigation, keyed by its loader id.
  struct Navigation {
    std::optional<int> status;
    std::string remote_ip;
    std::optional<Clock::time_point> dom_content_loaded;
    std::optional<Clock::time_point> loaded;
  };

  Tab(std::shared_ptr<Impl> owner, async::Semaphore::Permit slot)
      : owner_(std::move(owner)), permit_(std::move(slot)), wake_(owner_->executor()) {}
  ~Tab() override { close(); }
  Tab(const Tab&) = delete;
  Tab& operator=(const Tab&) = delete;

  asio::awaitable<void> open(Clock::time_point deadline);
  // A page that loaded, with its HTTP status when it has one.
  struct Loaded {
    std::optional<int> status;
  };

  // Navigates and waits until the page has settled. Absent when the page
  // was refused.
  asio::awaitable<std::optional<Loaded>> load(const std::string& url, Clock::time_point deadline);
  asio::awaitable<std::vector<std::unique_ptr<Element>>> query(std::string selector);

  void on_event(std::string_view method, const json::object& params) override;
  void on_connection_closed() override { wake_.cancel(); }

  // Closes the browser tab and gives its slot back. Idempotent.
  void close() noexcept;

 private:
  asio::awaitable<void> check_document(std::string request_id, std::string url, bool main_frame);
  void touch_network() {
    last_activity_ = Clock::now();
    wake_.cancel();
  }

  std::shared_ptr<Impl> owner_;
  std::optional<async::Semaphore::Permit> permit_;
  asio::steady_timer wake_;
  std::string target_id_;
  std::string session_id_;
  std::unordered_set<std::string> in_flight_;
  Clock::time_point last_activity_ = Clock::now();
  std::unordered_map<std::string, Navigation> navigations_;
  std::optional<int> context_id_;
  bool refused_ = false;
  bool crashed_ = false;
  bool detached_ = false;
  bool closed_ = false;
};

// A loaded page: its tab stays open until the page is destroyed.
class ChromiumPage final : public Page {
 public:
  ChromiumPage(std::shared_ptr<Tab> tab, std::optional<int> status)
      : tab_(std::move(tab)), status_(status) {}
  ~ChromiumPage() override { tab_->close(); }
  ChromiumPage(const ChromiumPage&) = delete;
  ChromiumPage& operator=(const ChromiumPage&) = delete;

  [[nodiscard]] std::optional<int> status() const override { return status_; }
  [[nodiscard]] asio::awaitable<std::vector<std::unique_ptr<Element>>> css(std::string selector) override {
    co_return co_await tab_->query(std::move(selector));
  }

 private:
  std::shared_ptr<Tab> tab_;
  std::optional<int> status_;
};

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
  std::vector<std::shared_ptr<detail::PendingCall>> calls;
  calls.push_back(conn->begin("Page.enable", {}, session_id_, deadline));
  calls.push_back(conn->begin("Page.setLifecycleEventsEnabled", flag_params("enabled", true), session_id_,
                              deadline));
  calls.push_back(conn->begin("Network.enable", {}, session_id_, deadline));
  if (!patterns.empty()) calls.push_back(conn->begin("Fetch.enable", std::move(patterns), session_id_, deadline));
  calls.push_back(conn->begin("Emulation.setUserAgentOverride",
                              user_agent_params(owner_->user_agent_, owner_->user_agent_metadata_), session_id_,
                              deadline));
  calls.push_back(conn->begin("Page.addScriptToEvaluateOnNewDocument",
                              target_params("source", detail::STEALTH_SCRIPT), session_id_, deadline));
  for (auto& call : calls) (void)co_await conn->finish(std::move(call));
}

asio::awaitable<std::optional<Tab::Loaded>> Tab::load(const std::string& url, Clock::time_point deadline) {
  const auto conn = owner_->connection();
  const auto& config = owner_->config();
  json::object nav;
  try {
    nav = co_await conn->call("Page.navigate", target_params("url", url), session_id_, deadline);
  } catch (const detail::CommandTimeout&) {
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
    throw BrowserError("loading " + url + " failed: " + error);
  }
  if (loader.empty()) throw BrowserError("loading " + url + " started no navigation");

  // Settled: the load event has fired and no request has been in flight
  // for the quiet period since the later of that event and the last
  // request's end. At the deadline a loaded (or at least parsed) page is
  // taken as it is; one that is not is a timeout.
  const auto quiet = config.options.quiet_period;
  for (;;) {
    if (conn->closed()) throw BrowserError(conn->close_reason());
    if (crashed_) throw BrowserError("the page crashed while loading " + url);
    if (detached_) throw BrowserError("the tab was closed while loading " + url);
    if (refused_) co_return std::nullopt;
    const auto now = Clock::now();
    const Navigation& state = navigations_[loader];
    Clock::time_point wake_at = deadline;
    if (state.loaded) {
      const auto settle_at = std::max(*state.loaded, last_activity_) + quiet;
      if (in_flight_.empty() && now >= settle_at) break;
      if (now >= deadline) break;
      if (in_flight_.empty()) wake_at = std::min(settle_at, deadline);
    } else if (now >= deadline) {
      if (state.dom_content_loaded) break;
      throw BrowserError("loading " + url + " timed out after " +
                         std::to_string(config.timeout.count()) + " ms");
    }
    wake_.expires_at(wake_at);
    boost::system::error_code ec;
    co_await wake_.async_wait(asio::redirect_error(asio::use_awaitable, ec));
  }

  const Navigation& state = navigations_[loader];
  if (!config.options.allow_private_addresses && !state.remote_ip.empty()) {
    const auto address = detail::parse_address(state.remote_ip);
    if (address && !detail::is_public_address(*address)) co_return std::nullopt;
  }
  co_return Loaded{state.status};
}

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
    const bool blocked = owner_->config().options.disable_resources &&
                         (std::find(BLOCKED_RESOURCE_TYPES.begin(), BLOCKED_RESOURCE_TYPES.end(), type) !=
                              BLOCKED_RESOURCE_TYPES.end() ||
                          (type != "Document" && request_url.ends_with("/favicon.ico")));
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

asio::awaitable<std::vector<std::unique_ptr<Element>>> Tab::query(std::string selector) {
  const auto self = shared_from_this();
  const auto conn = owner_->connection();
  if (closed_ || !conn || conn->closed()) {
    throw BrowserError(conn && conn->closed() ? conn->close_reason() : "the page is closed");
  }
  const auto deadline = Clock::now() + owner_->config().timeout;
  json::object result;
  for (int attempt = 0;; ++attempt) {
    if (!context_id_) {
      // An isolated world: the page's own scripts cannot change what the
      // query functions do there.
      const auto world =
          co_await conn->call("Page.createIsolatedWorld", isolated_world_params(target_id_), session_id_, deadline);
      const auto* id = world.if_contains("executionContextId");
      if (id == nullptr || !id->is_int64()) throw BrowserError("the browser made no isolated world");
      context_id_ = static_cast<int>(id->as_int64());
    }
    try {
      result = co_await conn->call("Runtime.callFunctionOn", query_params(*context_id_, selector), session_id_,
                                   deadline);
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
  std::vector<std::unique_ptr<Element>> elements;
  const auto* remote = object_of(result, "result");
  const auto* value = remote != nullptr ? remote->if_contains("value") : nullptr;
  if (value == nullptr || !value->is_array()) co_return elements;
  elements.reserve(value->as_array().size());
  for (const auto& item : value->as_array()) {
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
  co_return elements;
}

// ---------------------------------------------------------------- the browser

asio::awaitable<void> Impl::start() {
  executable_ = detail::find_chromium(config_.options.chromium_path);
  // The folder names this process as its owner, so that a later start can
  // tell the folders of killed processes (which nothing else removes) from
  // those still in use, and remove them.
  constexpr std::string_view profile_prefix = "korvane-chromium-";
  (void)detail::remove_abandoned_directories(detail::temporary_base(), profile_prefix);
  dir_.emplace(profile_prefix);
  (void)detail::mark_as_owned(dir_->path());
  const auto profile = dir_->path() / "profile";
  std::error_code ec;
  std::filesystem::create_directory(profile, ec);
  if (ec) throw BrowserUnavailableError("cannot create the browser profile: " + ec.message());
  const auto log = dir_->path() / "chromium.log";

  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
    throw BrowserUnavailableError("cannot create the browser's control socket");
  }
  const auto started = Clock::now();
  try {
    // Chromium keeps crash reports and caches under the XDG folders and its
    // profile's lock socket in a folder under TMPDIR: all of them go into
    // the session's directory, so nothing outlives it even after a kill.
    const auto tmp = dir_->path() / "tmp";
    std::filesystem::create_directory(tmp, ec);
    if (ec) throw BrowserUnavailableError("cannot create the browser's temporary folder: " + ec.message());
    const std::vector<std::pair<std::string, std::string>> env = {
        {"XDG_CONFIG_HOME", (dir_->path() / "config").string()},
        {"XDG_CACHE_HOME", (dir_->path() / "cache").string()},
        {"TMPDIR", tmp.string()},
    };
    process_.emplace(executable_,
                     detail::chromium_arguments(config_.options.headless, profile, config_.options.extra_args), env,
                     fds[1], log, dir_->path().string());
  } catch (...) {
    ::close(fds[0]);
    ::close(fds[1]);
    throw;
  }
  ::close(fds[1]);
  conn_ = std::make_shared<detail::Connection>(executor_, fds[0]);
  conn_->start();
  if (process_->exit_descriptor() >= 0) {
    const int watch_fd = ::fcntl(process_->exit_descriptor(), F_DUPFD_CLOEXEC, 0);
    if (watch_fd >= 0) exit_watch_.emplace(executor_, watch_fd);
  }
  asio::co_spawn(executor_, watch_exit(), asio::detached);

  json::object version;
  try {
    version = co_await conn_->call("Browser.getVersion", {}, "", started + config_.options.start_timeout);
  } catch (const BrowserError& e) {
    std::string message = "Chromium (" + executable_ + ") did not start: " + e.what();
    if (process_->try_reap()) message += " (" + process_->exit_description() + ")";
    const auto tail = detail::file_tail(log, 1500);
    if (!tail.empty()) message += "; its last output:\n" + tail;
    throw BrowserUnavailableError(message);
  }
  start_up_time_ = std::chrono::duration_cast<milliseconds>(Clock::now() - started);

  user_agent_ = std::string(text_of(version, "userAgent"));
  for (auto pos = user_agent_.find("HeadlessChrome"); pos != std::string::npos;
       pos = user_agent_.find("HeadlessChrome", pos)) {
    user_agent_.replace(pos, 14, "Chrome");
  }
  const auto product = text_of(version, "product");  // "Chrome/156.0.8078.129"
  user_agent_metadata_ = user_agent_metadata(product.substr(product.find('/') + 1));

  conn_->post("Browser.setDownloadBehavior", target_params("behavior", "deny"), "");
}

asio::awaitable<void> Impl::watch_exit() {
  const auto self = shared_from_this();
  for (;;) {
    boost::system::error_code ec;
    if (exit_watch_) {
      co_await exit_watch_->async_wait(asio::posix::stream_descriptor::wait_read,
                                       asio::redirect_error(asio::use_awaitable, ec));
    } else {
      asio::steady_timer poll(executor_, milliseconds(100));
      co_await poll.async_wait(asio::redirect_error(asio::use_awaitable, ec));
    }
    if (terminated_ || !process_) co_return;
    if (process_->try_reap()) {
      if (conn_) conn_->close("the browser exited (" + process_->exit_description() + ")");
      co_return;
    }
    if (ec && exit_watch_) co_return;  // the descriptor was closed
  }
}

asio::awaitable<std::unique_ptr<Page>> Impl::fetch(std::string url) {
  const auto self = shared_from_this();
  if (!conn_ || conn_->closed()) {
    throw BrowserError(conn_ ? conn_->close_reason() : std::string("the browser is not running"));
  }
  const auto scheme = scheme_of(url);
  if (scheme != "http" && scheme != "https") co_return nullptr;

  // At most max_pages tabs at once. The wait for a free one ends at the
  // page timeout: a caller that keeps all its pages while fetching another
  // gets an error instead of waiting forever.
  if (!co_await tab_slots_.acquire_until(Clock::now() + config_.timeout)) {
    throw BrowserError("no browser tab became free within " + std::to_string(config_.timeout.count()) +
                       " ms: all pages of the session are still open");
  }
  async::Semaphore::Permit slot(tab_slots_);
  const auto deadline = Clock::now() + config_.timeout;
  auto tab = std::make_shared<Tab>(shared_from_this(), std::move(slot));
  std::exception_ptr failure;
  std::optional<Tab::Loaded> loaded;
  try {
    co_await tab->open(deadline);
    loaded = co_await tab->load(url, deadline);
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure || !loaded) {
    tab->close();
    if (failure) {
      try {
        std::rethrow_exception(failure);
      } catch (const detail::CommandTimeout&) {
        throw BrowserError("loading " + url + " timed out after " + std::to_string(config_.timeout.count()) +
                           " ms");
      }
    }
    co_return nullptr;
  }
  co_return std::make_unique<ChromiumPage>(std::move(tab), loaded->status);
}

asio::awaitable<bool> Impl::host_allowed(std::string host) {
  const auto self = shared_from_this();
  host = text::ascii_lower(host);
  if (host.empty() || host == "localhost" || host.ends_with(".localhost")) co_return false;
  if (const auto address = detail::parse_address(host)) co_return detail::is_public_address(*address);
  if (const auto it = host_verdicts_.find(host); it != host_verdicts_.end()) co_return it->second;
  asio::ip::tcp::resolver resolver(executor_);
  boost::system::error_code ec;
  const auto results = co_await resolver.async_resolve(host, "", asio::redirect_error(asio::use_awaitable, ec));
  bool allowed = true;
  if (!ec) {
    for (const auto& entry : results) {
      if (!detail::is_public_address(entry.endpoint().address())) allowed = false;
    }
  }
  host_verdicts_[host] = allowed;
  co_return allowed;
}

asio::awaitable<void> Impl::stop() {
  // The profile is thrown away, so there is nothing for the browser to save:
  // killing it at once is quicker than asking it to close, and leaves no
  // more behind (its children are reaped by the system either way).
  terminate();
  co_return;
}

void Impl::terminate() noexcept {
  if (terminated_) return;
  terminated_ = true;
  if (conn_) conn_->close("the browser session has ended");
  if (exit_watch_) {
    boost::system::error_code ec;
    exit_watch_->close(ec);
  }
  if (process_) process_->terminate();
  if (dir_) dir_->remove();
}

// ---------------------------------------------------------------- the public class

SessionFactory stealth_session_factory(SessionOptions options) {
  return [options = std::move(options)](int max_pages, int timeout_ms) -> std::unique_ptr<Session> {
    return std::make_unique<AsyncStealthySession>(max_pages, timeout_ms, options);
  };
}

AsyncStealthySession::AsyncStealthySession(int max_pages, int timeout_ms, SessionOptions options)
    : max_pages_(max_pages), timeout_ms_(timeout_ms), options_(std::move(options)) {
  if (max_pages < 1) throw ValueError("max_pages must be at least 1");
  if (timeout_ms < 1) throw ValueError("timeout_ms must be at least 1");
}

AsyncStealthySession::~AsyncStealthySession() {
  if (impl_) impl_->terminate();
}

asio::awaitable<void> AsyncStealthySession::enter() {
  if (impl_) throw BrowserError("the browser session is already entered");
  // No temporaries beside co_await in one expression: GCC 12 mishandles them.
  const asio::any_io_executor executor = co_await asio::this_coro::executor;
  auto impl = std::make_shared<Impl>(executor, SessionConfig{max_pages_, milliseconds(timeout_ms_), options_});
  std::exception_ptr failure;
  try {
    co_await impl->start();
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure) {
    impl->terminate();
    std::rethrow_exception(failure);
  }
  start_up_time_ = impl->start_up_time();
  impl_ = std::move(impl);
}

asio::awaitable<std::unique_ptr<Page>> AsyncStealthySession::fetch(std::string url) {
  const auto impl = impl_;
  if (!impl) throw BrowserError("the browser session is not entered");
  co_return co_await impl->fetch(std::move(url));
}

asio::awaitable<void> AsyncStealthySession::exit() {
  const auto impl = std::move(impl_);
  impl_.reset();
  if (!impl) co_return;
  try {
    co_await impl->stop();
  } catch (...) {  // NOLINT(bugprone-empty-catch): cancelled; terminate() still cleans up
  }
  impl->terminate();
}

std::optional<int> AsyncStealthySession::browser_pid() const noexcept {
  return impl_ ? impl_->pid() : std::nullopt;
}

std::string AsyncStealthySession::profile_directory() const { return impl_ ? impl_->profile() : std::string(); }

std::chrono::milliseconds AsyncStealthySession::start_up_time() const noexcept { return start_up_time_; }

}  // namespace korvane::browser
