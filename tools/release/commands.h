// The commands of tessaline-release that parse their own options. Each takes
// the arguments after its name and returns the process exit code: 0 success,
// 1 failure, 2 a usage error. Each prints its own usage for --help.
#pragma once

#include <string>
#include <vector>

namespace tessaline::release {

int RunPublish(const std::vector<std::string>& arguments);
int RunServe(const std::vector<std::string>& arguments);

}  // namespace tessaline::release
