// Running the korvane-commerce binary from tests.
#pragma once

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace korvane::testing {

struct CommandResult {
  int status = -1;     // exit status
  std::string output;  // standard output
};

// Runs `args` (a shell fragment) with `input` on standard input.
inline CommandResult run_cli(const std::string& args, const std::string& input = {}) {
  char path[] = "/tmp/korvane-cli-input-XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) throw std::runtime_error("mkstemp failed");
  close(fd);
  {
    std::ofstream f(path, std::ios::binary);
    f << input;
  }
  // Redirections first, so that `args` may send standard error elsewhere.
  const std::string command = std::string(KORVANE_CLI) + " < " + path + " 2>/dev/null " + args;
  CommandResult r;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) throw std::runtime_error("popen failed");
  std::array<char, 4096> buf{};
  std::size_t n = 0;
  while ((n = fread(buf.data(), 1, buf.size(), pipe)) > 0) r.output.append(buf.data(), n);
  const int raw = pclose(pipe);
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  std::remove(path);
  return r;
}

}  // namespace korvane::testing
