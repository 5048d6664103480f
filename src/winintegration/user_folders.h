// Every location Setup uses derives from two known folders of the current
// user: local application data and the Start menu's programs folder.
#pragma once

#include <filesystem>

namespace tessaline {

// FOLDERID_LocalAppData. Raises "Unable to locate the user application folder".
std::filesystem::path LocalAppDataFolder();
// <LocalAppData>\Programs\Quorvant: the parent of the installation folder.
std::filesystem::path QuorvantProgramsFolder();
// <LocalAppData>\Programs\Quorvant\Tessaline; only the path, nothing is created.
std::filesystem::path UserApplicationFolder();
// The running executable. Raises "Unable to locate Tessaline Setup".
std::filesystem::path SetupExecutablePath();
// <Programs>\Quorvant\Tessaline.lnk. Raises "Unable to locate the Start menu".
std::filesystem::path StartMenuShortcutPath();

// Writes the shortcut for `target`; failures of the link object are silent,
// since a missing shortcut must not fail an installation. The calling thread
// must have initialised COM.
void CreateStartMenuShortcut(const std::filesystem::path& target);
// Deletes the shortcut file, ignoring whether it existed.
void RemoveStartMenuShortcut();

}  // namespace tessaline
