// korvane-commerce: commerce intelligence from visual product search results.
#include "cli.hpp"

#include <iostream>

int main(int argc, char** argv) {
  CLI::App app{"korvane-commerce: turn visual product search results into commerce intelligence"};
  app.require_subcommand(1);
  app.set_help_all_flag("--help-all", "Show help for every subcommand");
  korvane::cli::RunState state;
  korvane::cli::add_enrich_commands(app, state);
  korvane::cli::add_demo_command(app, state);
  korvane::cli::add_unwrap_commands(app, state);
  korvane::cli::add_classify_commands(app, state);
  korvane::cli::add_price_commands(app, state);
  korvane::cli::add_parse_commands(app, state);
  korvane::cli::add_similarity_commands(app, state);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  } catch (const std::exception& e) {
    std::cerr << "korvane-commerce: " << e.what() << '\n';
    return 1;
  }
  return state.exit_code;
}
