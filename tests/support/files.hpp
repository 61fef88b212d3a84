// Reading whole files, for tests, benchmarks and fuzz targets.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

namespace korvane::testing {

// The bytes of `path`; throws std::runtime_error when it cannot be read (a
// missing file is a fault of the test, not an empty page).
inline std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace korvane::testing
