#include "commerce/metadata/extended/loose_json.hpp"

#include "text/utf8.hpp"

#include <boost/json/array.hpp>
#include <boost/json/parser.hpp>
#include <boost/json/object.hpp>
#include <boost/json/string.hpp>

#include <charconv>
#include <cstdint>
#include <string>

namespace korvane::commerce::detail::extended {
namespace json = boost::json;
namespace {

bool is_ident_char(char c) noexcept {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '$' ||
         (static_cast<unsigned char>(c) >= 0x80);
}

int hex_digit(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

class Reader {
 public:
  Reader(std::string_view text, std::size_t pos, const json::storage_ptr& sp, std::size_t max_depth)
      : s_(text), p_(pos), sp_(sp), max_depth_(max_depth) {}

  std::optional<LooseValue> literal() {
    skip_blank();
    if (p_ >= s_.size() || (s_[p_] != '{' && s_[p_] != '[')) return std::nullopt;
    json::value v = value(0);
    if (failed_) return std::nullopt;
    return LooseValue{std::move(v), p_};
  }

 private:
  void skip_blank() noexcept {
    while (p_ < s_.size()) {
      const char c = s_[p_];
      if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v') {
        ++p_;
      } else if (c == '/' && p_ + 1 < s_.size() && s_[p_ + 1] == '/') {
        const std::size_t nl = s_.find('\n', p_ + 2);
        p_ = nl == std::string_view::npos ? s_.size() : nl + 1;
      } else if (c == '/' && p_ + 1 < s_.size() && s_[p_ + 1] == '*') {
        const std::size_t close = s_.find("*/", p_ + 2);
        p_ = close == std::string_view::npos ? s_.size() : close + 2;
      } else if (c == '\xC2' && p_ + 1 < s_.size() && s_[p_ + 1] == '\xA0') {
        p_ += 2;
      } else {
        return;
      }
    }
  }

  json::value value(std::size_t depth) {
    skip_blank();
    if (p_ >= s_.size()) {
      failed_ = true;
      return nullptr;
    }
    const char c = s_[p_];
    if (c == '{' || c == '[') {
      if (depth >= max_depth_) {
        skip_other();
        return nullptr;
      }
      return c == '{' ? object(depth + 1) : array(depth + 1);
    }
    if (c == '"' || c == '\'' || c == '`') return json::value(string(), sp_);
    if (c == '-' || c == '+' || c == '.' || (c >= '0' && c <= '9')) return number();
    if (c == '!' && p_ + 1 < s_.size() && (s_[p_ + 1] == '0' || s_[p_ + 1] == '1')) {
      const bool truth = s_[p_ + 1] == '0';
      p_ += 2;
      if (p_ >= s_.size() || !is_ident_char(s_[p_])) return truth;
    }
    const std::string_view word = identifier();
    if (!word.empty()) {
      skip_blank();
      const bool ends = p_ >= s_.size() || s_[p_] == ',' || s_[p_] == '}' || s_[p_] == ']';
      if (ends) {
        if (word == "true") return true;
        if (word == "false") return false;
        return nullptr;  // null, undefined, NaN, Infinity, a variable
      }
    }
    skip_other();
    return nullptr;
  }

  json::value object(std::size_t depth) {
    ++p_;  // "{"
    json::object o(sp_);
    while (!failed_) {
      skip_blank();
      if (p_ >= s_.size()) break;
      if (s_[p_] == '}') {
        ++p_;
        return o;
      }
      if (s_[p_] == ',') {
        ++p_;
        continue;
      }
      std::string key;
      const char c = s_[p_];
      if (c == '"' || c == '\'' || c == '`') {
        key = string();
      } else {
        const std::string_view word = identifier();
        if (word.empty()) {  // "[computed]" keys, spreads: skip the member
          const std::size_t before = p_;
          skip_other();
          if (p_ == before) break;  // a closing bracket of the wrong kind
          continue;
        }
        key = std::string(word);
      }
      skip_blank();
      const std::size_t before = p_;
      if (p_ < s_.size() && s_[p_] == ':') {
        ++p_;
        o.insert_or_assign(key, value(depth));
      } else if (p_ < s_.size() && (s_[p_] == ',' || s_[p_] == '}')) {
        o.insert_or_assign(key, nullptr);  // shorthand member
      } else {
        skip_other();  // a method or a getter
        if (p_ == before) break;  // a closing bracket of the wrong kind
      }
    }
    failed_ = true;
    return nullptr;
  }

  json::value array(std::size_t depth) {
    ++p_;  // "["
    json::array a(sp_);
    while (!failed_) {
      skip_blank();
      if (p_ >= s_.size()) break;
      if (s_[p_] == ']') {
        ++p_;
        return a;
      }
      if (s_[p_] == ',') {
        ++p_;
        continue;
      }
      const std::size_t before = p_;
      a.push_back(value(depth));
      if (p_ == before) break;  // a closing bracket of the wrong kind
    }
    failed_ = true;
    return nullptr;
  }

  std::string_view identifier() noexcept {
    const std::size_t begin = p_;
    while (p_ < s_.size() && is_ident_char(s_[p_])) ++p_;
    return s_.substr(begin, p_ - begin);
  }

  json::value number() {
    const std::size_t begin = p_;
    if (s_[p_] == '-' || s_[p_] == '+') ++p_;
    while (p_ < s_.size() && ((s_[p_] >= '0' && s_[p_] <= '9') || s_[p_] == '.' || s_[p_] == 'e' ||
                              s_[p_] == 'E' || ((s_[p_] == '-' || s_[p_] == '+') && (s_[p_ - 1] | 0x20) == 'e'))) {
      ++p_;
    }
    const std::string_view text = s_.substr(begin, p_ - begin);
    skip_blank();
    const bool ends = p_ >= s_.size() || s_[p_] == ',' || s_[p_] == '}' || s_[p_] == ']';
    if (!ends) {
      skip_other();  // an expression such as 1 + x
      return nullptr;
    }
    const std::string_view digits = text.front() == '+' ? text.substr(1) : text;
    if (digits.find_first_of(".eE") == std::string_view::npos) {
      std::int64_t i = 0;
      const auto r = std::from_chars(digits.data(), digits.data() + digits.size(), i);
      if (r.ec == std::errc() && r.ptr == digits.data() + digits.size()) return i;
      std::uint64_t u = 0;
      const auto ru = std::from_chars(digits.data(), digits.data() + digits.size(), u);
      if (ru.ec == std::errc() && ru.ptr == digits.data() + digits.size()) return u;
      // Too long for an integer: an identifier written as a number; keep its digits.
      return json::value(json::string(digits, sp_));
    }
    double d = 0;
    const auto r = std::from_chars(digits.data(), digits.data() + digits.size(), d);
    if (r.ec != std::errc() || r.ptr != digits.data() + digits.size()) return nullptr;
    return d;
  }

  // A quoted string; the reader stands on its opening quote.
  std::string string() {
    const char quote = s_[p_++];
    std::string out;
    while (p_ < s_.size()) {
      const char c = s_[p_];
      if (c == quote) {
        ++p_;
        return out;
      }
      if (c != '\\') {
        const std::size_t stop = s_.find_first_of(quote == '"' ? "\"\\" : quote == '\'' ? "'\\" : "`\\", p_);
        const std::size_t end = stop == std::string_view::npos ? s_.size() : stop;
        out.append(s_.substr(p_, end - p_));
        p_ = end;
        continue;
      }
      if (p_ + 1 >= s_.size()) break;
      const char e = s_[p_ + 1];
      p_ += 2;
      switch (e) {
        case 'n': out.push_back('\n'); break;
        case 't': out.push_back('\t'); break;
        case 'r': out.push_back('\r'); break;
        case 'b': out.push_back('\b'); break;
        case 'f': out.push_back('\f'); break;
        case 'v': out.push_back('\v'); break;
        case '0': out.push_back('\0'); break;
        case '\n': break;
        case 'x': append_code_unit(out, hex_run(2)); break;
        case 'u': append_unicode_escape(out); break;
        default: out.push_back(e); break;
      }
    }
    failed_ = true;
    return out;
  }

  long hex_run(std::size_t n) noexcept {
    if (p_ + n > s_.size()) return -1;
    long v = 0;
    for (std::size_t k = 0; k < n; ++k) {
      const int h = hex_digit(s_[p_ + k]);
      if (h < 0) return -1;
      v = v * 16 + h;
    }
    p_ += n;
    return v;
  }

  static void append_code_unit(std::string& out, long cp) {
    if (cp < 0) return;
    text::append_utf8(out, static_cast<char32_t>(cp));
  }

  void append_unicode_escape(std::string& out) {
    if (p_ < s_.size() && s_[p_] == '{') {
      const std::size_t close = s_.find('}', p_);
      if (close == std::string_view::npos || close - p_ > 7) return;
      long v = 0;
      for (std::size_t k = p_ + 1; k < close; ++k) {
        const int h = hex_digit(s_[k]);
        if (h < 0) return;
        v = v * 16 + h;
      }
      p_ = close + 1;
      append_code_unit(out, v);
      return;
    }
    const long unit = hex_run(4);
    if (unit < 0) return;
    if (unit >= 0xD800 && unit <= 0xDBFF && p_ + 6 <= s_.size() && s_[p_] == '\\' && s_[p_ + 1] == 'u') {
      const std::size_t mark = p_;
      p_ += 2;
      const long low = hex_run(4);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        append_code_unit(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
        return;
      }
      p_ = mark;
    }
    append_code_unit(out, unit);  // a lone surrogate comes out as U+FFFD
  }

  // Skips a value this reader does not understand: up to the next "," "}" or
  // "]" outside brackets and strings.
  void skip_other() {
    int nesting = 0;
    while (p_ < s_.size()) {
      const char c = s_[p_];
      if (c == '"' || c == '\'' || c == '`') {
        (void)string();
        if (failed_) return;
        continue;
      }
      if (c == '{' || c == '[' || c == '(') {
        ++nesting;
      } else if (c == '}' || c == ']' || c == ')') {
        if (nesting == 0) return;
        --nesting;
      } else if (c == ',' && nesting == 0) {
        return;
      }
      ++p_;
    }
  }

  std::string_view s_;
  std::size_t p_;
  const json::storage_ptr& sp_;
  std::size_t max_depth_;
  bool failed_ = false;
};

}  // namespace

std::optional<LooseValue> read_loose_literal(std::string_view text, std::size_t pos, const json::storage_ptr& sp,
                                             std::size_t max_depth) {
  if (pos >= text.size() || (text[pos] != '{' && text[pos] != '[')) return std::nullopt;
  // Strict JSON, the common case, goes through the much faster JSON parser.
  json::parse_options options;
  options.max_depth = max_depth;
  json::parser parser(sp, options);
  parser.reset(sp);  // the value in `sp` too, not only the parser's stack
  json::error_code ec;
  const std::size_t used = parser.write_some(text.data() + pos, text.size() - pos, ec);
  if (!ec) return LooseValue{parser.release(), pos + used};
  return Reader(text, pos, sp, max_depth).literal();
}

}  // namespace korvane::commerce::detail::extended
