#include "hostile_support.h"

#include "common/strconv.h"

#include <algorithm>
#include <stdexcept>

namespace fs = std::filesystem;

namespace hostile {

namespace {

using UnixFileNameFn = char*(CDECL*)(LPCWSTR);

std::wstring Widen(const std::string& text) { return qv::Utf8ToWide(text); }

bool Exists(const fs::path& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

} // namespace

const wchar_t kServiceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\QvOstrel";
const wchar_t kPackageKey[] = L"SOFTWARE\\Orvane\\QvOstrel";

void RemovePackageKey()
{
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kPackageKey);
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Orvane", KEY_WOW64_64KEY, 0); // fails while it has subkeys
}

std::string U8(const fs::path& path) { return qv::WideToUtf8(path.wstring()); }

std::vector<std::string> LinesAfter(const std::vector<std::string>& lines, const std::string& marker)
{
    const auto found = std::find(lines.begin(), lines.end(), marker);
    if (found == lines.end())
        return {"<no line: " + marker + ">"};
    return std::vector<std::string>(found + 1, lines.end());
}

std::vector<std::wstring> EntryNames(const fs::path& folder)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data = {};
    HANDLE find = FindFirstFileW((folder / L"*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return {L"<cannot list: " + std::to_wstring(GetLastError()) + L">"};
    do {
        const std::wstring name = data.cFileName;
        if (name != L"." && name != L"..")
            names.push_back(name);
    } while (FindNextFileW(find, &data));
    FindClose(find);
    std::sort(names.begin(), names.end());
    return names;
}

void MakeFiles(const fs::path& folder, const std::wstring& prefix, int count)
{
    fs::create_directories(folder);
    // Under Wine each new name is first looked for, without regard to case,
    // among all the folder holds: thousands of files take half a minute
    // through CreateFileW and well under a second from the Unix side.
    const std::string unixFolder = UnixPath(folder);
    const std::string unixPrefix = qv::WideToUtf8(prefix);
    if (count > 100 && !unixFolder.empty() && unixFolder.find('\'') == std::string::npos &&
        unixPrefix.find_first_of("'\"$`\\") == std::string::npos) {
        if (RunUnix("cd '" + unixFolder + "' && i=0 && while [ $i -lt " + std::to_string(count) + " ]; do : > '" +
                    unixPrefix + "'$i; i=$((i+1)); done") &&
            Exists(folder / (prefix + std::to_wstring(count - 1))))
            return;
        throw std::runtime_error("cannot create the test files");
    }
    for (int i = 0; i < count; ++i) {
        const fs::path file = folder / (prefix + std::to_wstring(i));
        HANDLE handle = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE)
            throw std::runtime_error("cannot create a test file: " + std::to_string(GetLastError()));
        CloseHandle(handle);
    }
}

std::string UnixPath(const fs::path& path)
{
    auto toUnix = reinterpret_cast<UnixFileNameFn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32"), "wine_get_unix_file_name")));
    if (!toUnix)
        return {};
    char* name = toUnix(path.c_str());
    if (!name)
        return {};
    std::string result = name;
    HeapFree(GetProcessHeap(), 0, name);
    return result;
}

bool RunUnix(const std::string& command)
{
    // Wine starts a Unix program from CreateProcessW, but the handle it
    // gives back cannot be waited for: the command touches a marker file
    // when it is done, and the marker is awaited instead.
    static int counter = 0;
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH + 1, temp);
    const fs::path marker = fs::path(temp) / (L"qvtest-unix-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                              std::to_wstring(counter++) + L".done");
    const std::string unixMarker = UnixPath(marker);
    if (unixMarker.empty())
        return false;
    std::wstring commandLine = Widen("/bin/sh -c \"" + command + "; touch '" + unixMarker + "'\"");
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(L"Z:\\bin\\sh", &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process))
        return false;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    bool done = false;
    for (int i = 0; i < 1000 && !done; ++i) {
        done = Exists(marker);
        if (!done)
            Sleep(10);
    }
    DeleteFileW(marker.c_str());
    return done;
}

