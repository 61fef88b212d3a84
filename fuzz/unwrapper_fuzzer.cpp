// The unwrapper and the merchant classifier on any link: unwrap() and
// extract_domain() either give valid UTF-8 or throw InvalidUrlError, and
// the classifier takes any domain extract_domain() gives.
#include <korvane/commerce/classifier.hpp>
#include <korvane/commerce/unwrapper.hpp>
#include <korvane/errors.hpp>

#include "fuzz_check.hpp"

#include <string>

namespace {

using korvane::commerce::MerchantClassifier;
using korvane::commerce::URLUnwrapper;
using korvane::fuzz::require_utf8;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view link = korvane::fuzz::as_text(data, size);
  try {
    const std::string clean = URLUnwrapper::unwrap(link);
    require_utf8(clean, "unwrap");
    const std::string domain = URLUnwrapper::extract_domain(link);
    require_utf8(domain, "extract_domain");
    static_cast<void>(MerchantClassifier::classify(domain, "Nike Air Max 90", "Nike", "Shop Example"));
  } catch (const korvane::InvalidUrlError&) {
  }
  return 0;
}
