// The command line: one command among -install, -uninstall, -check and
// -shouldupdate, and options of the form key=value.
//
// Failures in frontend/: the command procedures return Windows error codes,
// which become the exit code. The standard exceptions that escape from
// anywhere (allocation, text conversion, this folder's two messages) are
// caught in RunCommandLine alone, which ends the run with an ERROR: line.
#pragma once

#include <windows.h>

#include <string>

struct CommandLineOptions {
    bool install = false;
    bool uninstall = false;
    bool check = false;
    bool shouldUpdate = false;
    std::wstring driversPath;
    std::wstring hardlinksPath;
    std::wstring logPath;
    bool serviceStart = true;
};

/// Scans every element of argv, the first included, case-insensitively in
/// the thread's locale. "--" ends the scan; unknown elements are ignored;
/// the last occurrence of an option wins.
void ScanArguments(int argc, const wchar_t* const* argv, CommandLineOptions& options);

/// The whole run: scan, log file, driver directory, one command, usage.
/// Returns the process exit code.
DWORD RunCommandLine(int argc, const wchar_t* const* argv);
