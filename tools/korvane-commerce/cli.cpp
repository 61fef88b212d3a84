#include "cli.hpp"

#include <korvane/models/json.hpp>

#include <boost/json/parse.hpp>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace korvane::cli {
namespace json = boost::json;
namespace fs = std::filesystem;

namespace {

bool is_blank(std::string_view line) { return line.find_first_not_of(" \t\r\n") == std::string_view::npos; }

json::value error_object(std::string_view message) {
  json::object o;
  o["error"] = message;
  return o;
}

json::value answer_line(std::string_view line, std::size_t number, const JsonlHandler& handler) {
  const std::string where = "line " + std::to_string(number);
  if (is_blank(line)) return error_object(where + ": empty line");
  boost::system::error_code ec;
  json::value parsed = json::parse(line, ec);
  if (ec) return error_object(where + ": invalid JSON: " + ec.message());
  if (!parsed.is_object()) return error_object(where + ": expected a JSON object");
  try {
    json::object o;
    o["result"] = handler(parsed.get_object());
    return o;
  } catch (const std::exception& e) {
    return error_object(e.what());
  }
}

void write_all(std::FILE* out, std::string& buffer) {
  if (buffer.empty()) return;
  if (std::fwrite(buffer.data(), 1, buffer.size(), out) != buffer.size() || std::fflush(out) != 0) {
    throw std::runtime_error(std::string("cannot write the answers: ") + std::strerror(errno));
  }
  buffer.clear();
}

}  // namespace

std::string json_line(const json::value& v) {
  // Records and results use the library's writer so numbers read the same
  // everywhere ("12.0", "1e+16").
  return models::json_text(v, 0);
}

int run_jsonl(int in, std::FILE* out, const JsonlHandler& handler) {
  constexpr std::size_t block = std::size_t{1} << 20;
  std::vector<char> chunk(block);
  std::string pending;  // the start of a line not yet complete
  std::string answers;
  std::size_t line_number = 0;
  const auto answer = [&](std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    answers += json_line(answer_line(line, ++line_number, handler));
    answers += '\n';
  };
  for (;;) {
    const ssize_t n = ::read(in, chunk.data(), chunk.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error(std::string("cannot read standard input: ") + std::strerror(errno));
    }
    if (n == 0) break;
    std::string_view data(chunk.data(), static_cast<std::size_t>(n));
    for (std::size_t end = data.find('\n'); end != std::string_view::npos; end = data.find('\n')) {
      if (pending.empty()) {
        answer(data.substr(0, end));
      } else {
        pending.append(data.substr(0, end));
        answer(pending);
        pending.clear();
      }
      data.remove_prefix(end + 1);
    }
    pending.append(data);
    write_all(out, answers);  // the input paused or a block ended: answer what is complete
  }
  if (!pending.empty()) answer(pending);
  write_all(out, answers);
  return EXIT_OK;
}

std::string read_input_file(const fs::path& path) {
  if (path == "-") {
    std::string content;
    std::vector<char> chunk(std::size_t{1} << 20);
    for (;;) {
      const ssize_t n = ::read(STDIN_FILENO, chunk.data(), chunk.size());
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) throw std::runtime_error(std::string("cannot read standard input: ") + std::strerror(errno));
      if (n == 0) return content;
      content.append(chunk.data(), static_cast<std::size_t>(n));
    }
  }
  std::error_code ec;
  if (fs::is_directory(path, ec)) throw std::runtime_error(path.string() + ": is a directory, not a file");
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    const int error = errno;
    throw std::runtime_error(path.string() + ": cannot open the file" +
                             (error != 0 ? std::string(" (") + std::strerror(error) + ")" : std::string()));
  }
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw std::runtime_error(path.string() + ": cannot read the file");
  return content;
}

std::string required_text(const json::object& o, std::string_view key) {
  const auto it = o.find(key);
  if (it == o.end()) throw std::invalid_argument("missing member \"" + std::string(key) + "\"");
  if (!it->value().is_string()) {
    throw std::invalid_argument("member \"" + std::string(key) + "\" must be a string");
  }
  return std::string(it->value().get_string());
}

std::optional<std::string> optional_text(const json::object& o, std::string_view key) {
  const auto it = o.find(key);
  if (it == o.end() || it->value().is_null()) return std::nullopt;
  if (!it->value().is_string()) {
    throw std::invalid_argument("member \"" + std::string(key) + "\" must be a string or null");
  }
  return std::string(it->value().get_string());
}

std::optional<bool> optional_bool(const json::object& o, std::string_view key) {
  const auto it = o.find(key);
  if (it == o.end() || it->value().is_null()) return std::nullopt;
  if (!it->value().is_bool()) {
    throw std::invalid_argument("member \"" + std::string(key) + "\" must be true, false or null");
  }
  return it->value().get_bool();
}

std::optional<long long> optional_integer(const json::object& o, std::string_view key) {
  const auto it = o.find(key);
  if (it == o.end() || it->value().is_null()) return std::nullopt;
  if (!it->value().is_int64()) {
    throw std::invalid_argument("member \"" + std::string(key) + "\" must be an integer or null");
  }
  return it->value().get_int64();
}

}  // namespace korvane::cli
