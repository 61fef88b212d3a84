// Extraction quality over the saved real pages of the corpus, scored the way
// the public product-extraction benchmark scores its pages.
//
//   extraction_quality [--corpus DIR]            F1 table, standard and extended
//   extraction_quality [--corpus DIR] --misses   plus every wrong or missing answer
//   extraction_quality [--corpus DIR] --dump OUT standard results of every page, one
//                                                JSON line each (the golden file of
//                                                tests/metadata_corpus_test.cpp)
//
// Scoring, per field (price, SKU, availability), over the pages whose
// manifest entry carries the benchmark's ground truth (`expected.values`):
//   predicted = pages where the parser gives a value for the field (an empty
//               SKU text is no value);
//   expected  = pages whose ground truth has a value for the field;
//   correct   = predicted pages whose value equals one of the ground-truth
//               values (a page without ground truth for the field counts as
//               predicted and wrong);
//   precision = correct / predicted, recall = correct / expected,
//   F1 = 2PR / (P + R).
// Equality: a price as a decimal number (our amount, two decimals, against the
// ground-truth text read as a decimal: "49" equals 49.00, "2.449" does not
// equal 2449.00); SKU as text, both stripped; availability as the schema.org
// name ("InStock", "OutOfStock", "PreOrder") of our stock status.
//
// Every page is parsed as the enricher would parse a bare link: its HTML and
// the link it was saved from, no title, merchant, price or stock from a
// search result, rank 1.
#include <korvane/commerce/json.hpp>
#include <korvane/commerce/metadata.hpp>
#include <korvane/models.hpp>
#include <korvane/models/json.hpp>

#include "commerce/metadata/extended/extended.hpp"
#include "support/files.hpp"

#include <boost/json.hpp>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

namespace fs = std::filesystem;
namespace json = boost::json;
using korvane::commerce::DestinationMetadataParser;
using korvane::commerce::MetadataResult;

struct CorpusPage {
  std::string file;  // relative to the corpus folder
  std::string url;
  std::optional<json::object> expected;  // the benchmark's ground truth
};

std::vector<CorpusPage> read_manifest(const fs::path& dir) {
  std::vector<CorpusPage> pages;
  const json::value manifest = json::parse(korvane::testing::read_file(dir / "manifest.json"));
  for (const auto& entry : manifest.as_array()) {
    const auto& o = entry.as_object();
    CorpusPage p;
    p.file = std::string(o.at("file").as_string());
    const auto* url = o.if_contains("original_url");
    p.url = url != nullptr && url->is_string() ? std::string(url->as_string()) : std::string();
    if (const auto* e = o.if_contains("expected"); e != nullptr && e->is_object()) {
      if (const auto* v = e->as_object().if_contains("values"); v != nullptr && v->is_object() &&
                                                                 v->as_object().contains("availability")) {
        p.expected = v->as_object();
      }
    }
    pages.push_back(std::move(p));
  }
  return pages;
}

// ---------------------------------------------------------------- golden file

// The two search-result contexts every page is parsed in for the golden
// file: a bare link, and a search result with a generic title, a merchant, a
// price and a stock flag (which exercises the gap-filling rules).
struct Context {
  const char* name;
  std::string_view title;
  std::string_view merchant;
  std::optional<korvane::models::NormalizedPrice> price;
  std::optional<bool> in_stock;
  int rank;
};

std::vector<Context> golden_contexts() {
  return {{"bare", "", "", std::nullopt, std::nullopt, 1},
          {"serp", "Shop now", "Example Store", korvane::models::NormalizedPrice("12,50 EUR", 12.5, "EUR"), true, 3}};
}

int dump(const fs::path& dir, const std::vector<CorpusPage>& pages, const fs::path& out_path) {
  std::ofstream out(out_path, std::ios::binary);
  for (const auto& page : pages) {
    const std::string html = korvane::testing::read_file(dir / page.file);
    for (const auto& c : golden_contexts()) {
      const MetadataResult r = DestinationMetadataParser::parse_metadata(html, page.url, c.title, c.merchant,
                                                                         c.price, c.in_stock, c.rank);
      json::object line;
      line["file"] = page.file;
      line["context"] = c.name;
      line["result"] = korvane::commerce::to_json(r);
      out << korvane::models::json_text(line) << '\n';
    }
  }
  return out ? 0 : 1;
}

