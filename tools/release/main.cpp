// tessaline-release: the maker's tool for release keys and signed releases.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "chunk_map_check.h"
#include "commands.h"
#include "key_passphrase.h"
#include "manifest_summary.h"
#include "release_freshness.h"
#include "release_signing.h"
#include "setup_signing.h"

namespace fs = std::filesystem;
using namespace tessaline::release;

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

constexpr const char* kUsage =
    "Usage: tessaline-release <command> [options]\n"
    "\n"
    "Commands:\n"
    "  keygen        create a new release signing key pair\n"
    "  publish       pack an application folder into a signed release site\n"
    "  refresh       sign a site's release again: the next sequence, a new expiry\n"
    "  sign          sign a manifest with a release key\n"
    "  verify        check a manifest signature as Setup does\n"
    "  serve         serve a release site over HTTPS on loopback\n"
    "  sign-setup    sign TessalineSetup.exe with Authenticode\n"
    "  verify-setup  check the Authenticode signature of a Setup\n"
    "\n"
    "Run 'tessaline-release <command> --help' for the options of a command.\n";

constexpr const char* kKeygenUsage =
    "Usage: tessaline-release keygen --out DIR [--encrypt]\n"
    "\n"
    "Creates DIR/release-key.pem (a P-256 private key, readable only by you)\n"
    "and DIR/release-key.pub.hex, and prints the public key as the 128\n"
    "hexadecimal digits that TESSALINE_RELEASE_PUBLIC_KEY takes. Keep the\n"
    "private key out of every repository.\n"
    "\n"
    "With --encrypt the private key is sealed with a passphrase (PKCS#8, scrypt\n"
    "and AES-256-CBC). The passphrase comes from the environment variable\n"
    "TESSALINE_RELEASE_KEY_PASSPHRASE, or, when that is unset and stdin is a\n"
    "terminal, is asked for twice without echo; never from the command line.\n"
    "Every command that signs (sign, publish, refresh) then reads it the same\n"
    "way, and refuses without it.\n";

constexpr const char* kSignUsage =
    "Usage: tessaline-release sign --key KEY.pem --manifest FILE --out SIG\n"
    "\n"
    "Writes the 64-byte r||s ECDSA P-256 signature of FILE's exact bytes.\n";

constexpr const char* kVerifyUsage =
    "Usage: tessaline-release verify --public-key HEX[,HEX...] --manifest FILE\n"
    "                                --signature SIG [--chunk-map MAP]\n"
    "\n"
    "Checks SIG as Setup does: the 64-byte ECDSA P-256 signature of FILE's exact\n"
    "bytes under the key, or under any of 1 to 4 keys separated by commas, as\n"
    "TESSALINE_RELEASE_PUBLIC_KEY takes them for a Setup that trusts several.\n"
    "Then it prints, on stdout, the manifest's sequence, its expiry and the Setup\n"
    "it names (\"none\" for each it lacks), and checks their form and that the\n"
    "manifest has not expired. With --chunk-map, MAP (the .chunks file publish\n"
    "laid beside the parts) must also be the chunk map the manifest names: its\n"
    "size and SHA-256 as listed, readable as a chunk map, and covering the whole\n"
    "package.\n"
    "\n"
    "Exit code 0 when everything checked is valid, 1 when not.\n";

constexpr const char* kSignSetupUsage =
    "Usage: tessaline-release sign-setup --exe PATH --cert CERT.pem --key KEY.pem\n"
    "                                    [--timestamp URL] [--out PATH]\n"
    "\n"
    "Signs a built TessalineSetup.exe with Authenticode (SHA-256 digest) using\n"
    "osslsigncode. CERT.pem holds the code-signing certificate, then any\n"
    "intermediates; KEY.pem its private key. --timestamp names an RFC 3161\n"
    "time-stamping service, so the signature outlives the certificate. Without\n"
    "--out the file is signed in place. Sign the file exactly as the build left\n"
    "it: any later change to it breaks the signature.\n";

constexpr const char* kVerifySetupUsage =
    "Usage: tessaline-release verify-setup --exe PATH [--cert CERT.pem]\n"
    "\n"
    "Checks the Authenticode signature of a Setup with osslsigncode and prints\n"
    "who signed it. The signing certificate must chain to CERT.pem (the\n"
    "certificate itself or its issuer), or without --cert to the system's\n"
    "certificate authorities. Exit code 0 when the signature is valid, 1 when\n"
    "not.\n";

int Keygen(const CommandOptions& options) {
  const fs::path out = options.Required("out");
  const fs::path pem = out / "release-key.pem";
  const fs::path pub = out / "release-key.pub.hex";
  if (fs::exists(pem) || fs::exists(pub)) {
    throw ReleaseToolError("refusing to overwrite an existing key in " + out.string());
  }
  SecretText passphrase;
  const bool encrypt = options.Flag("encrypt");
  if (encrypt && !ReadPassphrase(passphrase, "Passphrase of the new key: ", true)) {
    throw ReleaseToolError(std::string("--encrypt needs a passphrase: set ") + kPassphraseVariable +
                           ", or run from a terminal to be asked for it");
  }
  fs::create_directories(out);
  const PrivateKey key = GenerateP256Key();
  WritePrivateKeyPem(key, pem, encrypt ? &passphrase.Text() : nullptr);
  const std::string hex = PublicKeyHex(key);
  const std::string line = hex + "\n";
  WriteFileBytes(pub, Bytes(line.begin(), line.end()));
  std::cerr << "private key: " << pem.string() << "\npublic key:  " << pub.string() << "\n";
  std::cout << hex << "\n";
  return 0;
}

