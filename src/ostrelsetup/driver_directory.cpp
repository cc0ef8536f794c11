#include "ostrelsetup/driver_directory.h"

#include "common/paths.h"
#include "common/unique_handle.h"
#include "ostrelsetup/ostrel_driver_setup.h"

#include <windows.h>

#include <filesystem>
#include <memory>

namespace fs = std::filesystem;

namespace Orvane {

namespace {

constexpr DWORD kModulePathChars = 4096;

constexpr const wchar_t* kCandidateFolders[] = {
    L"", L"drivers\\ostrel", L"drivers", L"ostrel", L"QvOstrel",
};

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

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
    const qv::unique_file object(::CreateFileW(
        path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    return static_cast<bool>(object);
}

fs::path ProgramFolder()
{
    std::unique_ptr<wchar_t[]> buffer(new wchar_t[kModulePathChars]());
    ::GetModuleFileNameW(nullptr, buffer.get(), kModulePathChars);
    return fs::path(buffer.get()).parent_path();
}

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

} // namespace

bool IsAbsoluteOptionPath(const std::wstring& path)
{
    if (path.size() >= 3 && ((path[0] >= L'A' && path[0] <= L'Z') ||
                             (path[0] >= L'a' && path[0] <= L'z')) &&
        path[1] == L':' && IsSeparator(path[2]))
        return true;
    return path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1]);
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
            return candidate.wstring();
    }
    return {};
}

} // namespace Orvane
