// Whether a signed manifest is still one to act on. A signature proves who
// made a manifest, not when: someone who controls the release service, but
// not the key, could keep serving an old release after a newer one fixed a
// hole (a freeze), or serve an older signing to anyone (a replay). A manifest
// may say until when it holds (`expires`) and carries a number the maker
// raises at every signing (`sequence`); Setup remembers the highest it has
// accepted, for good, outside the installation's entry.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace tessaline {

// Where the highest accepted sequence is kept, under HKEY_CURRENT_USER:
// outside the uninstall entry, so that it outlives an uninstall, which would
// otherwise open the way to a replay.
inline constexpr wchar_t kReleaseTrustKey[] = L"Software\\Quorvant\\Tessaline\\Release channels\\stable windows-x64";

// Seconds since 1970-01-01T00:00:00Z of an RFC 3339 UTC time written as
// "2027-03-01T00:00:00Z"; nothing for any other text or an impossible date.
std::optional<std::int64_t> ParseUtcTime(std::string_view text);

// Raises "Expired Tessaline release manifest" when `now` (Unix seconds) is
// past `expires`, and "Outdated Tessaline release manifest" when a sequence
// was remembered and the manifest's (0 when it has none) is lower. An equal
// sequence is the same signing: a repair.
void CheckManifestFreshness(std::optional<std::int64_t> expires, std::optional<std::uint64_t> sequence,
                            std::int64_t now, std::optional<std::uint64_t> remembered);

// The highest sequence this user's Setups have accepted for the channel.
std::optional<std::uint64_t> RememberedManifestSequence();

// Records `sequence` unless a higher one is remembered already. Best effort:
// a value that cannot be written leaves the older one.
void RememberManifestSequence(std::uint64_t sequence);

}  // namespace tessaline
