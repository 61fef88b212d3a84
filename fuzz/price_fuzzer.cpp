// The price texts on any text: a parser gives nothing or a price (an
// amount the price record accepts: finite, not negative) whose texts are
// valid UTF-8.
#include <korvane/commerce/normalizer.hpp>

#include "commerce/money.hpp"
#include "fuzz_check.hpp"

#include <string>

#include <array>
#include <optional>
#include <string_view>

namespace {

using korvane::fuzz::require_utf8;
using korvane::models::NormalizedPrice;

using PriceParser = std::optional<NormalizedPrice> (*)(std::string_view text);

// Every reader of free-form price texts the library has; a new one joins
// this list.
constexpr std::array<PriceParser, 5> kParsers{
    [](std::string_view text) { return korvane::commerce::PriceNormalizer::parse(text); },
    // A currency hint that is no key of the currency table.
    [](std::string_view text) { return korvane::commerce::PriceNormalizer::parse(text, " chf "); },
    // The extended extraction's amounts, as a price record.
    [](std::string_view text) -> std::optional<NormalizedPrice> {
      const auto money = korvane::commerce::detail::read_money(text, "EUR");
      if (!money) return std::nullopt;
      return NormalizedPrice(korvane::text::sanitize_utf8(text), money->amount, money->currency);
    },
    // Real-world price texts, without and with a currency hint.
    [](std::string_view text) { return korvane::commerce::PriceNormalizer::parse_extended(text); },
    [](std::string_view text) { return korvane::commerce::PriceNormalizer::parse_extended(text, "kr"); },
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = korvane::fuzz::as_text(data, size);
  for (const PriceParser parse : kParsers) {
    if (const auto price = parse(text)) {
      require_utf8(price->raw, "raw");
      require_utf8(price->currency, "currency");
    }
  }
  return 0;
}
