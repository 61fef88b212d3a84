#include <korvane/commerce/classifier.hpp>

#include "commerce/merchant_label.hpp"
#include "commerce/units.hpp"

#include <array>
#include <vector>

#include "text/unicode.hpp"
#include "text/utf8.hpp"

namespace korvane::commerce {
namespace {

using models::MerchantCategory;

// Second-level labels that make a two-label public suffix ("co.uk", "com.br").
constexpr std::array<std::string_view, 6> second_level_suffix_labels{"co",  "com", "org",
                                                                     "net", "gov", "edu"};

// Words of a title or name too common to identify a merchant.
constexpr std::array<std::string_view, 3> ignored_words{"the", "and", "official"};

// Words shorter than this never count as evidence.
constexpr std::size_t min_word_length = 3;

// Merchant labels shorter than this (after reduction) are too short to match.
constexpr std::size_t min_label_length = 3;

template <std::size_t N>
bool contains(const std::array<std::string_view, N>& list, std::string_view s) noexcept {
  for (const auto entry : list) {
    if (entry == s) return true;
  }
  return false;
}

bool is_lower_alnum(char c) noexcept { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); }

// `s` with every character other than a-z and 0-9 removed.
std::string reduce_to_lower_alnum(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (const char c : s) {
    if (is_lower_alnum(c)) out.push_back(c);
  }
  return out;
}

// True when `domain` is an entry of `set` or a subdomain of one.
template <std::size_t N>
bool is_listed_or_subdomain(std::string_view domain, const StringSet<N>& set) noexcept {
  for (const auto entry : set) {
    if (domain == entry) return true;
    if (domain.size() > entry.size() && domain.ends_with(entry) &&
        domain[domain.size() - entry.size() - 1] == '.') {
      return true;
    }
  }
  return false;
}

// extract_sld for valid UTF-8.
std::string extract_sld_valid(std::string_view domain) {
  const std::string lowered = text::to_lower(domain);
  const std::string_view host = text::strip(lowered);

  std::vector<std::string_view> labels;
  std::size_t start = 0;
  while (true) {
    const std::size_t dot = host.find('.', start);
    labels.push_back(host.substr(start, dot == std::string_view::npos ? dot : dot - start));
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }

  std::size_t first = 0;
  while (first < labels.size() && MULTI_TENANT_SUBDOMAINS.contains(labels[first])) ++first;
  const std::size_t left = labels.size() - first;
  const std::size_t n = labels.size();
  if (left == 0) return {};
  if (left >= 3 && contains(second_level_suffix_labels, labels[n - 2])) {
    return std::string(labels[n - 3]);
  }
  if (left >= 2) return std::string(labels[n - 2]);
  return std::string(labels[first]);
}

// is_match for valid UTF-8.
bool is_match_valid(std::string_view alpha_sld, std::string_view text) {
  if (text.empty()) return false;
  const std::string lowered = text::to_lower(text);
  const std::string reduced = reduce_to_lower_alnum(lowered);
  if (reduced.empty()) return false;
  if (reduced.find(alpha_sld) != std::string::npos || alpha_sld.find(reduced) != std::string::npos) {
    return true;
  }

  // Every significant word (maximal run of a-z and 0-9) must occur in the label.
  bool any_word = false;
  std::size_t pos = 0;
  while (pos < lowered.size()) {
    if (!is_lower_alnum(lowered[pos])) {
      ++pos;
      continue;
    }
    const std::size_t word_start = pos;
    while (pos < lowered.size() && is_lower_alnum(lowered[pos])) ++pos;
    const std::string_view word = std::string_view(lowered).substr(word_start, pos - word_start);
    if (word.size() < min_word_length || contains(ignored_words, word)) continue;
    if (alpha_sld.find(word) == std::string_view::npos) return false;
    any_word = true;
  }
  return any_word;
}

}  // namespace

MerchantCategory MerchantClassifier::classify(std::string_view domain, std::string_view title,
                                              std::optional<std::string_view> brand,
                                              std::optional<std::string_view> merchant_name) {
  detail::start_unit(detail::Unit::classifier);
  std::string domain_storage;
  const std::string lowered = text::to_lower(text::as_valid_utf8(domain, domain_storage));
  const std::string_view host = text::strip(lowered);
  if (host.empty()) return MerchantCategory::UNVERIFIED;
  if (is_listed_or_subdomain(host, MARKETPLACE_DOMAINS)) return MerchantCategory::MAJOR_MARKETPLACE;
  if (is_listed_or_subdomain(host, RESELLER_DOMAINS)) return MerchantCategory::RESELLER_SPECIALIST;

  const std::string alpha_sld = reduce_to_lower_alnum(extract_sld_valid(host));
  if (alpha_sld.size() < min_label_length) return MerchantCategory::UNVERIFIED;

  // Brand evidence first, then the merchant name, then the title.
  const std::optional<std::string_view> evidence[] = {
      brand, merchant_name, title.empty() ? std::nullopt : std::optional(title)};
  for (const auto& text : evidence) {
    if (!text || text->empty()) continue;
    std::string storage;
    if (is_match_valid(alpha_sld, text::as_valid_utf8(*text, storage))) {
      return MerchantCategory::OFFICIAL_BRAND;
    }
  }
  return MerchantCategory::UNVERIFIED;
}

namespace detail {

std::string extract_sld(std::string_view domain) {
  std::string storage;
  return extract_sld_valid(text::as_valid_utf8(domain, storage));
}

bool is_match(std::string_view alpha_sld, std::string_view text) {
  std::string storage;
  return is_match_valid(alpha_sld, text::as_valid_utf8(text, storage));
}

}  // namespace detail
}  // namespace korvane::commerce
