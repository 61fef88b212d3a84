#include "cli.hpp"

#include <korvane/models.hpp>
#include <korvane/models/json.hpp>

#include <iostream>
#include <stdexcept>

namespace korvane::cli {
namespace json = boost::json;

namespace {

bool is_blank(const std::string& line) {
  return line.find_first_not_of(" \t\r\n") == std::string::npos;
}

json::value error_object(std::string_view message) {
  json::object o;
  o["error"] = message;
  return o;
}

}  // namespace

std::string json_line(const json::value& v) {
  // Records and results use the library's writer so numbers read the same
  // everywhere ("12.0", "1e+16").
  return models::json_text(v, 0);
}

int run_jsonl(std::istream& in, std::ostream& out, const JsonlHandler& handler) {
  std::string line;
  std::size_t line_number = 0;
  while (std::getline(in, line)) {
    ++line_number;
    if (is_blank(line)) continue;
    json::value answer;
    boost::system::error_code ec;
    json::value parsed = json::parse(line, ec);
    if (ec) {
      answer = error_object("line " + std::to_string(line_number) + ": invalid JSON: " + ec.message());
    } else if (!parsed.is_object()) {
      answer = error_object("line " + std::to_string(line_number) + ": expected a JSON object");
    } else {
      try {
        json::object o;
        o["result"] = handler(parsed.get_object());
        answer = std::move(o);
      } catch (const std::exception& e) {
        answer = error_object(e.what());
      }
    }
    out << json_line(answer) << '\n';
  }
  out.flush();
  return 0;
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
