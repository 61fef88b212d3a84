#include "host/browser/devtools.hpp"

#include "host/browser/scripts.hpp"

#include <boost/json/array.hpp>

#include <algorithm>
#include <string>
#include <utility>

namespace korvane::browser::detail {

namespace json = boost::json;

namespace {

// Chromium adds the quality values itself.
constexpr std::string_view ACCEPT_LANGUAGE = "en-US,en";
constexpr std::string_view ISOLATED_WORLD = "korvane";
// The browser's own favicon request: its path, and the interception pattern
// of that path.
constexpr std::string_view FAVICON_PATH = "/favicon.ico";
constexpr std::string_view FAVICON_URL_PATTERN = "*/favicon.ico";

}  // namespace

std::string_view text_of(const json::object& o, std::string_view key) {
  const auto* v = o.if_contains(key);
  return v != nullptr && v->is_string() ? std::string_view(v->as_string()) : std::string_view();
}

const json::object* object_of(const json::object& o, std::string_view key) {
  const auto* v = o.if_contains(key);
  return v != nullptr && v->is_object() ? &v->as_object() : nullptr;
}

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

json::object target_params(std::string_view key, std::string_view value) { return {{key, value}}; }

json::object flag_params(std::string_view key, bool value) { return {{key, value}}; }

json::object attach_params(std::string_view target_id) { return {{"targetId", target_id}, {"flatten", true}}; }

json::object blocked_url_params(std::span<const std::string_view> endings) {
  json::array urls;
  for (const std::string_view ending : endings) {
    const std::string pattern = "*." + std::string(ending);
    urls.emplace_back(pattern);
    urls.emplace_back(pattern + "?*");
  }
  json::object o;
  o["urls"] = std::move(urls);
  return o;
}

bool blocked_by_name(std::string_view url) noexcept {
  return std::any_of(BLOCKED_FILE_ENDINGS.begin(), BLOCKED_FILE_ENDINGS.end(), [url](std::string_view ending) {
    for (std::size_t dot = url.find('.'); dot != std::string_view::npos; dot = url.find('.', dot + 1)) {
      const std::size_t end = dot + 1 + ending.size();
      if (url.substr(dot + 1, ending.size()) == ending && (end == url.size() || url[end] == '?')) return true;
    }
    return false;
  });
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
    json::object favicon;
    favicon["urlPattern"] = FAVICON_URL_PATTERN;
    favicon["requestStage"] = "Request";
    patterns.push_back(std::move(favicon));
  }
  if (check_documents) add("Document");
  json::object o;
  if (!patterns.empty()) o["patterns"] = std::move(patterns);
  return o;
}

json::object user_agent_params(std::string_view user_agent, const json::object& metadata) {
  return {{"userAgent", user_agent},
          {"acceptLanguage", ACCEPT_LANGUAGE},
          {"platform", "Linux x86_64"},
          {"userAgentMetadata", metadata}};
}

json::object isolated_world_params(std::string_view frame_id) {
  return {{"frameId", frame_id}, {"worldName", ISOLATED_WORLD}};
}

namespace {

// Runtime.callFunctionOn: `function` called with `arguments` in the context,
// its result returned by value (the value of its promise with `await`).
json::object call_params(int context_id, std::string_view function, std::vector<json::value> arguments,
                         bool await = false) {
  json::array args;
  for (auto& argument : arguments) {
    json::object arg;
    arg["value"] = std::move(argument);
    args.push_back(std::move(arg));
  }
  json::object o;
  o["functionDeclaration"] = function;
  o["executionContextId"] = context_id;
  o["arguments"] = std::move(args);
  o["returnByValue"] = true;
  if (await) o["awaitPromise"] = true;
  return o;
}

json::array selector_list(const std::vector<std::string>& selectors) {
  json::array list;
  for (const auto& selector : selectors) list.emplace_back(selector);
  return list;
}

// The function of SIGNATURE_CHANGE_BODY, with READY_SIGNATURE_FUNCTION as
// its `signature`.
const std::string& signature_change_function() {
  static const std::string function = "(selectors, previous, limit) => {\n  const signature = " +
                                      std::string(READY_SIGNATURE_FUNCTION) + ";" +
                                      std::string(SIGNATURE_CHANGE_BODY) + "}";
  return function;
}

// signature_change_function() whose signature comes with the elements of
// the selector it names, queried in the same task.
const std::string& signature_snapshot_function() {
  static const std::string function =
      "(selectors, previous, limit) => {\n  const signature = " + std::string(READY_SIGNATURE_FUNCTION) +
      ";\n  const query = " + std::string(QUERY_FUNCTION) + ";\n  const changed = (() => {" +
      std::string(SIGNATURE_CHANGE_BODY) +
      "})();\n  return changed.then((found) => ({ signature: found,"
      " elements: found === '' ? [] : query(selectors[parseInt(found, 10)]) }));\n}";
  return function;
}

// How many tasks a page may run while its clock stands still before the
// clock is moved on anyway: a page that is never idle (animations, message
// loops) still reaches its timers, as it would on the wall clock.
constexpr int VIRTUAL_TIME_STARVATION_LIMIT = 100;

}  // namespace

json::object query_params(int context_id, std::string_view selector) {
  return call_params(context_id, QUERY_FUNCTION, {json::string(selector)});
}

json::object ready_params(int context_id, const std::vector<std::string>& selectors) {
  return call_params(context_id, READY_SIGNATURE_FUNCTION, {selector_list(selectors)});
}

json::object signature_change_params(int context_id, const std::vector<std::string>& selectors,
                                     std::string_view previous, long long limit_ms) {
  return call_params(context_id, signature_change_function(),
                     {selector_list(selectors), json::string(previous), json::value(limit_ms)}, true);
}

json::object signature_snapshot_params(int context_id, const std::vector<std::string>& selectors,
                                       std::string_view previous, long long limit_ms) {
  return call_params(context_id, signature_snapshot_function(),
                     {selector_list(selectors), json::string(previous), json::value(limit_ms)}, true);
}

json::object virtual_time_params(long long budget_ms) {
  json::object o;
  o["policy"] = "pauseIfNetworkFetchesPending";
  o["budget"] = budget_ms;
  o["maxVirtualTimeTaskStarvationCount"] = VIRTUAL_TIME_STARVATION_LIMIT;
  return o;
}

json::object fail_params(std::string_view request_id) {
  json::object o;
  o["requestId"] = request_id;
  o["errorReason"] = "BlockedByClient";
  return o;
}

bool is_blocked_resource(std::string_view resource_type, std::string_view url) noexcept {
  return std::find(BLOCKED_RESOURCE_TYPES.begin(), BLOCKED_RESOURCE_TYPES.end(), resource_type) !=
             BLOCKED_RESOURCE_TYPES.end() ||
         (resource_type != "Document" && url.ends_with(FAVICON_PATH));
}

}  // namespace korvane::browser::detail
