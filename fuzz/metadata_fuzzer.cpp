// The metadata parser on any page, in both extraction modes: it never throws
// and every text it gives back is valid UTF-8.
#include <korvane/commerce/metadata.hpp>

#include "fuzz_check.hpp"

#include <array>

namespace {

using korvane::commerce::DestinationMetadataParser;
using korvane::commerce::ExtractionMode;
using korvane::commerce::MetadataRequest;
using korvane::commerce::MetadataResult;
using korvane::fuzz::require_utf8;

// A product link with an item number in its query and its path, so that the
// link's own identifier is read too.
constexpr std::string_view kPageLink = "https://shop.example/products/air-max-90-123456.html?sku=CT1685-100";

void check(const MetadataResult& r) {
  require_utf8(r.title, "title");
  require_utf8(r.merchant_name, "merchant_name");
  require_utf8(r.brand, "brand");
  require_utf8(r.sku, "sku");
  require_utf8(r.primary_image_url, "primary_image_url");
  if (r.price) {
    require_utf8(r.price->raw, "price.raw");
    require_utf8(r.price->currency, "price.currency");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view html = korvane::fuzz::as_text(data, size);
  for (const ExtractionMode mode : std::array{ExtractionMode::standard, ExtractionMode::extended}) {
    MetadataRequest request;
    request.html = html;
    request.direct_url = kPageLink;
    request.initial_title = "Nike Air Max 90";
    request.initial_merchant = "Shop Example";
    request.extraction = mode;
    check(DestinationMetadataParser::parse_metadata(request));
  }
  return 0;
}
