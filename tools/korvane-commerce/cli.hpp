// Shared pieces of the korvane-commerce subcommands.
#pragma once

#include <CLI/CLI.hpp>
#include <boost/json.hpp>

#include <functional>
#include <iosfwd>
#include <optional>
#include <string>

namespace korvane::cli {

// Exit status of the run; subcommand callbacks set it.
struct RunState {
  int exit_code = 0;
};

// Answers one JSON object read from a --jsonl line; what it returns is
// written as {"result": ...}. A thrown exception becomes {"error": "..."}.
using JsonlHandler = std::function<boost::json::value(const boost::json::object&)>;

// Reads one JSON object per line from `in` and writes one answer line per
// input line to `out`. Blank lines are skipped; a line that is not a JSON
// object is answered with {"error": ...} and the run goes on. Returns the exit
// status: 0 when every line was read.
int run_jsonl(std::istream& in, std::ostream& out, const JsonlHandler& handler);

// Members of a --jsonl object. They throw std::invalid_argument with a clear
// message when the member has the wrong type.
std::string required_text(const boost::json::object& o, std::string_view key);
std::optional<std::string> optional_text(const boost::json::object& o, std::string_view key);
std::optional<bool> optional_bool(const boost::json::object& o, std::string_view key);
std::optional<long long> optional_integer(const boost::json::object& o, std::string_view key);

// One JSON line for `v`, compact, with the library's number format.
std::string json_line(const boost::json::value& v);

// Subcommands.
void add_unwrap_commands(CLI::App& app, RunState& state);
void add_enrich_commands(CLI::App& app, RunState& state);
void add_demo_command(CLI::App& app, RunState& state);
void add_classify_commands(CLI::App& app, RunState& state);
void add_price_commands(CLI::App& app, RunState& state);
void add_parse_commands(CLI::App& app, RunState& state);
void add_similarity_commands(CLI::App& app, RunState& state);

}  // namespace korvane::cli
