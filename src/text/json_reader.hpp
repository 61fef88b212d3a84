// Reading JSON documents of web pages without losing the digits of integers
// too large for 64 bits (identifiers such as SKUs and GTINs), which the
// parser can only hold as the nearest double.
#pragma once

#include <boost/json/memory_resource.hpp>
#include <boost/json/monotonic_resource.hpp>
#include <boost/json/parse_options.hpp>
#include <boost/json/value.hpp>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace korvane::text {

// Memory for parsed documents, allocated monotonically and released with
// the arena, which must outlive them. It also keeps the source digits of the
// documents' integers too large for 64 bits, by the address of the value
// (a double) that stands for each, so that json_text_form() and
// write_json() give back those exact digits.
class JsonArena final : public boost::json::memory_resource {
 public:
  JsonArena() = default;
  JsonArena(const JsonArena&) = delete;
  JsonArena& operator=(const JsonArena&) = delete;

  // The digits of `number` when it is such an integer, else null.
  [[nodiscard]] const std::string* integer_text(const boost::json::value& number) const noexcept;

  // Records `digits` as the source text of `number`, a value in this arena.
  void keep_integer_text(const boost::json::value& number, std::string digits);

 private:
  void* do_allocate(std::size_t bytes, std::size_t alignment) override;
  void do_deallocate(void* p, std::size_t bytes, std::size_t alignment) override;
  [[nodiscard]] bool do_is_equal(const boost::json::memory_resource& other) const noexcept override;

  boost::json::monotonic_resource memory_;
  std::unordered_map<const boost::json::value*, std::string> integer_texts_;
};

// The source digits of `number` when it is an integer too large for 64 bits
// read by parse_json() into a JsonArena, else null.
[[nodiscard]] const std::string* big_integer_text(const boost::json::value& number) noexcept;

// Where and why a text is not JSON.
struct JsonError {
  boost::json::error_code code;
  std::size_t offset = 0;  // the bytes read before the fault
};

// Reads `text` as one JSON document by `options`, every number the double
// nearest to its text (correctly rounded, which Boost.JSON's own parser is
// not: 1.0002094674975935e+22 would come back one unit off). With `arena`,
// the values use its memory and integers too large for 64 bits keep their
// digits (see JsonArena); without, they are the nearest double. Absent, with
// `error` set, when the text is not valid JSON.
[[nodiscard]] std::optional<boost::json::value> read_json(std::string_view text,
                                                          const boost::json::parse_options& options, JsonError& error,
                                                          JsonArena* arena = nullptr);

// Makes every number of `document` that is not finite null: NaN and the
// infinities, such as a number beyond the range of doubles read from a text
// (1e999). JSON text holds them so, and the writer writes them so; records
// read from a text then read the same after they are written and read again.
void null_non_finite(boost::json::value& document);

// "line L, column C" of the byte `offset` of `text`, counted from 1.
[[nodiscard]] std::string line_and_column(std::string_view text, std::size_t offset);

// read_json() into `arena`, without the error. A document that is itself an
// integer too large for 64 bits keeps only its double.
[[nodiscard]] std::optional<boost::json::value> parse_json(std::string_view text, JsonArena& arena,
                                                           const boost::json::parse_options& options);

}  // namespace korvane::text
