// Fusion of visual matches with shopping offers; CSV and JSON exports.
#include <korvane/commerce/aggregator.hpp>
#include <korvane/commerce/export.hpp>
#include <korvane/errors.hpp>

#include "commerce/csv.hpp"
#include "commerce/product_identity.hpp"
#include "support/files.hpp"
#include "support/records.hpp"
#include <korvane/models/json.hpp>

#include <boost/json.hpp>
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace korvane::models;
using korvane::commerce::CommerceAggregator;
namespace fs = std::filesystem;
namespace commerce = korvane::commerce;

namespace {

ShoppingOffer offer(std::string title, std::string link, std::optional<std::string> source = {}) {
  return korvane::testing::listing<ShoppingOffer>(std::move(link), std::move(title), std::move(source));
}

// A product page's item with a strong match.
EnrichedCommerceMatch item(std::string title, std::string link, std::optional<std::string> merchant = {}) {
  auto m = korvane::testing::item(std::move(title), std::move(link), std::move(merchant));
  m.match_score = 90;
  m.page_type = PageType::PRODUCT;
  return m;
}

std::vector<std::string> titles(const std::vector<EnrichedCommerceMatch>& items) {
  std::vector<std::string> out;
  for (const auto& i : items) out.push_back(i.title + "|" + i.source_engine);
  return out;
}

using korvane::testing::read_file;

class TempDir : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/korvane-export-XXXXXX";
    dir_ = mkdtemp(tmpl);
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

}  // namespace

TEST(Fuse, OffersWinOverVisualMatchesWithTheSameLink) {
  const std::vector<EnrichedCommerceMatch> lens{item("Lens shoe", " HTTPS://Shop.example/P1 "),
                                                item("Other", "https://other.example/")};
  const std::vector<ShoppingOffer> offers{offer("Offer shoe", "https://shop.example/p1", "Shop")};
  const auto fused = CommerceAggregator::fuse_matches_and_offers(lens, offers);
  EXPECT_EQ(titles(fused), (std::vector<std::string>{"Offer shoe|shopping", "Other|lens"}));
  EXPECT_EQ(lens[0].title, "Lens shoe");  // inputs unchanged
}

TEST(Fuse, MerchantTitleKeyComparesTheFirst30CharactersCaseInsensitively) {
  const std::string long_title = "Nike Air Max 90 Essential Mens Shoes";  // > 30 characters
  const std::vector<ShoppingOffer> offers{
      offer(long_title + " White", "https://a.example/1", "Nike"),
      offer(long_title + " Black", "https://a.example/2", "Nike"),    // same merchant + 30 chars
      offer(long_title + " Black", "https://a.example/3", "Zalando")};  // other merchant
  const std::vector<EnrichedCommerceMatch> lens{
      item("NIKE AIR MAX 90 ESSENTIAL MENS SHOES - sale", "https://b.example/", "nike"),
      item("Short", "https://c.example/"), item("short", "https://d.example/"),  // no merchant: duplicates
      item("Blank link A", ""), item("Blank link B", "")};  // empty links never collide by link
  const auto fused = CommerceAggregator::fuse_matches_and_offers(lens, offers);
  std::vector<std::string> kept;
  for (const auto& m : fused) kept.push_back(m.direct_url);
  std::sort(kept.begin(), kept.end());
  EXPECT_EQ(kept, (std::vector<std::string>{"", "", "https://a.example/1", "https://a.example/3", "https://c.example/"}));
  EXPECT_TRUE(CommerceAggregator::fuse_matches_and_offers({}, {}).empty());
}

// ---------------------------------------------------------------- fusion by product (extended)

struct ListingCase {
  std::string a, b;
  bool same;
};

