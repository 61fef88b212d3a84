// unwrap and domain: clean links and reduce them to domains.
#include "cli.hpp"

#include <korvane/commerce/unwrapper.hpp>

#include <iostream>
#include <unistd.h>

namespace korvane::cli {
namespace {

using Operation = std::string (*)(std::string_view);

void add_link_command(CLI::App& app, RunState& state, const char* name, const char* description,
                      Operation op) {
  auto* cmd = app.add_subcommand(name, description);
  auto urls = std::make_shared<std::vector<std::string>>();
  auto jsonl = std::make_shared<bool>(false);
  cmd->add_option("URL", *urls, "Links to process");
  cmd->add_flag("--jsonl", *jsonl,
                "Read {\"url\": ...} objects, one per line, from standard input; "
                "answer one {\"result\"|\"error\": ...} line each");
  cmd->callback([&state, urls, jsonl, op, name] {
    if (*jsonl) {
      state.exit_code = run_jsonl(STDIN_FILENO, stdout, [op](const JsonlRequest& o) {
        return boost::json::value(op(std::string(o.text("url"))));
      });
      return;
    }
    if (urls->empty()) throw CLI::ValidationError(name, "give at least one URL, or --jsonl");
    for (const auto& url : *urls) {
      try {
        std::cout << op(url) << '\n';
      } catch (const InvalidUrlError& e) {
        std::cerr << "korvane-commerce " << name << ": " << url << ": " << e.what() << '\n';
        state.exit_code = 1;
      }
    }
  });
}

}  // namespace

void add_unwrap_commands(CLI::App& app, RunState& state) {
  add_link_command(app, state, "unwrap",
                   "Remove redirect wrappers, tracking parameters and text-fragment directives",
                   &commerce::URLUnwrapper::unwrap);
  add_link_command(app, state, "domain", "Print the lower-cased domain of each link",
                   &commerce::URLUnwrapper::extract_domain);
}

}  // namespace korvane::cli
