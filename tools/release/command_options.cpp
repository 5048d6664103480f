#include "command_options.h"

#include <CLI/CLI.hpp>

#include <algorithm>

namespace tessaline::release {

CommandOptions::CommandOptions(const std::vector<std::string>& valued, const std::vector<std::string>& flags)
    : app_(std::make_unique<CLI::App>()) {
  app_->set_help_flag();  // the usage texts are the tool's own
  app_->add_flag("-h,--help", help_);
  // Unknown arguments are kept, to be named in the tool's own words.
  app_->allow_extras();
  for (const std::string& name : valued) {
    // Every occurrence is kept and a missing value reads as "", so both are
    // refused below with a message that names the option.
    options_.push_back({name, app_->add_option("--" + name)->take_all()->expected(0, 1), true});
  }
  for (const std::string& name : flags) options_.push_back({name, app_->add_flag("--" + name), false});
}

CommandOptions::~CommandOptions() = default;

void CommandOptions::Parse(const std::vector<std::string>& arguments) {
  // CLI11 takes a vector's arguments last first.
  std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());
  try {
    app_->parse(reversed);
  } catch (const CLI::ParseError& e) {
    throw UsageError(e.what());
  }
  if (help_) return;
  const std::vector<std::string> extras = app_->remaining();
  if (!extras.empty()) {
    const std::string& first = extras.front();
    if (first.rfind("-", 0) == 0) throw UsageError("unknown option: " + first.substr(0, first.find('=')));
    throw UsageError("unexpected argument: " + first);
  }
  for (const Known& known : options_) {
    if (!known.valued) continue;
    if (known.option->count() > 1) throw UsageError("option --" + known.name + " is given twice");
    if (known.option->count() == 1 && known.option->results().front().empty()) {
      throw UsageError("option --" + known.name + " needs a value");
    }
  }
}

const CommandOptions::Known* CommandOptions::Find(const std::string& name) const {
  const auto it = std::find_if(options_.begin(), options_.end(), [&](const Known& o) { return o.name == name; });
  return it == options_.end() ? nullptr : &*it;
}

bool CommandOptions::Flag(const std::string& name) const {
  const Known* known = Find(name);
  return known != nullptr && known->option->count() > 0;
}

std::optional<std::string> CommandOptions::Value(const std::string& name) const {
  const Known* known = Find(name);
  if (known == nullptr || known->option->count() == 0) return std::nullopt;
  return known->option->results().front();
}

std::string CommandOptions::Required(const std::string& name) const {
  std::optional<std::string> value = Value(name);
  if (!value) throw UsageError("missing --" + name);
  return *value;
}

}  // namespace tessaline::release
