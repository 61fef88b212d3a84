// The standard answers on the saved corpus pages are exactly those recorded
// in tests/data/metadata_corpus_golden.jsonl (written by
// `extraction_quality --dump`, two search-result contexts per page): the
// extended mode's code leaves the default mode alone. Skips only when the
// corpus folder is not there at all: a folder without its manifest or pages
// fails.
#include <korvane/commerce/json.hpp>
#include <korvane/commerce/metadata.hpp>

#include <korvane/models.hpp>
#include <korvane/models/json.hpp>

#include "support/files.hpp"

#include <gtest/gtest.h>

#include <boost/json.hpp>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

namespace {

namespace fs = std::filesystem;
namespace json = boost::json;
using korvane::commerce::DestinationMetadataParser;
using korvane::commerce::ExtractionMode;
using korvane::commerce::MetadataRequest;
using korvane::models::NormalizedPrice;

// The links the pages were saved from, by file.
std::map<std::string, std::string> links_of(const fs::path& corpus) {
  std::map<std::string, std::string> links;
  const json::value manifest = json::parse(korvane::testing::read_file(corpus / "manifest.json"));
  for (const auto& entry : manifest.as_array()) {
    const auto& o = entry.as_object();
    const auto* url = o.if_contains("original_url");
    links[std::string(o.at("file").as_string())] = url != nullptr && url->is_string() ? std::string(url->as_string()) : "";
  }
  return links;
}

// The search-result side of each recorded context.
MetadataRequest request_for(std::string_view context, std::string_view html, std::string_view url) {
  MetadataRequest r{.html = html, .direct_url = url, .extraction = ExtractionMode::standard};
  if (context == "serp") {
    r.initial_title = "Shop now";
    r.initial_merchant = "Example Store";
    r.initial_price = NormalizedPrice("12,50 EUR", 12.5, "EUR");
    r.initial_stock = true;
    r.rank = 3;
  }
  return r;
}

TEST(CorpusGolden, StandardAnswersAreUnchanged) {
  const fs::path corpus = KORVANE_CORPUS_DIR;
  std::error_code ec;
  if (!fs::is_directory(corpus, ec)) GTEST_SKIP() << "no corpus at " << corpus;
  ASSERT_TRUE(fs::is_regular_file(corpus / "manifest.json", ec)) << "no manifest.json in " << corpus;
  const auto links = links_of(corpus);
  std::ifstream golden(fs::path(KORVANE_TEST_DATA_DIR) / "metadata_corpus_golden.jsonl");
  ASSERT_TRUE(golden) << "golden file missing";
  std::string line;
  int compared = 0;
  while (std::getline(golden, line)) {
    const json::object expected = json::parse(line).as_object();
    const std::string file(expected.at("file").as_string());
    const std::string context(expected.at("context").as_string());
    ASSERT_TRUE(fs::is_regular_file(corpus / file, ec)) << "missing corpus page " << file;
    const std::string html = korvane::testing::read_file(corpus / file);
    const auto result = DestinationMetadataParser::parse_metadata(request_for(context, html, links.at(file)));
    EXPECT_EQ(korvane::models::json_text(korvane::commerce::to_json(result)),
              korvane::models::json_text(expected.at("result")))
        << file << " (" << context << ")";
    ++compared;
  }
  EXPECT_GT(compared, 0);
}

}  // namespace
