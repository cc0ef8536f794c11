#include "fileops/hardlinks.h"

#include "common/paths.h"
#include "common/strconv.h"
#include "common/unique_handle.h"
#include "fileops/protected_folders.h"
#include "frontend/log.h"

#include <windows.h>

#include <cstdio>
#include <exception>
#include <filesystem>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace Orvane {

namespace {

using GetTempPath2WFn = DWORD(WINAPI*)(DWORD, LPWSTR);

const wchar_t* Outcome(BOOL succeeded) { return succeeded ? L"success" : L"fail"; }

/// The temporary-files directory, from GetTempPath2W where the system has it.
std::wstring TempDirectory()
{
    auto getTempPath2 = reinterpret_cast<GetTempPath2WFn>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(L"kernel32"), "GetTempPath2W")));
    std::vector<wchar_t> buffer(MAX_PATH + 1);
    DWORD length = getTempPath2 ? getTempPath2(static_cast<DWORD>(buffer.size()), buffer.data())
                                : ::GetTempPathW(static_cast<DWORD>(buffer.size()), buffer.data());
    if (length > buffer.size()) {
        buffer.resize(length);
        length = getTempPath2 ? getTempPath2(length, buffer.data())
                              : ::GetTempPathW(length, buffer.data());
    }
    if (length == 0 || length >= buffer.size())
        return {};
    return std::wstring(buffer.data(), length);
}

/// The entries of `folder`, one level deep, "." and ".." left out. Throws
/// the file-system error when the folder cannot be listed.
std::vector<std::wstring> ListEntries(const std::wstring& folder)
{
    const std::wstring pattern = (fs::path(folder) / L"*").wstring();
    WIN32_FIND_DATAW data = {};
    qv::unique_find find(::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data,
                                            FindExSearchNameMatch, nullptr, 0));
    if (!find) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND)
            return {}; // nothing at all, not even "." (a volume root)
        throw fs::filesystem_error("directory_iterator::directory_iterator", folder,
                                   std::error_code(static_cast<int>(error), std::system_category()));
    }
    std::vector<std::wstring> entries;
    do {
        const std::wstring name = data.cFileName;
        if (name != L"." && name != L"..")
            entries.push_back(name);
    } while (::FindNextFileW(find.get(), &data));
    const DWORD error = ::GetLastError();
    if (error != ERROR_NO_MORE_FILES)
        throw fs::filesystem_error("directory_iterator::operator++",
                                   std::error_code(static_cast<int>(error), std::system_category()));
    return entries;
}

/// Where an entry that is a link to somewhere outside the folder leads;
/// empty for an ordinary entry. Such an entry is left alone: on some file
/// systems deleting or moving it would act on its target.
std::wstring LinkTarget(const std::wstring& entry, const std::wstring& folderFinal)
{
    const std::wstring target = FinalPathOf(entry);
    if (target.empty() || folderFinal.empty())
        return {};
    const std::wstring parent = fs::path(target).parent_path().wstring();
    if (ComparablePath(parent) == ComparablePath(folderFinal))
        return {};
    if (target.rfind(L"\\\\?\\UNC\\", 0) == 0)
        return L"\\\\" + target.substr(8);
    return target.rfind(L"\\\\?\\", 0) == 0 ? target.substr(4) : target;
}

/// Deletes one entry, or defers it to the next restart.
void RemoveEntry(const std::wstring& entry, const std::wstring& folderFinal)
{
    const std::wstring target = LinkTarget(entry, folderFinal);
    if (!target.empty()) {
        LogPrintfW(L"Skipped link %s -> %s\n", entry.c_str(), target.c_str());
        return;
    }
    if (::DeleteFileW(entry.c_str())) {
        LogPrintfW(L"Delete file %s\n", entry.c_str());
        return;
    }
    const std::wstring temporary = GetUniqueTempPath();
    if (::MoveFileExW(entry.c_str(), temporary.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        const BOOL registered = ::MoveFileExW(temporary.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
        const DWORD error = ::GetLastError();
        LogPrintfW(L"Moved %s -> %s, dest on reboot %s (%d)\n", entry.c_str(), temporary.c_str(),
                   Outcome(registered), static_cast<int>(error));
        return;
    }
    const BOOL registered = ::MoveFileExW(entry.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    const DWORD error = ::GetLastError();
    LogPrintfW(L"Moved %s -> %s failed, entry on reboot %s (%d)\n", entry.c_str(), temporary.c_str(),
               Outcome(registered), static_cast<int>(error));
}

} // namespace

std::wstring GetUniqueTempPath()
{
    static unsigned counter = 0;
    const std::wstring directory = TempDirectory();
    if (directory.empty())
        return std::to_wstring(::GetTickCount64());
    for (;;) {
        wchar_t name[40] = {};
        _snwprintf(name, 39, L"hl%08lx%04x.tmp", static_cast<unsigned long>(::GetTickCount64()),
                   ++counter & 0xFFFF);
        const std::wstring candidate = directory + name;
        if (::GetFileAttributesW(candidate.c_str()) == INVALID_FILE_ATTRIBUTES)
            return candidate;
    }
}

bool CleanupOstrelHardlinks(std::wstring folder)
{
    if (folder.empty())
        return true;
    if (const wchar_t* reason = ProtectedFolderReason(folder)) {
        LogPrintfW(L"Refused to clean up HL folder %s: it is %s\n", folder.c_str(), reason);
        return false;
    }
    if (!qv::PathExists(folder))
        return true;
    try {
        const std::wstring folderFinal = FinalPathOf(folder);
        for (const std::wstring& name : ListEntries(folder))
            RemoveEntry((fs::path(folder) / name).wstring(), folderFinal);
        if (!::RemoveDirectoryW(folder.c_str())) {
            const BOOL registered = ::MoveFileExW(folder.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
            const DWORD lastError = ::GetLastError();
            LogPrintfW(L"Could not delete HL folder %s, on reboot %s (%d)\n", folder.c_str(),
                       Outcome(registered), static_cast<int>(lastError));
            return true;
        }
        LogPrintfW(L"Success on deleting HL folder : %s\n", folder.c_str());
        return true;
    } catch (const std::exception& caught) {
        LogPrintf("CleanupOstrelHardlinks exception: %s\n", caught.what());
        return false;
    }
}

} // namespace Orvane
