#include "text/json_reader.hpp"

#include <boost/json/basic_parser_impl.hpp>
#include <boost/json/value_stack.hpp>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <vector>

namespace korvane::text {
namespace json = boost::json;
namespace {

// While a document is built, an integer too large for 64 bits stands in it
// as a NaN whose payload is the integer's index (parsed JSON holds no NaN
// otherwise); the finished document gets the integer's double back.
constexpr std::uint64_t kBoxBits = 0x7FFC'0000'0000'0000ULL;
constexpr std::uint64_t kIndexMask = 0x0003'FFFF'FFFF'FFFFULL;

double box(std::size_t index) noexcept { return std::bit_cast<double>(kBoxBits | index); }

std::optional<std::size_t> unbox(double d) noexcept {
  if (!std::isnan(d)) return std::nullopt;
  const auto bits = std::bit_cast<std::uint64_t>(d);
  if ((bits & ~kIndexMask) != kBoxBits) return std::nullopt;
  return static_cast<std::size_t>(bits & kIndexMask);
}

// "-"? digits: the parser reports such a number as a double only when it
// does not fit 64 bits.
bool is_integer_literal(std::string_view s) noexcept {
  if (s.starts_with('-')) s.remove_prefix(1);
  if (s.empty()) return false;
  for (const char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

struct BigInteger {
  std::string digits;
  double value = 0.0;
};

// Builds the document as Boost.JSON's own parser does (a value_stack), and
// keeps the text of each integer too large for 64 bits.
struct Handler {
  static constexpr std::size_t max_object_size = json::object::max_size();
  static constexpr std::size_t max_array_size = json::array::max_size();
  static constexpr std::size_t max_key_size = json::string::max_size();
  static constexpr std::size_t max_string_size = json::string::max_size();

  explicit Handler(const json::storage_ptr& temporary) : st(temporary) {}

  bool on_document_begin(json::error_code&) { return true; }
  bool on_document_end(json::error_code&) { return true; }
  bool on_object_begin(json::error_code&) { return true; }
  bool on_object_end(std::size_t n, json::error_code&) {
    st.push_object(n);
    return true;
  }
  bool on_array_begin(json::error_code&) { return true; }
  bool on_array_end(std::size_t n, json::error_code&) {
    st.push_array(n);
    return true;
  }
  bool on_key_part(json::string_view s, std::size_t, json::error_code&) {
    st.push_chars(s);
    return true;
  }
  bool on_key(json::string_view s, std::size_t, json::error_code&) {
    st.push_key(s);
    return true;
  }
  bool on_string_part(json::string_view s, std::size_t, json::error_code&) {
    st.push_chars(s);
    return true;
  }
  bool on_string(json::string_view s, std::size_t, json::error_code&) {
    st.push_string(s);
    return true;
  }
  bool on_number_part(json::string_view s, json::error_code&) {
    number_part.append(s.data(), s.size());
    return true;
  }
  bool on_int64(std::int64_t i, json::string_view, json::error_code&) {
    number_part.clear();
    st.push_int64(i);
    return true;
  }
  bool on_uint64(std::uint64_t u, json::string_view, json::error_code&) {
    number_part.clear();
    st.push_uint64(u);
    return true;
  }
  bool on_double(double d, json::string_view s, json::error_code&) {
    std::string_view literal(s.data(), s.size());
    if (!number_part.empty()) {
      number_part.append(literal);
      literal = number_part;
    }
    // The nearest double (beyond the range of doubles: Boost.JSON's value).
    (void)std::from_chars(literal.data(), literal.data() + literal.size(), d);
    if (is_integer_literal(literal)) {
      big_integers.push_back({std::string(literal), d});
      st.push_double(box(big_integers.size() - 1));
    } else {
      st.push_double(d);
    }
    number_part.clear();
    return true;
  }
  bool on_bool(bool b, json::error_code&) {
    st.push_bool(b);
    return true;
  }
  bool on_null(json::error_code&) {
    st.push_null();
    return true;
  }
  bool on_comment_part(json::string_view, json::error_code&) { return true; }
  bool on_comment(json::string_view, json::error_code&) { return true; }

  json::value_stack st;
  std::string number_part;  // a number split across writes, so far
  std::vector<BigInteger> big_integers;
};

// Gives every boxed integer of `document` its double back and hands its
// digits to `arena` when there is one. Values inside arrays and objects
// keep their addresses when the document is moved; the document itself
// does not, so a document that is one big integer keeps only its double.
void restore_big_integers(json::value& document, std::vector<BigInteger>& big, JsonArena* arena) {
  std::vector<json::value*> stack{&document};
  while (!stack.empty()) {
    json::value* v = stack.back();
    stack.pop_back();
    if (auto* object = v->if_object()) {
      for (auto& member : *object) stack.push_back(&member.value());
    } else if (auto* array = v->if_array()) {
      for (auto& element : *array) stack.push_back(&element);
    } else if (v->is_double()) {
      const auto index = unbox(v->get_double());
      if (!index) continue;
      v->emplace_double() = big[*index].value;
      if (arena != nullptr && v != &document) arena->keep_integer_text(*v, std::move(big[*index].digits));
    }
  }
}

}  // namespace

const std::string* JsonArena::integer_text(const json::value& number) const noexcept {
  if (integer_texts_.empty()) return nullptr;
  const auto found = integer_texts_.find(&number);
  return found == integer_texts_.end() ? nullptr : &found->second;
}

void JsonArena::keep_integer_text(const json::value& number, std::string digits) {
  integer_texts_.insert_or_assign(&number, std::move(digits));
}

void* JsonArena::do_allocate(std::size_t bytes, std::size_t alignment) {
  return memory_.allocate(bytes, alignment);
}

void JsonArena::do_deallocate(void* p, std::size_t bytes, std::size_t alignment) {
  memory_.deallocate(p, bytes, alignment);
}

bool JsonArena::do_is_equal(const json::memory_resource& other) const noexcept { return this == &other; }

const std::string* big_integer_text(const json::value& number) noexcept {
  if (!number.is_double()) return nullptr;
  const auto* arena = dynamic_cast<const JsonArena*>(number.storage().get());
  return arena == nullptr ? nullptr : arena->integer_text(number);
}

std::optional<json::value> read_json(std::string_view text, const json::parse_options& options, JsonError& error,
                                     JsonArena* arena) {
  const json::storage_ptr storage = arena != nullptr ? json::storage_ptr(arena) : json::storage_ptr();
  json::basic_parser<Handler> parser(options, storage);
  Handler& handler = parser.handler();
  handler.st.reset(storage);
  error = {};
  error.offset = parser.write_some(false, text.data(), text.size(), error.code);
  if (!error.code && error.offset < text.size()) error.code = json::error::extra_data;
  if (error.code) return std::nullopt;
  json::value document = handler.st.release();
  if (!handler.big_integers.empty()) restore_big_integers(document, handler.big_integers, arena);
  return document;
}

void null_non_finite(json::value& document) {
  std::vector<json::value*> stack{&document};
  while (!stack.empty()) {
    json::value* v = stack.back();
    stack.pop_back();
    if (auto* object = v->if_object()) {
      for (auto& member : *object) stack.push_back(&member.value());
    } else if (auto* array = v->if_array()) {
      for (auto& element : *array) stack.push_back(&element);
    } else if (v->is_double() && !std::isfinite(v->get_double())) {
      *v = nullptr;
    }
  }
}

std::string line_and_column(std::string_view text, std::size_t offset) {
  std::size_t line = 1, column = 1;
  for (std::size_t i = 0; i < offset && i < text.size(); ++i) {
    if (text[i] == '\n') {
      ++line;
      column = 1;
    } else {
      ++column;
    }
  }
  return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

std::optional<json::value> parse_json(std::string_view text, JsonArena& arena, const json::parse_options& options) {
  JsonError ignored;
  return read_json(text, options, ignored, &arena);
}

}  // namespace korvane::text