const ListingCase LISTING_CASES[] = {
    // Click tracking and the search engine's wrapper say nothing about the listing.
    {"https://www.ebay.com/itm/256418894517",
     "https://www.google.com/url?q=https://www.ebay.com/itm/256418894517%3Fmkcid%3D16%26mkevt%3D1%26mkrid%3D711", true},
    {"https://www.ebay.com/itm/256418894517", "https://ebay.com/itm/Nike-Air-Max-90-Infrared/256418894517?_trkparms=x&hash=item3bb", true},
    {"https://www.amazon.com/Nike-Air-Max/dp/B07XJ8C8F5/ref=sr_1_3?crid=2&keywords=nike&qid=1&sr=8-3&th=1&psc=1",
     "https://amazon.com/dp/B07XJ8C8F5", true},
    {"https://www.amazon.com/gp/product/B07XJ8C8F5?ref_=ox_sc&campid=5338", "https://www.amazon.com/dp/b07xj8c8f5/", true},
    {"https://www.walmart.com/ip/Nike-Air-Max-90/123456789?athbdg=L1600", "https://walmart.com/ip/123456789", true},
    {"https://shop.example/p/shoe/?utm_source=x&srsltid=AfmBOo#reviews", "http://SHOP.example/p/shoe", true},
    // Parameters that choose what is sold, other items, other hosts stay apart.
    {"https://shop.example/p/shoe?variant=41", "https://shop.example/p/shoe?variant=42", false},
    {"https://www.ebay.com/itm/256418894517", "https://www.ebay.com/itm/256418894518", false},
    {"https://www.ebay.com/itm/256418894517", "https://www.ebay.de/itm/256418894517", false},
    {"https://www.amazon.com/dp/collection", "https://www.amazon.com/dp/collections", false},
    {"javascript:alert(1)", "JavaScript:alert(1)", false},  // not web links: no listing
};

TEST(ProductIdentity, LinksOfTheSameListingShareOneKey) {
  for (const auto& c : LISTING_CASES) {
    SCOPED_TRACE(c.a + " / " + c.b);
    const std::string a = commerce::detail::listing_key(c.a);
    const std::string b = commerce::detail::listing_key(c.b);
    EXPECT_EQ(!a.empty() && a == b, c.same) << a << " / " << b;
  }
  // GTINs by their check digit, in any of their lengths; SKUs only with a brand.
  EXPECT_EQ(commerce::detail::gtin_of("0 885178-123456").value_or(""), "");  // check digit fails
  EXPECT_EQ(commerce::detail::gtin_of("4006381333931").value_or(""), "04006381333931");
  EXPECT_EQ(commerce::detail::gtin_of("04006381333931").value_or(""), "04006381333931");
  EXPECT_EQ(commerce::detail::gtin_of("CT1685-100"), std::nullopt);
  EXPECT_EQ(commerce::detail::brand_sku_key("Nike", "CT1685-100"), commerce::detail::brand_sku_key("NIKE", "ct1685 100"));
  EXPECT_EQ(commerce::detail::brand_sku_key(std::nullopt, "CT1685-100"), std::nullopt);
  EXPECT_EQ(commerce::detail::brand_sku_key("Nike", "XL"), std::nullopt);  // a size, not a product
}

