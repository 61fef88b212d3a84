// Runs a fuzz target's entry point once on every file given (or on every
// file of a folder given), as libFuzzer would run one input: the fuzz targets
// built without libFuzzer, so that CTest replays their seeds and the inputs
// that once failed, with any compiler.
#include "support/files.hpp"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

namespace fs = std::filesystem;

void run_file(const fs::path& file) {
  const std::string bytes = korvane::testing::read_file(file);
  LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t inputs = 0;
  for (int i = 1; i < argc; ++i) {
    const fs::path arg(argv[i]);
    std::vector<fs::path> files;
    if (!fs::exists(arg)) continue;  // a target without inputs of that kind (yet)
    if (fs::is_directory(arg)) {
      for (const auto& entry : fs::recursive_directory_iterator(arg)) {
        if (entry.is_regular_file()) files.push_back(entry.path());
      }
    } else {
      files.push_back(arg);
    }
    for (const auto& file : files) {
      std::cout << file.string() << std::endl;  // the input a failure stops at
      run_file(file);
      ++inputs;
    }
  }
  std::cout << inputs << " inputs\n";
  return inputs == 0 ? 1 : 0;
}
