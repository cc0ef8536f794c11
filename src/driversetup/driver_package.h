// The description of one driver package, and the engine's log function type.
#pragma once

#include <string>

/// A wide printf-style log function; null means "log nothing".
using WideLogFn = void (*)(const wchar_t* format, ...);

/// One driver package: the service name, the three package files and the
/// INF sections to install and uninstall with. All six are empty when the
/// running platform has no package.
struct DriverPackage {
    std::wstring Name;
    std::wstring InfPath;
    std::wstring SysPath;
    std::wstring CatPath;
    std::wstring InstallSection;
    std::wstring UninstallSection;
};
