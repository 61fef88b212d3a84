// parse_metadata speed: over the saved real pages of the corpus (when it is
// present, else over pages built here), and over hostile pages whose plain
// pattern search would take quadratic time. Each hostile case runs at three
// sizes; the bytes/s column stays flat when the time grows linearly.
//
//   cmake --preset release -DKORVANE_CORPUS_DIR=/path/to/corpus
//   cmake --build --preset release --target bench_metadata
//   build/release/bench/bench_metadata
#include <korvane/commerce/metadata.hpp>

#include "support/files.hpp"

#include <benchmark/benchmark.h>
#include <boost/json.hpp>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using korvane::commerce::DestinationMetadataParser;

struct Page {
  std::string url;
  std::string html;
  std::string file;  // the saved page's path (empty for built pages)
};

using korvane::testing::read_file;

// Pages shaped like shop pages, for when no corpus is at hand.
std::vector<Page> built_pages() {
  std::vector<Page> pages;
  for (int i = 0; i < 50; ++i) {
    std::string html = "<!doctype html><html><head><title>Product " + std::to_string(i) + "</title>";
    for (int m = 0; m < 30; ++m) {
      html += R"(<meta property="og:k)" + std::to_string(m) + R"(" content="value )" + std::to_string(m) + R"(">)";
    }
    html += R"(<script type="application/ld+json">{"@context":"https://schema.org","@type":"Product","name":"Shoe",)"
            R"("sku":"S1","offers":{"@type":"Offer","price":"19.99","priceCurrency":"EUR",)"
            R"("availability":"https://schema.org/InStock"}}</script></head><body>)";
    for (int k = 0; k < 400; ++k) {
      html += R"(<div class="row item-)" + std::to_string(k) +
              R"("><span class="label">Some text of the page</span><a href="/p/)" + std::to_string(k) +
              R"(">link</a></div>)";
      if (k % 50 == 0) html += "<script>var x = {a: 1, b: [1, 2, 3]}; function f() { return x; }</script>";
    }
    html += "</body></html>";
    pages.push_back({"https://shop.example/products/" + std::to_string(i), std::move(html), {}});
  }
  return pages;
}

// The corpus pages with the links they were saved from.
std::vector<Page> corpus_pages() {
  const fs::path dir = KORVANE_CORPUS_DIR;
  std::vector<Page> pages;
  std::error_code ec;
  if (!fs::is_directory(dir / "pages", ec)) return pages;
  boost::json::value manifest;
  if (fs::exists(dir / "manifest.json", ec)) {
    boost::system::error_code jec;
    manifest = boost::json::parse(read_file(dir / "manifest.json"), jec);
  }
  if (manifest.is_array()) {
    for (const auto& entry : manifest.as_array()) {
      if (!entry.is_object()) continue;
      const auto* file = entry.as_object().if_contains("file");
      const auto* url = entry.as_object().if_contains("original_url");
      if (file == nullptr || !file->is_string()) continue;
      const std::string name(file->as_string());
      if (name.rfind("pages/", 0) != 0) continue;
      pages.push_back({url != nullptr && url->is_string() ? std::string(url->as_string()) : "https://example.com/",
                       read_file(dir / name), (dir / name).string()});
    }
  } else {
    for (const auto& f : fs::directory_iterator(dir / "pages")) {
      pages.push_back({"https://example.com/" + f.path().filename().string(), read_file(f.path()), f.path().string()});
    }
  }
  return pages;
}

const std::vector<Page>& pages() {
  static const std::vector<Page> p = [] {
    auto c = corpus_pages();
    return c.empty() ? built_pages() : c;
  }();
  return p;
}

using korvane::commerce::ExtractionMode;
using korvane::commerce::MetadataRequest;

// Argument 0: the standard mode, 1: the extended mode.
ExtractionMode mode_of(const benchmark::State& state) {
  return state.range(0) == 0 ? ExtractionMode::standard : ExtractionMode::extended;
}

