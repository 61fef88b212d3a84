#include "cli.hpp"

#include <korvane/commerce/unwrapper.hpp>
#include <korvane/models/json.hpp>

#include <boost/json/parse.hpp>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <system_error>
#include <cstdio>
#include <memory>
#include <sys/stat.h>
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

// A line's answer. simdjson parses the line where it lies in the reader's
// buffer (which has its padding after the line's end); when it refuses the
// line, Boost.JSON names the fault, as it does for the other readers.
json::value answer_line(simdjson::dom::parser& parser, const char* line, std::size_t length, std::size_t number,
                        const JsonlHandler& handler) {
  const std::string where = "line " + std::to_string(number);
  const std::string_view text(line, length);
  if (is_blank(text)) return error_object(where + ": empty line");
  simdjson::dom::element parsed;
  if (const auto error = parser.parse(line, length, false).get(parsed); error != simdjson::SUCCESS) {
    boost::system::error_code ec;
    (void)json::parse(text, ec);
    return error_object(where + ": invalid JSON: " + (ec ? ec.message() : std::string(simdjson::error_message(error))));
  }
  simdjson::dom::object object;
  if (parsed.get(object) != simdjson::SUCCESS) return error_object(where + ": expected a JSON object");
  try {
    json::object o;
    o["result"] = handler(JsonlRequest(object));
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
  // Unanswered input: [begin, end) of `buffer`, whose capacity always leaves
  // simdjson's padding after `end`.
  std::vector<char> buffer(block + simdjson::SIMDJSON_PADDING);
  std::size_t begin = 0, end = 0;
  simdjson::dom::parser parser;
  std::string answers;
  std::size_t line_number = 0;
  const auto answer = [&](std::size_t from, std::size_t to) {
    std::size_t length = to - from;
    if (length > 0 && buffer[from + length - 1] == '\r') --length;
    answers += json_line(answer_line(parser, buffer.data() + from, length, ++line_number, handler));
    answers += '\n';
  };
  for (;;) {
    if (begin > 0 && begin == end) begin = end = 0;
    if (buffer.size() - simdjson::SIMDJSON_PADDING - end < block) {
      if (begin > 0) {  // move the unfinished line to the front
        std::memmove(buffer.data(), buffer.data() + begin, end - begin);
        end -= begin;
        begin = 0;
      }
      if (buffer.size() - simdjson::SIMDJSON_PADDING - end < block) buffer.resize(end + block + simdjson::SIMDJSON_PADDING);
    }
    const ssize_t n = ::read(in, buffer.data() + end, buffer.size() - simdjson::SIMDJSON_PADDING - end);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error(std::string("cannot read standard input: ") + std::strerror(errno));
    }
    if (n == 0) break;
    const std::size_t scanned = end;
    end += static_cast<std::size_t>(n);
    for (const char* nl = static_cast<const char*>(std::memchr(buffer.data() + scanned, '\n', end - scanned));
         nl != nullptr; nl = static_cast<const char*>(std::memchr(buffer.data() + begin, '\n', end - begin))) {
      const auto at = static_cast<std::size_t>(nl - buffer.data());
      answer(begin, at);
      begin = at + 1;
    }
    write_all(out, answers);  // the input paused or a block ended: answer what is complete
  }
  if (begin < end) answer(begin, end);
  write_all(out, answers);
  return EXIT_OK;
}

std::string read_input_file(const fs::path& path) {
  std::string content;
  read_input_file(path, content);
  return content;
}

