#include "fileops/hardlinks.h"

#include "common/paths.h"
#include "common/strconv.h"
#include "common/system_library.h"
#include "common/unique_handle.h"
#include "driversetup/redirection_scope.h"
#include "fileops/delete_file.h"
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
    const auto getTempPath2 =
        qv::ModuleFunction<GetTempPath2WFn>(::GetModuleHandleW(L"kernel32"), "GetTempPath2W");
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

/// The hardlinks folder, open for the whole clean-up. It is shared for
/// reading and writing but not for deleting, so that it cannot be renamed,
/// removed or replaced while its entries are worked on.
struct HeldFolder {
    qv::unique_file Handle;
    std::wstring Opened;    // the name it was opened by
    std::wstring Resolved;  // its final path, "\\?\" form: every action's base
    std::wstring Name;      // its path on its volume, as the handle reports it
    FileIdentity Identity;
    bool CanDelete = false; // the handle has DELETE access
    bool IsLink = false;    // it was reached through a link or junction
    qv::unique_file Link;   // that link itself, when it could be opened so
};

/// The path of an open file or folder on its volume ("\\dir\name"); empty
/// when it cannot be read.
std::wstring NameOnVolume(HANDLE file)
{
    std::vector<LONGLONG> buffer(0x2000); // 64 KiB: the longest path fits
    if (!::GetFileInformationByHandleEx(file, FileNameInfo, buffer.data(),
                                        static_cast<DWORD>(buffer.size() * sizeof(LONGLONG))))
        return {};
    const auto* info = reinterpret_cast<const FILE_NAME_INFO*>(buffer.data());
    return std::wstring(info->FileName, info->FileNameLength / sizeof(wchar_t));
}

/// The extended-length form of `path` made full.
std::wstring ExtendedFullPath(const std::wstring& path)
{
    const std::wstring full = qv::FullPathName(path);
    if (full.empty())
        return {};
    if (full.rfind(L"\\\\?\\", 0) == 0 || full.rfind(L"\\\\.\\", 0) == 0)
        return full;
    return full.rfind(L"\\\\", 0) == 0 ? L"\\\\?\\UNC\\" + full.substr(2) : L"\\\\?\\" + full;
}

/// The name to open `folder` by: its extended-length form when its full
/// path is too long for a plain name (which Windows would not find at all).
std::wstring OpenableName(const std::wstring& folder)
{
    if (folder.rfind(L"\\\\?\\", 0) == 0 || folder.rfind(L"\\\\.\\", 0) == 0)
        return folder;
    if (qv::FullPathName(folder).size() < MAX_PATH)
        return folder;
    const std::wstring extended = ExtendedFullPath(folder);
    return extended.empty() ? folder : extended;
}

