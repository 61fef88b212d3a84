#include <korvane/relevance.hpp>

#include "text/number.hpp"
#include "text/unicode.hpp"

#include <algorithm>
#include <utility>

namespace korvane::relevance {
using models::EnrichedCommerceMatch;
using models::PageType;
using models::RelevanceLabel;

namespace {

bool is_commerce_page(PageType t) noexcept {
  return t == PageType::PRODUCT || t == PageType::MARKETPLACE;
}

RelevanceLabel one_down(RelevanceLabel label) noexcept {
  switch (label) {
    case RelevanceLabel::EXACT_MATCH: return RelevanceLabel::HIGH;
    case RelevanceLabel::HIGH: return RelevanceLabel::MEDIUM;
    default: return RelevanceLabel::LOW;
  }
}

// Lower-cased runs of ASCII letters and digits of 3 or more characters.
std::vector<std::string> query_words(std::string_view query) {
  std::vector<std::string> words;
  std::string word;
  for (const char c : query) {
    const char lower = text::ascii_lower(c);
    if ((lower >= 'a' && lower <= 'z') || (c >= '0' && c <= '9')) {
      word.push_back(lower);
    } else {
      if (word.size() >= 3) words.push_back(word);
      word.clear();
    }
  }
  if (word.size() >= 3) words.push_back(word);
  return words;
}

int rank_of(const std::optional<RelevanceLabel>& label) noexcept {
  if (!label) return 4;
  switch (*label) {
    case RelevanceLabel::EXACT_MATCH: return 0;
    case RelevanceLabel::HIGH: return 1;
    case RelevanceLabel::MEDIUM: return 2;
    case RelevanceLabel::LOW: return 3;
  }
  return 4;
}

}  // namespace

RelevanceLabel classify_match_relevance(const EnrichedCommerceMatch& item,
                                        const RelevanceContext* context) {
  const bool commerce = is_commerce_page(item.page_type);
  const bool priced = item.price.has_value();
  RelevanceLabel label = RelevanceLabel::LOW;
  if (commerce && priced && item.match_score >= 95) {
    label = RelevanceLabel::EXACT_MATCH;
  } else if (commerce && (priced || item.match_score >= 90)) {
    label = RelevanceLabel::HIGH;
  } else if (commerce || (item.page_type == PageType::UNCATEGORIZED && item.match_score >= 80)) {
    label = RelevanceLabel::MEDIUM;
  }
  if (context && context->query) {
    const auto words = query_words(*context->query);
    if (!words.empty()) {
      const std::string title = text::ascii_lower(item.title);
      const bool mentioned = std::any_of(words.begin(), words.end(), [&](const std::string& w) {
        return title.find(w) != std::string::npos;
      });
      if (!mentioned) label = one_down(label);
    }
  }
  return label;
}

models::CommerceSummary recompute_market_summary(std::span<const EnrichedCommerceMatch> items,
                                                 models::CommerceSummary summary) {
  summary.total_priced_matches = 0;
  summary.in_stock_count = 0;
  summary.merchant_categories.clear();
  summary.page_types.clear();
  summary.min_price = summary.median_price = summary.average_price = summary.max_price = std::nullopt;

  // Currencies in order of first appearance, with their counts.
  std::vector<std::pair<std::string, int>> currencies;
  for (const auto& item : items) {
    if (item.price) {
      ++summary.total_priced_matches;
      auto it = std::find_if(currencies.begin(), currencies.end(),
                             [&](const auto& c) { return c.first == item.price->currency; });
      if (it == currencies.end()) {
        currencies.emplace_back(item.price->currency, 1);
      } else {
        ++it->second;
      }
    }
    if (item.stock_status == models::StockStatus::IN_STOCK) ++summary.in_stock_count;
    if (item.merchant_category) ++summary.merchant_categories[*item.merchant_category];
    ++summary.page_types[item.page_type];
  }
  if (currencies.empty()) return summary;

  const auto dominant = std::max_element(currencies.begin(), currencies.end(),
                                         [](const auto& a, const auto& b) { return a.second < b.second; });
  summary.currency = dominant->first;
  std::vector<double> amounts;
  for (const auto& item : items) {
    if (item.price && item.price->currency == summary.currency) amounts.push_back(item.price->amount);
  }
  std::sort(amounts.begin(), amounts.end());
  double total = 0.0;
  for (const double a : amounts) total += a;
  const std::size_t n = amounts.size();
  summary.min_price = amounts.front();
  summary.max_price = amounts.back();
  summary.average_price = text::round_to_cents(total / static_cast<double>(n));
  summary.median_price = text::round_to_cents(
      n % 2 == 1 ? amounts[n / 2] : (amounts[n / 2 - 1] + amounts[n / 2]) / 2.0);
  return summary;
}

std::vector<EnrichedCommerceMatch> sort_commerce_items(std::vector<EnrichedCommerceMatch> items) {
  // An item without a label ranks by the label it would get.
  std::vector<std::pair<int, std::size_t>> keys;  // (label rank, input position)
  keys.reserve(items.size());
  for (std::size_t i = 0; i < items.size(); ++i) {
    const auto& item = items[i];
    keys.emplace_back(rank_of(item.relevance ? item.relevance : classify_match_relevance(item)), i);
  }
  std::stable_sort(keys.begin(), keys.end(), [&items](const auto& ka, const auto& kb) {
    if (ka.first != kb.first) return ka.first < kb.first;
    const auto& a = items[ka.second];
    const auto& b = items[kb.second];
    const bool pa = a.price.has_value(), pb = b.price.has_value();
    if (pa != pb) return pa;
    return a.match_score > b.match_score;
  });
  std::vector<EnrichedCommerceMatch> sorted;
  sorted.reserve(items.size());
  for (const auto& [rank, i] : keys) sorted.push_back(std::move(items[i]));
  return sorted;
}

}  // namespace korvane::relevance
