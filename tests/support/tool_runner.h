// Running the built tool (or another program) from a test, the Windows way:
// CreateProcessW with standard output and error sent to files, and the full
// 32-bit exit code from GetExitCodeProcess.
#pragma once

#include <windows.h>

#include <filesystem>
#include <string>
#include <vector>

namespace qvtest {

struct RunResult {
    DWORD exitCode = 0;
    std::string output; // standard output, bytes as written
    std::string errors; // standard error
};

/// The folder of the build tree that holds QvOstrelSetup.exe and testpkg.
std::filesystem::path BuildFolder();

/// The built tool, or the exe named by the environment variable QV_TOOL_EXE.
std::filesystem::path ToolPath();

/// Runs `program` with `commandLine` (everything after the program name,
/// already quoted as needed) and waits up to `timeoutMs`.
RunResult RunProgramLine(const std::filesystem::path& program, const std::wstring& commandLine,
                         DWORD timeoutMs = 120000);

/// Runs `program` with exactly `fullCommandLine`, the program's own name
/// not put in front: argv[0] is whatever the line begins with.
RunResult RunProgramRaw(const std::filesystem::path& program, const std::wstring& fullCommandLine,
                        DWORD timeoutMs = 120000);

/// Runs `program` with each argument quoted when it holds a space.
RunResult RunProgram(const std::filesystem::path& program, const std::vector<std::wstring>& args,
                     DWORD timeoutMs = 120000);

/// The whole content of a file, or an empty string when it cannot be read.
std::string ReadFileBytes(const std::filesystem::path& path);

/// A fresh, empty folder under the temporary directory, removed with its
/// content on destruction.
class ScratchFolder {
public:
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::wstring& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

/// Copies a file, creating the target's folders.
void CopyFileTo(const std::filesystem::path& from, const std::filesystem::path& to);

/// Writes bytes to a file, creating its folders.
void WriteFileBytes(const std::filesystem::path& path, const std::string& bytes);

} // namespace qvtest
