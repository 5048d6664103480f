// The Authenticode signature of TessalineSetup.exe, the one file a user
// downloads and runs: signed and checked with osslsigncode, SHA-256 digest.
// Sign the image exactly as the build leaves it (after the post-link
// hardening and strip steps): any later change to it breaks the signature.
#pragma once

#include <filesystem>
#include <string>

namespace tessaline::release {

struct SetupSigning {
  std::filesystem::path executable;
  std::filesystem::path certificate;  // PEM, the signing certificate first, then any intermediates
  std::filesystem::path key;          // PEM private key of that certificate
  std::string timestampUrl;           // an RFC 3161 time-stamping service, or ""
  std::filesystem::path out;          // "" signs `executable` in place
};

// Signs into a file beside the destination and renames it into place, so the
// destination is either the old file or the whole signed one. Returns the
// path written. Throws ReleaseToolError with osslsigncode's own account.
std::filesystem::path SignSetup(const SetupSigning& request);

struct SetupSignature {
  bool valid = false;
  std::string signer;  // the signing certificate's subject, as osslsigncode prints it
  std::string issuer;
  std::string report;  // osslsigncode's output, for a signature that does not verify
};

// Checks the signature and that its certificate chains to `trusted` (a PEM
// file of the signing certificate or its issuer), or to the system's
// certificate authorities when `trusted` is empty.
SetupSignature VerifySetup(const std::filesystem::path& executable, const std::filesystem::path& trusted);

// True when the file is a PE image that carries a certificate table (an
// Authenticode signature, whether it verifies or not). Throws
// ReleaseToolError for a file that is not a PE image.
bool HasAuthenticodeSignature(const std::filesystem::path& executable);

// The subject of the first certificate in a PEM file.
std::string CertificateSubject(const std::filesystem::path& certificatePem);

}  // namespace tessaline::release
