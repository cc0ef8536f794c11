// What the tests share: running a program the Windows way (full 32-bit exit
// code, output through files), scratch folders, and the machine's QvOstrel
// service, image and registry values as the tests prepare and inspect them.
#pragma once

#include <windows.h>

#include <filesystem>
#include <string>
#include <vector>

namespace qvtest {

namespace fs = std::filesystem;

struct RunResult {
    DWORD exitCode = 0;
    std::string output; // standard output, bytes as written
};

/// The build tree's top folder (QvOstrelSetup.exe and the test packages).
fs::path BuildFolder();

/// The tool under test: QV_TOOL_EXE when set, else the built one.
fs::path ToolPath();

/// The tool under test is a 32-bit exe and this process a 64-bit one: the
/// tool runs under WOW64.
bool ToolRunsUnderWow64();

/// The DLL that leaves a marker when loaded, built for the tool's processor:
/// QV_PLANTED_DLL when set, else the one built beside the tests.
fs::path PlantedDll();

/// The package folder and the INF sections' suffix the tool must choose on
/// this machine (Windows 10 of a current build), by its native processor:
/// Win10-ARM64 and NTarm64 on ARM64, else Win10-x64 and NTamd64.
std::wstring NativePackageFolder();
std::string NativeInfDecoration();

/// Runs `program` with `args` (quoted where needed) and waits for it.
RunResult Run(const fs::path& program, const std::vector<std::wstring>& args);

/// `text` as a console program writes it: each line feed after a CR.
std::string Crlf(const std::string& text);

std::string U8(const fs::path& path);
std::string ReadBytes(const fs::path& path);
void WriteBytes(const fs::path& path, const std::string& bytes);

/// A fresh folder under the temporary directory, removed on destruction.
class Scratch {
public:
    Scratch();
    ~Scratch();
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    fs::path operator/(const std::wstring& name) const { return path_ / name; }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

/// system32\drivers\QvOstrel.sys.
fs::path InstalledImage();

/// The QvOstrel service's current state; 0 when there is none.
DWORD ServiceState();

/// Stops and deletes the service and removes its key and image.
void RemoveDriver();

/// A REG_DWORD value of the service key, or of its Parameters subkey
/// (which the test driver reads at each open of its device).
void SetServiceDword(const wchar_t* name, DWORD value, bool parameters = false);
/// A value of the service key; `type` receives its registry type (0: none).
DWORD ServiceDword(const wchar_t* name, DWORD* type = nullptr);
void SetServiceValue(const wchar_t* name, DWORD type, const void* data, DWORD size);
/// What the test driver's reads met (its Parameters\ReadsSeen): each read's
/// output length, 0 for a parked read cancelled, 1 for one ended with its handle.
std::vector<DWORD> DriverReadsSeen();

/// A registry value set (or, with null data, removed) for the scope and put
/// back after.
class ScopedValue {
public:
    ScopedValue(const wchar_t* key, const wchar_t* name, DWORD type, const void* data, DWORD size,
                HKEY root = HKEY_LOCAL_MACHINE);
    ~ScopedValue();

private:
    HKEY root_;
    std::wstring key_, name_;
    std::vector<BYTE> saved_;
    DWORD savedType_ = 0;
    bool existed_ = false;
};

/// True when PendingFileRenameOperations names `path` as a source.
bool PendingRename(const fs::path& path);

} // namespace qvtest