TEST(Fuse, ExtendedModeMergesTheSameListingAndClassifiesOffers) {
  auto ebay_match = item("Nike Air Max 90 Infrared used", "https://www.ebay.com/itm/256418894517?mkcid=16&mkevt=1", "eBay");
  ebay_match.brand = "Nike";
  ebay_match.sku = "CT1685-100";
  ebay_match.condition = ItemCondition::USED;
  ebay_match.merchant_category = MerchantCategory::MAJOR_MARKETPLACE;
  auto same_shop_gtin = item("Air Max 90 white", "https://shop.example/p/1", "Shop");
  same_shop_gtin.sku = "4006381333931";
  auto same_shop_gtin_again = item("AM90 (colour: white)", "https://shop.example/p/1-white", "Shop");
  same_shop_gtin_again.sku = "4006381333931";
  auto other_shop_gtin = item("Air Max 90", "https://other.example/p/9", "Other");
  other_shop_gtin.sku = "4006381333931";
  auto other_seller = ebay_match;  // one product, another listing of the marketplace
  other_seller.direct_url = other_seller.original_url = "https://www.ebay.com/itm/256418894599";
  other_seller.merchant_name = "eBay - other_seller";
  const std::vector<EnrichedCommerceMatch> lens{ebay_match, same_shop_gtin, same_shop_gtin_again, other_shop_gtin,
                                                other_seller};
  const std::vector<ShoppingOffer> offers{
      offer("Nike Air Max 90 Infrared", "https://www.ebay.com/itm/256418894517", "eBay - kicks_resale_nyc"),
      offer("Air Max 90", "https://www.nike.com/t/air-max-90/CT1685-100", "Nike")};

  const auto standard = CommerceAggregator::fuse_matches_and_offers(lens, offers);
  EXPECT_EQ(standard, CommerceAggregator::fuse_matches_and_offers(lens, offers, commerce::ExtractionMode::standard));
  EXPECT_EQ(standard.size(), 7U);

  const auto fused = CommerceAggregator::fuse_matches_and_offers(lens, offers, commerce::ExtractionMode::extended);
  std::vector<std::string> links;
  for (const auto& m : fused) links.push_back(m.direct_url);
  std::sort(links.begin(), links.end());
  EXPECT_EQ(links, (std::vector<std::string>{"https://other.example/p/9", "https://shop.example/p/1",
                                             "https://www.ebay.com/itm/256418894517",
                                             "https://www.ebay.com/itm/256418894599",
                                             "https://www.nike.com/t/air-max-90/CT1685-100"}));
  const auto at = [&](std::string_view link) {
    return *std::find_if(fused.begin(), fused.end(), [&](const auto& m) { return m.direct_url == link; });
  };
  // The offer stays, completed by the visual match of the same listing.
  const auto ebay = at("https://www.ebay.com/itm/256418894517");
  EXPECT_EQ(ebay.source_engine, "shopping");
  EXPECT_EQ(ebay.merchant_name, "eBay - kicks_resale_nyc");
  EXPECT_EQ(ebay.brand, "Nike");
  EXPECT_EQ(ebay.sku, "CT1685-100");
  EXPECT_EQ(ebay.condition, ItemCondition::USED);
  // Offers are classified by their domain as matches are.
  EXPECT_EQ(ebay.merchant_category, MerchantCategory::MAJOR_MARKETPLACE);
  EXPECT_EQ(at("https://www.nike.com/t/air-max-90/CT1685-100").merchant_category, MerchantCategory::OFFICIAL_BRAND);
  for (const auto& m : standard) {
    if (m.source_engine == "shopping") EXPECT_EQ(m.merchant_category, std::nullopt) << m.direct_url;
  }
}

TEST(CsvExport, CellsQuotingAndFormulaNeutralisation) {
  CommerceIntelligence ci;
  auto a = item("Shoe, \"Limited\"", "https://a.example/p", "Acme");
  a.price = NormalizedPrice("12.00 USD", 12.0, "USD");
  a.relevance = RelevanceLabel::HIGH;
  a.brand = "";
  a.sku = "=HYPERLINK(\"http://evil\")";
  a.stock_status = StockStatus::IN_STOCK;
  a.merchant_category = MerchantCategory::OFFICIAL_BRAND;
  a.match_score = 87;
  auto b = item("Café 東京", "https://b.example/", std::nullopt);
  b.price = NormalizedPrice("x", 1e16, "EUR");
  b.match_score = 0;
  b.page_type = PageType::ARTICLE;
  b.title = "-5% off";
  b.brand = "@brand";
  auto c = item("Plain title", "https://c.example/");
  c.price = NormalizedPrice("x", 1.5e-05, "JPY");
  c.condition = ItemCondition::USED;
  ci.items = {a, b, c};
  const std::string csv = commerce::detail::commerce_csv_text(ci);
  const std::string expected =
      "Match Score,Relevance,Page Type,Brand,SKU,Condition,Title,Price Amount,Currency,Stock Status,"
      "Merchant Name,Merchant Category,Direct URL,Original URL,Primary Image URL\r\n"
      "87%,high,product,,\"'=HYPERLINK(\"\"http://evil\"\")\",,\"Shoe, \"\"Limited\"\"\",12.0,USD,in_stock,"
      "Acme,official_brand,https://a.example/p,https://a.example/p,\r\n"
      "0%,,article,'@brand,,,'-5% off,1e+16,EUR,,,,https://b.example/,https://b.example/,\r\n"
      "90%,,product,,,used,Plain title,1.5e-05,JPY,,,,https://c.example/,https://c.example/,\r\n";
  EXPECT_EQ(csv, expected);
}