void read_input_file(const fs::path& path, std::string& content) {
  content.clear();
  if (path == "-") {
    std::vector<char> chunk(std::size_t{1} << 20);
    for (;;) {
      const ssize_t n = ::read(STDIN_FILENO, chunk.data(), chunk.size());
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) throw std::runtime_error(std::string("cannot read standard input: ") + std::strerror(errno));
      if (n == 0) return;
      content.append(chunk.data(), static_cast<std::size_t>(n));
    }
  }
  std::error_code ec;
  if (fs::is_directory(path, ec)) throw std::runtime_error(path.string() + ": is a directory, not a file");
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rbe"), &std::fclose);
  if (!file) throw std::runtime_error(path.string() + ": cannot open the file (" + std::strerror(errno) + ")");
  // A regular file is read in one read() into a buffer of its size (one
  // byte more, to see its end; a read that large bypasses stdio's buffer);
  // anything else, or a file that grows meanwhile, in blocks.
  struct stat info {};
  const std::size_t size_hint = ::fstat(::fileno(file.get()), &info) == 0 && S_ISREG(info.st_mode)
                                    ? static_cast<std::size_t>(info.st_size)
                                    : 0;
  constexpr std::size_t block = std::size_t{1} << 20;
  content.resize(size_hint + 1);
  std::size_t got = 0;
  for (;;) {
    if (got == content.size()) content.resize(content.size() + block);
    const std::size_t n = std::fread(content.data() + got, 1, content.size() - got, file.get());
    got += n;
    if (n > 0) continue;
    if (std::ferror(file.get()) != 0) {
      throw std::runtime_error(path.string() + ": cannot read the file (" + std::strerror(errno) + ")");
    }
    break;
  }
  content.resize(got);
}

namespace {

CLI::Validator seconds_check(bool zero_allowed) {
  return CLI::Validator(
      [zero_allowed](const std::string& text) -> std::string {
        double seconds = 0.0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
        if (error == std::errc() && end == text.data() + text.size() && std::isfinite(seconds) &&
            (seconds > 0 || (zero_allowed && seconds == 0))) {
          return {};
        }
        return std::string(zero_allowed ? "must be a number of seconds, 0 or more" : "must be a positive number of seconds") +
               ", not '" + text + "'";
      },
      "SECONDS");
}

}  // namespace

CLI::Validator positive_seconds() { return seconds_check(false); }
CLI::Validator seconds_or_zero() { return seconds_check(true); }

CLI::Validator whole_number_from(long long least) {
  return CLI::Validator(
      [least](const std::string& text) -> std::string {
        long long n = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), n);
        if (error == std::errc() && end == text.data() + text.size() && n >= least) return {};
        return "must be a whole number of at least " + std::to_string(least) + ", not '" + text + "'";
      },
      "N");
}

std::string domain_argument(std::string_view given) {
  if (given.find("://") == std::string_view::npos) return std::string(given);
  return commerce::URLUnwrapper::extract_domain(given);
}

std::optional<simdjson::dom::element> JsonlRequest::member(std::string_view key) const {
  simdjson::dom::element value;
  if (object_.at_key(key).get(value) != simdjson::SUCCESS || value.is_null()) return std::nullopt;
  return value;
}

std::string_view JsonlRequest::text(std::string_view key) const {
  simdjson::dom::element value;
  if (object_.at_key(key).get(value) != simdjson::SUCCESS) {
    throw std::invalid_argument("missing member \"" + std::string(key) + "\"");
  }
  std::string_view text;
  if (value.get(text) != simdjson::SUCCESS) {
    throw std::invalid_argument("member \"" + std::string(key) + "\" must be a string");
  }
  return text;
}

std::optional<std::string_view> JsonlRequest::optional_text(std::string_view key) const {
  const auto value = member(key);
  if (!value) return std::nullopt;
  std::string_view text;
  if (value->get(text) != simdjson::SUCCESS) {
    throw std::invalid_argument("member \"" + std::string(key) + "\" must be a string or null");
  }
  return text;
}

std::optional<bool> JsonlRequest::optional_bool(std::string_view key) const {
  const auto value = member(key);
  if (!value) return std::nullopt;
  bool flag = false;
  if (value->get(flag) != simdjson::SUCCESS) {
    throw std::invalid_argument("member \"" + std::string(key) + "\" must be true, false or null");
  }
  return flag;
}

std::optional<long long> JsonlRequest::optional_integer(std::string_view key) const {
  const auto value = member(key);
  if (!value) return std::nullopt;
  std::int64_t number = 0;
  if (value->get(number) != simdjson::SUCCESS) {
    throw std::invalid_argument("member \"" + std::string(key) + "\" must be an integer or null");
  }
  return number;
}

std::optional<json::value> JsonlRequest::optional_value(std::string_view key) const {
  const auto value = member(key);
  if (!value) return std::nullopt;
  return json::parse(simdjson::minify(*value));
}

}  // namespace korvane::cli
