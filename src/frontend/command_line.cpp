#include "frontend/command_line.h"

#include "common/paths.h"
#include "common/shell_text.h"
#include "common/strconv.h"
#include "frontend/commands.h"
#include "frontend/log.h"
#include "ostrelsetup/driver_directory.h"

#include <cstdlib>
#include <exception>
#include <memory>
#include <stdexcept>

namespace {

enum class Match { Whole, Prefix };

bool Matches(const wchar_t* element, const wchar_t* key, Match kind)
{
    const LCID locale = ::GetThreadLocale();
    if (kind == Match::Whole)
        return ::CompareStringW(locale, NORM_IGNORECASE, element, -1, key, -1) == CSTR_EQUAL;
    // Compare the element's first characters with the whole key, never
    // reading past the end of an element shorter than the key.
    const int keyLength = ::lstrlenW(key);
    const int elementLength = ::lstrlenW(element);
    const int compared = elementLength < keyLength ? elementLength : keyLength;
    return ::CompareStringW(locale, NORM_IGNORECASE, element, compared, key, keyLength) ==
           CSTR_EQUAL;
}

struct FreeDeleter {
    void operator()(wchar_t* p) const { std::free(p); }
};

/// Stores the trimmed, unquoted value in `field`; an element whose copy
/// cannot be allocated is ignored.
void StorePathValue(const wchar_t* value, std::wstring& field)
{
    std::unique_ptr<wchar_t, FreeDeleter> copy(_wcsdup(value));
    if (!copy)
        return;
    qv::GetShellText().PathRemoveBlanks(copy.get());
    qv::GetShellText().PathUnquoteSpaces(copy.get());
    field = copy.get();
}

void PrintUsage()
{
    const std::wstring modulePath = qv::ModuleFileName(nullptr);
    const std::string name = qv::WideToUtf8Replacing(qv::GetShellText().PathFindFileName(modulePath.c_str()));
    LogPrintf("\n");
    LogPrintf("Usage:\n");
    LogPrintf("%s -install       [drivers-path=<dir>] [service-start=0|1] [log=<file>]\n", name.c_str());
    LogPrintf("%s -uninstall     [drivers-path=<dir>] [ostrel-hl-path=<dir>] [log=<file>]\n", name.c_str());
    LogPrintf("%s -check\n", name.c_str());
    LogPrintf("%s -shouldupdate  [drivers-path=<dir>] -> Returns 0|1\n", name.c_str());
}

/// Runs the first command that is set; throws "No valid command" when none is.
DWORD Dispatch(const CommandLineOptions& options, const std::wstring& driverDirectory,
               DWORD& exitCode, bool& showUsage)
{
    if (options.install)
        return InstallCommand(driverDirectory, options.serviceStart);
    if (options.uninstall)
        return UninstallCommand(driverDirectory, options.hardlinksPath);
    if (options.check)
        return CheckCommand();
    if (options.shouldUpdate)
        return ShouldUpdateCommand(driverDirectory) ? 1 : 0;
    // The usage block needs the shell helpers: their look-up fails here,
    // inside the error handler, if it fails at all.
    qv::GetShellText();
    showUsage = true;
    exitCode = ERROR_BAD_ARGUMENTS;
    throw std::runtime_error("No valid command");
}

} // namespace

void ScanArguments(int argc, const wchar_t* const* argv, CommandLineOptions& options)
{
    static const wchar_t kDriversPath[] = L"drivers-path=";
    static const wchar_t kHardlinksPath[] = L"ostrel-hl-path=";
    static const wchar_t kServiceStart[] = L"service-start=";
    static const wchar_t kLog[] = L"log=";
    auto valueOf = [](const wchar_t* element, const wchar_t* key) {
        return element + ::lstrlenW(key);
    };

    for (int i = 0; i < argc; ++i) {
        const wchar_t* element = argv[i];
        if (!element)
            continue;
        if (Matches(element, L"--", Match::Whole))
            break;
        if (Matches(element, L"-install", Match::Whole))
            options.install = true;
        else if (Matches(element, L"-uninstall", Match::Whole))
            options.uninstall = true;
        else if (Matches(element, L"-check", Match::Whole))
            options.check = true;
        else if (Matches(element, L"-shouldupdate", Match::Whole))
            options.shouldUpdate = true;
        else if (Matches(element, kDriversPath, Match::Prefix))
            StorePathValue(valueOf(element, kDriversPath), options.driversPath);
        else if (Matches(element, kHardlinksPath, Match::Prefix))
            StorePathValue(valueOf(element, kHardlinksPath), options.hardlinksPath);
        else if (Matches(element, kServiceStart, Match::Prefix))
            options.serviceStart = qv::GetShellText().StrToInt(valueOf(element, kServiceStart)) != 0;
        else if (Matches(element, kLog, Match::Prefix))
            StorePathValue(valueOf(element, kLog), options.logPath);
    }
}

DWORD RunCommandLine(int argc, const wchar_t* const* argv)
{
    DWORD exitCode = 0;
    bool showUsage = false;
    try {
        CommandLineOptions options;
        ScanArguments(argc, argv, options);
        if (!options.logPath.empty())
            OpenLogFile(options.logPath);
        const std::wstring driverDirectory = Orvane::ResolveDriverDirectory(options.driversPath);
        if (driverDirectory.empty()) {
            exitCode = ERROR_PATH_NOT_FOUND;
            throw std::runtime_error("Invalid driver directory");
        }
        LogPrintf("Driver path: \"%s\"\n", qv::WideToUtf8(driverDirectory).c_str());
        exitCode = Dispatch(options, driverDirectory, exitCode, showUsage);
    } catch (const std::exception& error) {
        LogPrintf("ERROR: %s\n", error.what());
        if (exitCode == 0)
            exitCode = ERROR_FUNCTION_FAILED;
    }
    if (showUsage)
        PrintUsage();
    return exitCode;
}
