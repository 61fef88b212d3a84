#include "commerce/metadata/extended/decide.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <unordered_map>
#include <vector>

namespace korvane::commerce::detail::extended {
namespace {

// How much a source's vote on the price weighs. The weights follow how
// directly a source states the offer of the page's own product: JSON-LD
// names the product and its offer (5); microdata and price meta tags state
// a price, but pages also mark up list prices and other products with them
// (4); script states and analytics describe the viewed product for
// programs, sometimes before a discount (3); data attributes and the
// visible text are read by position alone (2). No single weaker source
// outvotes a stronger one, two weaker ones that agree do (4 + 2 > 5).
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

// Amounts are kept in cents: closer than half a cent is the same amount.
bool same_amount(double a, double b) noexcept { return std::fabs(a - b) < 0.005; }

// Each source's first choice: its lowest-ranked candidate, the first among equals.
std::vector<const PriceCandidate*> first_choices(const Evidence& e) {
  std::vector<const PriceCandidate*> firsts;
  for (const PriceCandidate& c : e.prices) {
    if (price_weight(c.source) == 0) continue;
    const auto it = std::find_if(firsts.begin(), firsts.end(), [&](const PriceCandidate* v) { return v->source == c.source; });
    if (it == firsts.end()) {
      firsts.push_back(&c);
    } else if (c.rank < (*it)->rank) {
      *it = &c;
    }
  }
  return firsts;
}

// Each source's vote: its first choice; but a source that names several
// amounts (two offers, a price and a list price) votes for its best-ranked
// amount that a less trusted source votes for, when there is one. The
// votes are settled from the least trusted source up, so that each looks
// at votes already fixed.
std::vector<const PriceCandidate*> votes_of(const Evidence& e) {
  std::vector<const PriceCandidate*> votes = first_choices(e);
  std::sort(votes.begin(), votes.end(), [](const auto* a, const auto* b) { return a->source > b->source; });
  for (std::size_t k = 0; k < votes.size(); ++k) {
    const auto backed = [&](const PriceCandidate& c) {
      return std::any_of(votes.begin(), votes.begin() + static_cast<std::ptrdiff_t>(k),
                         [&](const PriceCandidate* v) { return same_amount(v->amount, c.amount); });
    };
    if (backed(*votes[k])) continue;
    for (const PriceCandidate& c : e.prices) {
      if (c.source != votes[k]->source || !backed(c)) continue;
      if (!backed(*votes[k]) || c.rank < votes[k]->rank) votes[k] = &c;
    }
  }
  return votes;
}

// True when a source names more than one amount: another source may settle which.
bool undecided_source(const Evidence& e) {
  for (const PriceCandidate& c : e.prices) {
    if (price_weight(c.source) == 0) continue;
    const bool other_amount = std::any_of(e.prices.begin(), e.prices.end(), [&](const PriceCandidate& o) {
      return o.source == c.source && !same_amount(o.amount, c.amount);
    });
    if (other_amount) return true;
  }
  return false;
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

// SKU scores. A value scores kSkuBase, less kSkuTierStep per tier of its
// strongest field, more kSkuWitness per further source that gives it and
// kSkuInLink when it occurs in the page's link. A tier step outweighs one
// further witness (a SKU field beats a GTIN that a second source repeats),
// two witnesses outweigh one tier step; occurring in the link counts as a
// witness.
constexpr int kSkuBase = 20;
constexpr int kSkuTierStep = 4;
constexpr int kSkuWitness = 3;
constexpr int kSkuInLink = 3;
// A value the shopper is shown (an item label's, or one another source gave
// that the page's visible text holds) outweighs a hidden one that is one
// tier stronger and has one more hidden witness (4 + 3): shops show their
// own item number, and keep variant, catalogue and tracking ids in markup
// and scripts, often in several places.
constexpr int kSkuShown = 8;
// The weakest tier: a link's item number; every field scores above it.
constexpr int kLinkTier = 5;
// Values shorter than this occur in links by chance ("12" in any path).
constexpr std::size_t kMinLinkMatch = 4;

// How strongly a field names the shop's item number; lower is stronger.
int sku_tier(const SkuCandidate& c) noexcept {
  if (c.field == IdField::link || c.source == Source::link) return kLinkTier;
  int tier = 0;
  switch (c.field) {
    case IdField::sku: tier = 0; break;
    case IdField::product_id: tier = 1; break;
    case IdField::mpn:
    case IdField::internal_id: tier = 2; break;
    case IdField::gtin: tier = 3; break;
    case IdField::link: tier = kLinkTier; break;
  }
  // Scripts, data attributes and labels say less about the product than
  // structured data does: one tier weaker.
  const bool weak_source = c.source == Source::page_state || c.source == Source::analytics ||
                           c.source == Source::data_attributes || c.source == Source::item_label;
  if (weak_source) ++tier;
  if (c.secondary) ++tier;
  // Another product's fields rank below every field of the page's own (at most tier 3).
  if (c.other_product) tier += 4;
  return tier;
}

bool in_link(std::string_view value, std::string_view url) noexcept {
  return value.size() >= kMinLinkMatch && url.find(value) != std::string_view::npos;
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
  std::unordered_map<std::string_view, std::size_t> index;  // value -> position in `values`
  for (const SkuCandidate& c : e.skus) {
    if (!plausible_sku(c.value)) continue;
    const int tier = sku_tier(c);
    const auto [it, added] = index.try_emplace(c.value, values.size());
    if (added) {
      values.push_back({&c, tier, {}});
      if (c.source != Source::link) values.back().sources.push_back(c.source);
      continue;
    }
    SkuValue& v = values[it->second];
    if (tier < v.tier) {
      v.tier = tier;
      v.best = &c;
    }
    // The link is not a further witness: occurring in it has its own bonus.
    if (c.source != Source::link && std::find(v.sources.begin(), v.sources.end(), c.source) == v.sources.end()) {
      v.sources.push_back(c.source);
    }
  }
  for (SkuValue& v : values) {
    const int witnesses = std::max(1, static_cast<int>(v.sources.size()));
    v.score = kSkuBase - kSkuTierStep * std::min(v.tier, kLinkTier) + kSkuWitness * (witnesses - 1);
    if (in_link(v.best->value, url)) v.score += kSkuInLink;
    const bool labelled = std::find(v.sources.begin(), v.sources.end(), Source::item_label) != v.sources.end();
    if (labelled || std::find(e.shown_skus.begin(), e.shown_skus.end(), v.best->value) != e.shown_skus.end()) {
      v.score += kSkuShown;
    }
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

std::optional<BrandDecision> decide_brand(const Evidence& e) {
  const BrandCandidate* best = nullptr;
  for (const BrandCandidate& c : e.brands) {
    if (best == nullptr || std::pair(c.maker, c.source) < std::pair(best->maker, best->source)) best = &c;
  }
  if (best == nullptr) return std::nullopt;
  return BrandDecision{best->value, best->source};
}

}  // namespace

Decision decide(const Evidence& evidence, std::string_view url) {
  return Decision{decide_price(evidence), decide_sku(evidence, url), decide_stock(evidence), decide_brand(evidence)};
}

bool price_settled(const Evidence& evidence) {
  // The visible price adds one vote of its weight to some amount: the
  // leader stays ahead if its lead is larger than that.
  const auto groups = groups_of(votes_of(evidence));
  if (groups.empty() || undecided_source(evidence)) return false;
  const int runner_up = groups.size() > 1 ? groups[1].weight : 0;
  return groups[0].weight - runner_up > price_weight(Source::visible_price);
}

bool brand_settled(const Evidence& evidence) {
  // Labels rank below the brand fields of structured data.
  return std::any_of(evidence.brands.begin(), evidence.brands.end(), [](const BrandCandidate& c) {
    return !c.maker && (c.source == Source::json_ld || c.source == Source::microdata || c.source == Source::meta_tags);
  });
}

bool stock_settled(const Evidence& evidence) {
  // Stock cues rank below every source that reports availability before them.
  return !evidence.stock.empty();
}

}  // namespace korvane::commerce::detail::extended
