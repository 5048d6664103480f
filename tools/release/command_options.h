// The options of one tessaline-release command, parsed with CLI11: every
// option is `--name VALUE` (or `--name=VALUE`) or a flag, given at most once.
// Texts and exit codes stay the tool's own: the usage texts are written by
// hand and a usage error is a UsageError, which the commands answer with 2.
#pragma once

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace CLI {
class App;
class Option;
}  // namespace CLI

namespace tessaline::release {

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class CommandOptions {
 public:
  // `valued` and `flags` are option names without the leading "--";
  // -h and --help are always known.
  CommandOptions(const std::vector<std::string>& valued, const std::vector<std::string>& flags = {});
  ~CommandOptions();
  CommandOptions(const CommandOptions&) = delete;
  CommandOptions& operator=(const CommandOptions&) = delete;

  // The arguments after the command's name. Throws UsageError for an unknown
  // option, a stray argument, an option without its value or given twice;
  // with --help among them only for what CLI11 itself cannot read.
  void Parse(const std::vector<std::string>& arguments);

  bool Help() const { return help_; }
  bool Flag(const std::string& name) const;
  // The value given, or nullopt when the option is absent.
  std::optional<std::string> Value(const std::string& name) const;
  // The value given; throws UsageError "missing --NAME" when absent.
  std::string Required(const std::string& name) const;

 private:
  std::unique_ptr<CLI::App> app_;
  struct Known {
    std::string name;
    CLI::Option* option;
    bool valued;
  };
  const Known* Find(const std::string& name) const;

  std::vector<Known> options_;
  bool help_ = false;
};

}  // namespace tessaline::release
