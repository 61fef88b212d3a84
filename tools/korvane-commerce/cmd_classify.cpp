// classify and price: the merchant category of a domain, the price in a text.
#include "cli.hpp"

#include <korvane/commerce/classifier.hpp>
#include <korvane/commerce/normalizer.hpp>
#include <korvane/models.hpp>
#include <korvane/models/json.hpp>

#include <iostream>
#include <unistd.h>
#include <memory>

namespace korvane::cli {
namespace {

std::optional<std::string_view> as_view(const std::optional<std::string>& s) {
  return s ? std::optional<std::string_view>(*s) : std::nullopt;
}
std::optional<std::string_view> as_view(std::optional<std::string_view> s) { return s; }

// "1299.99 USD": the amount in the library's shortest round-trip form (and
// the amount alone when the currency is unknown).
std::string price_line(const models::NormalizedPrice& price) {
  std::string line = models::json_text(boost::json::value(price.amount));
  if (!price.currency.empty()) line += " " + price.currency;
  return line;
}

}  // namespace

void add_classify_commands(CLI::App& app, RunState& state) {
  struct Options {
    std::optional<std::string> domain;
    std::string title;
    std::optional<std::string> brand;
    std::optional<std::string> merchant;
    bool jsonl = false;
  };
  auto opts = std::make_shared<Options>();
  auto* cmd = app.add_subcommand(
      "classify", "Print the merchant category of a domain (major_marketplace, reseller_specialist, "
                  "official_brand, unverified)");
  cmd->add_option("DOMAIN", opts->domain,
                  "Merchant domain, as the domain command prints it (a link stands for its domain)");
  cmd->add_option("--title", opts->title, "Product title");
  cmd->add_option("--brand", opts->brand, "Product brand");
  cmd->add_option("--merchant", opts->merchant, "Merchant name");
  cmd->add_flag("--jsonl", opts->jsonl,
                "Read {\"domain\", \"title\", \"brand\", \"merchant_name\"} objects, one per line, "
                "from standard input (title, brand and merchant_name may be null or missing); "
                "answer one {\"result\"|\"error\": ...} line each");
  cmd->callback([&state, opts] {
    if (opts->jsonl) {
      state.exit_code = run_jsonl(STDIN_FILENO, stdout, [](const JsonlRequest& o) {
        const std::string domain = domain_argument(o.text("domain"));
        const std::string_view title = o.optional_text("title").value_or("");
        const auto brand = o.optional_text("brand");
        const auto merchant = o.optional_text("merchant_name");
        const auto category =
            commerce::MerchantClassifier::classify(domain, title, as_view(brand), as_view(merchant));
        return boost::json::value(models::to_string(category));
      });
      return;
    }
    if (!opts->domain) throw CLI::ValidationError("classify", "give a DOMAIN, or --jsonl");
    const auto category = commerce::MerchantClassifier::classify(domain_argument(*opts->domain), opts->title,
                                                                 as_view(opts->brand),
                                                                 as_view(opts->merchant));
    std::cout << models::to_string(category) << '\n';
  });
}

void add_price_commands(CLI::App& app, RunState& state) {
  struct Options {
    std::optional<std::string> text;
    std::optional<std::string> hint;
    bool jsonl = false;
    bool extended = false;
  };
  auto opts = std::make_shared<Options>();
  auto* cmd = app.add_subcommand(
      "price", "Print the amount and currency code of a price text (\"1299.99 USD\"); exit status 1 "
               "when the text holds no price");
  cmd->add_option("TEXT", opts->text, "Price text, such as \"$1,299.99\" or \"12,50 EUR\"");
  cmd->add_option("--hint", opts->hint, "Currency to use when the text names none");
  cmd->add_flag("--extended", opts->extended,
                "Read the text the way shops write prices (every currency, local grouping, \"Free\", "
                "former and per-unit prices; the amount exact, an unnamed currency empty); with --jsonl, "
                "for every line");
  cmd->add_flag("--jsonl", opts->jsonl,
                "Read {\"raw\": text|null, \"hint\": text|null, \"extended\": bool} objects, one per "
                "line, from standard input; answer {\"result\": null}, {\"result\": {\"raw\", "
                "\"amount\", \"currency\"}} or {\"error\": ...} for each");
  cmd->callback([&state, opts] {
    const auto read = [](std::optional<std::string_view> raw, std::optional<std::string_view> hint, bool extended) {
      return extended ? commerce::PriceNormalizer::parse_extended(raw, hint)
                      : commerce::PriceNormalizer::parse(raw, hint);
    };
    if (opts->jsonl) {
      const bool extended = opts->extended;
      state.exit_code = run_jsonl(STDIN_FILENO, stdout, [extended, read](const JsonlRequest& o) {
        const auto raw = o.optional_text("raw");
        const auto hint = o.optional_text("hint");
        const auto price = read(as_view(raw), as_view(hint), extended || o.optional_bool("extended").value_or(false));
        return price ? models::to_json(*price) : boost::json::value(nullptr);
      });
      return;
    }
    if (!opts->text) throw CLI::ValidationError("price", "give a TEXT, or --jsonl");
    const auto price = read(*opts->text, as_view(opts->hint), opts->extended);
    if (!price) {
      std::cerr << "korvane-commerce price: no price in \"" << *opts->text << "\"\n";
      state.exit_code = 1;
      return;
    }
    std::cout << price_line(*price) << '\n';
  });
}

}  // namespace korvane::cli
