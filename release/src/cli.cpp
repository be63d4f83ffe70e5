#include "cli.h"

#include <cstdio>

namespace orv {

int Fail(const std::string& command, const std::string& message) {
  std::fprintf(stderr, "orvelant-release: %s: %s\n", command.c_str(), message.c_str());
  return 1;
}

int Usage(const std::string& message) {
  std::fprintf(stderr, "orvelant-release: %s\n(see orvelant-release --help)\n", message.c_str());
  return 2;
}

}  // namespace orv
