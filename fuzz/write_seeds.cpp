// Writes the fuzz targets' seeds from what the project itself reads and
// writes: the bundled example search result enriched offline from its saved
// pages (resolution off), once per extraction mode. For each target a folder
// under OUTPUT:
//   json/      the search result, its offers, the enriched result
//   report/    the enriched results
//   metadata/  the saved pages and the visual reports of the results
//   unwrapper/ every match link, every direct and original item link
//   price/     every price text of the matches, offers and items
//
// write_seeds EXAMPLES_DIR OUTPUT_DIR
#include <korvane/commerce/input.hpp>
#include <korvane/commerce/run.hpp>
#include <korvane/models/json.hpp>
#include <korvane/report.hpp>

#include "support/files.hpp"

#include <boost/json.hpp>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

namespace {

namespace fs = std::filesystem;
namespace commerce = korvane::commerce;
namespace models = korvane::models;
using korvane::testing::read_file;

class SeedFolder {
 public:
  SeedFolder(const fs::path& root, std::string_view target) : dir_(root / target) { fs::create_directories(dir_); }
  void add(std::string_view name, std::string_view content) const {
    std::ofstream(dir_ / name, std::ios::binary) << content;
  }
  // One seed per non-empty text, numbered after `prefix`.
  void add_each(std::string_view prefix, const std::vector<std::string>& texts) const {
    std::size_t n = 0;
    for (const auto& t : texts) {
      if (!t.empty()) add(std::string(prefix) + "-" + std::to_string(++n), t);
    }
  }

 private:
  fs::path dir_;
};

void write_result_seeds(const fs::path& out, std::string_view mode, const models::CommerceIntelligence& result) {
  const std::string json = models::model_dump_json(result);
  SeedFolder(out, "json").add(std::string("result-") + std::string(mode) + ".json", json);
  SeedFolder(out, "report").add(std::string("result-") + std::string(mode) + ".json", json);
  SeedFolder(out, "metadata").add(std::string("report-") + std::string(mode) + ".html",
                                  korvane::report::commerce_to_html(result));
  std::vector<std::string> links;
  std::vector<std::string> prices;
  for (const auto& item : result.items) {
    links.push_back(item.direct_url);
    links.push_back(item.original_url);
    if (item.price) prices.push_back(item.price->raw);
  }
  SeedFolder(out, "unwrapper").add_each(std::string("item-") + std::string(mode), links);
  SeedFolder(out, "price").add_each(std::string("item-") + std::string(mode), prices);
}

void write_input_seeds(const fs::path& out, const fs::path& examples, const commerce::EnrichRequest& request) {
  SeedFolder(out, "json").add("visual-search-result.json", read_file(examples / "visual-search-result.json"));
  std::vector<std::string> links;
  std::vector<std::string> prices;
  boost::json::array offers;
  for (const auto& m : request.matches) {
    links.push_back(m.link);
    prices.push_back(m.price.value_or(""));
  }
  for (const auto& o : request.offers.value_or(std::vector<models::ShoppingOffer>{})) {
    offers.push_back(models::to_json(o));
    links.push_back(o.link);
    prices.push_back(o.price.value_or(""));
  }
  SeedFolder(out, "json").add("offers.json", models::json_text(offers));
  SeedFolder(out, "unwrapper").add_each("match", links);
  SeedFolder(out, "price").add_each("match", prices);
  const SeedFolder pages(out, "metadata");
  for (const auto& entry : fs::directory_iterator(examples / "pages")) {
    if (entry.path().extension() == ".html") pages.add(entry.path().filename().string(), read_file(entry.path()));
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: write_seeds EXAMPLES_DIR OUTPUT_DIR\n";
    return 2;
  }
  try {
    const fs::path examples(argv[1]);
    const fs::path out(argv[2]);
    const commerce::EnrichRequest request =
        commerce::read_search_result(read_file(examples / "visual-search-result.json"), "visual-search-result.json");
    write_input_seeds(out, examples, request);
    commerce::RunOptions options;
    options.pages = examples / "pages";
    options.resolve_stores = false;
    for (const auto mode : {commerce::ExtractionMode::standard, commerce::ExtractionMode::extended}) {
      options.extraction = mode;
      const auto run = commerce::enrich(request, options);
      write_result_seeds(out, mode == commerce::ExtractionMode::standard ? "standard" : "extended", run.result);
    }
  } catch (const std::exception& e) {
    std::cerr << "write_seeds: " << e.what() << '\n';
    return 1;
  }
  return 0;
}
