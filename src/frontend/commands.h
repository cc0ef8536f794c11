// The four command procedures.
#pragma once

#include <windows.h>

#include <string>

/// -install: installs or upgrades the driver; returns a Windows error code.
DWORD InstallCommand(const std::wstring& driverDirectory, bool serviceStart);

/// -uninstall: removes the driver, then empties and removes the hardlinks
/// folder; returns the uninstall's Windows error code.
DWORD UninstallCommand(const std::wstring& driverDirectory, const std::wstring& hardlinksPath);

/// -check: reports the service state and the running driver's versions.
DWORD CheckCommand();

/// -shouldupdate: true when the installed driver must be installed or updated.
bool ShouldUpdateCommand(const std::wstring& driverDirectory);

/// A Windows error code as its English system message without its final
/// full stop and line end; "OK" for 0, empty when the system has no text.
std::wstring ErrorCodeText(DWORD code);
