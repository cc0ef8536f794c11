// Helpers of the hostile-input end-to-end tests: folder snapshots, Unix
// symbolic links made through Wine, damaged package copies, raw registry
// values of the service key and the current directory of the tool.
#pragma once

#include "driver_fixture.h"

#include <windows.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace hostile {

/// UTF-8 text of a path, as the tool prints it.
std::string U8(const std::filesystem::path& path);

/// The lines that follow the first line equal to `marker`; the single line
/// "<no line: marker>" when there is none, so that a comparison fails.
std::vector<std::string> LinesAfter(const std::vector<std::string>& lines, const std::string& marker);

/// The names of the entries directly inside `folder` ("." and ".." left
/// out), sorted; one "<cannot list: N>" entry when the folder cannot be listed.
std::vector<std::wstring> EntryNames(const std::filesystem::path& folder);

/// Makes `count` empty files named <prefix><number> in `folder`.
void MakeFiles(const std::filesystem::path& folder, const std::wstring& prefix, int count);

/// The path Wine gives a Windows path on the Unix side; empty when the
/// process does not run under Wine.
std::string UnixPath(const std::filesystem::path& path);

/// A Unix symbolic link `link` -> `target`, made with ln (Wine starts Unix
/// programs through CreateProcessW; its own CreateSymbolicLinkW answers
/// success and makes nothing, and it cannot make a junction). Removes the
/// link itself, never its target, when destroyed. made() is false when the
/// link could not be made or cannot be seen (a link to nothing is hidden).
class UnixSymlink {
public:
    UnixSymlink(const std::filesystem::path& target, const std::filesystem::path& link);
    ~UnixSymlink();
    UnixSymlink(const UnixSymlink&) = delete;
    UnixSymlink& operator=(const UnixSymlink&) = delete;
    bool made() const { return made_; }
    /// Removes the link at `path` (where it may have been moved to).
    static void Remove(const std::filesystem::path& path);

private:
    std::filesystem::path link_;
    bool made_ = false;
};

/// Runs a shell command on the Unix side and waits until it is done;
/// false when it could not be run or did not finish within 10 s.
bool RunUnix(const std::string& command);

/// Removes a folder the test made, with all it holds, at any depth; links
/// inside are removed themselves, never followed. Only below the temporary
/// directory or for a name with "qvtest-" in it.
void RemoveTree(const std::filesystem::path& path);

/// Removes a folder tree when destroyed (RemoveTree).
class TreeRemover {
public:
    explicit TreeRemover(std::filesystem::path path) : path_(std::move(path)) {}
    ~TreeRemover() { RemoveTree(path_); }
    TreeRemover(const TreeRemover&) = delete;
    TreeRemover& operator=(const TreeRemover&) = delete;

private:
    std::filesystem::path path_;
};

/// Sets the current directory of this process (and so of the tool it
/// starts) and restores the previous one when destroyed.
class ScopedCurrentDirectory {
public:
    explicit ScopedCurrentDirectory(const std::filesystem::path& folder);
    ~ScopedCurrentDirectory();
    ScopedCurrentDirectory(const ScopedCurrentDirectory&) = delete;
    ScopedCurrentDirectory& operator=(const ScopedCurrentDirectory&) = delete;

private:
    std::wstring previous_;
};

/// The service key of QvOstrel below HKEY_LOCAL_MACHINE.
extern const wchar_t kServiceKey[];

/// Writes a value of any type and size to the service key, as given.
LSTATUS SetServiceValue(const wchar_t* name, DWORD type, const void* data, DWORD size);

/// Reads a value of the service key: its type and bytes; false when missing.
bool GetServiceValue(const wchar_t* name, DWORD& type, std::vector<BYTE>& data);

/// The registry key the test package's AddReg directive writes.
extern const wchar_t kPackageKey[];

/// Removes that key, and its parent when nothing else is below it.
void RemovePackageKey();

/// The text of a file of the test package (testpkg, Win10-x64).
std::string PackageFileText(const std::wstring& file);

/// A copy of the test package (testpkg, Win10-x64) in a scratch folder,
/// laid out as a driver directory; the files can be replaced.
class PackageCopy {
public:
    PackageCopy();
    const std::filesystem::path& directory() const { return scratch_.path(); }
    std::filesystem::path folder() const { return scratch_ / L"Win10-x64"; }
    std::filesystem::path inf() const { return folder() / L"QvOstrel.inf"; }
    std::filesystem::path sys() const { return folder() / L"QvOstrel.sys"; }
    std::filesystem::path cat() const { return folder() / L"QvOstrel.cat"; }
    std::wstring option() const { return L"drivers-path=" + directory().wstring(); }
    /// The driver path line the tool prints for this copy.
    std::string driverPathLine() const { return "Driver path: \"" + U8(directory()) + "\\\""; }

private:
    qvtest::ScratchFolder scratch_;
};

/// The test package's INF text with the DriverVer line replaced; an empty
/// `line` removes it.
std::string InfWithDriverVer(const std::string& line);

} // namespace hostile
