// parse: the product metadata of a saved destination page.
#include "cli.hpp"

#include <korvane/commerce/json.hpp>
#include <korvane/commerce/metadata.hpp>
#include <korvane/commerce/normalizer.hpp>
#include <korvane/models.hpp>
#include <korvane/models/json.hpp>

#include <climits>
#include <iostream>
#include <unistd.h>
#include <memory>
#include <stdexcept>

namespace korvane::cli {
namespace {

namespace json = boost::json;

// A match's 1-based position in the search result.
int rank_of(long long value) {
  if (value < 1 || value > INT_MAX) throw std::invalid_argument("member \"rank\" must be 1 or more");
  return static_cast<int>(value);
}

commerce::ExtractionMode mode_of(bool extended) {
  return extended ? commerce::ExtractionMode::extended : commerce::ExtractionMode::standard;
}

// One --jsonl request; `extended` (the --extended flag) applies to every
// line. A page named by html_file is read into `file_content`, which the
// lines share.
json::value parse_request(const JsonlRequest& o, bool extended, std::string& file_content) {
  const auto html = o.optional_text("html");
  const auto html_file = o.optional_text("html_file");
  if (html && html_file) throw std::invalid_argument("give \"html\" or \"html_file\", not both");
  std::optional<std::string_view> page = html;
  if (html_file) {
    read_input_file(std::string(*html_file), file_content);
    page = file_content;
  }

  std::optional<models::NormalizedPrice> price;
  if (const auto value = o.optional_value("initial_price")) {
    price = models::from_json<models::NormalizedPrice>(*value, "initial_price");
  }
  const std::string_view url = o.text("direct_url");
  const std::string_view title = o.optional_text("initial_title").value_or("");
  const std::string_view merchant = o.optional_text("initial_merchant").value_or("");
  const auto result = commerce::DestinationMetadataParser::parse_metadata(commerce::MetadataRequest{
      .html = page,
      .direct_url = url,
      .initial_title = title,
      .initial_merchant = merchant,
      .initial_price = price,
      .initial_stock = o.optional_bool("initial_stock"),
      .rank = rank_of(o.optional_integer("rank").value_or(1)),
      .extraction = mode_of(extended || o.optional_bool("extended").value_or(false))});
  return commerce::to_json(result);
}

}  // namespace

void add_parse_commands(CLI::App& app, RunState& state) {
  struct Options {
    std::optional<std::string> file;
    std::string url;
    std::string title;
    std::string merchant;
    std::optional<std::string> price;
    std::optional<std::string> currency;
    bool in_stock = false;
    bool out_of_stock = false;
    int rank = 1;
    bool jsonl = false;
    bool extended = false;
  };
  auto opts = std::make_shared<Options>();
  auto* cmd = app.add_subcommand(
      "parse", "Print the product metadata of a saved destination page as JSON: title, merchant, "
               "brand, SKU, price, stock, condition, image, page type, match score, source");
  cmd->add_option("FILE", opts->file, "The page's HTML (\"-\" reads standard input)");
  auto* url = cmd->add_option("--url", opts->url, "The page's link (required without --jsonl)");
  cmd->add_option("--title", opts->title, "The search result's title");
  cmd->add_option("--merchant", opts->merchant, "The search result's merchant name");
  auto* price_opt = cmd->add_option("--price", opts->price, "The search result's price text");
  cmd->add_option("--currency", opts->currency, "Currency hint for --price")->needs(price_opt);
  auto* in = cmd->add_flag("--in-stock", opts->in_stock, "The search result says in stock");
  auto* out = cmd->add_flag("--out-of-stock", opts->out_of_stock, "The search result says out of stock");
  in->excludes(out);
  cmd->add_option("--rank", opts->rank, "1-based position in the search result")
      ->capture_default_str()
      ->check(whole_number_from(1));
  cmd->add_flag("--extended", opts->extended,
                "Also read the sources past the standard rules (microdata, page state, analytics, "
                "visible price, item labels, stock cues); with --jsonl, for every line");
  auto* jsonl = cmd->add_flag(
      "--jsonl", opts->jsonl,
      "Read {\"html\" (text|null) or \"html_file\", \"direct_url\", \"initial_title\", "
      "\"initial_merchant\", \"initial_price\" (null|{\"raw\",\"amount\",\"currency\"}), "
      "\"initial_stock\" (null|true|false), \"rank\", \"extended\" (true|false)} objects, one per line, "
      "from standard input; "
      "answer one {\"result\": {...}} or {\"error\": ...} line each");
  jsonl->excludes(url);
  cmd->callback([&state, opts] {
    if (opts->jsonl) {
      state.exit_code = run_jsonl(STDIN_FILENO, stdout, [opts, file_content = std::string()](const JsonlRequest& o) mutable {
        return parse_request(o, opts->extended, file_content);
      });
      return;
    }
    if (!opts->file) throw CLI::ValidationError("parse", "give a FILE (or -), or --jsonl");
    if (opts->url.empty()) throw CLI::ValidationError("parse", "--url is required");
    const std::string page = read_input_file(*opts->file);
    std::optional<models::NormalizedPrice> price;
    if (opts->price) {
      price = commerce::PriceNormalizer::parse(
          *opts->price, opts->currency ? std::optional<std::string_view>(*opts->currency) : std::nullopt);
      if (!price) std::cerr << "korvane-commerce parse: no price in \"" << *opts->price << "\", ignored\n";
    }
    std::optional<bool> stock;
    if (opts->in_stock) stock = true;
    if (opts->out_of_stock) stock = false;
    const auto result = commerce::DestinationMetadataParser::parse_metadata(
        commerce::MetadataRequest{.html = page,
                                  .direct_url = opts->url,
                                  .initial_title = opts->title,
                                  .initial_merchant = opts->merchant,
                                  .initial_price = price,
                                  .initial_stock = stock,
                                  .rank = opts->rank,
                                  .extraction = mode_of(opts->extended)});
    std::cout << models::json_text(commerce::to_json(result), 2) << '\n';
  });
}

}  // namespace korvane::cli