TEST_F(TempDir, ExportsCreateDirectoriesReturnAbsolutePathsAndReplace) {
  CommerceIntelligence ci;
  ci.summary.total_matches = 1;
  ci.items.push_back(item("Blue Shoe", "https://a.example/p"));
  const fs::path old_cwd = fs::current_path();
  fs::current_path(dir_);
  const fs::path csv = commerce::export_commerce_to_csv(ci, "out/deeper/../result.csv");
  const fs::path json = commerce::export_commerce_to_json(ci, "out/result.json");
  fs::current_path(old_cwd);
  EXPECT_EQ(csv, fs::canonical(dir_) / "out" / "result.csv");
  EXPECT_TRUE(json.is_absolute());
  EXPECT_EQ(read_file(csv).substr(0, 12), "Match Score,");
  const std::string text = read_file(json);
  EXPECT_NE(text.back(), '\n');
  EXPECT_EQ(from_json<CommerceIntelligence>(boost::json::parse(text)), ci);

  // A second export replaces the first; no temporary file is left behind.
  const CommerceIntelligence empty;
  commerce::export_commerce_to_csv(empty, csv);
  EXPECT_EQ(read_file(csv),
            "Match Score,Relevance,Page Type,Brand,SKU,Condition,Title,Price Amount,Currency,Stock Status,"
            "Merchant Name,Merchant Category,Direct URL,Original URL,Primary Image URL\r\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(csv.parent_path()), fs::directory_iterator{}), 2);
}

TEST_F(TempDir, AFailedExportKeepsThePreviousFile) {
  CommerceIntelligence ci;
  ci.items.push_back(item("Blue Shoe", "https://a.example/p"));
  const fs::path target = commerce::export_commerce_to_json(ci, dir_ / "result.json");
  const std::string before = read_file(target);
  // An ancestor that is a plain file cannot become a directory.
  EXPECT_THROW(commerce::export_commerce_to_csv(ci, target / "x.csv"), fs::filesystem_error);
  // A directory where no file can be created: the old export stays as it was.
  if (geteuid() != 0) {
    fs::permissions(dir_, fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_THROW(commerce::export_commerce_to_json(CommerceIntelligence{}, target), fs::filesystem_error);
    fs::permissions(dir_, fs::perms::owner_all);
  }
  // Writing fails half way (a file size limit, as on a full disk): the
  // target keeps its content and the partial temporary file is removed.
  {
    struct rlimit old_limit {};
    getrlimit(RLIMIT_FSIZE, &old_limit);
    const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old_limit;
    small.rlim_cur = 64;
    setrlimit(RLIMIT_FSIZE, &small);
    EXPECT_THROW(commerce::export_commerce_to_json(ci, target), fs::filesystem_error);
    setrlimit(RLIMIT_FSIZE, &old_limit);
    std::signal(SIGXFSZ, old_handler);
  }
  EXPECT_EQ(read_file(target), before);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator{}), 1);
}

namespace {

// Everything written to the FIFO `fd` (opened for reading, not blocking)
// by the next writer, until it closes; empty when none comes within 5 s.
std::string drain(int fd) {
  std::string content;
  char buffer[4096];
  while (true) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 5000) <= 0) return content;
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) content.append(buffer, static_cast<std::size_t>(n));
    if (n == 0) return content;  // the writer closed
  }
}

