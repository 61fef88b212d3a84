#include "commerce/metadata/patterns.hpp"
#include "commerce/units.hpp"

namespace korvane::commerce::detail {

const PagePatterns& page_patterns() {
  using F = RegexFlags;
  constexpr F icase = F::ascii_caseless;
  constexpr F at = F::ascii_caseless | F::anchored;
  static const PagePatterns patterns{
      Regex(kLdJsonScriptTagPattern, at),
      Regex(kMetaTagPattern, at),
      Regex(kMetaPropertyPattern, icase),
      Regex(kMetaContentPattern, icase),
      Regex(kNextDataScriptTagPattern, F::anchored),
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

void build_page_patterns() { (void)page_patterns(); }

}  // namespace korvane::commerce::detail