// ---------------------------------------------------------------- scoring

// A decimal text with its sign, leading zeros and trailing fraction zeros
// removed ("049.50" -> "49.5", "3" -> "3"); absent when it is not one.
std::optional<std::string> canonical_decimal(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  std::string whole, fraction;
  bool point = false;
  for (const char c : s) {
    if (c == '.' && !point) {
      point = true;
    } else if (c >= '0' && c <= '9') {
      (point ? fraction : whole).push_back(c);
    } else {
      return std::nullopt;
    }
  }
  if (whole.empty() && fraction.empty()) return std::nullopt;
  whole.erase(0, whole.find_first_not_of('0'));
  fraction.erase(fraction.find_last_not_of('0') + 1);
  if (whole.empty()) whole = "0";
  return fraction.empty() ? whole : whole + "." + fraction;
}

std::string stripped(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return std::string(s);
}

std::vector<std::string> texts_of(const json::object& values, std::string_view key) {
  std::vector<std::string> out;
  if (const auto* v = values.if_contains(key); v != nullptr && v->is_array()) {
    for (const auto& el : v->as_array()) {
      if (el.is_string()) out.emplace_back(el.as_string());
    }
  }
  return out;
}

std::optional<std::string> predicted_price(const MetadataResult& r) {
  if (!r.price) return std::nullopt;
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.2f", r.price->amount);
  return canonical_decimal(buffer);
}

std::optional<std::string> predicted_availability(const MetadataResult& r) {
  if (!r.stock_status) return std::nullopt;
  switch (*r.stock_status) {
    case korvane::models::StockStatus::IN_STOCK: return "InStock";
    case korvane::models::StockStatus::OUT_OF_STOCK: return "OutOfStock";
    case korvane::models::StockStatus::PREORDER: return "PreOrder";
  }
  return std::nullopt;
}

struct Score {
  int predicted = 0;
  int expected = 0;
  int correct = 0;

  [[nodiscard]] double precision() const { return predicted == 0 ? 0.0 : double(correct) / predicted; }
  [[nodiscard]] double recall() const { return expected == 0 ? 0.0 : double(correct) / expected; }
  [[nodiscard]] double f1() const {
    const double p = precision(), r = recall();
    return p + r == 0.0 ? 0.0 : 2 * p * r / (p + r);
  }
};

enum class Field { price, sku, availability };
constexpr const char* field_name(Field f) {
  return f == Field::price ? "price" : f == Field::sku ? "sku" : "availability";
}

struct FieldOutcome {
  std::optional<std::string> got;
  std::vector<std::string> want;
  bool correct = false;
};

FieldOutcome judge(Field field, const MetadataResult& r, const json::object& truth) {
  FieldOutcome o;
  switch (field) {
    case Field::price:
      o.got = predicted_price(r);
      for (const auto& t : texts_of(truth, "price")) {
        o.want.push_back(t);
        if (o.got && canonical_decimal(t) == o.got) o.correct = true;
      }
      break;
    case Field::sku:
      if (r.sku && !stripped(*r.sku).empty()) o.got = stripped(*r.sku);  // an empty SKU is no answer
      for (const auto& t : texts_of(truth, "sku")) {
        o.want.push_back(t);
        if (o.got && stripped(t) == *o.got) o.correct = true;
      }
      break;
    case Field::availability:
      o.got = predicted_availability(r);
      for (const auto& t : texts_of(truth, "availability")) {
        o.want.push_back(t);
        if (o.got && stripped(t) == *o.got) o.correct = true;
      }
      break;
  }
  return o;
}

struct ModeRun {
  const char* name;
  Score scores[3];
};

// Right and wrong answers per field and source of the extended mode, and
// how many of them differ from the standard answer (gained: right where the
// standard mode was not; lost: wrong where it was right).
struct SourceTally {
  int right = 0;
  int wrong = 0;
  int gained = 0;
  int lost = 0;
};
using SourceTable = std::map<std::string, SourceTally>;

std::string source_name(const std::optional<korvane::commerce::detail::extended::Source>& s, bool answered) {
  if (s) return std::string(korvane::commerce::detail::extended::to_string(*s));
  return answered ? "inferred from the price" : "-";
}

