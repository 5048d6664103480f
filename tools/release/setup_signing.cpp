#include "setup_signing.h"

#include <openssl/pem.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <system_error>
#include <vector>

#include "child_process.h"
#include "release_signing.h"

namespace fs = std::filesystem;

namespace tessaline::release {
namespace {

constexpr const char* kSigningTool = "osslsigncode";

ProgramRun RunSigningTool(const std::vector<std::string>& arguments) {
  try {
    return RunProgram(arguments);
  } catch (const ReleaseToolError& e) {
    throw ReleaseToolError(std::string(e.what()) + " (install Debian's osslsigncode package)");
  }
}

// The value of the first "<label>: value" line after the line `section`.
std::string ValueAfter(const std::string& output, const std::string& section, const std::string& label) {
  const std::size_t start = output.find(section);
  if (start == std::string::npos) return {};
  std::istringstream lines(output.substr(start));
  std::string line;
  while (std::getline(lines, line)) {
    const std::size_t at = line.find_first_not_of(" \t");
    if (at == std::string::npos || line.compare(at, label.size(), label) != 0) continue;
    const std::size_t colon = line.find(':', at + label.size());
    if (colon == std::string::npos) continue;
    const std::size_t value = line.find_first_not_of(" \t", colon + 1);
    return value == std::string::npos ? std::string() : line.substr(value);
  }
  return {};
}

std::uint32_t LittleEndian(const std::string& bytes, std::size_t offset, std::size_t size) {
  std::uint32_t value = 0;
  for (std::size_t i = size; i-- > 0;) value = (value << 8) | static_cast<unsigned char>(bytes[offset + i]);
  return value;
}

}  // namespace

fs::path SignSetup(const SetupSigning& request) {
  HasAuthenticodeSignature(request.executable);  // refuses what is no PE image before anything is written
  const fs::path out = request.out.empty() ? request.executable : request.out;
  fs::path partial = out;
  partial.replace_filename("." + out.filename().string() + ".signing-" + std::to_string(::getpid()));
  std::error_code ignored;
  fs::remove(partial, ignored);

  std::vector<std::string> command = {kSigningTool, "sign", "-certs", request.certificate.string(),
                                      "-key", request.key.string(), "-h", "sha256"};
  if (!request.timestampUrl.empty()) command.insert(command.end(), {"-ts", request.timestampUrl});
  command.insert(command.end(), {"-in", request.executable.string(), "-out", partial.string()});
  const ProgramRun run = RunSigningTool(command);
  if (run.exitCode != 0) {
    fs::remove(partial, ignored);
    throw ReleaseToolError("osslsigncode could not sign " + request.executable.string() + ":\n" + run.output);
  }
  fs::permissions(partial, fs::status(request.executable).permissions());
  fs::rename(partial, out);
  return out;
}

SetupSignature VerifySetup(const fs::path& executable, const fs::path& trusted) {
  if (!fs::is_regular_file(executable)) throw ReleaseToolError("no file " + executable.string());
  std::vector<std::string> command = {kSigningTool, "verify"};
  if (!trusted.empty()) {
    if (!fs::is_regular_file(trusted)) throw ReleaseToolError("no certificate file " + trusted.string());
    command.insert(command.end(), {"-CAfile", trusted.string()});
  }
  command.insert(command.end(), {"-in", executable.string()});
  const ProgramRun run = RunSigningTool(command);
  SetupSignature signature;
  signature.valid = run.exitCode == 0;
  signature.signer = ValueAfter(run.output, "Signer's certificate:", "Subject");
  signature.issuer = ValueAfter(run.output, "Signer's certificate:", "Issuer");
  if (!signature.valid) signature.report = run.output;
  return signature;
}

bool HasAuthenticodeSignature(const fs::path& executable) {
  std::ifstream in(executable, std::ios::binary);
  if (!in) throw ReleaseToolError("cannot read " + executable.string());
  std::string head(4096, '\0');
  in.read(head.data(), static_cast<std::streamsize>(head.size()));
  head.resize(static_cast<std::size_t>(in.gcount()));
  const ReleaseToolError notImage(executable.string() + " is not a Windows executable (PE image)");
  if (head.size() < 0x40 || head[0] != 'M' || head[1] != 'Z') throw notImage;
  const std::size_t pe = LittleEndian(head, 0x3C, 4);
  const std::size_t optional = pe + 24;
  if (optional + 2 > head.size() || head.compare(pe, 4, std::string("PE\0\0", 4)) != 0) throw notImage;
  const std::uint32_t magic = LittleEndian(head, optional, 2);
  if (magic != 0x10B && magic != 0x20B) throw notImage;
  // The data directories follow the optional header's fixed fields; entry 4
  // is the certificate table.
  const std::size_t countAt = optional + (magic == 0x20B ? 108 : 92);
  const std::size_t certificateEntry = countAt + 4 + 4 * 8;
  if (certificateEntry + 8 > head.size()) throw notImage;
  return LittleEndian(head, countAt, 4) > 4 && LittleEndian(head, certificateEntry + 4, 4) != 0;
}

std::string CertificateSubject(const fs::path& certificatePem) {
  std::unique_ptr<FILE, decltype(&std::fclose)> file(std::fopen(certificatePem.c_str(), "r"), std::fclose);
  if (!file) throw ReleaseToolError("cannot read the certificate " + certificatePem.string());
  std::unique_ptr<X509, decltype(&X509_free)> certificate(PEM_read_X509(file.get(), nullptr, nullptr, nullptr),
                                                          X509_free);
  if (!certificate) throw ReleaseToolError(certificatePem.string() + " holds no PEM certificate");
  char subject[512];
  X509_NAME_oneline(X509_get_subject_name(certificate.get()), subject, sizeof subject);
  return subject;
}

}  // namespace tessaline::release