UnixSymlink::UnixSymlink(const fs::path& target, const fs::path& link) : link_(link)
{
    const std::string unixTarget = UnixPath(target);
    const std::string unixLink = UnixPath(link);
    if (unixTarget.empty() || unixLink.empty() || Exists(link))
        return;
    made_ = RunUnix("ln -s '" + unixTarget + "' '" + unixLink + "'") && Exists(link);
}

UnixSymlink::~UnixSymlink()
{
    if (made_)
        Remove(link_);
}

void UnixSymlink::Remove(const fs::path& path)
{
    const std::string unixPath = UnixPath(path);
    // rm without -r removes the link itself and never descends into a target.
    if (!unixPath.empty())
        RunUnix("rm -f '" + unixPath + "'");
}

void RemoveTree(const fs::path& path)
{
    // Only what the tests make: below the temporary directory, or named by them.
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH + 1, temp);
    const std::wstring text = path.wstring();
    const std::wstring tempText = fs::path(temp).wstring();
    const bool below = text.size() > tempText.size() && _wcsnicmp(text.c_str(), tempText.c_str(), tempText.size()) == 0;
    if (!below && text.find(L"qvtest-") == std::wstring::npos)
        throw std::runtime_error("RemoveTree refuses a path the tests did not make");
    const std::string unixPath = UnixPath(path);
    if (unixPath.size() > 1 && unixPath.find('\'') == std::string::npos) {
        RunUnix("rm -rf -- '" + unixPath + "'");
        return;
    }
    std::error_code ignored;
    fs::remove_all(path, ignored);
}

ScopedCurrentDirectory::ScopedCurrentDirectory(const fs::path& folder)
{
    std::vector<wchar_t> buffer(32768);
    GetCurrentDirectoryW(static_cast<DWORD>(buffer.size()), buffer.data());
    previous_ = buffer.data();
    if (!SetCurrentDirectoryW(folder.c_str()))
        throw std::runtime_error("cannot change the current directory");
}

ScopedCurrentDirectory::~ScopedCurrentDirectory() { SetCurrentDirectoryW(previous_.c_str()); }

LSTATUS SetServiceValue(const wchar_t* name, DWORD type, const void* data, DWORD size)
{
    HKEY key = nullptr;
    LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kServiceKey, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, &key);
    if (status != ERROR_SUCCESS)
        return status;
    status = RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size);
    RegCloseKey(key);
    return status;
}

bool GetServiceValue(const wchar_t* name, DWORD& type, std::vector<BYTE>& data)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kServiceKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key) !=
        ERROR_SUCCESS)
        return false;
    DWORD size = 0;
    LSTATUS status = RegQueryValueExW(key, name, nullptr, &type, nullptr, &size);
    if (status == ERROR_SUCCESS) {
        data.resize(size);
        status = RegQueryValueExW(key, name, nullptr, &type, data.data(), &size);
        data.resize(size);
    }
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

std::string PackageFileText(const std::wstring& file)
{
    return qvtest::ReadFileBytes(e2e::Package(L"testpkg", L"Win10-x64") / file);
}

PackageCopy::PackageCopy() { e2e::CopyPackage(L"testpkg", L"Win10-x64", scratch_.path()); }

std::string InfWithDriverVer(const std::string& line)
{
    std::string text = PackageFileText(L"QvOstrel.inf");
    const size_t found = text.find("\nDriverVer");
    const size_t start = found == std::string::npos ? found : found + 1;
    if (start == std::string::npos)
        throw std::runtime_error("the test package has no DriverVer line");
    const size_t end = text.find("\r\n", start);
    text.replace(start, end == std::string::npos ? std::string::npos : end + 2 - start,
                 line.empty() ? std::string() : line + "\r\n");
    return text;
}

} // namespace hostile
