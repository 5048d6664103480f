#include "transfer/part_download.h"

#include <windows.h>
#include <winhttp.h>

#include <chrono>
#include <exception>
#include <optional>
#include <thread>
#include <vector>

#include "common/download_url.h"
#include "common/file_system.h"
#include "common/install_session.h"
#include "common/setup_error.h"
#include "common/text_conversion.h"
#include "common/unique_handle.h"
#include "transfer/https_client.h"
#include "trust/digest.h"

namespace tessaline {
namespace {

enum class AttemptResult { Verified, Restart };

SetupError PartVerificationFailure(const PackagePart& part) {
  return SetupError("Downloaded part verification failed: " + part.name);
}

// The part's signed size bounds what is written: an answer announcing more
// than the part still lacks, or a range other than its rest, is refused
// before its body is read. The rest ends at the part's last byte, and a
// total size, where the host names one, is the part's: any other is a
// different file or a different part of it.
void RefuseAnOversizeAnswer(HINTERNET request, DWORD status, std::uint64_t offset, const PackagePart& part) {
  const std::uint64_t rest = part.size - offset;
  const std::optional<std::uint64_t> length = QueryContentLength(request);
  bool fits = !length || *length <= rest;
  if (status == 206) fits = fits && AnswersRange(request, offset, part.size - 1, part.size);
  if (!fits) throw PartVerificationFailure(part);
}

// The pause before the next attempt; it ends early when a cancel arrives, and
// the next attempt then stops at its first check.
void PauseBeforeRetry(int attempt, const InstallSession& session) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2 * attempt);
  while (!session.cancelRequested.load() && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

AttemptResult Attempt(const PackagePart& part, const std::filesystem::path& file, InstallSession& session) {
  std::uint64_t offset = fsops::Exists(file) ? fsops::FileSize(file) : 0;
  if (offset == part.size && FileSha256Hex(file) == part.sha256) return AttemptResult::Verified;
  if (offset >= part.size) {
    // A complete-length file that did not verify, or an oversize one: its
    // bytes were counted before the download stage.
    session.progressCounters.TakeBack(part.size);
    fsops::Remove(file);
    offset = 0;
  }
  // The part is hashed as its bytes arrive, after the bytes it kept, so the
  // finished file is never read back.
  Sha256Hasher hasher;
  if (offset > 0) hasher.UpdateFromFile(file, offset);

  const HttpsExchange exchange = OpenGetRequest(CrackDownloadUrl(part.url), "Package download failed");
  const HINTERNET request = exchange.request.Get();
  const std::wstring range = L"Range: bytes=" + std::to_wstring(offset) + L"-\r\n";
  const wchar_t* headers = offset > 0 ? range.c_str() : WINHTTP_NO_ADDITIONAL_HEADERS;
  const DWORD headersLength = offset > 0 ? static_cast<DWORD>(-1) : 0;
  if (!WinHttpSendRequest(request, headers, headersLength, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
      !WinHttpReceiveResponse(request, nullptr)) {
    RaiseWindowsError("Package download failed");
  }
  const DWORD status = QueryStatusCode(request);

  // Only a host that answers with the whole file (200), or says the kept
  // bytes do not fit its file (416), makes them worthless. Any other answer
  // (a busy 503, a 429, a status that cannot be read) is a failed attempt:
  // the bytes stay, built from the installed version's chunks or not, and
  // the next attempt resumes after them.
  if (offset > 0 && (status == 200 || status == 416)) {
    session.progressCounters.TakeBack(offset);
    fsops::Remove(file);
    return AttemptResult::Restart;
  }
  if (offset > 0 && status != 206) throw SetupError("GitHub returned HTTP " + std::to_string(status));
  if (status < 200 || status > 299) throw SetupError("GitHub returned HTTP " + std::to_string(status));
  RefuseAnOversizeAnswer(request, status, offset, part);

  std::uint64_t size = offset;
  {
    const UniqueFile output = OpenPartFile(file, offset);
    std::vector<std::uint8_t> buffer(kPartReadSize, 0);
    StallWatch watch;
    while (!session.cancelRequested.load()) {
      DWORD read = 0;
      if (!WinHttpReadData(request, buffer.data(), kPartReadSize, &read)) {
        RaiseWindowsError("Package download interrupted");
      }
      watch.Received(read);
      if (read == 0) break;
      // A body without an announced length can still run past the part.
      if (read > part.size - size) throw PartVerificationFailure(part);
      size += read;
      fsops::WriteAll(output.Get(), buffer.data(), read, file);
      hasher.Update(buffer.data(), read);
      session.progressCounters.bytesDone.fetch_add(read);
    }
  }
  if (session.cancelRequested.load()) throw SetupError("Installation cancelled");
  if (size != part.size || HexLower(hasher.Finish()) != part.sha256) throw PartVerificationFailure(part);
  return AttemptResult::Verified;
}

}  // namespace

UniqueFile OpenPartFile(const std::filesystem::path& file, std::uint64_t kept) {
  UniqueFile output(CreateFileW(file.c_str(), kept > 0 ? FILE_APPEND_DATA : GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                kept > 0 ? OPEN_ALWAYS : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!output) RaiseLastFileSystemError("open", file);
  return output;
}

void DownloadPart(const PackagePart& part, const std::filesystem::path& cacheFolder, InstallSession& session) {
  const std::filesystem::path file = cacheFolder / Utf8ToWide(part.name);
  for (int attempt = 1; attempt <= kPartAttempts; ++attempt) {
    if (session.cancelRequested.load()) throw SetupError("Installation cancelled");
    try {
      if (Attempt(part, file, session) == AttemptResult::Verified) return;
      // A refused range goes straight on to the next attempt.
    } catch (const std::exception&) {
      if (attempt == kPartAttempts || session.cancelRequested.load()) throw;
      PauseBeforeRetry(attempt, session);
    }
  }
  // The last attempt was a refused range: there is no verified file, and the
  // pipeline must not go on as if there were.
  throw SetupError("Package download could not be resumed: " + part.name);
}

}  // namespace tessaline
