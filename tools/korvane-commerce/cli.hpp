// Shared pieces of the korvane-commerce subcommands.
#pragma once

#include <CLI/CLI.hpp>
#include <boost/json/value.hpp>
#include <simdjson.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace korvane::cli {

// Exit statuses (also listed in --help).
inline constexpr int EXIT_OK = 0;
inline constexpr int EXIT_FAILED = 1;  // the work failed: unreadable input, unwritable output, ...
inline constexpr int EXIT_USAGE = 2;   // the command line is wrong
// A run stopped by SIGINT or SIGTERM ends with 128 + the signal's number.

// Exit status of the run; subcommand callbacks set it.
struct RunState {
  int exit_code = EXIT_OK;
};

// One JSON object read from a --jsonl line (simdjson's parse of it: the
// texts are views into the reader's buffer, valid while the line is being
// answered). The accessors throw std::invalid_argument with a clear message
// when a member has the wrong type.
class JsonlRequest {
 public:
  explicit JsonlRequest(simdjson::dom::object object) : object_(object) {}

  [[nodiscard]] std::string_view text(std::string_view key) const;
  [[nodiscard]] std::optional<std::string_view> optional_text(std::string_view key) const;
  [[nodiscard]] std::optional<bool> optional_bool(std::string_view key) const;
  [[nodiscard]] std::optional<long long> optional_integer(std::string_view key) const;
  // A member as a Boost.JSON value, for the library's readers; absent when
  // the member is missing or null.
  [[nodiscard]] std::optional<boost::json::value> optional_value(std::string_view key) const;

 private:
  [[nodiscard]] std::optional<simdjson::dom::element> member(std::string_view key) const;
  simdjson::dom::object object_;
};

// Answers one --jsonl request; what it returns is written as
// {"result": ...}. A thrown exception becomes {"error": "..."}.
using JsonlHandler = std::function<boost::json::value(const JsonlRequest&)>;

// Reads one JSON object per line from the file descriptor `in` and writes
// exactly one answer line per input line to `out`, so answers stay aligned
// with requests: a line that is blank, not JSON or not an object is answered
// with {"error": ...} and the run goes on. Reads and writes in large blocks;
// answers are written whenever the input pauses. Returns the exit status.
int run_jsonl(int in, std::FILE* out, const JsonlHandler& handler);

// One JSON line for `v`, compact, with the library's number format.
std::string json_line(const boost::json::value& v);

// The whole content of a file ("-": standard input), with a clear message
// (std::runtime_error) when it is a directory, missing or unreadable.
std::string read_input_file(const std::filesystem::path& path);
// The same into `content`, whose memory a run of many files reuses (a
// buffer written for the first time costs the kernel a page fault and a
// cleared page every 4 KiB).
void read_input_file(const std::filesystem::path& path, std::string& content);

// Option checks whose messages say what is wanted: "must be a positive
// number of seconds, not 'abc'", "must be a number of seconds, 0 or more,
// not '-1'", "must be a whole number of at least 1, not '0'".
[[nodiscard]] CLI::Validator positive_seconds();
[[nodiscard]] CLI::Validator seconds_or_zero();
[[nodiscard]] CLI::Validator whole_number_from(long long least);

// A merchant domain given on the command line: a link ("https://www.x.com/p")
// stands for its domain, as the domain command prints it.
[[nodiscard]] std::string domain_argument(std::string_view given);

// Subcommands.
void add_unwrap_commands(CLI::App& app, RunState& state);
void add_enrich_commands(CLI::App& app, RunState& state);
void add_demo_command(CLI::App& app, RunState& state);
void add_classify_commands(CLI::App& app, RunState& state);
void add_price_commands(CLI::App& app, RunState& state);
void add_parse_commands(CLI::App& app, RunState& state);
void add_similarity_commands(CLI::App& app, RunState& state);

}  // namespace korvane::cli
