#include "install/release_setup.h"

#include <windows.h>
#include <softpub.h>
#include <wintrust.h>

#include <string>
#include <vector>

#include "common/command_line.h"
#include "common/file_system.h"
#include "common/helper_process.h"
#include "common/setup_error.h"
#include "common/text_conversion.h"
#include "trust/digest.h"
#include "winintegration/user_folders.h"

namespace fs = std::filesystem;

namespace tessaline {
namespace {

// A Setup answers the lifecycle probe at once; one that takes longer than
// this is not a Setup that can run here.
constexpr std::uint32_t kSelfTestTimeoutMs = 30000;

// The subject of the certificate that signed `file`, when Windows accepts
// its signature; nothing otherwise (no signature, an untrusted or broken one).
std::optional<std::vector<unsigned char>> TrustedSigner(const fs::path& file) {
  WINTRUST_FILE_INFO fileInfo{};
  fileInfo.cbStruct = sizeof(fileInfo);
  fileInfo.pcwszFilePath = file.c_str();
  WINTRUST_DATA data{};
  data.cbStruct = sizeof(data);
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_NONE;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &fileInfo;
  data.dwStateAction = WTD_STATEACTION_VERIFY;
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  const LONG verdict = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  std::optional<std::vector<unsigned char>> subject;
  if (verdict == ERROR_SUCCESS) {
    CRYPT_PROVIDER_DATA* provider = WTHelperProvDataFromStateData(data.hWVTStateData);
    CRYPT_PROVIDER_SGNR* signer = provider != nullptr ? WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : nullptr;
    if (signer != nullptr && signer->csCertChain > 0 && signer->pasCertChain[0].pCert != nullptr) {
      const CERT_NAME_BLOB& name = signer->pasCertChain[0].pCert->pCertInfo->Subject;
      subject.emplace(name.pbData, name.pbData + name.cbData);
    }
  }
  data.dwStateAction = WTD_STATEACTION_CLOSE;
  WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  return subject;
}

// The release's Setup runs once, in a mode that changes nothing, and must
// give the answer any Setup gives.
void SelfTest(const fs::path& setup, const fs::path& cacheFolder) {
  const fs::path report = cacheFolder / (L"setup-self-test-" + RunSuffix() + L".txt");
  const std::wstring arguments = L"--lifecycle-probe none 1.0.0 " + QuoteCommandLineArgument(report.native());
  std::uint32_t code = 1;
  try {
    code = RunInstallationHelper(setup, arguments, cacheFolder, kSelfTestTimeoutMs);
  } catch (const SetupError&) {
  }
  std::vector<std::uint8_t> answer;
  if (code == 0 && fsops::Exists(report)) answer = ReadSetupFile(report);
  std::error_code ignored;
  fs::remove(report, ignored);
  if (std::string(answer.begin(), answer.end()) != "install\n") {
    throw SetupError("The release's Tessaline Setup failed its self-test");
  }
}

}  // namespace

std::optional<PackagePart> ReleaseSetupToFetch(const ReleaseManifest& manifest) {
  if (!manifest.setup || FileSha256Hex(SetupExecutablePath()) == manifest.setup->sha256) return std::nullopt;
  return manifest.setup;
}

fs::path VerifiedReleaseSetup(const std::optional<PackagePart>& fetched, const fs::path& cacheFolder) {
  if (!fetched) return SetupExecutablePath();
  const fs::path setup = cacheFolder / Utf8ToWide(fetched->name);
  SelfTest(setup, cacheFolder);
  // A stolen release key alone must not replace a signed Setup: the new
  // one must carry the same publisher's signature.
  if (const auto publisher = TrustedSigner(SetupExecutablePath())) {
    if (TrustedSigner(setup) != publisher) {
      throw SetupError("The release's Tessaline Setup is not signed by the publisher of this Setup");
    }
  }
  return setup;
}

}  // namespace tessaline
