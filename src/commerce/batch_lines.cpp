#include <korvane/commerce/batch.hpp>

#include "commerce/input_values.hpp"
#include "text/json_reader.hpp"
#include "text/json_writer.hpp"

#include <korvane/errors.hpp>
#include <korvane/models/json.hpp>

#include <boost/json/object.hpp>

#include <algorithm>
#include <utility>

namespace korvane::commerce {
namespace json = boost::json;

namespace {

// An input read once: its identity, and its request or why it has none.
struct ReadInput {
  std::string id = "null";
  std::optional<EnrichRequest> request;
  std::string error;
  bool enriched = false;  // its request went into the batch
};

ReadInput read_input(const BatchInput& input) {
  ReadInput read;
  if (input.number) read.id = std::to_string(*input.number);
  const std::string source = input.number ? "line " + std::to_string(*input.number) : "input";
  if (input.text.find_first_not_of(" \t\r\n") == std::string::npos) {
    read.error = source + ": empty line";
    return read;
  }
  // The arena keeps the digits of an identity too large for 64 bits.
  text::JsonArena arena;
  text::JsonError error;
  auto document = text::read_json(input.text, detail::input_parse_options(), error, &arena);
  if (!document) {
    read.error = detail::invalid_json_message(input.text, error.offset, error.code.message(), source);
    return read;
  }
  text::null_non_finite(*document);
  if (const auto* object = document->if_object()) {
    if (const auto* id = object->if_contains("id")) read.id = text::write_json(*id);
  }
  try {
    read.request = detail::search_result_of(*document, source);
  } catch (const InputError& e) {
    read.error = e.what();
  }
  return read;
}

// {"id": …} followed by the members of `rest`, as one compact line.
std::string answer_line(const std::string& id, json::object rest) {
  std::string line = "{\"id\":" + id;
  for (const auto& member : rest) {
    line += ',';
    line += models::json_text(json::value(member.key()));
    line += ':';
    line += models::json_text(member.value());
  }
  return line + '}';
}

}  // namespace

std::vector<BatchLine> enrich_batch_lines(std::vector<BatchInput> inputs, const RunOptions& options,
                                          const RunCallbacks& callbacks, std::stop_token stop,
                                          std::size_t concurrency) {
  std::vector<ReadInput> read;
  read.reserve(inputs.size());
  std::vector<EnrichRequest> requests;
  for (const BatchInput& input : inputs) {
    read.push_back(read_input(input));
    if (read.back().request) {
      requests.push_back(std::move(*read.back().request));
      read.back().request.reset();
      read.back().enriched = true;
    }
  }
  inputs.clear();
  std::vector<BatchOutcome> outcomes =
      enrich_batch(std::move(requests), options, callbacks, std::move(stop), concurrency);

  std::vector<BatchLine> lines(read.size());
  std::size_t next = 0;  // the outcome of the next input that had a request
  for (std::size_t i = 0; i < read.size(); ++i) {
    BatchLine& answer = lines[i];
    answer.id = std::move(read[i].id);
    if (!read[i].enriched) {
      answer.error = std::move(read[i].error);
    } else if (BatchOutcome& outcome = outcomes[next++]; !outcome.run) {
      answer.error = std::move(outcome.error);
    } else {
      const models::CommerceIntelligence& result = outcome.run->result;
      json::value whole = models::to_json(result, {.exclude_none = true});
      json::object rest;
      rest.emplace("summary", std::move(whole.as_object()["summary"]));
      rest.emplace("items", std::move(whole.as_object()["items"]));
      answer.line = answer_line(answer.id, std::move(rest));
      answer.items = result.items.size();
      answer.priced = static_cast<std::size_t>(std::max(0, result.summary.total_priced_matches));
      continue;
    }
    answer.line = answer_line(answer.id, json::object{{"error", *answer.error}});
  }
  return lines;
}

}  // namespace korvane::commerce
