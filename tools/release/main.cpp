// tessaline-release: the maker's tool for release keys and signed releases.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "commands.h"
#include "release_signing.h"

namespace fs = std::filesystem;
using namespace tessaline::release;

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

constexpr const char* kUsage =
    "Usage: tessaline-release <command> [options]\n"
    "\n"
    "Commands:\n"
    "  keygen   create a new release signing key pair\n"
    "  publish  pack an application folder into a signed release site\n"
    "  sign     sign a manifest with a release key\n"
    "  verify   check a manifest signature as Setup does\n"
    "  serve    serve a release site over HTTPS on loopback\n"
    "\n"
    "Run 'tessaline-release <command> --help' for the options of a command.\n";

constexpr const char* kKeygenUsage =
    "Usage: tessaline-release keygen --out DIR\n"
    "\n"
    "Creates DIR/release-key.pem (a P-256 private key, readable only by you)\n"
    "and DIR/release-key.pub.hex, and prints the public key as the 128\n"
    "hexadecimal digits that TESSALINE_RELEASE_PUBLIC_KEY takes. Keep the\n"
    "private key out of every repository.\n";

constexpr const char* kSignUsage =
    "Usage: tessaline-release sign --key KEY.pem --manifest FILE --out SIG\n"
    "\n"
    "Writes the 64-byte r||s ECDSA P-256 signature of FILE's exact bytes.\n";

constexpr const char* kVerifyUsage =
    "Usage: tessaline-release verify --public-key HEX --manifest FILE --signature SIG\n"
    "\n"
    "Exit code 0 when SIG is a valid signature of FILE under the key, 1 when not.\n";

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// --name value pairs; a bare --help sets "help".
std::map<std::string, std::string> ParseOptions(int argc, char** argv, int first,
                                                const std::vector<std::string>& known) {
  std::map<std::string, std::string> options;
  for (int i = first; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      options.emplace("help", "1");
      continue;
    }
    if (arg.rfind("--", 0) != 0) throw UsageError("unexpected argument: " + arg);
    const std::string name = arg.substr(2);
    bool isKnown = false;
    for (const std::string& k : known) isKnown = isKnown || k == name;
    if (!isKnown) throw UsageError("unknown option: " + arg);
    if (i + 1 >= argc) throw UsageError("option " + arg + " needs a value");
    options[name] = argv[++i];
  }
  return options;
}

std::string Required(const std::map<std::string, std::string>& options, const std::string& name) {
  const auto it = options.find(name);
  if (it == options.end() || it->second.empty()) throw UsageError("missing --" + name);
  return it->second;
}

int Keygen(const std::map<std::string, std::string>& options) {
  const fs::path out = Required(options, "out");
  fs::create_directories(out);
  const fs::path pem = out / "release-key.pem";
  const fs::path pub = out / "release-key.pub.hex";
  if (fs::exists(pem) || fs::exists(pub)) {
    throw ReleaseToolError("refusing to overwrite an existing key in " + out.string());
  }
  const PrivateKey key = GenerateP256Key();
  WritePrivateKeyPem(key, pem);
  const std::string hex = PublicKeyHex(key);
  const std::string line = hex + "\n";
  WriteFileBytes(pub, Bytes(line.begin(), line.end()));
  std::cerr << "private key: " << pem.string() << "\npublic key:  " << pub.string() << "\n";
  std::cout << hex << "\n";
  return 0;
}

int Sign(const std::map<std::string, std::string>& options) {
  const PrivateKey key = LoadP256PrivateKey(Required(options, "key"));
  const Bytes manifest = ReadFileBytes(Required(options, "manifest"));
  WriteFileBytes(Required(options, "out"), SignRelease(key, manifest));
  return 0;
}

int Verify(const std::map<std::string, std::string>& options) {
  const std::string hex = Required(options, "public-key");
  const Bytes manifest = ReadFileBytes(Required(options, "manifest"));
  const Bytes signature = ReadFileBytes(Required(options, "signature"));
  if (signature.size() != 64) {
    std::cerr << "tessaline-release: the signature is " << signature.size() << " bytes, not 64\n";
    return kExitFailure;
  }
  if (!VerifyRelease(hex, manifest, signature)) {
    std::cerr << "tessaline-release: the signature does not match the manifest and key\n";
    return kExitFailure;
  }
  std::cerr << "signature valid\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
    std::fputs(kUsage, argc < 2 ? stderr : stdout);
    return argc < 2 ? kExitUsage : 0;
  }
  const std::string command = argv[1];
  // Commands with their own option parsing take the arguments after their name.
  const std::vector<std::string> rest(argv + 2, argv + argc);
  if (command == "publish") return RunPublish(rest);
  if (command == "serve") return RunServe(rest);
  struct Command {
    const char* usage;
    std::vector<std::string> options;
    int (*run)(const std::map<std::string, std::string>&);
  };
  const std::map<std::string, Command> commands = {
      {"keygen", {kKeygenUsage, {"out"}, Keygen}},
      {"sign", {kSignUsage, {"key", "manifest", "out"}, Sign}},
      {"verify", {kVerifyUsage, {"public-key", "manifest", "signature"}, Verify}},
  };
  const auto it = commands.find(command);
  if (it == commands.end()) {
    std::cerr << "tessaline-release: unknown command '" << command << "'\n\n" << kUsage;
    return kExitUsage;
  }
  try {
    const auto options = ParseOptions(argc, argv, 2, it->second.options);
    if (options.count("help") != 0) {
      std::fputs(it->second.usage, stdout);
      return 0;
    }
    return it->second.run(options);
  } catch (const UsageError& e) {
    std::cerr << "tessaline-release " << command << ": " << e.what() << "\n\n" << it->second.usage;
    return kExitUsage;
  } catch (const std::exception& e) {
    std::cerr << "tessaline-release " << command << ": " << e.what() << "\n";
    return kExitFailure;
  }
}
