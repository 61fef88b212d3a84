// korvane-commerce: commerce intelligence from visual product search results.
#include "cli.hpp"
#include "signals.hpp"
#include "standard_output.hpp"

#include <korvane/errors.hpp>

#include <iostream>

namespace {

constexpr const char* exit_statuses =
    "Exit status: 0 success; 1 the work failed (an input that cannot be read, an output that cannot be "
    "written, a link that cannot be split, no price in a text); 2 the command line is wrong; 130 or 143 "
    "stopped by SIGINT or SIGTERM (the browser closed and temporary files removed first).";

}  // namespace

int main(int argc, char** argv) {
  using namespace korvane::cli;
  CLI::App app{"korvane-commerce " KORVANE_VERSION
               ": turn visual product search results into commerce intelligence"};
  app.footer(exit_statuses);
  app.set_version_flag("--version", KORVANE_VERSION);
  app.set_help_all_flag("--help-all", "Show help for every subcommand");
  app.require_subcommand(1);
  RunState state;
  app.add_subcommand("version", "Print the version")->callback([] { std::cout << KORVANE_VERSION << '\n'; });
  add_enrich_commands(app, state);
  add_demo_command(app, state);
  add_unwrap_commands(app, state);
  add_classify_commands(app, state);
  add_price_commands(app, state);
  add_parse_commands(app, state);
  add_similarity_commands(app, state);
  ignore_file_size_signal();
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return finish_standard_output(app.exit(e));
  } catch (const CLI::CallForAllHelp& e) {
    return finish_standard_output(app.exit(e));
  } catch (const CLI::CallForVersion& e) {
    return finish_standard_output(app.exit(e));
  } catch (const CLI::ParseError& e) {
    (void)app.exit(e);
    return EXIT_USAGE;
  } catch (const std::exception& e) {
    std::cerr << "korvane-commerce: " << e.what() << '\n';
    return finish_standard_output(EXIT_FAILED);
  }
  return finish_standard_output(state.exit_code);
}
