// Turns the verified parts of a package into the installed, registered
// application: unpack them as one stream into a staging folder, checking the
// whole as it passes, smoke-test the new application, then swap it into
// place with the old installation kept as a backup until it succeeds.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "common/install_session.h"
#include "install/activation.h"

namespace tessaline {

inline constexpr wchar_t kSystemTar[] = L"C:\\Windows\\System32\\tar.exe";
// The unpacker may take this long without taking a byte, and as long again
// after the last one to finish.
inline constexpr std::uint32_t kUnpackTimeoutMs = 120000;
inline constexpr std::uint32_t kSmokeTestTimeoutMs = 90000;

// A package as the parts it is made of, each already verified, in order,
// with what the manifest says of the whole.
struct PackageParts {
  std::vector<std::filesystem::path> files;
  std::uint64_t size = 0;
  std::string sha256;  // 64 lowercase hexadecimal characters
};

// Where the stream takes the parts from, on the thread that unpacks.
class PartSource {
 public:
  virtual ~PartSource() = default;
  // Returns true once part `index` is in the cache and verified; false once
  // the run is to stop (it was cancelled, or a download failed) while not
  // every part is in yet. Asked before each part and between its blocks.
  virtual bool WaitFor(std::size_t index) = 0;
  // Whether part `index` is there now.
  virtual bool Has(std::size_t index) = 0;
};

// The paths of one installation, named by one run suffix, with the Quorvant
// folder and an empty staging folder made.
InstallationPaths PrepareStaging();

// Writes the parts, in order, each once `parts` has it, into the system's
// tar.exe unpacking into `paths.staging`, and checks the size and SHA-256 of
// what passed once the stream has ended: "The complete package failed
// verification" when they are not the manifest's (whatever the unpacker
// made of the bytes), else the unpacker's failure; "Installation cancelled"
// when `parts` says to stop. An unpacker that fails before the last part is
// in is not waited for: its failure is the answer. A part that cannot be
// read leaves the stream short. What an unpacker that failed had unpacked
// goes at once, so that the free space its failure reports is the real one;
// after any other failure the caller removes the staging folder.
void UnpackPackage(const PackageParts& package, const InstallationPaths& paths, PartSource& parts,
                   const InstallSession& session);

// Takes the unpacked new version in `paths.staging` to the installed,
// registered application, and returns <installation folder>\Tessaline.exe.
// `version` is the manifest's UTF-8 version text, recorded in the
// registration entry; `setupImage` the Setup the installation carries as its
// TessalineSetup.exe and TessalineUninstall.exe. `clearTheWay` is called
// just before the old installation moves, and may raise to stop the
// installation there, with nothing of it left behind: on every failure the
// staging folder goes, unless an unfinished activation's journal names it.
std::filesystem::path InstallPackage(InstallationPaths paths, const std::string& version,
                                     const std::filesystem::path& setupImage, const std::function<void()>& clearTheWay,
                                     const InstallSession& session);

// The unpacker's arguments, -xf - -C <staging folder>: the archive on
// standard input, and the folder in a form that survives the ANSI command
// line of the system's tar.exe when it runs in `workingFolder`.
std::wstring UnpackArguments(const std::filesystem::path& staging, const std::filesystem::path& workingFolder);

// The size of what a gzip-compressed package unpacks to, as its trailer,
// the last four bytes of the package, records it (modulo 4 GiB).
std::uint64_t UnpackedSize(const std::array<std::uint8_t, 4>& trailer);

// The failure text of an unpacker that failed, saying that the disk is full
// when `available` bytes are fewer than the `needed` (0: unknown).
std::string ExtractionFailureText(std::uint64_t needed, std::uint64_t available);

// The folder inside `staging` that holds Tessaline.exe: the staging folder
// itself or its only subfolder. Falls back to `staging` when neither does.
std::filesystem::path FindAppRoot(const std::filesystem::path& staging);

// Runs the application's start-up self-test in `appRoot`; raises unless it
// passes. `report` is where it is asked to write its report.
void RunSmokeTest(const std::filesystem::path& appRoot, const std::filesystem::path& report);

}  // namespace tessaline
