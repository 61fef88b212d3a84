// Saved pages served from a folder, for offline runs and reproducible
// batches.
#include <korvane/core/fetcher.hpp>

#include <korvane/errors.hpp>

#include "text/unicode.hpp"

#include <boost/asio/error.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/system/system_error.hpp>
#include <boost/json.hpp>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>
#include <unordered_map>

namespace korvane::core {
namespace {

namespace fs = std::filesystem;
namespace json = boost::json;

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw FetchError("cannot open " + path.string());
  std::ostringstream content;
  content << in.rdbuf();
  if (in.bad()) throw FetchError("cannot read " + path.string());
  return std::move(content).str();
}

std::string content_type_for(const fs::path& file) {
  const std::string extension = text::ascii_lower(file.extension().string());
  if (extension == ".html" || extension == ".htm") return "text/html";
  if (extension == ".xhtml") return "application/xhtml+xml";
  return {};
}

class DirectoryTransport final : public Transport {
 public:
  explicit DirectoryTransport(std::unordered_map<std::string, SavedPage> files)
      : files_(std::move(files)) {}

  boost::asio::awaitable<std::vector<TransportResult>> fetch_all(std::vector<std::string> links,
                                                                 const FetcherOptions& options,
                                                                 double /*timeout_seconds*/,
                                                                 const LinkDone& on_link_done) const override {
    std::vector<TransportResult> results;
    results.reserve(links.size());
    const auto cancellation = co_await boost::asio::this_coro::cancellation_state;
    for (const std::string& link : links) {
      // Reading many files awaits nothing: stop here when the caller stops.
      if (cancellation.cancelled() != boost::asio::cancellation_type::none) {
        throw boost::system::system_error(boost::asio::error::operation_aborted);
      }
      results.push_back(serve(link, options));
      if (on_link_done) on_link_done();
    }
    co_return results;
  }

 private:
  TransportResult serve(const std::string& link, const FetcherOptions& options) const {
    const auto found = files_.find(link);
    if (found == files_.end()) return {std::nullopt, {FetchFailure::not_in_page_folder, "not in the page folder"}};
    const fs::path& path = found->second.file;
    std::error_code ec;
    const std::uintmax_t size = fs::file_size(path, ec);
    if (ec) return {std::nullopt, {FetchFailure::unreadable_file, "cannot read " + path.filename().string()}};
    if (size > options.max_page_bytes) return {std::nullopt, {FetchFailure::too_large, "too large"}};
    try {
      RawResponse response;
      response.status = 200;
      response.content_type = found->second.content_type;
      response.body = read_file(path);
      return {std::move(response), {}};
    } catch (const FetchError&) {
      return {std::nullopt, {FetchFailure::unreadable_file, "cannot read " + path.filename().string()}};
    }
  }

  std::unordered_map<std::string, SavedPage> files_;
};

// Whether `path` is `folder` or lies below it (both with symbolic links
// resolved).
bool is_within(const fs::path& path, const fs::path& folder) {
  const fs::path relative = path.lexically_relative(folder);
  return !relative.empty() && *relative.begin() != "..";
}

// The file of a manifest entry, inside `folder` (whose real path is
// `real_folder`): its real path, so that a symbolic link (to the file or to
// a folder on the way) cannot lead out of the folder.
fs::path page_file(const fs::path& folder, const fs::path& real_folder, const json::value& name,
                   std::string_view link) {
  if (!name.is_string()) {
    throw FetchError("the page folder manifest names no file for " + std::string(link));
  }
  const std::string written(name.get_string());
  const fs::path relative = fs::path(written).lexically_normal();
  if (relative.empty() || relative.is_absolute() || *relative.begin() == "..") {
    throw FetchError("the page folder manifest points outside the folder: " + written);
  }
  std::error_code ec;
  const fs::path real = fs::weakly_canonical(folder / relative, ec);
  if (ec) throw FetchError("cannot resolve " + written + " in the page folder: " + ec.message());
  if (!is_within(real, real_folder)) {
    throw FetchError("the page folder manifest points outside the folder: " + written + " (a link to " +
                     real.string() + ")");
  }
  return real;
}

}  // namespace

std::unordered_map<std::string, SavedPage> read_page_manifest(const fs::path& folder) {
  const fs::path manifest_path = folder / "manifest.json";
  const std::string text = read_file(manifest_path);
  boost::system::error_code ec;
  const json::value manifest = json::parse(text, ec);
  if (ec) throw FetchError("cannot parse " + manifest_path.string() + ": " + ec.message());

  std::error_code ec_folder;
  const fs::path real_folder = fs::canonical(folder, ec_folder);
  if (ec_folder) {
    throw FetchError("cannot resolve the page folder " + folder.string() + ": " + ec_folder.message());
  }

  std::unordered_map<std::string, SavedPage> files;
  const auto saved = [&](const json::value& name, std::string_view link, const json::value* type) {
    SavedPage page{page_file(folder, real_folder, name, link), {}};
    page.content_type = type != nullptr && type->is_string()
                            ? std::string(type->get_string())
                            : content_type_for(fs::path(std::string(name.get_string())));
    return page;
  };
  if (const auto* object = manifest.if_object()) {
    for (const auto& [link, entry] : *object) {
      // A file name, or an object with "file" and optionally "content_type".
      const auto* fields = entry.if_object();
      const json::value* name = fields != nullptr ? fields->if_contains("file") : &entry;
      const json::value* type = fields != nullptr ? fields->if_contains("content_type") : nullptr;
      files.insert_or_assign(std::string(link), saved(name != nullptr ? *name : json::value(), link, type));
    }
  } else if (const auto* array = manifest.if_array()) {
    for (const json::value& entry : *array) {
      const auto* fields = entry.if_object();
      if (fields == nullptr) throw FetchError(manifest_path.string() + ": an entry is not an object");
      const json::value* link = fields->if_contains("url");
      if (link == nullptr || !link->is_string()) link = fields->if_contains("original_url");
      if (link == nullptr || !link->is_string()) continue;  // a page saved without its link
      const std::string key(link->get_string());
      const json::value* name = fields->if_contains("file");
      files.try_emplace(key, saved(name != nullptr ? *name : json::value(), key, fields->if_contains("content_type")));
    }
  } else {
    throw FetchError(manifest_path.string() + " is neither an object nor an array");
  }
  return files;
}

std::shared_ptr<const Transport> make_directory_transport(const fs::path& folder) {
  return std::make_shared<const DirectoryTransport>(read_page_manifest(folder));
}

}  // namespace korvane::core
