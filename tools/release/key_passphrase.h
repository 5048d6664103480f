// The passphrase of an encrypted release key: from the environment, where a
// script or a secret store puts it, or else typed at the terminal without
// echo. Never from the command line, which every user's process list shows.
#pragma once

#include <cstddef>
#include <string>

namespace tessaline::release {

inline constexpr const char* kPassphraseVariable = "TESSALINE_RELEASE_KEY_PASSPHRASE";

// OpenSSL hands a key file's reader a buffer of this many bytes for the
// passphrase, so a longer one could seal a key but never open it.
inline constexpr std::size_t kLongestPassphrase = 1024;

// Text wiped from memory when it goes, so a passphrase lasts no longer than its use.
class SecretText {
 public:
  SecretText();
  SecretText(const SecretText&) = delete;
  SecretText& operator=(const SecretText&) = delete;
  ~SecretText();
  std::string& Text() { return text_; }
  const std::string& Text() const { return text_; }

 private:
  std::string text_;
};

// Fills `passphrase` from kPassphraseVariable when it is set and not empty,
// otherwise, when stdin is a terminal, by asking with `prompt` (twice with
// `confirm`, which refuses two different answers). False when neither
// gives one. Throws ReleaseToolError for a passphrase beyond kLongestPassphrase.
bool ReadPassphrase(SecretText& passphrase, const std::string& prompt, bool confirm);

}  // namespace tessaline::release
