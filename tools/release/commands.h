// The commands of tessaline-release. main parses a command's options, prints
// its usage for --help and answers a UsageError with the usage and exit code
// 2, any other failure with exit code 1.
#pragma once

#include <string>
#include <vector>

#include "command_options.h"

namespace tessaline::release {

struct Command {
  const char* name;
  const char* usage;
  std::vector<std::string> valued;  // --name VALUE options
  std::vector<std::string> flags;
  int (*run)(const CommandOptions& options);  // the exit code: 0, or 1 for a failure it reported
};

extern const Command kPublishCommand;
extern const Command kRefreshCommand;
extern const Command kServeCommand;

}  // namespace tessaline::release
