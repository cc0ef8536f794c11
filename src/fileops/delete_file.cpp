#include "fileops/delete_file.h"

#include "common/paths.h"
#include "common/system_message.h"
#include "common/unique_handle.h"
#include "driversetup/log_line.h"

#include <cstdio>

namespace Orvane {

namespace {

struct RemoveResult {
    bool Removed = false;
    DWORD Code = 0;
};

// FileDispositionInfoEx and its flags, which headers for Windows 7 lack.
constexpr auto kDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
constexpr DWORD kDispositionDelete = 0x1;
constexpr DWORD kDispositionPosixSemantics = 0x2;
constexpr DWORD kDispositionIgnoreReadOnly = 0x10;

struct DispositionInfoEx {
    DWORD Flags;
};

/// 0 when the call succeeded, else its last error (never 0).
DWORD ResultOf(BOOL succeeded) { return succeeded ? 0 : qv::LastErrorOr(ERROR_INTERNAL_ERROR); }

/// Deletes the directory entry itself (a link, never its target), read-only
/// files included. A file that vanished meanwhile is not removed, code 0.
RemoveResult RemoveEntry(const std::wstring& path)
{
    DWORD error = 0;
    {
        const qv::unique_file file(::CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                 OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        error = file ? DeleteByHandle(file.get(), kDispositionIgnoreReadOnly)
                     : qv::LastErrorOr(ERROR_INVALID_HANDLE);
    }
    if (error == 0)
        return {true, 0};
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
        return {false, 0};
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (error == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & FILE_ATTRIBUTE_READONLY)) {
        ::SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
        error = ResultOf(::DeleteFileW(path.c_str()));
        if (error == 0)
            return {true, 0};
        ::SetFileAttributesW(path.c_str(), attributes); // leave it as it was found
    }
    return {false, error};
}

} // namespace

DWORD DeleteByHandle(HANDLE file, DWORD flags)
{
    DispositionInfoEx posix = {kDispositionDelete | kDispositionPosixSemantics | flags};
    const DWORD error = ResultOf(::SetFileInformationByHandle(file, kDispositionInfoEx, &posix, sizeof(posix)));
    if (error == 0)
        return 0;
    // Systems before Windows 10 1709 do not know the request, nor those
    // before 1809 the flag that ignores the read-only attribute; some file
    // systems and redirectors refuse POSIX semantics.
    if (error != ERROR_INVALID_PARAMETER && error != ERROR_NOT_SUPPORTED && error != ERROR_INVALID_FUNCTION)
        return error;
    FILE_DISPOSITION_INFO classic = {TRUE};
    return ResultOf(::SetFileInformationByHandle(file, FileDispositionInfo, &classic, sizeof(classic)));
}

std::wstring TempSuffix()
{
    char text[32] = {};
    _snprintf(text, sizeof(text) - 1, "%04lx%08llx", ::GetCurrentThreadId(),
              static_cast<unsigned long long>(::GetTickCount64()));
    return std::wstring(text, text + std::char_traits<char>::length(text));
}

std::wstring ReplaceExtension(const std::wstring& path, const std::wstring& suffix)
{
    const size_t separator = path.find_last_of(L"\\/");
    const size_t nameStart = separator == std::wstring::npos ? 0 : separator + 1;
    const std::wstring name = path.substr(nameStart);
    size_t keep = name.size();
    if (name != L"." && name != L"..") {
        const size_t dot = name.rfind(L'.');
        if (dot != std::wstring::npos && dot != 0)
            keep = dot;
    }
    return path.substr(0, nameStart + keep) + L"." + suffix;
}

DWORD DeleteFileOrDefer(const std::wstring& path, WideLogFn log)
{
    const qv::PathKind kind = qv::QueryPathKind(path);
    if (kind == qv::PathKind::None)
        return ERROR_FILE_NOT_FOUND;
    if (kind != qv::PathKind::File) {
        LogLine(log, L"Delete(\"%s\") refused. This is not a regular file\n", path.c_str());
        return ERROR_BAD_FILE_TYPE;
    }

    const RemoveResult removed = RemoveEntry(path);
    LogLine(log, L"Delete(\"%s\") = 0x%lx \"%s\"\n", path.c_str(), removed.Code,
            qv::SystemMessage(removed.Code).c_str());
    if (removed.Removed)
        return 0;

    const std::wstring temporary = ReplaceExtension(path, TempSuffix());
    const DWORD renamed = ResultOf(::MoveFileExW(path.c_str(), temporary.c_str(),
                                                 MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED));
    // Required: keep the blank before the closing parenthesis.
    LogLine(log, L"  Rename(\"%s\" -> \"%s\" ) = 0x%lx \"%s\"\n", path.c_str(), temporary.c_str(),
            renamed, qv::SystemMessage(renamed).c_str());
    if (renamed != 0)
        return renamed;

    const DWORD registered =
        ResultOf(::MoveFileExW(temporary.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
    LogLine(log, L"  MoveFileEx(\"%s\", MOVEFILE_DELAY_UNTIL_REBOOT) = 0x%lx \"%s\"\n",
            temporary.c_str(), registered, qv::SystemMessage(registered).c_str());
    return registered;
}

} // namespace Orvane
