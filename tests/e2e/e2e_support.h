// Shared pieces of the end-to-end tests: the built tool and test packages,
// and the texts the tool prints.
#pragma once

#include "support/stdout_capture.h"
#include "support/tool_runner.h"

#include <filesystem>
#include <string>

namespace e2e {

using qvtest::Crlf;

/// A folder of a test package, e.g. Package(L"testpkg", L"Win10-x64").
inline std::filesystem::path Package(const std::wstring& set, const std::wstring& folder)
{
    return qvtest::BuildFolder() / set / folder;
}

/// Copies the three files of one package folder to `to`\<folder>.
inline void CopyPackage(const std::wstring& set, const std::wstring& folder,
                        const std::filesystem::path& to)
{
    for (const wchar_t* file : {L"QvOstrel.inf", L"QvOstrel.sys", L"QvOstrel.cat"})
        qvtest::CopyFileTo(Package(set, folder) / file, to / folder / file);
}

/// The usage block as the tool prints it, before the console's CR LF.
inline std::string UsageBlock(const std::string& exe = "QvOstrelSetup.exe")
{
    return "\nUsage:\n" + exe +
           " -install       [drivers-path=<dir>] [service-start=0|1] [log=<file>]\n" + exe +
           " -uninstall     [drivers-path=<dir>] [ostrel-hl-path=<dir>] [log=<file>]\n" + exe +
           " -check\n" + exe + " -shouldupdate  [drivers-path=<dir>] -> Returns 0|1\n";
}

/// The six setup-library lines of a successful run of one INF section.
inline std::string SetupLibraryLines(const std::string& inf, const std::string& section)
{
    return "SetupOpenInfFile(\"" + inf + "\") = 0x0\n" + "SetupOpenFileQueue() = 0x0\n" +
           "SetupInstallFilesFromInfSection(\"" + inf + "\", \"" + section + "\") = 0x0\n" +
           "SetupInstallServicesFromInfSection(\"" + inf + "\", \"" + section + ".Services\") = 0x0\n" +
           "SetupCommitFileQueue(SetupDefaultQueueCallback) = 0x0\n" +
           "SetupInstallFromInfSection(\"" + section + "\", SPINST_REGISTRY) = 0x0\n";
}

/// The driver path line for a directory.
inline std::string DriverPathLine(const std::filesystem::path& directory)
{
    return "Driver path: \"" + directory.u8string() + "\"\n";
}

} // namespace e2e
