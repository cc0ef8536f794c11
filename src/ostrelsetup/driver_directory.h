// Finding the driver directory: the folder under which the platform package
// folders (Win10-x64 and the others) lie.
#pragma once

#include <string>

namespace Orvane {

/// Finds the driver directory from the drivers-path= option, or from the
/// program's folder when it is empty: that base and its sub-folders
/// "drivers\ostrel", "drivers", "ostrel" and "QvOstrel", in this order; the
/// first holding the package for this platform wins. Empty when none does.
std::wstring ResolveDriverDirectory(std::wstring driversPath);

/// True for C:\... and C:/..., and for \\server\share and \\?\ paths.
bool IsAbsoluteOptionPath(const std::wstring& path);

} // namespace Orvane