void BM_Pages(benchmark::State& state) {
  const auto& all = pages();
  const ExtractionMode mode = mode_of(state);
  std::size_t bytes = 0;
  for (const auto& p : all) bytes += p.html.size();
  for (auto _ : state) {
    int rank = 1;
    for (const auto& p : all) {
      auto r = DestinationMetadataParser::parse_metadata(MetadataRequest{.html = p.html,
                                                                         .direct_url = p.url,
                                                                         .initial_title = "Shop now",
                                                                         .initial_merchant = "Example Store",
                                                                         .rank = rank++,
                                                                         .extraction = mode});
      benchmark::DoNotOptimize(r);
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * all.size()));
  state.SetLabel(std::string(corpus_pages().empty() ? "built pages" : "corpus pages") +
                 (mode == ExtractionMode::standard ? ", standard" : ", extended"));
  state.counters["pages"] = static_cast<double>(all.size());
}
BENCHMARK(BM_Pages)->ArgName("extended")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// The yardstick of the cases above: a memchr() over the same pages' bytes
// for a byte they do not hold, i.e. reading them once at memory speed.
void BM_MemchrScan(benchmark::State& state) {
  const auto& all = pages();
  std::size_t bytes = 0;
  for (const auto& p : all) bytes += p.html.size();
  for (auto _ : state) {
    std::size_t found = 0;
    for (const auto& p : all) found += std::memchr(p.html.data(), '\x01', p.html.size()) != nullptr ? 1 : 0;
    benchmark::DoNotOptimize(found);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}
BENCHMARK(BM_MemchrScan)->Unit(benchmark::kMillisecond);

// The yardstick of the command's cases: the same pages read from their
// files (one read() each into a buffer of the file's size, as the command
// does) and scanned with memchr(), i.e. the least work that reading them
// from files takes.
void BM_MemchrScanFiles(benchmark::State& state) {
  const auto& all = pages();
  std::size_t bytes = 0;
  for (const auto& p : all) bytes += p.file.empty() ? 0 : p.html.size();
  if (bytes == 0) {
    state.SkipWithError("no saved pages");
    return;
  }
  std::string buffer;
  for (auto _ : state) {
    std::size_t found = 0;
    for (const auto& p : all) {
      if (p.file.empty()) continue;
      const int fd = ::open(p.file.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0) continue;
      buffer.resize(p.html.size());
      std::size_t got = 0;
      for (ssize_t n = 0; got < buffer.size() && (n = ::read(fd, buffer.data() + got, buffer.size() - got)) > 0;) {
        got += static_cast<std::size_t>(n);
      }
      ::close(fd);
      found += std::memchr(buffer.data(), '\x01', got) != nullptr ? 1 : 0;
    }
    benchmark::DoNotOptimize(found);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}
BENCHMARK(BM_MemchrScanFiles)->Unit(benchmark::kMillisecond);

#ifdef KORVANE_CLI
// One run of `korvane-commerce parse --jsonl` with standard input from
// `input` and its answers thrown away.
struct CliRun {
  bool ok = false;
  double cpu_seconds = 0;   // the child's user and system time
  double wall_seconds = 0;  // from before the fork to the child's end
};

CliRun run_cli_parse(const fs::path& input) {
  const auto start = std::chrono::steady_clock::now();
  const pid_t child = ::fork();
  if (child == 0) {
    const int in = ::open(input.c_str(), O_RDONLY);
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(in, 0);
    ::dup2(null, 1);
    ::execl(KORVANE_CLI, KORVANE_CLI, "parse", "--jsonl", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  int status = 0;
  rusage usage{};
  ::wait4(child, &status, 0, &usage);
  const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  CliRun run;
  run.wall_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.cpu_seconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
  run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return run;
}

// Runs the command over `input` in every iteration, timed by its `seconds`
// (CPU or wall clock); `bytes` of pages per run.
void time_cli_parse(benchmark::State& state, const fs::path& input, std::size_t bytes, double CliRun::*seconds) {
  for (auto _ : state) {
    const CliRun run = run_cli_parse(input);
    if (!run.ok) state.SkipWithError("the command failed");
    state.SetIterationTime(run.*seconds);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}

// The same pages through `korvane-commerce parse --jsonl`, each page inline
// in its request line: the command line's own cost (reading and decoding the
// JSON lines, writing the answers, starting) on top of the parser's. Time is
// the child's CPU time, comparable with BM_Pages/extended:0.
void BM_CliParseJsonl(benchmark::State& state) {
  const fs::path input = fs::temp_directory_path() / ("korvane-bench-" + std::to_string(::getpid()) + ".jsonl");
  std::size_t bytes = 0;
  {
    std::ofstream out(input, std::ios::binary);
    for (const auto& page : pages()) {
      out << boost::json::serialize(boost::json::object{{"html", page.html}, {"direct_url", page.url}}) << '\n';
      bytes += page.html.size();
    }
  }
  time_cli_parse(state, input, bytes, &CliRun::cpu_seconds);
  fs::remove(input);
}
BENCHMARK(BM_CliParseJsonl)->UseManualTime()->Unit(benchmark::kMillisecond);

// The same pages through `korvane-commerce parse --jsonl` as files
// ({"html_file": ...} requests): the command as a user runs it over saved
// pages, timed by the wall clock from its start to its end, comparable with
// BM_Pages/extended:0 and BM_MemchrScanFiles (the same files read and scanned).
void BM_CliParseJsonlFiles(benchmark::State& state) {
  const fs::path folder = fs::temp_directory_path() / ("korvane-bench-" + std::to_string(::getpid()));
  fs::create_directories(folder);
  const fs::path input = folder / "requests.jsonl";
  std::size_t bytes = 0;
  {
    std::ofstream out(input, std::ios::binary);
    std::size_t n = 0;
    for (const auto& page : pages()) {
      fs::path file = page.file;
      if (file.empty()) {
        file = folder / ("page-" + std::to_string(n++) + ".html");
        std::ofstream(file, std::ios::binary) << page.html;
      }
      out << boost::json::serialize(boost::json::object{{"html_file", file.string()}, {"direct_url", page.url}})
          << '\n';
      bytes += page.html.size();
    }
  }
  time_cli_parse(state, input, bytes, &CliRun::wall_seconds);
  fs::remove_all(folder);
}
BENCHMARK(BM_CliParseJsonlFiles)->UseManualTime()->Unit(benchmark::kMillisecond);
#endif

// ---------------------------------------------------------------- a Next.js shop page

// A shop page built with Next.js: a JSON-LD product, which decides the
// result, and a page state of about 1.4 MB (recommendations with their
// prices, images and reviews) that the result does not need.
std::string next_js_shop_page() {
  std::string state = R"({"props":{"pageProps":{"product":{"name":"Trail Shoe","brand":"Acme","sku":"TS-1"},)"
                      R"("recommendations":[)";
  for (int i = 0; state.size() < (1400U << 10U); ++i) {
    const std::string n = std::to_string(i);
    if (i > 0) state += ',';
    state += R"({"id":)" + n + R"(,"name":"Product )" + n + R"(","brand":"Brand","price":{"value":)" +
             std::to_string(10 + i % 90) + R"(.99,"currency":"EUR"},"images":["https://cdn.example/)" + n +
             R"(.jpg"],"reviews":[{"rating":4,"text":"Fits well, true to size."}]})";
  }
  state += R"(]}},"page":"/p/[slug]","buildId":"b1"})";
  return std::string(
             "<!doctype html><html><head><title>Trail Shoe | Acme</title>"
             R"(<meta property="og:title" content="Trail Shoe">)"
             R"(<script type="application/ld+json">{"@context":"https://schema.org","@type":"Product",)"
             R"("name":"Trail Shoe","sku":"TS-1","offers":{"@type":"Offer","price":"89.99",)"
             R"("priceCurrency":"EUR","availability":"https://schema.org/InStock"}}</script>)"
             R"(</head><body><div id="__next"><h1>Trail Shoe</h1></div>)"
             R"(<script id="__NEXT_DATA__" type="application/json">)") +
         state + "</script></body></html>";
}

// Arguments: the mode (0 standard, 1 extended), then the page's link (0 the
// shop's, 1 a social site's).
void BM_NextJsShopPage(benchmark::State& state) {
  static const std::string html = next_js_shop_page();
  const ExtractionMode mode = mode_of(state);
  const char* url = state.range(1) == 0 ? "https://shop.example/p/trail-shoe" : "https://www.pinterest.com/pin/1/";
  for (auto _ : state) {
    auto r = DestinationMetadataParser::parse_metadata(MetadataRequest{
        .html = html, .direct_url = url, .initial_title = "Shop now", .initial_merchant = "Acme", .extraction = mode});
    benchmark::DoNotOptimize(r);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * html.size()));
}
BENCHMARK(BM_NextJsShopPage)
    ->ArgNames({"extended", "social"})
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->Unit(benchmark::kMillisecond);

// ---------------------------------------------------------------- many JSON-LD blocks

// A category page with one small JSON-LD product block per listed item (or
// a hostile page of many blocks): the time must grow linearly with the
// number of blocks, so the time per block (items/s) stays flat.
std::string json_ld_blocks_page(std::int64_t blocks) {
  std::string html = "<!doctype html><html><head><title>Lamps</title></head><body><h1>Lamps</h1>";
  for (std::int64_t i = 0; i < blocks; ++i) {
    const std::string n = std::to_string(i);
    html += R"(<div class="tile"><a href="/p/)" + n + R"(">Lamp )" + n +
            R"(</a><script type="application/ld+json">{"@context":"https://schema.org","@type":"Product",)"
            R"("name":"Lamp )" + n + R"(","sku":"L-)" + n + R"(","offers":{"@type":"Offer","price":")" +
            std::to_string(10 + i % 90) + R"(.99","priceCurrency":"EUR"}}</script></div>)";
  }
  return html + "</body></html>";
}

