// Names fixed by the product: registry locations, file and folder names.
#pragma once

namespace tessaline {

// The registration entry in the Windows list of installed programs, under
// HKEY_CURRENT_USER. It also records the installed version.
inline constexpr wchar_t kUninstallKeyPath[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tessaline";
inline constexpr wchar_t kDisplayVersionValue[] = L"DisplayVersion";

}  // namespace tessaline
