#include "commerce/metadata/patterns.hpp"

namespace korvane::commerce::detail {

const PagePatterns& page_patterns() {
  using F = RegexFlags;
  constexpr F icase = F::ascii_caseless;
  constexpr F at = F::ascii_caseless | F::anchored;
  static const PagePatterns patterns{
      Regex(kLdJsonScriptPattern, at | F::dotall),
      Regex(kMetaTagPattern, at),
      Regex(kMetaPropertyPattern, icase),
      Regex(kMetaContentPattern, icase),
      Regex(kNextDataScriptPattern, F::anchored | F::dotall),
      Regex(kTitlePattern, at | F::dotall),
      Regex(kWooCommerceAmountPattern, at),
      Regex(kMicrodataPricePattern, at),
      Regex(kMicrodataCurrencyPattern, at),
      Regex(kMicrodataSkuPattern, at),
      Regex(kSkuSpanClassPattern, at),
      Regex(kSkuDataAttributePattern, icase),
      Regex(kInStockClassPattern, icase),
      Regex(kOutOfStockClassPattern, icase),
  };
  return patterns;
}

}  // namespace korvane::commerce::detail