// Arguments: the number of blocks, then the mode (0 standard, 1 extended).
void BM_JsonLdBlocks(benchmark::State& state) {
  const std::string html = json_ld_blocks_page(state.range(0));
  const ExtractionMode mode = state.range(1) == 0 ? ExtractionMode::standard : ExtractionMode::extended;
  for (auto _ : state) {
    auto r = DestinationMetadataParser::parse_metadata(MetadataRequest{
        .html = html, .direct_url = "https://shop.example/c/lamps", .initial_title = "Lamps", .extraction = mode});
    benchmark::DoNotOptimize(r);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * html.size()));
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_JsonLdBlocks)
    ->ArgNames({"blocks", "extended"})
    ->ArgsProduct({{1000, 4000, 8000}, {0, 1}})
    ->Unit(benchmark::kMillisecond);

// ---------------------------------------------------------------- hostile pages

// `unit` repeated to `size` bytes, between `head` and `tail`.
std::string repeated(std::string_view head, std::string_view unit, std::string_view tail, std::size_t size) {
  std::string s(head);
  s.reserve(size + tail.size() + unit.size());
  while (s.size() < size) s += unit;
  s += tail;
  return s;
}

using Builder = std::function<std::string(std::size_t)>;

// Arguments: the page size, then the mode (0 standard, 1 extended).
void run_hostile(benchmark::State& state, const Builder& build, const char* url) {
  const std::string html = build(static_cast<std::size_t>(state.range(0)));
  const ExtractionMode mode = state.range(1) == 0 ? ExtractionMode::standard : ExtractionMode::extended;
  for (auto _ : state) {
    auto r = DestinationMetadataParser::parse_metadata(MetadataRequest{
        .html = html, .direct_url = url, .initial_title = "Item", .initial_merchant = "Shop", .extraction = mode});
    benchmark::DoNotOptimize(r);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * html.size()));
}

