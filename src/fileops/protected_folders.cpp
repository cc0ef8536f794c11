#include "fileops/protected_folders.h"

#include "common/unique_handle.h"

#include <windows.h>

#include <cwctype>
#include <vector>

namespace Orvane {

namespace {

using SystemFolderFn = UINT(WINAPI*)(LPWSTR, UINT);

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

std::wstring FullPath(const std::wstring& path)
{
    const DWORD needed = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0)
        return path;
    std::vector<wchar_t> buffer(needed + 1);
    const DWORD length = ::GetFullPathNameW(path.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
    return (length == 0 || length >= buffer.size()) ? path : std::wstring(buffer.data(), length);
}

} // namespace

std::wstring FinalPathOf(const std::wstring& path)
{
    qv::unique_file folder(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!folder)
        return {};
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD length = ::GetFinalPathNameByHandleW(folder.get(), buffer.data(),
                                                         static_cast<DWORD>(buffer.size()), VOLUME_NAME_DOS);
        if (length == 0)
            return {};
        if (length < buffer.size())
            return std::wstring(buffer.data(), length);
        buffer.resize(length + 1);
    }
}

namespace {

/// A drive ("c:"), a share ("\\server\share") or a volume ("\\?\volume{...}")
/// with nothing below it. Takes a comparable path.
bool IsRootForm(const std::wstring& path)
{
    if (path.size() == 2 && path[1] == L':')
        return true;
    if (path.rfind(L"volume{", 0) == 0)
        return path.find(L'\\') == std::wstring::npos;
    if (path.size() > 2 && path[0] == L'\\' && path[1] == L'\\') {
        const size_t server = path.find(L'\\', 2);
        return server != std::wstring::npos && path.find(L'\\', server + 1) == std::wstring::npos;
    }
    return false;
}

bool IsVolumeRoot(const std::wstring& comparable, const std::wstring& raw)
{
    if (IsRootForm(comparable))
        return true;
    std::vector<wchar_t> volume(raw.size() + MAX_PATH + 1);
    return ::GetVolumePathNameW(raw.c_str(), volume.data(), static_cast<DWORD>(volume.size())) &&
           ComparablePath(volume.data()) == comparable;
}

std::wstring SystemFolder(SystemFolderFn query)
{
    wchar_t buffer[MAX_PATH + 1] = {};
    const UINT length = query(buffer, MAX_PATH + 1);
    return (length == 0 || length > MAX_PATH) ? std::wstring() : ComparablePath(buffer);
}

/// True when `comparable` is `folder` under any of its names.
bool IsSameFolder(const std::wstring& comparable, const std::wstring& folder)
{
    if (folder.empty())
        return false;
    if (comparable == folder)
        return true;
    const std::wstring finalPath = FinalPathOf(folder);
    return !finalPath.empty() && ComparablePath(finalPath) == comparable;
}

/// "C:", "C:\", "\\?\C:" and the like as written: a bare drive names the
/// current folder of that drive, which may be any folder on it, so it is
/// refused as the root it looks like.
bool IsBareDrive(const std::wstring& folder)
{
    std::wstring text = folder;
    if (text.rfind(L"\\\\?\\", 0) == 0 || text.rfind(L"\\\\.\\", 0) == 0)
        text = text.substr(4);
    while (text.size() > 2 && IsSeparator(text.back()))
        text.pop_back();
    return text.size() == 2 && text[1] == L':';
}

} // namespace

std::wstring ComparablePath(const std::wstring& path)
{
    std::wstring full = FullPath(path);
    if (full.rfind(L"\\\\?\\UNC\\", 0) == 0)
        full = L"\\\\" + full.substr(8);
    else if (full.rfind(L"\\\\?\\", 0) == 0 || full.rfind(L"\\\\.\\", 0) == 0)
        full = full.substr(4);
    for (wchar_t& c : full) {
        c = static_cast<wchar_t>(std::towlower(c));
        if (c == L'/')
            c = L'\\';
    }
    while (full.size() > 1 && IsSeparator(full.back()) && !(full.size() == 3 && full[1] == L':'))
        full.pop_back();
    if (full.size() == 3 && full[1] == L':')
        full.pop_back(); // "c:\" and "c:" name the same root
    return full;
}

const wchar_t* ProtectedFolderReason(const std::wstring& folder)
{
    if (IsBareDrive(folder))
        return L"a volume root";
    std::wstring comparable = ComparablePath(folder);
    const std::wstring finalPath = FinalPathOf(folder);
    if (!finalPath.empty())
        comparable = ComparablePath(finalPath);
    if (IsVolumeRoot(comparable, finalPath.empty() ? folder : finalPath))
        return L"a volume root";
    if (IsSameFolder(comparable, SystemFolder(::GetWindowsDirectoryW)))
        return L"the Windows directory";
    if (IsSameFolder(comparable, SystemFolder(::GetSystemDirectoryW)) ||
        IsSameFolder(comparable, SystemFolder(::GetSystemWow64DirectoryW)))
        return L"the system directory";
    return nullptr;
}

} // namespace Orvane
