// similarity: how well a store link matches an item's title, the score the
// store resolver compares with its threshold.
#include "cli.hpp"

#include <korvane/commerce/resolver.hpp>
#include <korvane/models.hpp>
#include <korvane/models/json.hpp>

#include <iostream>
#include <unistd.h>
#include <memory>

namespace korvane::cli {

void add_similarity_commands(CLI::App& app, RunState& state) {
  auto* cmd = app.add_subcommand(
      "similarity",
      "Score a store link against an item title: the share of the title's words that the link's text "
      "or path mentions (links from 0.3 up are accepted)");
  struct Args {
    std::string title;
    std::string text;
    std::string href;
    bool jsonl = false;
  };
  auto args = std::make_shared<Args>();
  cmd->add_option("TITLE", args->title, "The item's title");
  cmd->add_option("--text", args->text, "The link's visible text");
  cmd->add_option("--href", args->href, "The link's address (only its path counts)");
  cmd->add_flag("--jsonl", args->jsonl,
                "Read {\"item_title\", \"link_text\", \"link_href\"} objects, one per line, from standard "
                "input; answer one {\"result\"|\"error\": ...} line each");
  cmd->callback([&state, args, cmd] {
    if (args->jsonl) {
      state.exit_code = run_jsonl(STDIN_FILENO, stdout, [](const JsonlRequest& o) {
        const std::string_view title = o.text("item_title");
        const std::string_view text = o.optional_text("link_text").value_or("");
        const std::string_view href = o.optional_text("link_href").value_or("");
        return boost::json::value(commerce::title_similarity(title, text, href));
      });
      return;
    }
    if (cmd->count("TITLE") == 0) throw CLI::ValidationError("similarity", "give a TITLE, or --jsonl");
    try {
      const double score = commerce::title_similarity(args->title, args->text, args->href);
      std::cout << models::json_text(boost::json::value(score)) << '\n';
    } catch (const InvalidUrlError& e) {
      std::cerr << "korvane-commerce similarity: " << args->href << ": " << e.what() << '\n';
      state.exit_code = 1;
    }
  });
}

}  // namespace korvane::cli
