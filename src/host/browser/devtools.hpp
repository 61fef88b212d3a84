// The DevTools protocol as the session speaks it: the parameters of the
// commands it sends, and reading the members of the answers and events it
// gets. (Built outside the coroutines: GCC 12 cannot keep braced lists of
// string literals in a coroutine frame.)
#pragma once

#include <boost/json/object.hpp>

#include <array>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace korvane::browser::detail {

// ---------------------------------------------------------------- reading

// The text member `key` of `o`; empty when it is missing or not a text.
[[nodiscard]] std::string_view text_of(const boost::json::object& o, std::string_view key);

// The object member `key` of `o`; null when it is missing or not an object.
[[nodiscard]] const boost::json::object* object_of(const boost::json::object& o, std::string_view key);

// ---------------------------------------------------------------- what disable_resources blocks

// Resource types that disable_resources keeps from loading.
inline constexpr std::array<std::string_view, 4> BLOCKED_RESOURCE_TYPES = {"Image", "Media", "Font",
                                                                           "Stylesheet"};

// File name endings of the blocked resource types (images, fonts, style
// sheets, media), refused by address before any request is made; requests
// of those types without such a name are refused by type (Fetch.enable).
inline constexpr std::array<std::string_view, 23> BLOCKED_FILE_ENDINGS = {
    "png", "jpg",  "jpeg", "gif", "webp", "avif", "svg", "ico", "bmp", "woff", "woff2", "ttf",
    "otf", "eot", "css",  "mp4", "webm", "mov", "mp3", "m4a", "ogg", "oga", "wav"};

// True when disable_resources keeps a request of `resource_type` for `url`
// from loading: the blocked types, and the browser's own favicon request
// (type "Other"), which is an image too.
[[nodiscard]] bool is_blocked_resource(std::string_view resource_type, std::string_view url) noexcept;

// ---------------------------------------------------------------- command parameters

// {key: value}
[[nodiscard]] boost::json::object target_params(std::string_view key, std::string_view value);
[[nodiscard]] boost::json::object flag_params(std::string_view key, bool value);

// Target.attachToTarget: the tab's own session, flattened into the pipe.
[[nodiscard]] boost::json::object attach_params(std::string_view target_id);

// Network.setBlockedURLs: every address that ends in one of `endings` (also
// before a query).
[[nodiscard]] boost::json::object blocked_url_params(std::span<const std::string_view> endings = BLOCKED_FILE_ENDINGS);

// True when `url` ends in one of BLOCKED_FILE_ENDINGS (also before a "?").
[[nodiscard]] bool blocked_by_name(std::string_view url) noexcept;

// Fetch.enable: pause the requests of the blocked resource types (with
// `block_resources`) and of documents (with `check_documents`, so that
// their address can be checked first). Empty when nothing is paused.
[[nodiscard]] boost::json::object fetch_patterns(bool block_resources, bool check_documents);

// The user agent metadata (client hints) matching a Chromium user agent of
// version `full_version` ("156.0.8078.129").
[[nodiscard]] boost::json::object user_agent_metadata(std::string_view full_version);

// Emulation.setUserAgentOverride: the user agent, its metadata, the
// languages and the platform.
[[nodiscard]] boost::json::object user_agent_params(std::string_view user_agent,
                                                    const boost::json::object& metadata);

// Page.createIsolatedWorld in the tab's main frame.
[[nodiscard]] boost::json::object isolated_world_params(std::string_view frame_id);

// Runtime.callFunctionOn: the element query with `selector`, its result
// returned by value.
[[nodiscard]] boost::json::object query_params(int context_id, std::string_view selector);

// Runtime.callFunctionOn: the signature of the elements that `selectors`
// find (READY_SIGNATURE_FUNCTION), returned by value.
[[nodiscard]] boost::json::object ready_params(int context_id, const std::vector<std::string>& selectors);

// Runtime.callFunctionOn: the signature of the elements that `selectors`
// find once it differs from `previous`, or after `limit_ms` with no change
// (SIGNATURE_CHANGE_BODY), awaited and returned by value.
[[nodiscard]] boost::json::object signature_change_params(int context_id, const std::vector<std::string>& selectors,
                                                          std::string_view previous, long long limit_ms);

// signature_change_params(), whose answer is an object: the signature as
// "signature", and as "elements" the elements of the selector it names (as
// the element query gives them; none when the signature is empty).
[[nodiscard]] boost::json::object signature_snapshot_params(int context_id, const std::vector<std::string>& selectors,
                                                            std::string_view previous, long long limit_ms);

// Emulation.setVirtualTimePolicy: the page's clock runs ahead of the wall
// clock whenever the page has nothing to do but wait for a timer, stops
// while any of its requests is in flight, and stops for good (the
// budget-expired event) after `budget_ms` of page time.
[[nodiscard]] boost::json::object virtual_time_params(long long budget_ms);

// Fetch.failRequest: a paused request refused as blocked by the client.
[[nodiscard]] boost::json::object fail_params(std::string_view request_id);

}  // namespace korvane::browser::detail
