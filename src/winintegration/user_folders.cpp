#include "winintegration/user_folders.h"

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <wrl/client.h>

#include <string>

#include "common/file_system.h"
#include "common/setup_error.h"
#include "common/unique_handle.h"

namespace tessaline {
namespace {

// The known folder, created by the system if missing; empty on failure.
std::filesystem::path KnownFolder(REFKNOWNFOLDERID id) {
  PWSTR raw = nullptr;
  const HRESULT result = SHGetKnownFolderPath(id, KF_FLAG_CREATE, nullptr, &raw);
  const UniqueCoTaskMemory owned(raw);
  return SUCCEEDED(result) && raw != nullptr ? std::filesystem::path(raw) : std::filesystem::path();
}

}  // namespace

std::filesystem::path LocalAppDataFolder() {
  std::filesystem::path folder = KnownFolder(FOLDERID_LocalAppData);
  if (folder.empty()) throw SetupError("Unable to locate the user application folder");
  return folder;
}

std::filesystem::path QuorvantProgramsFolder() { return LocalAppDataFolder() / L"Programs" / L"Quorvant"; }

std::filesystem::path UserApplicationFolder() { return QuorvantProgramsFolder() / L"Tessaline"; }

std::filesystem::path SetupExecutablePath() {
  constexpr DWORD kUnits = 32768;
  std::wstring buffer(kUnits, L'\0');
  const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), kUnits);
  if (length == 0 || length >= kUnits) throw SetupError("Unable to locate Tessaline Setup");
  buffer.resize(length);
  return buffer;
}

std::filesystem::path StartMenuShortcutPath() {
  const std::filesystem::path programs = KnownFolder(FOLDERID_Programs);
  if (programs.empty()) throw SetupError("Unable to locate the Start menu");
  return programs / L"Quorvant" / L"Tessaline.lnk";
}

void CreateStartMenuShortcut(const std::filesystem::path& target) {
  const std::filesystem::path shortcut = StartMenuShortcutPath();
  fsops::CreateDirectories(shortcut.parent_path());

  Microsoft::WRL::ComPtr<IShellLinkW> link;
  if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&link)))) return;
  link->SetPath(target.c_str());
  link->SetWorkingDirectory(target.parent_path().c_str());
  link->SetDescription(L"Tessaline");
  Microsoft::WRL::ComPtr<IPersistFile> file;
  if (SUCCEEDED(link.As(&file))) {
    file->Save(shortcut.c_str(), TRUE);
  }
}

void RemoveStartMenuShortcut() {
  const std::filesystem::path shortcut = StartMenuShortcutPath();
  DeleteFileW(shortcut.c_str());
}

}  // namespace tessaline
