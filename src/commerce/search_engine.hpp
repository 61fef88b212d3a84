// The visual search engine's own hosts, as the unwrapper and the store
// resolver recognise them.
#pragma once

#include <string_view>

namespace korvane::commerce::detail {

// The visual search engine's domain label; its redirect links live on hosts
// that contain this label followed by a dot.
inline constexpr std::string_view SEARCH_ENGINE_LABEL = "google";

}  // namespace korvane::commerce::detail
