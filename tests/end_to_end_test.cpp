// The whole pipeline through the command line: the bundled example served on
// loopback, a real fetcher and a real browser; and bad input files.
#include "cli_support.hpp"
#include "support/processes.hpp"
#include "support/files.hpp"

#include <boost/json.hpp>
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using korvane::testing::run_cli;
namespace fs = std::filesystem;
namespace json = boost::json;

namespace {

using korvane::testing::read_file;

// A fresh folder korvane-e2e-NAME-PID in the temporary folder, removed with
// the object (also when an assertion ends the test early).
class TempFolder : public fs::path {
 public:
  explicit TempFolder(const char* name)
      : fs::path(fs::temp_directory_path() / (std::string("korvane-e2e-") + name + "-" + std::to_string(getpid()))) {
    fs::remove_all(*this);
    fs::create_directories(*this);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  ~TempFolder() {
    std::error_code ignored;
    fs::remove_all(*this, ignored);
  }
};

const fs::path examples = fs::path(KORVANE_SOURCE_DIR) / "examples";

}  // namespace

// Every item of the example as worked out by hand from the pipeline's rules
// (examples/expected.json), compared with what the pipeline produces.
TEST(EndToEnd, DemoProducesTheExpectedItems) {
  const TempFolder out("demo");
  const auto r = run_cli("demo --without-offers --quiet --output " + out.string());
  ASSERT_EQ(r.status, 0);
  const json::value result = json::parse(read_file(out / "result.json"));
  const json::value expected = json::parse(read_file(examples / "expected.json"));
  const auto& items = result.at("items").as_array();
  const auto& wanted = expected.at("items").as_array();
  ASSERT_EQ(items.size(), wanted.size());
  for (std::size_t i = 0; i < items.size(); ++i) {
    const auto& got = items[i].as_object();
    const auto& want = wanted[i].as_object();
    SCOPED_TRACE("item " + std::to_string(i + 1) + ": " + std::string(want.at("title").as_string()));
    for (const char* field : {"title", "direct_url", "page_type", "merchant_category", "brand", "sku",
                              "stock_status", "condition", "match_score"}) {
      const json::value* g = got.if_contains(field);
      const json::value& w = want.at(field);
      EXPECT_EQ(g ? *g : json::value(nullptr), w) << field;
    }
    const json::value* price = got.if_contains("price");
    if (want.at("price").is_null()) {
      EXPECT_EQ(price, nullptr);
    } else {
      ASSERT_NE(price, nullptr);
      EXPECT_EQ(price->at("amount").to_number<double>(), want.at("price").at("amount").to_number<double>());
      EXPECT_EQ(price->at("currency"), want.at("price").at("currency"));
    }
    EXPECT_TRUE(got.contains("relevance"));
  }
  EXPECT_EQ(result.at("summary").at("total_matches").as_int64(), 15);

  // The CSV holds the same items, one record each, in the same order.
  const std::string csv = read_file(out / "result.csv");
  EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 16);
  EXPECT_NE(csv.find("\r\n99%,exact_match,product,Nike,"), std::string::npos);
  EXPECT_NE(csv.find("https://www.ebay.com/itm/235112478963"), std::string::npos);
}

TEST(EndToEnd, OffersAreFusedIntoTheDemoResult) {
  const TempFolder out("fused");
  ASSERT_EQ(run_cli("demo --quiet --no-resolve --output " + out.string()).status, 0);
  const json::value result = json::parse(read_file(out / "result.json"));
  const auto& items = result.at("items").as_array();
  std::size_t offers = 0;
  for (const auto& item : items) offers += item.at("source_engine") == "shopping" ? 1 : 0;
  const auto input = json::parse(read_file(examples / "visual-search-result.json"));
  EXPECT_EQ(offers, input.at("shopping_results").as_array().size());
  EXPECT_LT(items.size(), offers + input.at("visual_matches").as_array().size());  // duplicates dropped
  // Shown in relevance order: exact matches first.
  EXPECT_EQ(items.front().at("relevance"), "exact_match");
}