int Sign(const CommandOptions& options) {
  const PrivateKey key = LoadP256PrivateKey(options.Required("key"));
  const Bytes manifest = ReadFileBytes(options.Required("manifest"));
  WriteFileBytes(options.Required("out"), SignRelease(key, manifest));
  return 0;
}

int Verify(const CommandOptions& options) {
  const std::vector<std::string> keys = ParsePublicKeyList(options.Required("public-key"));
  const Bytes manifest = ReadFileBytes(options.Required("manifest"));
  const Bytes signature = ReadFileBytes(options.Required("signature"));
  if (signature.size() != 64) {
    std::cerr << "tessaline-release: the signature is " << signature.size() << " bytes, not 64\n";
    return kExitFailure;
  }
  const auto signer = std::find_if(keys.begin(), keys.end(),
                                   [&](const std::string& key) { return VerifyRelease(key, manifest, signature); });
  if (signer == keys.end()) {
    std::cerr << "tessaline-release: the signature does not match the manifest and "
              << (keys.size() == 1 ? "key" : "any of the keys") << "\n";
    return kExitFailure;
  }
  std::cerr << "signature valid";
  if (keys.size() > 1) std::cerr << " under key " << (signer - keys.begin() + 1) << " of " << keys.size();
  std::cerr << "\n";
  const ManifestSummary summary = SummariseManifest(manifest, UnixSecondsNow());
  std::cout << summary.text;
  if (!summary.problem.empty()) {
    std::cerr << "tessaline-release: " << summary.problem << "\n";
    return kExitFailure;
  }
  if (const std::optional<std::string> map = options.Value("chunk-map")) {
    const std::string problem = ChunkMapProblem(manifest, ReadFileBytes(*map));
    if (!problem.empty()) {
      std::cerr << "tessaline-release: " << *map << ": " << problem << "\n";
      return kExitFailure;
    }
    std::cerr << "chunk map valid\n";
  }
  return 0;
}

int SignSetupCommand(const CommandOptions& options) {
  SetupSigning request;
  request.executable = options.Required("exe");
  request.certificate = options.Required("cert");
  request.key = options.Required("key");
  request.timestampUrl = options.Value("timestamp").value_or("");
  request.out = options.Value("out").value_or("");
  const std::string signer = CertificateSubject(request.certificate);
  const fs::path signedSetup = SignSetup(request);
  std::cout << "signed:    " << signedSetup.string() << "\n"
            << "signer:    " << signer << "\n"
            << "sha256:    " << Sha256Hex(ReadFileBytes(signedSetup)) << "\n";
  return 0;
}

int VerifySetupCommand(const CommandOptions& options) {
  const fs::path executable = options.Required("exe");
  const fs::path trusted = options.Value("cert").value_or("");
  const SetupSignature signature = VerifySetup(executable, trusted);
  if (!signature.valid) {
    std::cerr << signature.report << "tessaline-release verify-setup: the Authenticode signature of "
              << executable.string() << " does not verify\n";
    return kExitFailure;
  }
  std::cout << "signature valid\n"
            << "signed by: " << signature.signer << "\n"
            << "issued by: " << signature.issuer << "\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
    std::fputs(kUsage, argc < 2 ? stderr : stdout);
    return argc < 2 ? kExitUsage : 0;
  }
  const std::string name = argv[1];
  // Built here, not at namespace scope: three entries come from other files.
  const std::vector<Command> commands = {
      {"keygen", kKeygenUsage, {"out"}, {"encrypt"}, Keygen},
      kPublishCommand,
      kRefreshCommand,
      {"sign", kSignUsage, {"key", "manifest", "out"}, {}, Sign},
      {"verify", kVerifyUsage, {"public-key", "manifest", "signature", "chunk-map"}, {}, Verify},
      kServeCommand,
      {"sign-setup", kSignSetupUsage, {"exe", "cert", "key", "timestamp", "out"}, {}, SignSetupCommand},
      {"verify-setup", kVerifySetupUsage, {"exe", "cert"}, {}, VerifySetupCommand},
  };
  const auto command = std::find_if(commands.begin(), commands.end(),
                                    [&](const Command& c) { return name == c.name; });
  if (command == commands.end()) {
    std::cerr << "tessaline-release: unknown command '" << name << "'\n\n" << kUsage;
    return kExitUsage;
  }
  try {
    CommandOptions options(command->valued, command->flags);
    options.Parse(std::vector<std::string>(argv + 2, argv + argc));
    if (options.Help()) {
      std::fputs(command->usage, stdout);
      return 0;
    }
    return command->run(options);
  } catch (const UsageError& e) {
    std::cerr << "tessaline-release " << name << ": " << e.what() << "\n\n" << command->usage;
    return kExitUsage;
  } catch (const std::exception& e) {
    std::cerr << "tessaline-release " << name << ": " << e.what() << "\n";
    return kExitFailure;
  }
}
