#include "fileops/protected_folders.h"

#include "common/paths.h"
#include "common/system_library.h"
#include "driversetup/redirection_scope.h"

#include <cwctype>
#include <vector>

namespace Orvane {

namespace {

using SystemFolderFn = UINT(WINAPI*)(LPWSTR, UINT);
using Wow64FolderFn = UINT(WINAPI*)(LPWSTR, UINT, WORD);

/// The processor kinds of ARM64 Windows whose system folders only
/// GetSystemWow64Directory2W names: ARM32 (SysArm32) and the compiled hybrid
/// x86 code (SyChpe32). System32 and SysWOW64 have their own queries.
constexpr WORD kOtherMachines[] = {IMAGE_FILE_MACHINE_ARMNT, 0x3A64 /* IMAGE_FILE_MACHINE_CHPE_X86 */};

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

/// One of the folders the held folder is compared with.
struct Reference {
    std::wstring Comparable; // empty when the folder is unknown
    FileIdentity Identity;
    bool HasIdentity = false;
};

Reference ReferenceAt(const std::wstring& path)
{
    Reference reference;
    if (path.empty())
        return reference;
    const std::wstring finalPath = FinalPathOf(path);
    reference.Comparable = ComparablePath(finalPath.empty() ? path : finalPath);
    reference.HasIdentity = QueryIdentity(path, reference.Identity);
    return reference;
}

Reference SystemFolder(SystemFolderFn query) { return ReferenceAt(qv::QuerySystemFolder(query)); }

/// The folder is the reference: the same identity, or (where an identity
/// cannot be read) the same resolved path.
bool IsSame(const FileIdentity* identity, const std::wstring& comparable, const Reference& reference)
{
    if (identity && reference.HasIdentity && *identity == reference.Identity)
        return true;
    return !reference.Comparable.empty() && reference.Comparable == comparable;
}

/// The system folders of the other processor kinds this Windows runs, where
/// it can name them (Windows 10 1511 and later).
std::vector<Reference> OtherMachineSystemFolders()
{
    std::vector<Reference> folders;
    const auto query =
        qv::ModuleFunction<Wow64FolderFn>(::GetModuleHandleW(L"kernel32.dll"), "GetSystemWow64Directory2W");
    for (const WORD machine : kOtherMachines) {
        wchar_t buffer[MAX_PATH + 1] = {};
        const UINT length = query ? query(buffer, MAX_PATH + 1, machine) : 0;
        if (length != 0 && length <= MAX_PATH)
            folders.push_back(ReferenceAt(buffer));
    }
    return folders;
}

/// The folder is one of the system directories: System32 and SysWOW64 as
/// they are, whatever the process's bitness (a 32-bit process sees them
/// through redirection only while it is on), and the other processors'.
bool IsSystemDirectory(const FileIdentity* identity, const std::wstring& comparable)
{
    RedirectionScope native;
    if (IsSame(identity, comparable, SystemFolder(::GetSystemDirectoryW)) ||
        IsSame(identity, comparable, SystemFolder(::GetSystemWow64DirectoryW)))
        return true;
    for (const Reference& folder : OtherMachineSystemFolders())
        if (IsSame(identity, comparable, folder))
            return true;
    return false;
}

} // namespace

bool QueryIdentity(HANDLE file, FileIdentity& identity)
{
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!::GetFileInformationByHandle(file, &info))
        return false;
    identity.Volume = info.dwVolumeSerialNumber;
    identity.Index = (static_cast<ULONGLONG>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return true;
}

bool QueryIdentity(const std::wstring& path, FileIdentity& identity)
{
    const qv::unique_file file = qv::OpenForAttributes(path);
    return file && QueryIdentity(file.get(), identity);
}

std::wstring FinalPathOf(HANDLE file)
{
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD length = ::GetFinalPathNameByHandleW(file, buffer.data(),
                                                         static_cast<DWORD>(buffer.size()), VOLUME_NAME_DOS);
        if (length == 0)
            return {};
        if (length < buffer.size())
            return std::wstring(buffer.data(), length);
        buffer.resize(length + 1);
    }
}

std::wstring FinalPathOf(const std::wstring& path)
{
    const qv::unique_file file = qv::OpenForAttributes(path);
    return file ? FinalPathOf(file.get()) : std::wstring();
}

bool IsBareDrive(const std::wstring& folder)
{
    std::wstring text = folder;
    if (text.rfind(L"\\\\?\\", 0) == 0 || text.rfind(L"\\\\.\\", 0) == 0)
        text = text.substr(4);
    while (text.size() > 2 && qv::IsPathSeparator(text.back()))
        text.pop_back();
    return text.size() == 2 && text[1] == L':';
}

std::wstring ComparablePath(const std::wstring& path)
{
    std::wstring full = qv::FullPathName(path);
    if (full.empty())
        full = path;
    if (full.rfind(L"\\\\?\\UNC\\", 0) == 0)
        full = L"\\\\" + full.substr(8);
    else if (full.rfind(L"\\\\?\\", 0) == 0 || full.rfind(L"\\\\.\\", 0) == 0)
        full = full.substr(4);
    for (wchar_t& c : full) {
        c = static_cast<wchar_t>(std::towlower(c));
        if (c == L'/')
            c = L'\\';
    }
    while (full.size() > 1 && qv::IsPathSeparator(full.back()) && !(full.size() == 3 && full[1] == L':'))
        full.pop_back();
    if (full.size() == 3 && full[1] == L':')
        full.pop_back(); // "c:\" and "c:" name the same root
    return full;
}

const wchar_t* ProtectedFolderReason(HANDLE folder, const std::wstring& finalPath)
{
    FileIdentity held;
    const FileIdentity* identity = QueryIdentity(folder, held) ? &held : nullptr;
    const std::wstring comparable = ComparablePath(finalPath);
    // The named folders first: a drive letter given to the Windows directory
    // makes it a volume root too, and it is refused as what it is.
    if (IsSame(identity, comparable, SystemFolder(::GetWindowsDirectoryW)) ||
        IsSame(identity, comparable, SystemFolder(::GetSystemWindowsDirectoryW)))
        return L"the Windows directory";
    if (IsSystemDirectory(identity, comparable))
        return L"the system directory";
    wchar_t onVolume[3] = {}; // a volume mounted in a folder is "\" on itself, whatever its path
    if (IsRootForm(comparable) ||
        (::GetFinalPathNameByHandleW(folder, onVolume, 3, VOLUME_NAME_NONE) == 1 && onVolume[0] == L'\\'))
        return L"a volume root";
    std::vector<wchar_t> volume(finalPath.size() + MAX_PATH + 1);
    if (!finalPath.empty() &&
        ::GetVolumePathNameW(finalPath.c_str(), volume.data(), static_cast<DWORD>(volume.size())) &&
        IsSame(identity, comparable, ReferenceAt(volume.data())))
        return L"a volume root";
    return nullptr;
}

const wchar_t* ProtectedFolderReason(const std::wstring& folder)
{
    if (IsBareDrive(folder))
        return L"a volume root";
    const qv::unique_file file = qv::OpenForAttributes(folder);
    if (!file)
        return nullptr;
    return ProtectedFolderReason(file.get(), FinalPathOf(file.get()));
}

} // namespace Orvane