// The example's eBay listing comes as an offer and as a visual match whose
// link carries click tracking: two items in the standard fusion, one in the
// extended, which also classifies every offer's merchant.
TEST(EndToEnd, ExtendedFusionListsTheSameListingOnceAndClassifiesOffers) {
  const auto listing = [](const json::value& item) {
    return std::string_view(item.at("direct_url").as_string()).starts_with("https://www.ebay.com/itm/256418894517");
  };
  const auto run = [&](const char* name, const std::string& flags) {
    const TempFolder out(name);
    EXPECT_EQ(run_cli("demo --quiet --no-resolve " + flags + " --output " + out.string()).status, 0);
    return json::parse(read_file(out / "result.json")).at("items").as_array();
  };
  const auto standard = run("standard-fusion", "");
  EXPECT_EQ(std::count_if(standard.begin(), standard.end(), listing), 2);

  const auto extended = run("extended-fusion", "--extended");
  ASSERT_EQ(std::count_if(extended.begin(), extended.end(), listing), 1);
  const auto& ebay = *std::find_if(extended.begin(), extended.end(), listing);
  EXPECT_EQ(ebay.at("source_engine"), "shopping");  // the offer stays, with what the page said
  EXPECT_EQ(ebay.at("sku"), "CT1685-100");
  EXPECT_EQ(ebay.at("condition"), "used");
  for (const auto& item : extended) {
    if (item.at("source_engine") == "shopping") EXPECT_TRUE(item.as_object().contains("merchant_category")) << item;
  }
  EXPECT_EQ(ebay.at("merchant_category"), "major_marketplace");
}

// The same example read from its page folder, without network or browser:
// the items are those of the demo but for the two store search links.
TEST(EndToEnd, EnrichFromAPageFolderWritesJsonToStandardOutput) {
  const auto r = run_cli("enrich " + (examples / "visual-search-result.json").string() + " --pages " +
                         (examples / "pages").string() + " --no-resolve --quiet --max-items -2");
  ASSERT_EQ(r.status, 0);
  const json::value result = json::parse(r.output);
  const json::value expected = json::parse(read_file(examples / "expected.json"));
  // With shopping offers in the input the output is the fused list: look
  // the visual matches up by their original link.
  const auto input = json::parse(read_file(examples / "visual-search-result.json"));
  const auto& matches = input.at("visual_matches").as_array();
  std::size_t compared = 0;
  for (const auto& item : result.at("items").as_array()) {
    if (item.at("source_engine") != "lens") continue;
    for (std::size_t i = 0; i < matches.size() - 2; ++i) {
      if (matches[i].at("link") != item.at("original_url")) continue;
      const auto& want = expected.at("items").as_array()[i];
      EXPECT_EQ(item.at("title"), want.at("title"));
      EXPECT_EQ(item.at("page_type"), want.at("page_type"));
      ++compared;
    }
  }
  EXPECT_GE(compared, 10u);  // 13 matches enriched, a few fused away as duplicates of offers
}