// Runs `act` in a child process as the user "nobody" (the test runs as
// root); whether it returned true.
template <class Act>
bool as_nobody(Act act) {
  const pid_t child = fork();
  if (child == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
    _exit(act() ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Whether check_output_path() refuses `path` for a user without privileges:
// as root, asked in a child process that runs as "nobody".
bool refused_without_privileges(const fs::path& path) {
  const auto refused = [&path] {
    try {
      (void)commerce::check_output_path(path);
      return false;
    } catch (const fs::filesystem_error&) {
      return true;
    }
  };
  return geteuid() != 0 ? refused() : as_nobody(refused);
}

}  // namespace

TEST_F(TempDir, DevicesAndFifosAreWrittenInPlaceNeverReplaced) {
  CommerceIntelligence ci;
  for (int i = 0; i < 2000; ++i) ci.items.push_back(item("Blue Shoe " + std::to_string(i), "https://a.example/p"));
  const std::string json = model_dump_json(ci, 2, true);

  // A FIFO behind a symbolic link, read by another thread while it is written.
  const fs::path fifo = dir_ / "pipe";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  fs::create_symlink(fifo, dir_ / "link");
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  std::string received;
  std::thread drainer([&] { received = drain(reader); });
  fs::path written;
  EXPECT_NO_THROW(written = commerce::export_commerce_to_json(ci, dir_ / "link"));
  drainer.join();
  ::close(reader);
  EXPECT_EQ(written, fs::canonical(fifo));
  EXPECT_EQ(received.size(), json.size());  // more than a pipe holds
  EXPECT_TRUE(received == json);
  EXPECT_TRUE(fs::is_fifo(fifo));
  EXPECT_TRUE(fs::is_symlink(dir_ / "link"));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator{}), 2);

  // Character devices, also behind a link: /dev/null takes the export,
  // /dev/full fails it; both stay devices, nothing is left beside them.
  fs::create_symlink("/dev/null", dir_ / "null");
  EXPECT_EQ(commerce::export_commerce_to_csv(ci, dir_ / "null"), "/dev/null");
  EXPECT_EQ(commerce::export_commerce_to_json(ci, "/dev/null"), "/dev/null");
  EXPECT_THROW(commerce::export_commerce_to_json(ci, "/dev/full"), fs::filesystem_error);
  EXPECT_TRUE(fs::is_character_file("/dev/null"));
  EXPECT_TRUE(fs::is_character_file("/dev/full"));
  EXPECT_TRUE(fs::is_symlink(dir_ / "null"));
  for (const auto& entry : fs::directory_iterator("/dev")) {
    EXPECT_FALSE(entry.path().filename().string().starts_with(".null.tmp-")) << entry.path();
    EXPECT_FALSE(entry.path().filename().string().starts_with(".full.tmp-")) << entry.path();
  }
}

