#include "trust/release_freshness.h"

#include <windows.h>

#include "common/setup_error.h"
#include "common/unique_handle.h"

namespace tessaline {
namespace {

constexpr wchar_t kSequenceValue[] = L"Highest manifest sequence";

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
std::int64_t DaysFromCivil(std::int64_t year, unsigned month, unsigned day) {
  year -= month <= 2 ? 1 : 0;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const unsigned yearOfEra = static_cast<unsigned>(year - era * 400);
  const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + static_cast<std::int64_t>(dayOfEra) - 719468;
}

bool IsLeapYear(std::int64_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

}  // namespace

std::optional<std::int64_t> ParseUtcTime(std::string_view text) {
  // YYYY-MM-DDTHH:MM:SSZ, nothing more and nothing less.
  constexpr std::string_view kShape = "dddd-dd-ddTdd:dd:ddZ";
  if (text.size() != kShape.size()) return std::nullopt;
  for (std::size_t i = 0; i < kShape.size(); ++i) {
    if (kShape[i] == 'd' ? (text[i] < '0' || text[i] > '9') : text[i] != kShape[i]) return std::nullopt;
  }
  const auto number = [&](std::size_t at, std::size_t digits) {
    unsigned value = 0;
    for (std::size_t i = at; i < at + digits; ++i) value = value * 10 + static_cast<unsigned>(text[i] - '0');
    return value;
  };
  const unsigned year = number(0, 4), month = number(5, 2), day = number(8, 2);
  const unsigned hour = number(11, 2), minute = number(14, 2), second = number(17, 2);
  constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12 || day < 1 || hour > 23 || minute > 59 || second > 59) return std::nullopt;
  if (day > kDays[month - 1] + (month == 2 && IsLeapYear(year) ? 1 : 0)) return std::nullopt;
  return DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
}

void CheckManifestFreshness(std::optional<std::int64_t> expires, std::optional<std::uint64_t> sequence,
                            std::int64_t now, std::optional<std::uint64_t> remembered) {
  if (expires && now > *expires) throw SetupError("Expired Tessaline release manifest");
  if (remembered && sequence.value_or(0) < *remembered) throw SetupError("Outdated Tessaline release manifest");
}

std::optional<std::uint64_t> RememberedManifestSequence() {
  std::uint64_t value = 0;
  DWORD size = sizeof(value);
  if (RegGetValueW(HKEY_CURRENT_USER, kReleaseTrustKey, kSequenceValue, RRF_RT_REG_QWORD, nullptr, &value, &size) !=
      ERROR_SUCCESS) {
    return std::nullopt;
  }
  return value;
}

void RememberManifestSequence(std::uint64_t sequence) {
  const std::optional<std::uint64_t> remembered = RememberedManifestSequence();
  if (remembered && *remembered >= sequence) return;
  UniqueRegistryKey key;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, kReleaseTrustKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr,
                      key.Put(), nullptr) != ERROR_SUCCESS) {
    return;
  }
  RegSetValueExW(key.Get(), kSequenceValue, 0, REG_QWORD, reinterpret_cast<const BYTE*>(&sequence), sizeof(sequence));
  RegFlushKey(key.Get());
}

}  // namespace tessaline
