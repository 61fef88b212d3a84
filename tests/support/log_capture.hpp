// What the library writes to one of its loggers, captured for a test.
#pragma once

#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace korvane::testing {

// Registers the logger `name` (a name the library looks up, such as
// "korvane.commerce.resolver") at debug level for the capture's life; every
// message is kept as a line "LEVEL message".
class LogCapture {
 public:
  explicit LogCapture(std::string name) : name_(std::move(name)) {
    spdlog::drop(name_);
    auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(out_);
    sink->set_pattern("%l %v");
    auto logger = std::make_shared<spdlog::logger>(name_, std::move(sink));
    logger->set_level(spdlog::level::debug);
    spdlog::register_logger(std::move(logger));
  }
  ~LogCapture() { spdlog::drop(name_); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  [[nodiscard]] std::string text() const { return out_.str(); }
  [[nodiscard]] std::vector<std::string> lines() const {
    std::vector<std::string> result;
    std::istringstream in(out_.str());
    for (std::string line; std::getline(in, line);) result.push_back(line);
    return result;
  }

 private:
  std::string name_;
  std::ostringstream out_;
};

}  // namespace korvane::testing
