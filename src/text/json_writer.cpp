#include "text/json_writer.hpp"

#include "text/json_reader.hpp"
#include "text/number.hpp"

#include <boost/json.hpp>

#include <cmath>

namespace korvane::text {
namespace {

void write_string(std::string& out, std::string_view s) {
  static constexpr char hex[] = "0123456789abcdef";
  out.push_back('"');
  for (const char c : s) {
    const auto u = static_cast<unsigned char>(c);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (u < 0x20) {
          out += "\\u00";
          out.push_back(hex[u >> 4]);
          out.push_back(hex[u & 0xF]);
        } else {
          out.push_back(c);
        }
    }
  }
  out.push_back('"');
}

void newline(std::string& out, int indent, int depth) {
  out.push_back('\n');
  out.append(static_cast<std::size_t>(indent * depth), ' ');
}

void write_value(std::string& out, const boost::json::value& v, int indent, int depth) {
  switch (v.kind()) {
    case boost::json::kind::null: out += "null"; break;
    case boost::json::kind::bool_: out += v.get_bool() ? "true" : "false"; break;
    case boost::json::kind::int64: out += std::to_string(v.get_int64()); break;
    case boost::json::kind::uint64: out += std::to_string(v.get_uint64()); break;
    case boost::json::kind::double_:
      if (const std::string* digits = big_integer_text(v)) {
        out += *digits;
      } else if (!std::isfinite(v.get_double())) {
        out += "null";  // JSON has no NaN or infinity
      } else {
        out += format_shortest(v.get_double());
      }
      break;
    case boost::json::kind::string: write_string(out, v.get_string()); break;
    case boost::json::kind::array: {
      const auto& arr = v.get_array();
      if (arr.empty()) {
        out += "[]";
        break;
      }
      out.push_back('[');
      bool first = true;
      for (const auto& el : arr) {
        if (!first) out.push_back(',');
        first = false;
        if (indent > 0) newline(out, indent, depth + 1);
        write_value(out, el, indent, depth + 1);
      }
      if (indent > 0) newline(out, indent, depth);
      out.push_back(']');
      break;
    }
    case boost::json::kind::object: {
      const auto& obj = v.get_object();
      if (obj.empty()) {
        out += "{}";
        break;
      }
      out.push_back('{');
      bool first = true;
      for (const auto& member : obj) {
        if (!first) out.push_back(',');
        first = false;
        if (indent > 0) newline(out, indent, depth + 1);
        write_string(out, member.key());
        out += indent > 0 ? ": " : ":";
        write_value(out, member.value(), indent, depth + 1);
      }
      if (indent > 0) newline(out, indent, depth);
      out.push_back('}');
      break;
    }
  }
}

}  // namespace

std::string write_json(const boost::json::value& v, int indent) {
  std::string out;
  write_value(out, v, indent, 0);
  return out;
}

std::string json_text_form(const boost::json::value& v) {
  if (v.is_string()) return std::string(v.get_string());
  return write_json(v, 0);
}

}  // namespace korvane::text
