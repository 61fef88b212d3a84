#include "standard_output.hpp"

#include "cli.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <stdexcept>
#include <string>
#include <unistd.h>

namespace korvane::cli {

bool names_standard_output(const std::filesystem::path& path) {
  return path == "-" || path == "/dev/stdout" || path == "/dev/fd/1" || path == "/proc/self/fd/1";
}

void write_standard_output(std::string_view text) {
  std::cout.flush();
  if (std::fflush(stdout) != 0) {
    throw std::runtime_error(std::string("cannot write to standard output: ") + std::strerror(errno));
  }
  while (!text.empty()) {
    const ssize_t n = ::write(STDOUT_FILENO, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw std::runtime_error(std::string("cannot write to standard output: ") + std::strerror(errno));
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

int finish_standard_output(int status) {
  // (iostreams share stdio's buffer: the first flush that fails says why.)
  errno = 0;
  std::cout.flush();
  int error = errno;
  const bool flushed = std::fflush(stdout) == 0;
  if (error == 0) error = errno;
  if (flushed && !std::ferror(stdout) && !std::cout.fail()) return status;
  std::fprintf(stderr, "korvane-commerce: cannot write to standard output: %s\n",
               error != 0 ? std::strerror(error) : "a write failed");
  return EXIT_FAILED;
}

}  // namespace korvane::cli
