// The fetcher's logger: the host's spdlog logger "korvane.core.fetcher", or
// one without sinks (the library never prints on its own).
#pragma once

#include <spdlog/logger.h>

#include <memory>

namespace korvane::core::detail {

[[nodiscard]] std::shared_ptr<spdlog::logger> fetcher_logger();

}  // namespace korvane::core::detail
