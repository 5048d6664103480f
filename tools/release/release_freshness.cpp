#include "release_freshness.h"

#include <chrono>
#include <cstdio>
#include <limits>
#include <nlohmann/json.hpp>

#include "command_options.h"
#include "release_signing.h"

namespace tessaline::release {
namespace {

namespace chrono = std::chrono;

// 9999-12-31T23:59:59Z, the last time four digits of year can write.
constexpr std::uint64_t kLastWritableTime = 253402300799;

}  // namespace

std::uint64_t UnixSecondsNow() {
  return static_cast<std::uint64_t>(
      chrono::duration_cast<chrono::seconds>(chrono::system_clock::now().time_since_epoch()).count());
}

std::uint64_t ParseExpiryDays(std::string_view text) {
  std::uint64_t days = 0;
  bool valid = !text.empty() && text.size() <= std::to_string(kLongestExpiryDays).size();
  for (const char c : text) {
    valid = valid && c >= '0' && c <= '9';
    if (valid) days = days * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (!valid || days == 0 || days > kLongestExpiryDays) {
    throw UsageError("--expires-in needs a whole number of days from 1 to " + std::to_string(kLongestExpiryDays) +
                     ", not '" + std::string(text) + "'");
  }
  return days;
}

std::uint64_t ManifestSequence(const nlohmann::ordered_json& manifest) {
  const auto sequence = manifest.find("sequence");
  if (sequence == manifest.end()) return 0;
  if (!sequence->is_number_unsigned()) {
    throw ReleaseToolError("the manifest's sequence is not an unsigned 64-bit integer: " + sequence->dump());
  }
  return sequence->get<std::uint64_t>();
}

std::uint64_t NextSequence(std::uint64_t current, std::uint64_t now) {
  if (current == std::numeric_limits<std::uint64_t>::max()) {
    throw ReleaseToolError("the manifest's sequence cannot be raised past " + std::to_string(current));
  }
  return std::max(current + 1, now);
}

std::string Rfc3339Utc(std::uint64_t unixSeconds) {
  if (unixSeconds > kLastWritableTime) throw ReleaseToolError("a time after the year 9999 cannot be written");
  const chrono::sys_days day{chrono::days{static_cast<long>(unixSeconds / kSecondsPerDay)}};
  const chrono::year_month_day date{day};
  const std::uint64_t second = unixSeconds % kSecondsPerDay;
  char text[32];
  std::snprintf(text, sizeof(text), "%04d-%02u-%02uT%02u:%02u:%02uZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<unsigned>(second / 3600), static_cast<unsigned>(second / 60 % 60),
                static_cast<unsigned>(second % 60));
  return text;
}

std::optional<std::uint64_t> ParseRfc3339Utc(std::string_view text) {
  constexpr std::string_view kForm = "0000-00-00T00:00:00Z";
  if (text.size() != kForm.size()) return std::nullopt;
  for (std::size_t i = 0; i < kForm.size(); ++i) {
    const bool digit = text[i] >= '0' && text[i] <= '9';
    if (kForm[i] == '0' ? !digit : text[i] != kForm[i]) return std::nullopt;
  }
  const auto number = [&](std::size_t at, std::size_t length) {
    unsigned value = 0;
    for (std::size_t i = at; i < at + length; ++i) value = value * 10 + static_cast<unsigned>(text[i] - '0');
    return value;
  };
  const chrono::year_month_day date{chrono::year{static_cast<int>(number(0, 4))}, chrono::month{number(5, 2)},
                                    chrono::day{number(8, 2)}};
  const unsigned hour = number(11, 2);
  const unsigned minute = number(14, 2);
  const unsigned second = number(17, 2);
  if (!date.ok() || hour > 23 || minute > 59 || second > 59) return std::nullopt;
  const long days = chrono::sys_days{date}.time_since_epoch().count();
  if (days < 0) return std::nullopt;
  return static_cast<std::uint64_t>(days) * kSecondsPerDay + hour * 3600 + minute * 60 + second;
}

}  // namespace tessaline::release
