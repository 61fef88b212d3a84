#include <korvane/commerce/unwrapper.hpp>

#include "commerce/search_engine.hpp"
#include "commerce/units.hpp"

#include "text/unicode.hpp"
#include "text/url.hpp"
#include "text/utf8.hpp"

namespace korvane::commerce {
namespace {

// The redirect host test: the engine's label followed by a dot, anywhere in
// the network location, case-sensitive.
bool is_redirect_host(std::string_view netloc) {
  std::string needle(detail::SEARCH_ENGINE_LABEL);
  needle.push_back('.');
  return netloc.find(needle) != std::string_view::npos;
}

// The first non-empty value of `name`, if any.
const std::string* first_value(const text::QueryMap& query, std::string_view name) {
  for (const auto& [key, values] : query) {
    if (key == name && !values.empty()) return &values.front();
  }
  return nullptr;
}

// Redirect targets are followed to web pages (or to scheme-less links) only:
// a "javascript:", "data:" or "file:" target would turn a search result into
// a script or a local file.
bool is_followed_scheme(std::string_view scheme) {
  return scheme.empty() || scheme == "http" || scheme == "https";
}

std::string clean_query(std::string_view query) {
  if (query.empty()) return {};
  std::vector<std::pair<std::string, std::string>> kept;
  for (auto& [name, values] : text::parse_query(query)) {
    if (TRACKING_PARAMS.contains(text::to_lower(name))) continue;
    for (auto& value : values) kept.emplace_back(name, std::move(value));
  }
  return text::encode_query(kept);
}

bool is_text_fragment_directive(std::string_view fragment) {
  return fragment.find(":~:text=") != std::string_view::npos || fragment.substr(0, 3) == ":~:";
}

}  // namespace

std::string URLUnwrapper::unwrap(std::string_view raw_url) {
  detail::start_unit(detail::Unit::unwrapper);
  if (raw_url.empty()) return {};
  std::string storage;
  text::UrlParts parts = text::split_url(text::as_valid_utf8(raw_url, storage));

  if (is_redirect_host(parts.netloc) && parts.path == "/url") {
    const auto query = text::parse_query(parts.query);
    const std::string* target = first_value(query, "q");
    if (target == nullptr) target = first_value(query, "url");
    if (target != nullptr) {
      text::UrlParts target_parts = text::split_url(*target);
      if (is_followed_scheme(target_parts.scheme)) parts = std::move(target_parts);
    }
  }

  parts.query = clean_query(parts.query);
  if (is_text_fragment_directive(parts.fragment)) parts.fragment.clear();
  return text::unsplit_url(parts);
}

std::string URLUnwrapper::extract_domain(std::string_view raw_url) {
  detail::start_unit(detail::Unit::unwrapper);
  if (raw_url.empty()) return {};
  std::string storage;
  return text::link_domain(text::as_valid_utf8(raw_url, storage), text::WwwRemoval::leading_once);
}

}  // namespace korvane::commerce
