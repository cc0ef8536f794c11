#include "common/paths.h"

#include <filesystem>
#include <vector>

namespace qv {

namespace {

/// The length of the part that normalisation keeps as it is: "\\?\" or
/// "\\.\" (with "UNC\server\share" behind "\\?\"), or "\\server\share".
size_t KeptPrefixLength(const std::wstring& path)
{
    if (path.size() < 2 || !IsPathSeparator(path[0]) || !IsPathSeparator(path[1]))
        return 0;
    size_t start = 2;
    if (path.size() >= 4 && (path[2] == L'?' || path[2] == L'.') && IsPathSeparator(path[3])) {
        if (path.compare(4, 4, L"UNC\\") != 0)
            return 4;
        start = 8;
    }
    size_t end = start;
    for (int component = 0; component < 2 && end < path.size(); ++component) {
        while (end < path.size() && !IsPathSeparator(path[end]))
            ++end;
        if (component == 0 && end < path.size())
            ++end;
    }
    return end;
}

/// The length of the root that cannot be created: a kept prefix and a drive
/// with its separator ("\\?\C:\", "C:\", "\\server\share\").
size_t RootLength(const std::wstring& path)
{
    size_t root = KeptPrefixLength(path);
    if (path.size() >= root + 2 && path[root + 1] == L':')
        root += 2;
    while (root < path.size() && IsPathSeparator(path[root]))
        ++root;
    return root;
}

} // namespace

unique_file OpenForAttributes(const std::wstring& path)
{
    if (path.empty())
        return unique_file();
    return unique_file(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                     OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
}

std::wstring FullPathName(const std::wstring& path)
{
    const DWORD needed = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0)
        return {};
    std::vector<wchar_t> buffer(needed + 1);
    const DWORD length = ::GetFullPathNameW(path.c_str(), needed + 1, buffer.data(), nullptr);
    return (length == 0 || length > needed) ? std::wstring() : std::wstring(buffer.data(), length);
}

std::wstring QuerySystemFolder(UINT(WINAPI* query)(LPWSTR, UINT))
{
    wchar_t buffer[MAX_PATH + 1] = {};
    const UINT length = query(buffer, MAX_PATH + 1);
    return (length == 0 || length > MAX_PATH) ? std::wstring() : std::wstring(buffer, length);
}

std::wstring ModuleFileName(HMODULE module)
{
    std::vector<wchar_t> path(MAX_PATH);
    for (;;) {
        const DWORD length = ::GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
        if (length < path.size() - 1 || path.size() >= 32768)
            return std::wstring(path.data(), length);
        path.resize(path.size() * 2);
    }
}

void CreateDirectories(const std::wstring& folder)
{
    for (size_t at = RootLength(folder); at <= folder.size(); ++at) {
        if (at == folder.size() || IsPathSeparator(folder[at])) {
            if (at > 0 && !IsPathSeparator(folder[at - 1]))
                ::CreateDirectoryW(folder.substr(0, at).c_str(), nullptr);
        }
    }
}

PathKind QueryPathKind(const std::wstring& path)
{
    unique_file file = OpenForAttributes(path);
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!file || !::GetFileInformationByHandle(file.get(), &info))
        return PathKind::None;
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        return PathKind::Directory;
    if (::GetFileType(file.get()) != FILE_TYPE_DISK)
        return PathKind::Other;
    return PathKind::File;
}

bool QueryFileSize(const std::wstring& path, unsigned long long& size)
{
    unique_file file = OpenForAttributes(path);
    BY_HANDLE_FILE_INFORMATION info = {};
    LARGE_INTEGER value = {};
    if (!file || !::GetFileInformationByHandle(file.get(), &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || !::GetFileSizeEx(file.get(), &value))
        return false;
    size = static_cast<unsigned long long>(value.QuadPart);
    return true;
}

std::wstring NormalizePath(const std::wstring& path)
{
    const size_t kept = KeptPrefixLength(path);
    std::wstring prefix = path.substr(0, kept);
    for (wchar_t& c : prefix) {
        if (c == L'/')
            c = L'\\';
    }
    const std::wstring rest = path.substr(kept);
    if (rest.empty())
        return prefix;
    return prefix + std::filesystem::path(rest).lexically_normal().wstring();
}

} // namespace qv