/// When the held folder was named by a link or junction, the link itself is
/// opened and held, to be removed at the end in its place. A folder that
/// carries a reparse point of another kind opens as itself: no link. Where
/// the system cannot open the link as itself (Wine follows it), the folder
/// still counts as reached through a link, so that its target is never
/// removed in the link's place.
void HoldLink(HeldFolder& held)
{
    const DWORD attributes = ::GetFileAttributesW(held.Opened.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return;
    for (const DWORD extra : {static_cast<DWORD>(DELETE), 0ul}) {
        const DWORD sharing = FILE_SHARE_READ | FILE_SHARE_WRITE | (extra ? 0 : FILE_SHARE_DELETE);
        qv::unique_file link(::CreateFileW(held.Opened.c_str(), FILE_READ_ATTRIBUTES | SYNCHRONIZE | extra, sharing,
                                           nullptr, OPEN_EXISTING,
                                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        BY_HANDLE_FILE_INFORMATION info = {};
        if (!link || !::GetFileInformationByHandle(link.get(), &info))
            continue; // the DELETE open conflicts with the held folder's when it is the same
        const FileIdentity identity = {info.dwVolumeSerialNumber,
                                       (static_cast<ULONGLONG>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
        const bool itself = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        if (itself && identity == held.Identity)
            return;
        if (itself && extra != 0)
            held.Link = std::move(link);
        break;
    }
    held.IsLink = true;
}

/// Opens `folder` (links followed) and resolves it. 0, or a Windows error.
DWORD HoldFolder(const std::wstring& folder, HeldFolder& held)
{
    const DWORD access = FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
    DWORD error = 0;
    held.Opened = OpenableName(folder);
    for (const DWORD extra : {static_cast<DWORD>(DELETE), 0ul}) {
        held.Handle.reset(::CreateFileW(held.Opened.c_str(), access | extra, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        if (held.Handle) {
            held.CanDelete = extra != 0;
            break;
        }
        error = qv::LastErrorOr(ERROR_INVALID_HANDLE);
        if (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION)
            return error;
    }
    if (!held.Handle)
        return error;
    if (!QueryIdentity(held.Handle.get(), held.Identity))
        return qv::LastErrorOr(ERROR_INVALID_HANDLE);
    held.Name = NameOnVolume(held.Handle.get());
    held.Resolved = FinalPathOf(held.Handle.get());
    if (held.Resolved.empty()) {
        // Wine cannot give a final path longer than MAX_PATH: the full path
        // of the name serves, once it is proven to lead to the held folder.
        FileIdentity named;
        held.Resolved = ExtendedFullPath(folder);
        if (!QueryIdentity(held.Resolved, named) || !(named == held.Identity))
            return ERROR_PATH_NOT_FOUND;
    }
    while (held.Resolved.size() > 7 && held.Resolved.back() == L'\\')
        held.Resolved.pop_back();
    HoldLink(held);
    return 0;
}

/// `name` inside the held folder, by the folder's resolved path.
std::wstring ResolvedEntry(const HeldFolder& held, const std::wstring& name)
{
    const bool separated = !held.Resolved.empty() && held.Resolved.back() == L'\\';
    return held.Resolved + (separated ? L"" : L"\\") + name;
}

/// Throws when the held folder's resolved path no longer leads to it (a
/// folder above it was renamed): nothing more is done by that path.
void CheckResolvedPath(const HeldFolder& held, const std::wstring& folder)
{
    FileIdentity identity;
    if (!QueryIdentity(held.Resolved, identity) || !(identity == held.Identity))
        throw fs::filesystem_error("CleanupOstrelHardlinks", folder,
                                   std::error_code(ERROR_PATH_NOT_FOUND, std::system_category()));
}

/// A path as the log shows it: without the "\\?\" prefix.
std::wstring DisplayPath(const std::wstring& path)
{
    if (path.rfind(L"\\\\?\\UNC\\", 0) == 0)
        return L"\\\\" + path.substr(8);
    return path.rfind(L"\\\\?\\", 0) == 0 ? path.substr(4) : path;
}

/// The folder part of a path ending in a name; empty when there is none.
std::wstring ParentOf(const std::wstring& path)
{
    const size_t separator = path.find_last_of(L'\\');
    return separator == std::wstring::npos ? std::wstring() : path.substr(0, separator);
}

/// The open entry lies directly in the held folder. Its final path
/// (`entryFinal`; empty where the system cannot tell) must continue the
/// held folder's, which a link the system followed to elsewhere does not,
/// and it must be the very file the held folder lists under its name: the
/// same volume and file index (`listedIndex`, from the listing through the
/// held handle), or else a parent with the held folder's identity. Without
/// a final path, the entry's path on its volume must continue the held
/// folder's on the same volume.
bool IsChildOf(const HeldFolder& held, HANDLE entry, const FileIdentity& identity,
               const std::wstring& entryFinal, ULONGLONG listedIndex)
{
    if (identity.Volume != held.Identity.Volume)
        return false;
    if (entryFinal.empty()) {
        const std::wstring name = NameOnVolume(entry);
        return !name.empty() && !held.Name.empty() &&
               ::CompareStringOrdinal(ParentOf(name).c_str(), -1, held.Name.c_str(), -1, TRUE) == CSTR_EQUAL;
    }
    const std::wstring parentPath = ParentOf(entryFinal);
    if (::CompareStringOrdinal(parentPath.c_str(), -1, held.Resolved.c_str(), -1, TRUE) != CSTR_EQUAL)
        return false;
    if (listedIndex != 0 && identity.Index == listedIndex)
        return true;
    FileIdentity parent;
    return QueryIdentity(parentPath + L"\\", parent) && parent == held.Identity;
}

/// Deletes the open file or folder; a read-only one stays.
bool DeleteThrough(HANDLE file) { return DeleteByHandle(file, 0) == 0; }

/// An entry that could not be deleted: moved to the temporary directory and
/// deleted there at restart, or, when it cannot move, deleted at restart
/// where it stands. `shown` is its name in the log, `path` the one acted on.
void DeferEntry(const HeldFolder& held, const std::wstring& folder, const std::wstring& shown,
                const std::wstring& path)
{
    CheckResolvedPath(held, folder);
    const std::wstring temporary = GetUniqueTempPath();
    // Required: MOVEFILE_REPLACE_EXISTING without MOVEFILE_COPY_ALLOWED, and
    // the last error logged after a registration that succeeded too; keep both.
    if (::MoveFileExW(path.c_str(), temporary.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        const BOOL registered = ::MoveFileExW(temporary.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
        const DWORD error = ::GetLastError();
        LogPrintfW(L"Moved %s -> %s, dest on reboot %s (%d)\n", shown.c_str(), temporary.c_str(),
                   Outcome(registered), static_cast<int>(error));
        return;
    }
    const BOOL registered = ::MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    const DWORD error = ::GetLastError();
    LogPrintfW(L"Moved %s -> %s failed, entry on reboot %s (%d)\n", shown.c_str(), temporary.c_str(),
               Outcome(registered), static_cast<int>(error));
}

/// Deletes one listed entry through a handle checked to be a child of the
/// held folder, or defers it to the next restart. A link is opened as the
/// link itself where the system allows it, so deleting it never touches its
/// target; where the system follows it anyway, a link to outside the folder
/// shows up as no child and is left alone.
void RemoveListedEntry(const HeldFolder& held, const std::wstring& folder, const std::wstring& name,
                       ULONGLONG listedIndex)
{
    const std::wstring shown = (fs::path(folder) / name).wstring();
    const std::wstring path = ResolvedEntry(held, name);
    qv::unique_file entry(::CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                        nullptr));
    if (!entry) {
        const DWORD error = qv::LastErrorOr(ERROR_INVALID_HANDLE);
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND)
            DeferEntry(held, folder, shown, path); // in use without sharing, for instance
        return;                                    // otherwise gone meanwhile
    }
    BY_HANDLE_FILE_INFORMATION info = {};
    const bool known = ::GetFileInformationByHandle(entry.get(), &info) != FALSE;
    const FileIdentity identity = {info.dwVolumeSerialNumber,
                                   (static_cast<ULONGLONG>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
    const std::wstring entryFinal = FinalPathOf(entry.get());
    if (!known || !IsChildOf(held, entry.get(), identity, entryFinal, listedIndex)) {
        const std::wstring target = entryFinal.empty() ? NameOnVolume(entry.get()) : DisplayPath(entryFinal);
        LogPrintfW(L"Skipped link %s -> %s\n", shown.c_str(), target.c_str());
        return;
    }
    const bool realFolder = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                            !(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
    // A folder of its own is moved whole, as deleting a file cannot remove it.
    if (!realFolder && DeleteThrough(entry.get())) {
        entry.reset();
        LogPrintfW(L"Delete file %s\n", shown.c_str());
        return;
    }
    entry.reset();
    DeferEntry(held, folder, shown, path);
}

/// Works on each entry of the held folder as it is listed, one level deep,
/// "." and ".." left out. The listing is read through the held handle, so
/// it is the checked folder's. Throws the file-system error when the folder
/// cannot be listed, or when the listing fails part-way (entries handled
/// before stay handled).
void RemoveEntries(const HeldFolder& held, const std::wstring& folder)
{
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!::GetFileInformationByHandle(held.Handle.get(), &info) ||
        !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        // Required: keep the "directory_iterator::..." texts of this function's errors.
        throw fs::filesystem_error("directory_iterator::directory_iterator", folder,
                                   std::error_code(ERROR_DIRECTORY, std::system_category()));
    std::vector<LONGLONG> buffer(8192); // 64 KiB, aligned for the records
    for (bool first = true;; first = false) {
        if (!::GetFileInformationByHandleEx(held.Handle.get(), FileIdBothDirectoryInfo, buffer.data(),
                                            static_cast<DWORD>(buffer.size() * sizeof(LONGLONG)))) {
            const DWORD error = qv::LastErrorOr(ERROR_INTERNAL_ERROR);
            if (error == ERROR_NO_MORE_FILES || (first && error == ERROR_FILE_NOT_FOUND))
                return;
            if (first)
                throw fs::filesystem_error("directory_iterator::directory_iterator", folder,
                                           std::error_code(static_cast<int>(error), std::system_category()));
            throw fs::filesystem_error("directory_iterator::operator++",
                                       std::error_code(static_cast<int>(error), std::system_category()));
        }
        const auto* bytes = reinterpret_cast<const BYTE*>(buffer.data());
        for (;;) {
            const auto* record = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(bytes);
            const std::wstring name(record->FileName, record->FileNameLength / sizeof(wchar_t));
            if (name != L"." && name != L"..")
                RemoveListedEntry(held, folder, name, static_cast<ULONGLONG>(record->FileId.QuadPart));
            if (record->NextEntryOffset == 0)
                break;
            bytes += record->NextEntryOffset;
        }
    }
}

/// Removes the emptied held folder, or, when it was named by a link, that
/// link and never its target; else registers it for removal at restart.
/// The removal's own answer decides: a folder that another program holds
/// open with delete sharing goes when that program lets go of it.
void RemoveHeldFolder(HeldFolder& held, const std::wstring& folder)
{
    CheckResolvedPath(held, folder);
    bool removed = false;
    if (held.IsLink)
        removed = held.Link && DeleteThrough(held.Link.get());
    else if (held.CanDelete)
        removed = DeleteThrough(held.Handle.get());
    held.Handle.reset();
    held.Link.reset();
    if (!removed && !held.CanDelete && !held.IsLink)
        removed = ::RemoveDirectoryW(held.Resolved.c_str()) != FALSE;
    if (removed) {
        // Required: keep the blank before the colon.
        LogPrintfW(L"Success on deleting HL folder : %s\n", folder.c_str());
        return;
    }
    const std::wstring& pending = held.IsLink ? held.Opened : held.Resolved;
    const BOOL registered = ::MoveFileExW(pending.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    const DWORD lastError = ::GetLastError();
    LogPrintfW(L"Could not delete HL folder %s, on reboot %s (%d)\n", folder.c_str(), Outcome(registered),
               static_cast<int>(lastError));
}

} // namespace

std::wstring GetUniqueTempPath()
{
    static unsigned counter = 0;
    const std::wstring directory = TempDirectory();
    // Required: a bare name, which a move resolves against the current
    // directory; keep it so.
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
    try {
        if (IsBareDrive(folder)) {
            LogPrintfW(L"Refused to clean up HL folder %s: it is a volume root\n", folder.c_str());
            return false;
        }
        HeldFolder held;
        if (const DWORD error = HoldFolder(folder, held)) {
            if (!qv::PathExists(held.Opened))
                return true; // nothing there: nothing to say
            // Required: keep this "directory_iterator::..." text.
            throw fs::filesystem_error("directory_iterator::directory_iterator", folder,
                                       std::error_code(static_cast<int>(error), std::system_category()));
        }
        // The folder is named as the caller sees it, but worked on by its
        // resolved path, which names it as it is: a 32-bit process uses that
        // path with redirection off, or System32's entries would be taken
        // for SysWOW64's.
        RedirectionScope native;
        if (const wchar_t* reason = ProtectedFolderReason(held.Handle.get(), held.Resolved)) {
            LogPrintfW(L"Refused to clean up HL folder %s: it is %s\n", folder.c_str(), reason);
            return false;
        }
        RemoveEntries(held, folder);
        RemoveHeldFolder(held, folder);
        return true;
    } catch (const std::exception& caught) {
        LogPrintf("CleanupOstrelHardlinks exception: %s\n", caught.what());
        return false;
    }
}

} // namespace Orvane
