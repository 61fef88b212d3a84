#include <korvane/commerce/aggregator.hpp>
#include <korvane/models/json.hpp>

#include "commerce/units.hpp"

#include "text/number.hpp"

#include <cerrno>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace korvane::commerce {
namespace fs = std::filesystem;
using models::EnrichedCommerceMatch;

namespace {

constexpr std::string_view csv_header[] = {
    "Match Score", "Relevance",   "Page Type",     "Brand",         "SKU",
    "Condition",   "Title",       "Price Amount",  "Currency",      "Stock Status",
    "Merchant Name", "Merchant Category", "Direct URL", "Original URL", "Primary Image URL"};

// Spreadsheets run a cell that starts with one of these as a formula.
bool starts_like_formula(std::string_view cell) noexcept {
  if (cell.empty()) return false;
  const char c = cell.front();
  return c == '=' || c == '+' || c == '-' || c == '@' || c == '\t' || c == '\r';
}

void append_cell(std::string& out, std::string_view cell) {
  if (cell.find_first_of(",\"\r\n") == std::string_view::npos) {
    out.append(cell);
    return;
  }
  out.push_back('"');
  for (const char c : cell) {
    if (c == '"') out.push_back('"');
    out.push_back(c);
  }
  out.push_back('"');
}

// A cell of text that came from a web page.
std::string page_text(std::string_view cell) {
  std::string out;
  out.reserve(cell.size() + 1);
  if (starts_like_formula(cell)) out.push_back('\'');
  out.append(cell);
  return out;
}
std::string optional_page_text(const std::optional<std::string>& cell) {
  return cell ? page_text(std::string_view(*cell)) : std::string();
}

template <class Enum>
std::string enum_text(const std::optional<Enum>& v) {
  return v ? std::string(models::to_string(*v)) : std::string();
}

void append_record(std::string& out, std::initializer_list<std::string_view> cells) {
  bool first = true;
  for (const auto cell : cells) {
    if (!first) out.push_back(',');
    first = false;
    append_cell(out, cell);
  }
  out += "\r\n";
}

void append_item(std::string& out, const EnrichedCommerceMatch& item) {
  const std::string score = std::to_string(item.match_score) + "%";
  const std::string amount = item.price ? text::format_shortest(item.price->amount) : std::string();
  const std::string currency = item.price ? page_text(item.price->currency) : std::string();
  append_record(out, {score, enum_text(item.relevance), models::to_string(item.page_type),
                      optional_page_text(item.brand), optional_page_text(item.sku), enum_text(item.condition),
                      page_text(item.title), amount, currency, enum_text(item.stock_status),
                      optional_page_text(item.merchant_name), enum_text(item.merchant_category),
                      page_text(item.direct_url), page_text(item.original_url),
                      optional_page_text(item.primary_image_url)});
}

fs::path resolved_output_path(const fs::path& output_path) {
  return fs::weakly_canonical(fs::absolute(output_path));
}

// A uniquely named temporary file beside the target, removed unless released.
class TemporaryFile {
 public:
  explicit TemporaryFile(const fs::path& target) {
    std::random_device seed;
    std::mt19937_64 rng(seed());
    for (int attempt = 0; attempt < 100; ++attempt) {
      path_ = target;
      std::string name = target.filename().string();
      name.insert(name.begin(), '.');
      name.append(".tmp-").append(std::to_string(rng() % 1000000000ULL));
      path_.replace_filename(name);
      fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (fd_ >= 0 || errno != EEXIST) break;
    }
    if (fd_ < 0) {
      throw fs::filesystem_error("cannot create a temporary file beside the export", path_,
                                 std::error_code(errno, std::generic_category()));
    }
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!committed_) ::unlink(path_.c_str());
  }

  void write(std::string_view content) {
    while (!content.empty()) {
      const ssize_t n = ::write(fd_, content.data(), content.size());
      if (n < 0) {
        if (errno == EINTR) continue;
        throw fs::filesystem_error("cannot write the export", path_, std::error_code(errno, std::generic_category()));
      }
      content.remove_prefix(static_cast<std::size_t>(n));
    }
  }

  // Makes the file complete on disk and moves it over `target`.
  void commit(const fs::path& target) {
    struct stat existing {};
    if (::stat(target.c_str(), &existing) == 0) ::fchmod(fd_, existing.st_mode & 07777);
    if (::fsync(fd_) != 0 || ::close(fd_) != 0) {
      fd_ = -1;
      throw fs::filesystem_error("cannot write the export", path_, std::error_code(errno, std::generic_category()));
    }
    fd_ = -1;
    fs::rename(path_, target);
    committed_ = true;
  }

 private:
  fs::path path_;
  int fd_ = -1;
  bool committed_ = false;
};

}  // namespace

namespace detail {

std::string commerce_csv_text(const models::CommerceIntelligence& commerce) {
  std::string out;
  out.reserve(256 + commerce.items.size() * 400);
  bool first = true;
  for (const auto name : csv_header) {
    if (!first) out.push_back(',');
    first = false;
    out.append(name);
  }
  out += "\r\n";
  for (const auto& item : commerce.items) append_item(out, item);
  return out;
}

void write_file_replacing(const fs::path& target, std::string_view content) {
  TemporaryFile tmp(target);
  tmp.write(content);
  tmp.commit(target);
}

}  // namespace detail

fs::path export_commerce_to_csv(const models::CommerceIntelligence& commerce, const fs::path& output_path) {
  detail::start_unit(detail::Unit::aggregator);
  const fs::path path = resolved_output_path(output_path);
  fs::create_directories(path.parent_path());
  detail::write_file_replacing(path, detail::commerce_csv_text(commerce));
  return path;
}

fs::path export_commerce_to_json(const models::CommerceIntelligence& commerce, const fs::path& output_path) {
  detail::start_unit(detail::Unit::aggregator);
  const fs::path path = resolved_output_path(output_path);
  fs::create_directories(path.parent_path());
  detail::write_file_replacing(path, models::model_dump_json(commerce, 2, true));
  return path;
}

}  // namespace korvane::commerce
