#include <iostream>

#include "commands.h"

namespace tessaline::release {

int RunServe(const std::vector<std::string>&) {
  std::cerr << "tessaline-release: 'serve' is not available in this build\n";
  return 1;
}

}  // namespace tessaline::release
