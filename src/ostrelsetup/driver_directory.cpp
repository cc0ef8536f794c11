#include "ostrelsetup/driver_directory.h"

#include "common/paths.h"
#include "driversetup/redirection_scope.h"
#include "fileops/protected_folders.h"
#include "ostrelsetup/ostrel_driver_setup.h"

#include <windows.h>

#include <filesystem>

namespace fs = std::filesystem;

namespace Orvane {

namespace {

constexpr const wchar_t* kCandidateFolders[] = {
    L"", L"drivers\\ostrel", L"drivers", L"ostrel", L"QvOstrel",
};

/// Something of any type is at `path`, links followed. Any failure counts as
/// nothing there. The attributes answer for everything but a reparse point
/// (a link may point nowhere): that one must open, links followed. The open
/// alone answers: a further query of the object would also ask its volume
/// for the serial number, which costs each run more than the whole search.
bool Exists(const fs::path& path)
{
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return false;
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return true;
    return static_cast<bool>(qv::OpenForAttributes(path.wstring()));
}

fs::path ProgramFolder() { return fs::path(qv::ModuleFileName(nullptr)).parent_path(); }

fs::path ChooseBase(const std::wstring& driversPath)
{
    const fs::path programFolder = ProgramFolder();
    if (driversPath.empty())
        return programFolder;
    if (IsAbsoluteOptionPath(driversPath))
        return fs::path(driversPath);
    const fs::path joined = qv::NormalizePath((programFolder / driversPath).wstring());
    return Exists(joined) ? joined : programFolder;
}

/// The candidate holds the relative package file, which must be named.
bool HoldsFile(const fs::path& candidate, const std::wstring& relativeFile)
{
    return !relativeFile.empty() && Exists(candidate / relativeFile);
}

/// The path lies under the Windows directory by its name, where WOW64
/// redirection changes what names mean (System32, Sysnative). Text only:
/// nothing is opened.
bool IsUnderWindowsDirectory(const std::wstring& path)
{
    const std::wstring windows = qv::QuerySystemFolder(::GetSystemWindowsDirectoryW);
    if (windows.empty())
        return false;
    const std::wstring folder = ComparablePath(windows) + L"\\";
    return ComparablePath(path).compare(0, folder.size(), folder) == 0;
}

/// `folder` by a path that names the same folder while redirection is off,
/// as the engine uses it. In a 32-bit process a folder under System32 is
/// found through redirection (in SysWOW64), one under Sysnative in System32:
/// then its final path, which names it as it is; any other path is kept.
std::wstring UnredirectedFolder(const std::wstring& folder)
{
    if (!IsUnderWindowsDirectory(folder))
        return folder;
    FileIdentity seen;
    FileIdentity unredirected;
    if (!QueryIdentity(folder, seen))
        return folder;
    {
        RedirectionScope scope;
        if (!scope.Active() || (QueryIdentity(folder, unredirected) && unredirected == seen))
            return folder;
    }
    std::wstring resolved = FinalPathOf(folder);
    if (resolved.empty())
        return folder;
    if (resolved.rfind(L"\\\\?\\", 0) == 0 && resolved.size() - 4 < MAX_PATH && resolved[5] == L':')
        resolved.erase(0, 4); // a drive path that fits reads as the caller wrote it
    if (qv::IsPathSeparator(folder.back()) && !qv::IsPathSeparator(resolved.back()))
        resolved += L'\\';
    return resolved;
}

} // namespace

bool IsAbsoluteOptionPath(const std::wstring& path)
{
    if (path.size() >= 3 && ((path[0] >= L'A' && path[0] <= L'Z') ||
                             (path[0] >= L'a' && path[0] <= L'z')) &&
        path[1] == L':' && qv::IsPathSeparator(path[2]))
        return true;
    return path.size() >= 2 && qv::IsPathSeparator(path[0]) && qv::IsPathSeparator(path[1]);
}

std::wstring ResolveDriverDirectory(std::wstring driversPath)
{
    const fs::path base = ChooseBase(driversPath);

    OstrelDriverSetup setup(std::wstring(), nullptr);
    const DriverPackage package = setup.GetDriverPackage();

    for (const wchar_t* name : kCandidateFolders) {
        const fs::path candidate = qv::NormalizePath((base / name).wstring());
        if (HoldsFile(candidate, package.InfPath) && HoldsFile(candidate, package.SysPath) &&
            HoldsFile(candidate, package.CatPath))
            return UnredirectedFolder(candidate.wstring());
    }
    return {};
}

} // namespace Orvane
