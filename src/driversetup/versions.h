// Version quads of driver images and INF files.
#pragma once

#include <windows.h>

#include <string>

namespace Orvane {

/// a.b.c.d as two halves: Ms = a << 16 | b, Ls = c << 16 | d. (0, 0) is no version.
struct VersionQuad {
    DWORD Ms = 0;
    DWORD Ls = 0;
};

inline bool operator==(const VersionQuad& a, const VersionQuad& b)
{
    return a.Ms == b.Ms && a.Ls == b.Ls;
}
inline bool operator!=(const VersionQuad& a, const VersionQuad& b) { return !(a == b); }

/// Reads the fixed file version of a file's version resource. False, with
/// (0, 0), when the file has none.
bool GetFileVersion(const std::wstring& path, VersionQuad& version);

/// Reads the version part of the INF's [Version] DriverVer entry
/// ("mm/dd/yyyy,a.b.c.d"). False, with (0, 0), unless four parts parse.
bool GetInfDriverVersion(const std::wstring& infPath, VersionQuad& version);

/// "a.b.c.d", or "n/a" for (0, 0).
std::string FormatVersion(const VersionQuad& version);

} // namespace Orvane