#define KV_HOSTILE(name, url, body)                                                         \
  void BM_Hostile_##name(benchmark::State& state) {                                         \
    run_hostile(state, [](std::size_t n) { return body; }, url);                            \
  }                                                                                         \
  BENCHMARK(BM_Hostile_##name)                                                              \
      ->ArgNames({"bytes", "extended"})                                                     \
      ->ArgsProduct({{1 << 20, 4 << 20, 20 << 20}, {0, 1}})                                 \
      ->Unit(benchmark::kMillisecond)

// Script starts without any end: every lazy body search would run to the end.
KV_HOSTILE(ScriptNoClose, "https://shop.example/x", repeated("", "<script", "", n));
// The same with one ">" at the very end: every tag would run to it.
KV_HOSTILE(ScriptOneTagEnd, "https://shop.example/x", repeated("", "<script", ">", n));
// JSON-LD script starts without "</script>".
KV_HOSTILE(LdJsonNoClose, "https://shop.example/x",
           repeated("", R"(<script type="application/ld+json">{"@type":"Product"})", "", n));
// One JSON-LD block nested far beyond the depth limit.
KV_HOSTILE(LdJsonDeepNesting, "https://shop.example/x",
           repeated(R"(<script type="application/ld+json">)", "[", "</script>", n));
// One Next.js state nested far beyond the depth limit.
KV_HOSTILE(NextDataDeepNesting, "https://shop.example/x",
           repeated(R"(<script id="__NEXT_DATA__">{"props":{"pageProps":)", R"({"x":)", "</script>", n));
// Nested "@graph" lists double the walk per level.
KV_HOSTILE(LdJsonNestedGraphs, "https://shop.example/x",
           repeated(R"(<script type="application/ld+json">)", R"({"@graph":[)",
                    R"({"@type":"Product"}]})", n) + "</script>");
// Many valid meta tags.
KV_HOSTILE(ManyMetaTags, "https://shop.example/x",
           repeated("", R"(<meta property="og:title" content="A title">)", "", n));
// Meta starts without any ">".
KV_HOSTILE(MetaNoTagEnd, "https://shop.example/x", repeated("", R"(<meta name="a" )", "", n));
// One span start tag of many SKU classes whose text never comes.
KV_HOSTILE(SkuSpanAttributeRun, "https://shop.example/x", repeated("<span ", "class='sku' ", "><b>", n));
// One tag of many WooCommerce amount classes with no amount after it.
KV_HOSTILE(WooAttributeRun, "https://shop.example/x",
           repeated("<i ", "class='woocommerce-Price-amount' ", "><b>", n));
// One tag of many microdata price attributes without a numeric content.
KV_HOSTILE(MicrodataAttributeRun, "https://shop.example/x",
           repeated("<i ", R"(itemprop="price" content="x" )", ">", n));
// Class values that never close.
KV_HOSTILE(OpenClassValues, "https://shop.example/x", repeated("", "class=\"instock ", "", n));
// Title starts without an end.
KV_HOSTILE(TitleNoClose, "https://shop.example/x", repeated("", "<title>", "", n));
// Invalid UTF-8 throughout.
KV_HOSTILE(InvalidUtf8, "https://shop.example/x", repeated("", "<meta \xFF\xFE content=\"\xC3\">", "", n));

// Extended readers: nested price elements that never close, each holding
// all the rest of the page.
KV_HOSTILE(NestedPriceElements, "https://shop.example/x",
           repeated("<h1>Item</h1>", R"(<span class="price" itemprop="price"><b></b>)", "", n));
// Item-number labels whose values never look like one.
KV_HOSTILE(LabelsWithoutValues, "https://shop.example/x",
           repeated("<body>", "<td>SKU:</td><td><i></i><i></i>-</td>", "", n));
// Analytics calls whose object literals never close: one long script, and
// many short ones.
KV_HOSTILE(OpenDataLayerLiterals, "https://shop.example/x",
           repeated("<script>", "dataLayer.push({\"ecommerce\":[[[{'a':", "</script>", n));
KV_HOSTILE(ManyOpenDataLayerScripts, "https://shop.example/x",
           repeated("", "<script>dataLayer.push({'ecommerce':[[[{'a':1,ViewContent({x:[</script>", "", n));
// Many add-to-cart buttons and availability reports.
KV_HOSTILE(ManyStockCues, "https://shop.example/x",
           repeated("<body>", R"(<div class="stock"><button class="add-to-cart" disabled>x</button></div>)", "", n));

#undef KV_HOSTILE

}  // namespace

BENCHMARK_MAIN();
