#include <iostream>

#include "commands.h"

namespace tessaline::release {

int RunPublish(const std::vector<std::string>&) {
  std::cerr << "tessaline-release: 'publish' is not available in this build\n";
  return 1;
}

}  // namespace tessaline::release
