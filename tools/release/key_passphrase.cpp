#include "key_passphrase.h"

#include <openssl/crypto.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include <termios.h>
#include <unistd.h>

#include "release_signing.h"

namespace tessaline::release {
namespace {

// Echo is off only while a passphrase is typed; a signal that ends the
// process meanwhile turns it back on first, or the user's shell would stay
// without echo.
struct termios savedTerminal;
constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

extern "C" void RestoreTerminalAndEnd(int signal) {
  ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedTerminal);
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

class EchoOff {
 public:
  EchoOff() {
    if (::tcgetattr(STDIN_FILENO, &savedTerminal) != 0) throw ReleaseToolError("cannot read the terminal's settings");
    for (std::size_t i = 0; i < std::size(kEndingSignals); ++i) {
      struct sigaction ending {};
      ending.sa_handler = RestoreTerminalAndEnd;
      ::sigaction(kEndingSignals[i], &ending, &previous_[i]);
    }
    struct termios quiet = savedTerminal;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ICANON;
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  EchoOff(const EchoOff&) = delete;
  EchoOff& operator=(const EchoOff&) = delete;
  ~EchoOff() {
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedTerminal);
    for (std::size_t i = 0; i < std::size(kEndingSignals); ++i) ::sigaction(kEndingSignals[i], &previous_[i], nullptr);
  }

 private:
  struct sigaction previous_[std::size(kEndingSignals)] {};
};

void CheckLength(const std::string& passphrase) {
  if (passphrase.size() > kLongestPassphrase) {
    throw ReleaseToolError("the passphrase is longer than " + std::to_string(kLongestPassphrase) + " bytes");
  }
}

// One line typed at the terminal, without its line end; false at end of input.
bool AskTerminal(SecretText& answer, const std::string& prompt) {
  answer.Text().clear();
  bool ended = false;
  {
    const EchoOff quiet;  // before the prompt, so nothing typed after it shows
    std::fputs(prompt.c_str(), stderr);
    std::fflush(stderr);
    char c = 0;
    while (true) {
      const ssize_t got = ::read(STDIN_FILENO, &c, 1);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        ended = true;
        break;
      }
      if (c == '\n') break;
      // Kept to one byte past the limit, only to report it.
      if (answer.Text().size() <= kLongestPassphrase) answer.Text().push_back(c);
    }
  }
  std::fputs("\n", stderr);
  if (!answer.Text().empty() && answer.Text().back() == '\r') answer.Text().pop_back();
  CheckLength(answer.Text());
  return !ended || !answer.Text().empty();
}

}  // namespace

SecretText::SecretText() { text_.reserve(kLongestPassphrase + 1); }  // never reallocated, so never copied

SecretText::~SecretText() { OPENSSL_cleanse(text_.data(), text_.capacity()); }

bool ReadPassphrase(SecretText& passphrase, const std::string& prompt, bool confirm) {
  const char* fromEnvironment = std::getenv(kPassphraseVariable);
  if (fromEnvironment != nullptr && *fromEnvironment != '\0') {
    passphrase.Text().assign(fromEnvironment);
    CheckLength(passphrase.Text());
    return true;
  }
  if (::isatty(STDIN_FILENO) != 1) return false;
  if (!AskTerminal(passphrase, prompt) || passphrase.Text().empty()) return false;
  if (!confirm) return true;
  SecretText again;
  if (!AskTerminal(again, "Type the passphrase again: ") || again.Text() != passphrase.Text()) {
    throw ReleaseToolError("the two passphrases differ");
  }
  return true;
}

}  // namespace tessaline::release
