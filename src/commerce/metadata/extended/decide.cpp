#include "commerce/metadata/extended/decide.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

namespace korvane::commerce::detail::extended {
namespace {

// How much a source's vote on the price weighs.
int price_weight(Source s) noexcept {
  switch (s) {
    case Source::json_ld: return 5;
    case Source::microdata: return 4;
    case Source::meta_tags: return 4;
    case Source::page_state: return 3;
    case Source::analytics: return 3;
    case Source::data_attributes: return 2;
    case Source::visible_price: return 2;
    default: return 0;
  }
}

bool same_amount(double a, double b) noexcept { return std::fabs(a - b) < 0.005; }

// SKU scores: a base, less per tier, more per further witness and when the
// value occurs in the page's link.
constexpr int kSkuBase = 20;
constexpr int kSkuTierStep = 4;
constexpr int kSkuWitness = 3;
constexpr int kSkuInLink = 3;

// Each source's best price candidate (the lowest rank, the first among equals).
std::vector<const PriceCandidate*> votes_of(const Evidence& e) {
  std::vector<const PriceCandidate*> votes;
  for (const PriceCandidate& c : e.prices) {
    if (price_weight(c.source) == 0) continue;
    const auto it = std::find_if(votes.begin(), votes.end(), [&](const PriceCandidate* v) { return v->source == c.source; });
    if (it == votes.end()) {
      votes.push_back(&c);
    } else if (c.rank < (*it)->rank) {
      *it = &c;
    }
  }
  return votes;
}

// The voters for one amount.
struct Group {
  double amount;
  int weight = 0;
  Source best;  // most trusted voter
  bool structured = false;
};

std::vector<Group> groups_of(const std::vector<const PriceCandidate*>& votes) {
  std::vector<Group> groups;
  for (const PriceCandidate* v : votes) {
    auto it = std::find_if(groups.begin(), groups.end(), [&](const Group& g) { return same_amount(g.amount, v->amount); });
    if (it == groups.end()) {
      groups.push_back({v->amount, 0, v->source, false});
      it = groups.end() - 1;
    }
    it->weight += price_weight(v->source);
    if (v->source < it->best) it->best = v->source;
    it->structured = it->structured || v->source != Source::visible_price;
  }
  // The winner first: the most weight, then the most trusted voter.
  std::sort(groups.begin(), groups.end(), [](const Group& a, const Group& b) {
    if (a.weight != b.weight) return a.weight > b.weight;
    return a.best < b.best;
  });
  return groups;
}

std::optional<PriceDecision> decide_price(const Evidence& e) {
  const auto votes = votes_of(e);
  if (votes.empty()) return std::nullopt;
  const std::vector<Group> groups = groups_of(votes);
  const auto winner = groups.begin();
  PriceDecision d{winner->amount, {}, winner->best, winner->structured};
  // The currency of the most trusted voter that wrote one.
  std::vector<const PriceCandidate*> backers;
  for (const PriceCandidate* v : votes) {
    if (same_amount(v->amount, winner->amount)) backers.push_back(v);
  }
  std::sort(backers.begin(), backers.end(), [](const auto* a, const auto* b) { return a->source < b->source; });
  for (const PriceCandidate* v : backers) {
    if (!v->currency.empty()) {
      d.currency = v->currency;
      break;
    }
  }
  if (d.currency.empty()) d.currency = std::string(e.declared_currency());
  return d;
}

// How strongly a kind of field names the shop's item number; lower is stronger.
int sku_tier(const SkuCandidate& c) noexcept {
  switch (c.source) {
    case Source::json_ld:
    case Source::microdata: return c.rank;  // sku 0, productID 1, mpn 2, gtin 3, other products 4+
    case Source::meta_tags: return 0;
    case Source::data_attributes: return c.rank == 0 ? 1 : c.rank < 4 ? 2 : 3;  // 4+: product-id fields
    case Source::item_label: return c.rank == 0 ? 1 : 2;
    case Source::page_state:
    case Source::analytics: return c.rank;  // sku-named 1, ids 3
    case Source::link: return 5;
    default: return 6;
  }
}

struct SkuValue {
  const SkuCandidate* best;
  int tier;
  std::vector<Source> sources;  // the witnesses, the link not among them
  int score = 0;
};

// The distinct values, scored, the best first.
std::vector<SkuValue> sku_values(const Evidence& e, std::string_view url) {
  std::vector<SkuValue> values;
  for (const SkuCandidate& c : e.skus) {
    if (!plausible_sku(c.value)) continue;
    const int tier = sku_tier(c);
    auto it = std::find_if(values.begin(), values.end(), [&](const SkuValue& v) { return v.best->value == c.value; });
    if (it == values.end()) {
      values.push_back({&c, tier, {}});
      if (c.source != Source::link) values.back().sources.push_back(c.source);
      continue;
    }
    if (tier < it->tier) {
      it->tier = tier;
      it->best = &c;
    }
    // The link is not a further witness: occurring in it has its own bonus.
    if (c.source != Source::link &&
        std::find(it->sources.begin(), it->sources.end(), c.source) == it->sources.end()) {
      it->sources.push_back(c.source);
    }
  }
  for (SkuValue& v : values) {
    const int witnesses = std::max(1, static_cast<int>(v.sources.size()));
    v.score = kSkuBase - kSkuTierStep * std::min(v.tier, 5) + kSkuWitness * (witnesses - 1);
    if (v.best->value.size() >= 4 && url.find(v.best->value) != std::string_view::npos) v.score += kSkuInLink;
  }
  // Stable: among equal scores the first found wins.
  std::stable_sort(values.begin(), values.end(), [](const SkuValue& a, const SkuValue& b) { return a.score > b.score; });
  return values;
}

std::optional<SkuDecision> decide_sku(const Evidence& e, std::string_view url) {
  const auto values = sku_values(e, url);
  if (values.empty()) return std::nullopt;
  return SkuDecision{values.front().best->value, values.front().best->source};
}

std::optional<StockDecision> decide_stock(const Evidence& e) {
  const StockCandidate* best = nullptr;
  for (const StockCandidate& c : e.stock) {
    if (best == nullptr || c.source < best->source || (c.source == best->source && c.rank < best->rank)) best = &c;
  }
  if (best == nullptr) return std::nullopt;
  return StockDecision{best->status, best->source};
}

}  // namespace

Decision decide(const Evidence& evidence, std::string_view url) {
  return Decision{decide_price(evidence), decide_sku(evidence, url), decide_stock(evidence)};
}

bool price_settled(const Evidence& evidence) {
  // The visible price adds one vote of its weight to some amount: the
  // leader stays ahead if its lead is larger than that.
  const auto groups = groups_of(votes_of(evidence));
  if (groups.empty()) return false;
  const int runner_up = groups.size() > 1 ? groups[1].weight : 0;
  return groups[0].weight - runner_up > price_weight(Source::visible_price);
}

bool sku_settled(const Evidence& evidence, std::string_view url) {
  // An item label is a tier-1 witness: alone it scores at most a tier-1
  // value in the link; joining a value already there, it lifts that value
  // to tier 1 and adds a witness. The leader must stay above every such score.
  const auto values = sku_values(evidence, url);
  if (values.empty()) return false;
  constexpr int label_tier = 1;
  int highest = kSkuBase - kSkuTierStep * label_tier + kSkuInLink;
  for (std::size_t k = 1; k < values.size(); ++k) {
    const SkuValue& v = values[k];
    const int in_link = v.best->value.size() >= 4 && url.find(v.best->value) != std::string_view::npos ? kSkuInLink : 0;
    const int lifted = kSkuBase - kSkuTierStep * std::min(v.tier, label_tier) +
                       kSkuWitness * static_cast<int>(v.sources.size()) + in_link;
    highest = std::max(highest, lifted);
  }
  return values[0].score > highest;
}

bool stock_settled(const Evidence& evidence) {
  // Stock cues rank below every source that reports availability before them.
  return !evidence.stock.empty();
}

}  // namespace korvane::commerce::detail::extended
