// How a signing says it is new: a sequence the maker raises at every signing,
// so that Setup never goes back to a signing older than one it has seen, and
// an optional expiry, so that a release service which stops being signed
// stops being trusted.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

namespace tessaline::release {

// An expiry exists to end trust in signings nobody renews; one further off
// than ten years protects no one from a frozen release service, and it keeps
// the year within the four digits RFC 3339 writes.
inline constexpr std::uint64_t kLongestExpiryDays = 3650;

inline constexpr std::uint64_t kSecondsPerDay = 86400;

std::uint64_t UnixSecondsNow();

// The value of --expires-in: a whole number of days from 1 to
// kLongestExpiryDays. Throws UsageError for anything else.
std::uint64_t ParseExpiryDays(std::string_view text);

// The sequence a manifest carries, 0 for one without (written before
// signings carried it). Throws ReleaseToolError when it is not an unsigned
// 64-bit integer.
std::uint64_t ManifestSequence(const nlohmann::ordered_json& manifest);

// The sequence of the next signing: above `current`, and the signing time
// when that is higher, so that a maker who lost the site's last manifest
// still signs above it. Throws at the end of the range.
std::uint64_t NextSequence(std::uint64_t current, std::uint64_t now);

// "2027-03-01T00:00:00Z": UTC, to the second.
std::string Rfc3339Utc(std::uint64_t unixSeconds);
// The time of a text in exactly that form; nullopt for any other text.
std::optional<std::uint64_t> ParseRfc3339Utc(std::string_view text);

}  // namespace tessaline::release