TEST_F(TempDir, OutputPathsAreCheckedBeforeAnyWork) {
  const fs::path base = fs::canonical(dir_);
  // Accepted: the absolute path the export would write; nothing is created.
  EXPECT_EQ(commerce::check_output_path(dir_ / "new" / "deeper" / ".." / "result.json"),
            base / "new" / "result.json");
  EXPECT_FALSE(fs::exists(dir_ / "new"));
  EXPECT_EQ(commerce::check_output_path("/dev/null"), "/dev/null");

  // Refused: a directory (also as an export target), a file in the way of
  // the folder, an empty path.
  fs::create_directories(dir_ / "folder");
  try {
    (void)commerce::check_output_path(dir_ / "folder");
    ADD_FAILURE() << "a directory was accepted";
  } catch (const fs::filesystem_error& e) {
    EXPECT_NE(std::string(e.what()).find("is a directory"), std::string::npos) << e.what();
  }
  EXPECT_THROW(commerce::export_commerce_to_json(CommerceIntelligence{}, dir_ / "folder"), fs::filesystem_error);
  EXPECT_TRUE(fs::is_empty(dir_ / "folder"));
  std::ofstream(dir_ / "plain") << "x";
  EXPECT_THROW((void)commerce::check_output_path(dir_ / "plain" / "sub" / "result.csv"), fs::filesystem_error);
  EXPECT_THROW((void)commerce::check_output_path(""), fs::filesystem_error);

  // A read-only folder (and folders still to be made in it) is refused to
  // a user without privileges; a writable one is not.
  fs::permissions(dir_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                            fs::perms::others_read | fs::perms::others_exec);
  fs::create_directories(dir_ / "read-only");
  fs::permissions(dir_ / "read-only", fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                          fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
  fs::create_directories(dir_ / "open");
  fs::permissions(dir_ / "open", fs::perms::all);
  EXPECT_TRUE(refused_without_privileges(dir_ / "read-only" / "result.json"));
  EXPECT_TRUE(refused_without_privileges(dir_ / "read-only" / "new" / "result.json"));
  EXPECT_FALSE(refused_without_privileges(dir_ / "open" / "new" / "result.json"));
  fs::permissions(dir_ / "read-only", fs::perms::owner_all);
}


// In a sticky folder (as /tmp) a link or file planted by another user is
// never followed or replaced, also by root; the exporter's own link is.
TEST_F(TempDir, StickyFoldersRefuseLinksAndFilesOfOtherUsers) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as two users";
  const fs::path sticky = dir_ / "sticky";
  fs::create_directories(sticky);
  fs::permissions(dir_, fs::perms::all);
  fs::permissions(sticky, fs::perms::all | fs::perms::sticky_bit);
  const fs::path secret = dir_ / "secret";
  std::ofstream(secret) << "root only";
  fs::permissions(secret, fs::perms::owner_read | fs::perms::owner_write);
  ASSERT_TRUE(as_nobody([&] {
    return symlink(secret.c_str(), (sticky / "planted.json").c_str()) == 0 &&
           static_cast<bool>(std::ofstream(sticky / "theirs.csv") << "theirs");
  }));

  CommerceIntelligence ci;
  ci.items.push_back(item("Blue Shoe", "https://a.example/p"));
  for (const char* name : {"planted.json", "theirs.csv"}) {
    SCOPED_TRACE(name);
    EXPECT_THROW((void)commerce::check_output_path(sticky / name), fs::filesystem_error);
    try {
      commerce::export_commerce_to_json(ci, sticky / name);
      ADD_FAILURE() << "written";
    } catch (const fs::filesystem_error& e) {
      EXPECT_NE(std::string(e.what()).find("of another user in a sticky folder"), std::string::npos) << e.what();
    }
  }
  EXPECT_EQ(read_file(secret), "root only");
  EXPECT_EQ(read_file(sticky / "theirs.csv"), "theirs");
  EXPECT_TRUE(fs::is_symlink(sticky / "planted.json"));

  // A link of one's own in the same folder leads where it points.
  const fs::path mine = dir_ / "mine.json";
  fs::create_symlink(mine, sticky / "own-link.json");
  EXPECT_EQ(commerce::export_commerce_to_json(ci, sticky / "own-link.json"), mine);
  EXPECT_EQ(from_json<CommerceIntelligence>(boost::json::parse(read_file(mine))), ci);
}

// A link of /proc to a file the process has open (/dev/stdout is one) is
// written in place, appending: the file stays the same file with what it
// held before.
TEST_F(TempDir, ProcLinksAreWrittenInPlaceAppending) {
  const fs::path log = dir_ / "app.txt";
  std::ofstream(log) << "PREVIOUS\n";
  const int fd = ::open(log.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  struct stat before {};
  ASSERT_EQ(::stat(log.c_str(), &before), 0);
  CommerceIntelligence ci;
  ci.items.push_back(item("Blue Shoe", "https://a.example/p"));
  const fs::path written = commerce::export_commerce_to_csv(ci, "/dev/fd/" + std::to_string(fd));
  ::close(fd);
  struct stat after {};
  ASSERT_EQ(::stat(log.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(written, fs::canonical(log));
  EXPECT_EQ(read_file(log), "PREVIOUS\n" + commerce::commerce_to_csv(ci));
}

// Waiting for a FIFO's reader ends when a stop is requested.
TEST_F(TempDir, AFifoWithoutReaderWaitsUntilStopped) {
  const fs::path fifo = dir_ / "pipe";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::stop_source stop;
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    stop.request_stop();
  });
  EXPECT_THROW(commerce::export_commerce_to_json(CommerceIntelligence{}, fifo, stop.get_token()),
               korvane::CancelledError);
  stopper.join();
  EXPECT_TRUE(fs::is_fifo(fifo));
}
