// demo: the whole pipeline offline on the bundled example, its pages served
// by a loopback HTTPS server to the fetcher and to the browser alike.
#include "cli.hpp"
#include "demo_server.hpp"
#include "pipeline_run.hpp"
#include "progress.hpp"
#include "signals.hpp"

#include <korvane/commerce/input.hpp>
#include <korvane/commerce/unwrapper.hpp>
#include <korvane/core/fetcher.hpp>

#include <cstdio>
#include <set>
#include <system_error>

namespace korvane::cli {
namespace fs = std::filesystem;

namespace {

// The bundled example: beside an installed executable
// (PREFIX/bin/../share/korvane-commerce/examples), in the source tree of a
// build, where it was to be installed, or in ./examples.
fs::path find_examples(const std::optional<fs::path>& given) {
  if (given) return *given;
  std::error_code ec;
  const fs::path executable = fs::read_symlink("/proc/self/exe", ec);
  std::vector<fs::path> candidates;
  if (!ec) candidates.push_back(executable.parent_path().parent_path() / "share/korvane-commerce/examples");
  candidates.insert(candidates.end(), {fs::path(KORVANE_EXAMPLES_DIR), fs::path(KORVANE_INSTALLED_EXAMPLES_DIR),
                                       fs::path("examples")});
  for (const fs::path& candidate : candidates) {
    if (fs::exists(candidate / "visual-search-result.json", ec)) return candidate;
  }
  throw std::runtime_error("cannot find the bundled example; name its folder with --examples");
}

// Every host the demo's links may reach: the saved pages' and the matches'.
std::vector<std::string> hosts_of(const fs::path& examples) {
  std::set<std::string> hosts;
  for (const auto& [link, page] : core::read_page_manifest(examples / "pages")) {
    hosts.insert(commerce::URLUnwrapper::extract_domain("//" + link.substr(link.find("//") + 2)));
  }
  const fs::path result = examples / "visual-search-result.json";
  for (const auto& match : commerce::read_search_result(read_input_file(result), result.string()).matches) {
    hosts.insert(commerce::URLUnwrapper::extract_domain(commerce::URLUnwrapper::unwrap(match.link)));
  }
  std::vector<std::string> out;
  for (const auto& h : hosts) {
    if (h.empty()) continue;
    out.push_back(h);
    out.push_back("www." + h);
  }
  return out;
}

}  // namespace

void add_demo_command(CLI::App& app, RunState& state) {
  auto* demo = app.add_subcommand("demo", "Run the whole pipeline offline on the bundled example");
  auto examples = std::make_shared<std::optional<fs::path>>();
  auto output = std::make_shared<fs::path>("demo-output");
  auto no_resolve = std::make_shared<bool>(false);
  auto quiet = std::make_shared<bool>(false);
  auto verbose = std::make_shared<bool>(false);
  auto without_offers = std::make_shared<bool>(false);
  auto extended = std::make_shared<bool>(false);
  demo->add_option("--examples", *examples, "The example folder (visual-search-result.json, pages/)");
  demo->add_option("--output", *output, "Folder for result.json, result.csv and result.html")->capture_default_str();
  demo->add_flag("--no-resolve", *no_resolve, "Skip store resolution (no browser)");
  demo->add_flag("--without-offers", *without_offers,
                 "Write the enriched matches alone, in match order, without the example's shopping offers");
  demo->add_flag("--extended", *extended, "Read the pages with the extended extraction and fuse the offers by product");
  demo->add_flag("--quiet,-q", *quiet, "No progress or summary on standard error");
  demo->add_flag("-v,--verbose", *verbose, "Debug log of the fetcher and the resolver on standard error");
  demo->callback([&state, examples, output, no_resolve, quiet, verbose, without_offers, extended] {
    const StopOnSignals stop;  // before the server's threads start
    configure_logging(*verbose, *quiet);
    const fs::path folder = find_examples(*examples);
    const DemoServer server(folder / "pages", hosts_of(folder));
    const std::string port = std::to_string(server.port());
    if (!*quiet) std::fprintf(stderr, "serving the example pages on https://127.0.0.1:%s\n", port.c_str());

    EnrichSettings settings;
    settings.input = folder / "visual-search-result.json";
    settings.outputs.json = *output / "result.json";
    settings.outputs.csv = *output / "result.csv";
    settings.outputs.html = *output / "result.html";
    settings.outputs.json_to_stdout = false;
    settings.fuse_offers = !*without_offers;
    settings.quiet = *quiet;
    settings.verbose = *verbose;
    settings.options.resolve_stores = !*no_resolve;
    settings.options.allow_private_addresses = true;
    if (*extended) settings.options.extraction = commerce::ExtractionMode::extended;
    // Every host goes to the loopback server, which presents a certificate
    // made for the example hosts.
    settings.options.fetcher.connect_to = {"::127.0.0.1:" + port};
    settings.options.fetcher.ca_certificates_pem = server.certificate_pem();
    settings.options.browser.extra_args = {"--host-resolver-rules=MAP * 127.0.0.1:" + port,
                                           "--ignore-certificate-errors-spki-list=" + server.public_key_hash()};
    state.exit_code = run_enrich(settings, stop);
  });
}

}  // namespace korvane::cli