int report(const fs::path& dir, const std::vector<CorpusPage>& pages, bool misses) {
  namespace ext = korvane::commerce::detail::extended;
  using korvane::commerce::ExtractionMode;
  using korvane::commerce::MetadataRequest;
  ModeRun runs[2] = {{"standard", {}}, {"extended", {}}};
  SourceTable sources[3];
  int benchmark_pages = 0;
  for (const auto& page : pages) {
    if (!page.expected) continue;
    ++benchmark_pages;
    const std::string html = korvane::testing::read_file(dir / page.file);
    bool standard_correct[3] = {false, false, false};
    for (int mode = 0; mode < 2; ++mode) {
      ext::Trace trace;
      const MetadataRequest request{.html = html,
                                    .direct_url = page.url,
                                    .extraction = mode == 0 ? ExtractionMode::standard : ExtractionMode::extended};
      const MetadataResult r = korvane::commerce::detail::parse_metadata_traced(request, &trace);
      for (const Field f : {Field::price, Field::sku, Field::availability}) {
        const FieldOutcome o = judge(f, r, *page.expected);
        Score& s = runs[mode].scores[static_cast<int>(f)];
        if (o.got) ++s.predicted;
        if (!o.want.empty()) ++s.expected;
        if (o.correct) ++s.correct;
        if (mode == 0) standard_correct[static_cast<int>(f)] = o.correct;
        if (mode == 1 && o.got) {
          const auto& src = f == Field::price ? trace.price : f == Field::sku ? trace.sku : trace.stock;
          SourceTally& t = sources[static_cast<int>(f)][source_name(src, true)];
          (o.correct ? t.right : t.wrong) += 1;
          const bool before = standard_correct[static_cast<int>(f)];
          if (o.correct && !before) ++t.gained;
          if (!o.correct && before) ++t.lost;
        }
        if (misses && !o.correct && (o.got || !o.want.empty())) {
          std::string want;
          for (const auto& w : o.want) want += (want.empty() ? "" : " | ") + w;
          std::printf("  %-9s %-12s %-60s got %-24s want %s\n", runs[mode].name, field_name(f), page.file.c_str(),
                      o.got ? o.got->c_str() : "-", want.empty() ? "-" : want.c_str());
        }
      }
    }
  }
  std::printf("%d benchmark pages\n\n", benchmark_pages);
  std::printf("%-10s | %-26s | %-26s | %-26s\n", "mode", "price F1 (P / R)", "SKU F1 (P / R)",
              "availability F1 (P / R)");
  for (const ModeRun& run : runs) {
    std::printf("%-10s", run.name);
    for (const auto& s : run.scores) {
      std::printf(" | %.3f (%.2f / %.2f) %3d/%3d/%3d", s.f1(), s.precision(), s.recall(), s.correct, s.predicted,
                  s.expected);
    }
    std::printf("\n");
  }
  std::printf("(each cell: F1 (precision / recall) correct/predicted/expected)\n\n");
  std::printf("extended mode: the source of each answer, right / wrong (of which gained over the standard\n"
              "mode: right where it was not / lost: wrong where it was right)\n");
  for (const Field f : {Field::price, Field::sku, Field::availability}) {
    std::printf("  %s:\n", field_name(f));
    for (const auto& [name, t] : sources[static_cast<int>(f)]) {
      std::printf("    %-24s %3d right %3d wrong   (gained %2d, lost %2d)\n", name.c_str(), t.right, t.wrong, t.gained,
                  t.lost);
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  fs::path dir = KORVANE_CORPUS_DIR;
  std::optional<fs::path> dump_path;
  bool misses = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--corpus" && i + 1 < argc) {
      dir = argv[++i];
    } else if (arg == "--dump" && i + 1 < argc) {
      dump_path = argv[++i];
    } else if (arg == "--misses") {
      misses = true;
    } else {
      std::fprintf(stderr, "usage: extraction_quality [--corpus DIR] [--misses] [--dump OUT]\n");
      return 2;
    }
  }
  std::error_code ec;
  if (!fs::exists(dir / "manifest.json", ec)) {
    std::fprintf(stderr, "extraction_quality: no corpus at %s\n", dir.string().c_str());
    return 1;
  }
  const std::vector<CorpusPage> pages = read_manifest(dir);
  if (dump_path) return dump(dir, pages, *dump_path);
  return report(dir, pages, misses);
}
