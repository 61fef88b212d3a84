// One Chromium tab driven over the DevTools pipe, for tests and benchmarks
// that look at pages we write. Built from the browser session's own parts:
// the executable lookup, command line, process group and private folders
// (host/browser/process.hpp) and the protocol connection
// (host/browser/connection.hpp). Every request of a page is intercepted:
// images get a generated picture, the page itself goes through, anything
// else is refused and reported. Nothing reaches the network.
#pragma once

#include "host/browser/connection.hpp"
#include "host/browser/executable.hpp"
#include "host/browser/temp_directory.hpp"
#include "host/browser/process.hpp"

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/json.hpp>
#include <openssl/evp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace korvane::testing {

namespace devtools_detail {

namespace json = boost::json;
using browser::detail::Clock;

inline Clock::time_point deadline() { return Clock::now() + std::chrono::seconds(30); }

inline std::string base64(std::string_view data) {
  std::string out(4 * ((data.size() + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                reinterpret_cast<const unsigned char*>(data.data()), static_cast<int>(data.size()));
  out.resize(static_cast<std::size_t>(n));
  return out;
}

inline std::string unbase64(std::string_view text) {
  std::string out(3 * (text.size() / 4) + 3, '\0');
  const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
  out.resize(static_cast<std::size_t>(std::max(n, 0)));
  for (; text.ends_with('=') && !out.empty(); text.remove_suffix(1)) out.pop_back();  // padding decoded as zeros
  return out;
}

// A shoe-like picture, its colour taken from the image's URL.
inline std::string picture_for(std::string_view url) {
  const std::string h = std::to_string(std::hash<std::string_view>{}(url) % 360);
  return "<svg xmlns='http://www.w3.org/2000/svg' viewBox='0 0 400 300'><rect width='400' height='300' fill='hsl(" +
         h + ",45%,92%)'/><path d='M70 200 q40-70 120-60 q40 5 70 40 q40 5 70 20 v20 H70z' fill='hsl(" + h +
         ",55%,50%)'/><rect x='70' y='222' width='260' height='14' rx='7' fill='hsl(" + h + ",20%,30%)'/></svg>";
}

// DevTools parameters, built outside coroutines (GCC 12 cannot keep braced
// lists in a coroutine frame).
inline json::object param(std::string_view key, json::value value) {
  json::object o;
  o[key] = std::move(value);
  return o;
}
inline json::object text_param(std::string_view key, std::string_view text) { return param(key, json::string(text)); }

inline json::object evaluate_params(std::string_view expression) {
  auto o = text_param("expression", expression);
  o["returnByValue"] = true;
  o["awaitPromise"] = true;
  return o;
}

inline json::object viewport_params(int width, int height, bool mobile) {
  return json::parse(R"({"deviceScaleFactor": 1, "width": )" + std::to_string(width) +
                     ", \"height\": " + std::to_string(height) + ", \"mobile\": " + (mobile ? "true" : "false") + "}")
      .as_object();
}

inline json::object fulfil_params(std::string_view request_id, std::string_view url) {
  auto o = json::parse(R"({"responseCode": 200, "responseHeaders": [{"name": "Content-Type", "value": "image/svg+xml"}]})")
               .as_object();
  o["requestId"] = request_id;
  o["body"] = base64(picture_for(url));
  return o;
}

inline std::string_view text_at(const json::object& o, std::string_view key) {
  const auto* v = o.if_contains(key);
  return v != nullptr && v->is_string() ? std::string_view(v->as_string()) : std::string_view();
}

constexpr std::array<std::string_view, 4> DOMAINS = {"Page.enable", "Runtime.enable", "Log.enable", "Network.enable"};

}  // namespace devtools_detail

// What a page did, as the browser reported it.
struct PageEvents {
  std::vector<std::string> errors;          // console errors, exceptions, error log entries (CSP's included)
  std::vector<std::string> other_requests;  // requests that are neither the page itself nor images
  int images = 0;
  int dialogs = 0;
  int loads = 0;  // load events
};

class DevToolsTab final : public browser::detail::EventSink {
 public:
  DevToolsTab(std::shared_ptr<browser::detail::Connection> conn, std::string session_id)
      : conn_(std::move(conn)), session_id_(std::move(session_id)) {}

  void on_event(std::string_view method, const boost::json::object& params) override {
    using namespace devtools_detail;
    if (method == "Network.requestWillBeSent") {
      const auto url = text_at(params.at("request").as_object(), "url");
      if (text_at(params, "type") == "Image") {
        ++events.images;
      } else if (url != document_url) {
        events.other_requests.push_back(std::string(text_at(params, "type")) + " " + std::string(url));
      }
    } else if (method == "Fetch.requestPaused") {
      const auto id = text_at(params, "requestId");
      const auto url = text_at(params.at("request").as_object(), "url");
      if (text_at(params, "resourceType") == "Image") {
        conn_->post("Fetch.fulfillRequest", fulfil_params(id, url), session_id_);
      } else if (url == document_url) {
        conn_->post("Fetch.continueRequest", text_param("requestId", id), session_id_);
      } else {
        auto refuse = text_param("requestId", id);
        refuse["errorReason"] = "BlockedByClient";
        conn_->post("Fetch.failRequest", std::move(refuse), session_id_);
      }
    } else if (method == "Page.javascriptDialogOpening") {
      ++events.dialogs;
      conn_->post("Page.handleJavaScriptDialog", param("accept", false), session_id_);
    } else if (method == "Page.loadEventFired") {
      ++events.loads;
    } else if (method == "Runtime.exceptionThrown") {
      events.errors.push_back("exception: " + serialize(params));
    } else if (method == "Runtime.consoleAPICalled") {
      const auto type = text_at(params, "type");
      if (type == "error" || type == "assert") events.errors.push_back("console: " + serialize(params));
    } else if (method == "Log.entryAdded") {
      const auto& entry = params.at("entry").as_object();
      if (text_at(entry, "level") == "error") events.errors.push_back("log: " + serialize(entry));
    }
  }
  void on_connection_closed() override {}

  [[nodiscard]] const std::string& session_id() const { return session_id_; }

  PageEvents events;
  std::string document_url;  // the page being shown

 private:
  std::shared_ptr<browser::detail::Connection> conn_;
  std::string session_id_;
};

// Chromium, headless, started as the stealth session starts it, without the
// session's page policy. Runs on the executor of the coroutine that starts it;
// string parameters are views (GCC 12 mishandles temporaries beside co_await).
class Chromium {
 public:
  Chromium() : dir_("korvane-devtools-") {}
  ~Chromium() { stop(); }
  Chromium(const Chromium&) = delete;
  Chromium& operator=(const Chromium&) = delete;

  boost::asio::awaitable<void> start() {
    std::filesystem::create_directory(dir_.path() / "profile");
    std::filesystem::create_directory(dir_.path() / "tmp");
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) throw std::runtime_error("socketpair");
    const std::vector<std::pair<std::string, std::string>> env = {
        {"XDG_CONFIG_HOME", (dir_.path() / "config").string()},
        {"XDG_CACHE_HOME", (dir_.path() / "cache").string()},
        {"TMPDIR", (dir_.path() / "tmp").string()},
    };
    const std::vector<std::string> no_network = {"--host-resolver-rules=MAP * ~NOTFOUND"};
    process_.emplace(browser::detail::find_chromium(""),
                     browser::detail::chromium_arguments(true, dir_.path() / "profile", no_network), env, fds[1],
                     dir_.path() / "chromium.log", dir_.path().string());
    ::close(fds[1]);
    const auto executor = co_await boost::asio::this_coro::executor;
    conn_ = std::make_shared<browser::detail::Connection>(executor, fds[0]);
    conn_->start();
    (void)co_await conn_->call("Browser.getVersion", {}, "", devtools_detail::deadline());
  }

  // A new tab with the Page, Runtime, Log and Network domains on and every
  // request intercepted.
  boost::asio::awaitable<std::shared_ptr<DevToolsTab>> open_tab() {
    using namespace devtools_detail;
    const auto target = co_await conn_->call("Target.createTarget", text_param("url", "about:blank"), "", deadline());
    auto attach = param("targetId", target.at("targetId"));
    attach["flatten"] = true;
    const auto attached = co_await conn_->call("Target.attachToTarget", std::move(attach), "", deadline());
    auto tab = std::make_shared<DevToolsTab>(conn_, std::string(attached.at("sessionId").as_string()));
    conn_->subscribe(tab->session_id(), tab);
    for (const std::string_view method : DOMAINS) (void)co_await conn_->call(method, {}, tab->session_id(), deadline());
    (void)co_await conn_->call("Fetch.enable", json::parse(R"({"patterns": [{"urlPattern": "*"}]})").as_object(),
                               tab->session_id(), deadline());
    co_return tab;
  }

  // The value of `expression`, awaited when it is a promise. Throws when it
  // throws.
  boost::asio::awaitable<boost::json::value> evaluate(const DevToolsTab& tab, std::string_view expression) {
    using namespace devtools_detail;
    auto reply = co_await conn_->call("Runtime.evaluate", evaluate_params(expression), tab.session_id(), deadline());
    if (const auto* details = reply.if_contains("exceptionDetails")) {
      throw std::runtime_error(std::string(expression) + " failed: " + serialize(*details));
    }
    const auto* value = reply.at("result").as_object().if_contains("value");
    co_return value != nullptr ? *value : json::value();
  }

  // Opens `file` in `tab` and waits for its load event.
  boost::asio::awaitable<void> load(DevToolsTab& tab, const std::filesystem::path& file) {
    using namespace devtools_detail;
    const int before = tab.events.loads;
    tab.document_url = "file://" + file.string();
    (void)co_await conn_->call("Page.navigate", text_param("url", tab.document_url), tab.session_id(), deadline());
    for (const auto until = deadline(); tab.events.loads == before;) {
      if (Clock::now() > until) throw std::runtime_error("the page did not load: " + tab.document_url);
      boost::asio::steady_timer pause(conn_->executor(), std::chrono::milliseconds(10));
      co_await pause.async_wait(boost::asio::use_awaitable);
    }
  }

  boost::asio::awaitable<void> set_viewport(const DevToolsTab& tab, int width, int height, bool mobile) {
    using namespace devtools_detail;
    (void)co_await conn_->call("Emulation.setDeviceMetricsOverride", viewport_params(width, height, mobile),
                               tab.session_id(), deadline());
  }

  // "print" or "screen".
  boost::asio::awaitable<void> emulate_media(const DevToolsTab& tab, std::string_view media) {
    using namespace devtools_detail;
    (void)co_await conn_->call("Emulation.setEmulatedMedia", text_param("media", media), tab.session_id(), deadline());
  }

  // The whole page as PNG, `width` pixels wide, once its images have loaded.
  boost::asio::awaitable<std::string> screenshot(const DevToolsTab& tab, int width, bool mobile) {
    using namespace devtools_detail;
    co_await set_viewport(tab, width, 800, mobile);
    const auto height = co_await evaluate(tab, "document.documentElement.scrollHeight");
    co_await set_viewport(tab, width, static_cast<int>(height.to_number<double>()), mobile);
    (void)co_await evaluate(tab, R"(new Promise((done) => {
      const poll = (left) => Array.from(document.images).every((i) => i.complete) || left === 0
        ? done(true) : setTimeout(() => poll(left - 1), 20);
      poll(150);
    }))");
    const auto shot = co_await conn_->call("Page.captureScreenshot", text_param("format", "png"), tab.session_id(),
                                           deadline());
    co_return unbase64(shot.at("data").as_string());
  }

  void stop() {
    if (conn_) conn_->close("the browser is no longer needed");
    if (process_) process_->terminate();
    dir_.remove();
  }

 private:
  browser::detail::TempDirectory dir_;
  std::optional<browser::detail::ChromiumProcess> process_;
  std::shared_ptr<browser::detail::Connection> conn_;
};

}  // namespace korvane::testing