TEST(EndToEnd, BadInputFilesGiveAClearErrorAndWriteNothing) {
  const TempFolder dir("bad");
  const auto write = [&](const char* name, const std::string& text) {
    std::ofstream(dir / name) << text;
    return (dir / name).string();
  };
  const struct {
    std::string file;
    std::string message;
  } cases[] = {
      {write("truncated.json", "{\"visual_matches\": [\n  {\"link\": \"https://a.example/\""),
       "truncated.json: line 2, column 32: invalid JSON"},
      {write("no-link.json", "[{\"title\": \"x\"}]"), "no-link.json: [0].link is missing"},
      {write("bad-type.json", "{\"visual_matches\": [{\"link\": \"https://a.example/\", \"title\": 3}]}"),
       "bad-type.json: visual_matches[0].title must be a string"},
      {write("wrong-shape.json", "{\"matches\": []}"), "wrong-shape.json: the object has no \"visual_matches\" member"},
      {(dir / "missing.json").string(), "missing.json: cannot open the file"},
  };
  for (const auto& c : cases) {
    const std::string out = (dir / "out.json").string();
    const auto r = run_cli("enrich " + c.file + " --json " + out + " 2>&1");
    EXPECT_NE(r.status, 0) << c.file;
    EXPECT_NE(r.output.find(c.message), std::string::npos) << r.output;
    EXPECT_FALSE(fs::exists(out));
  }
  // A link that cannot be split is a miss of its own item; the run goes on.
  const auto one_bad = run_cli("enrich " + write("onebad.json", R"([{"link": "https://shop.example/a"},)"
                                                                R"( {"link": "http://[::1"}])") +
                               " --pages " + (examples / "pages").string() + " --no-resolve 2>&1");
  EXPECT_EQ(one_bad.status, 0) << one_bad.output;
  EXPECT_NE(one_bad.output.find("\"direct_url\": \"http://[::1\""), std::string::npos) << one_bad.output;
  EXPECT_NE(one_bad.output.find("1 malformed_link"), std::string::npos) << one_bad.output;
}

// SIGINT or SIGTERM while the stores are resolved: the run stops, closes the
// browser and removes its profile folder, writes nothing, and exits with
// 128 + the signal.
TEST(EndToEnd, ASignalDuringStoreResolutionStopsCleanly) {
  for (const int signal : {SIGINT, SIGTERM}) {
    const TempFolder dir("signal");
    const fs::path tmp = dir / "tmp";
    fs::create_directories(tmp);
    int err[2];
    ASSERT_EQ(pipe(err), 0);
    const pid_t child = fork();
    if (child == 0) {
      setenv("TMPDIR", tmp.c_str(), 1);
      dup2(err[1], STDERR_FILENO);
      close(err[0]);
      const std::string out = (dir / "out").string();
      execl(KORVANE_CLI, KORVANE_CLI, "demo", "--output", out.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    close(err[1]);
    // Wait for the resolution to start, then signal.
    std::string seen;
    char buf[512];
    while (seen.find("Resolving direct product links across") == std::string::npos) {
      const ssize_t n = read(err[0], buf, sizeof buf);
      if (n <= 0) break;
      seen.append(buf, static_cast<std::size_t>(n));
    }
    ASSERT_NE(seen.find("Resolving direct product links across"), std::string::npos) << seen;
    kill(child, signal);
    while (read(err[0], buf, sizeof buf) > 0) {
    }
    close(err[0]);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status)) << signal;
    EXPECT_EQ(WEXITSTATUS(status), 128 + signal);
    EXPECT_TRUE(fs::is_empty(tmp)) << "left behind in " << tmp;
    EXPECT_EQ(korvane::testing::processes_mentioning(tmp.string()), 0);
    EXPECT_FALSE(fs::exists(dir / "out" / "result.json"));
  }
}

// Output targets are checked before any work; standard output and devices
// are written in place.
TEST(EndToEnd, OutputTargetsAreCheckedFirstAndDevicesWrittenInPlace) {
  const TempFolder dir("outputs");
  const std::string run = "enrich " + (examples / "visual-search-result.json").string() + " --pages " +
                          (examples / "pages").string() + " --allow-private --no-resolve --quiet ";
  const auto refused = run_cli(run + "--json " + dir.string() + " --csv " + (dir / "out.csv").string() + " 2>&1");
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.output.find(dir.string() + ": the export target is a directory"), std::string::npos)
      << refused.output;
  EXPECT_FALSE(fs::exists(dir / "out.csv"));

  const auto piped = run_cli(run + "--csv /dev/stdout");
  EXPECT_EQ(piped.status, 0);
  EXPECT_TRUE(piped.output.starts_with("Match Score,Relevance")) << piped.output;
  EXPECT_EQ(run_cli(run + "--json /dev/null").status, 0);
  EXPECT_TRUE(fs::is_character_file("/dev/null"));

  // resolve leaves its input alone unless told --in-place (items without
  // store links: no browser is needed).
  const fs::path items = dir / "items.json";
  const std::string before =
      R"([{"title": "A", "direct_url": "https://a.example/p/1", "original_url": "https://a.example/p/1"}])";
  std::ofstream(items) << before;
  const auto resolved = run_cli("resolve " + items.string() + " --quiet");
  EXPECT_EQ(resolved.status, 0);
  EXPECT_NE(resolved.output.find("\"direct_url\": \"https://a.example/p/1\""), std::string::npos)
      << resolved.output;
  EXPECT_EQ(read_file(items), before);
}

// Standard output is written in place through descriptor 1, every write
// checked; only one output may go there; a FIFO without a reader does not
// hold up a stop.
TEST(EndToEnd, StandardOutputIsWrittenInPlaceAndChecked) {
  const TempFolder dir("stdout");
  const std::string run = "enrich " + (examples / "visual-search-result.json").string() + " --pages " +
                          (examples / "pages").string() + " --no-resolve --quiet ";
  const fs::path log = dir / "app.txt";
  for (const char* target : {"--json -", "--csv /dev/stdout"}) {
    std::ofstream(log) << "PREVIOUS\n";
    const auto inode = [&] {
      struct stat st {};
      ::stat(log.c_str(), &st);
      return st.st_ino;
    };
    const auto before = inode();
    EXPECT_EQ(run_cli(run + target + " >> " + log.string()).status, 0) << target;
    EXPECT_EQ(inode(), before) << target;
    const std::string text = read_file(log);
    EXPECT_TRUE(text.starts_with("PREVIOUS\n") && text.size() > 1000) << target << ": " << text.substr(0, 100);
  }
  for (const char* target : {"", "--json -", "--html -"}) {
    EXPECT_EQ(run_cli(run + target + " > /dev/full").status, 1) << target;
  }
  EXPECT_EQ(run_cli("unwrap https://a.example/ > /dev/full").status, 1);
  for (const char* targets : {"--json - --csv -", "--json /dev/stdout --csv /dev/stdout", "--csv - --html -"}) {
    const auto r = run_cli(run + targets + " 2>&1");
    EXPECT_EQ(r.status, 2) << targets;
    EXPECT_NE(r.output.find("at most one output may go to standard output"), std::string::npos) << r.output;
  }

  const fs::path fifo = dir / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(run_cli(run + "--json " + fifo.string() + " & pid=$!; sleep 1; kill -TERM $pid; wait $pid").status, 143);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
}
