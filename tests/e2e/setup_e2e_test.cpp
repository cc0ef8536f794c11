// -install and -uninstall end to end: the real tool, the setup library and
// the service control manager of the prefix, and the test driver.
#include "driver_fixture.h"

#include "common/strconv.h"
#include "fileops/delete_file.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdarg>
#include <list>
#include <regex>

namespace {

namespace fs = std::filesystem;
using e2e::Crlf;
using e2e::DriverTest;
using e2e::SetupLibraryLines;
using e2e::Lines;
using qv::WideToUtf8;

std::string U8(const fs::path& path) { return WideToUtf8(path.wstring()); }

/// The header and the six setup-library lines of one run over a package.
struct RunText {
    std::string inf, sys, cat, section;
};

std::vector<std::wstring> g_recorded;

/// A log function that keeps each line.
void Record(const wchar_t* format, ...)
{
    wchar_t text[2048] = {};
    va_list args;
    va_start(args, format);
    _vsnwprintf(text, 2047, format, args);
    va_end(args);
    g_recorded.push_back(text);
}

class Setup : public DriverTest {
protected:
    std::string Inf(const std::wstring& set) { return U8(PackageFolder(set) / L"QvOstrel.inf"); }
    std::string Sys(const std::wstring& set) { return U8(PackageFolder(set) / L"QvOstrel.sys"); }
    std::string Cat(const std::wstring& set) { return U8(PackageFolder(set) / L"QvOstrel.cat"); }
    std::string Image() { return U8(InstalledImage()); }

    std::string Header(const std::string& verb, const std::wstring& set, const std::string& sys,
                       const std::string& sysVersion, const std::string& infVersion)
    {
        return "Driver path: \"" + WideToUtf8(DriverDirectory(set)) + "\"\n" + verb + " QvOstrel:\n  " +
               Inf(set) + " [" + infVersion + "]\n  " + sys + " [" + sysVersion + "]\n  " + Cat(set) + "\n";
    }

    void Install(const std::wstring& set, bool start = true)
    {
        std::vector<std::wstring> args = {L"-install", DriversPath(set)};
        if (!start)
            args.push_back(L"service-start=0");
        const qvtest::RunResult run = Tool(args);
        ASSERT_EQ(run.exitCode, 0u) << run.output;
    }
};

TEST_F(Setup, FirstInstallCopiesCreatesAndStartsTheDriver)
{
    const qvtest::RunResult run = Tool({L"-install", DriversPath(L"testpkg")});
    EXPECT_EQ(run.exitCode, 0u);
    const std::string expected =
        Header("Install", L"testpkg", Sys(L"testpkg"), "1.0.0.1", "1.0.0.1") +
        "OpenService(\"QvOstrel\", SERVICE_STOP) = 0x424 (not installed)\n" + "Probe(\"" + Image() +
        "\") = 0x2\n" + SetupLibraryLines(Inf(L"testpkg"), "Install.NTamd64") +
        "StartService(\"QvOstrel\") = 0x0\n" + "QueryServiceStatus(\"QvOstrel\") = \"running\"\n" +
        "ExitCode: 0x0 \"OK\"\n";
    EXPECT_EQ(run.output, Crlf(expected));

    EXPECT_EQ(ServiceState(), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(fs::file_size(InstalledImage()), fs::file_size(PackageFolder(L"testpkg") / L"QvOstrel.sys"));
    DWORD type = 0, start = 0, errorControl = 0;
    ASSERT_TRUE(ReadServiceDword(L"Type", type));
    ASSERT_TRUE(ReadServiceDword(L"Start", start));
    ASSERT_TRUE(ReadServiceDword(L"ErrorControl", errorControl));
    EXPECT_EQ(type, 1u);
    EXPECT_EQ(start, 3u);
    EXPECT_EQ(errorControl, 1u);
}

TEST_F(Setup, ServiceStartZeroInstallsWithoutStarting)
{
    const qvtest::RunResult run = Tool({L"-install", DriversPath(L"testpkg"), L"service-start=0"});
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(run.output.find("StartService"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find(Crlf("QueryServiceStatus(\"QvOstrel\") = \"stopped\"\n")), std::string::npos);
    EXPECT_EQ(ServiceState(), static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_TRUE(fs::exists(InstalledImage()));
}

TEST_F(Setup, UpgradeOverARunningDriverStopsProbesAndReplacesTheImage)
{
    Install(L"testpkg");
    const qvtest::RunResult run = Tool({L"-install", DriversPath(L"testpkg-v2")});
    EXPECT_EQ(run.exitCode, 0u);
    const std::string expected =
        "Driver path: \"" + WideToUtf8(DriverDirectory(L"testpkg-v2")) + "\"\n" + "Existing QvOstrel:\n  " +
        Image() + " [1.0.0.1]\n" + Header("Install", L"testpkg-v2", Sys(L"testpkg-v2"), "1.0.0.2", "1.0.0.2").substr(
            ("Driver path: \"" + WideToUtf8(DriverDirectory(L"testpkg-v2")) + "\"\n").size()) +
        "ControlService(\"QvOstrel\", SERVICE_CONTROL_STOP) = 0x0\n" + "Probe(\"" + Image() + "\") = 0x0\n" +
        SetupLibraryLines(Inf(L"testpkg-v2"), "Install.NTamd64") + "StartService(\"QvOstrel\") = 0x0\n" +
        "QueryServiceStatus(\"QvOstrel\") = \"running\"\n" + "ExitCode: 0x0 \"OK\"\n";
    EXPECT_EQ(run.output, Crlf(expected));
    EXPECT_EQ(fs::file_size(InstalledImage()), fs::file_size(PackageFolder(L"testpkg-v2") / L"QvOstrel.sys"));
    EXPECT_EQ(ServiceState(), static_cast<DWORD>(SERVICE_RUNNING));
}

TEST_F(Setup, ImageHeldOpenIsProbedEvery500msUntilTheDeadlineThenInstalled)
{
    Install(L"testpkg", false);
    HANDLE held = CreateFileW(InstalledImage().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    const auto started = std::chrono::steady_clock::now();
    const qvtest::RunResult run = Tool({L"-install", DriversPath(L"testpkg"), L"service-start=0"});
    const auto elapsed = std::chrono::steady_clock::now() - started;
    CloseHandle(held);

    size_t probes = 0;
    const std::string busy = "Probe(\"" + Image() + "\") = 0x20";
    const std::vector<std::string> lines = Lines(run.output);
    size_t afterProbes = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i] == busy) {
            ++probes;
            afterProbes = i + 1;
        }
    }
    EXPECT_GE(probes, 9u) << run.output;
    EXPECT_LE(probes, 11u) << run.output;
    ASSERT_LT(afterProbes, lines.size());
    EXPECT_EQ(lines[afterProbes], "SetupOpenInfFile(\"" + Inf(L"testpkg") + "\") = 0x0") << "the install goes ahead";
    EXPECT_GE(elapsed, std::chrono::milliseconds(4500));
    EXPECT_LT(elapsed, std::chrono::milliseconds(8000));
}

TEST_F(Setup, UninstallRemovesTheDriverAndASecondUninstallFindsNothing)
{
    Install(L"testpkg");
    const qvtest::RunResult run = Tool({L"-uninstall", DriversPath(L"testpkg")});
    EXPECT_EQ(run.exitCode, 0u);
    const std::string expected =
        Header("Uninstall", L"testpkg", Image(), "1.0.0.1", "1.0.0.1") +
        "ControlService(\"QvOstrel\", SERVICE_CONTROL_STOP) = 0x0\n" + "Probe(\"" + Image() + "\") = 0x0\n" +
        SetupLibraryLines(Inf(L"testpkg"), "Uninstall.NTamd64") +
        "QueryServiceStatus(\"QvOstrel\") = \"not installed\"\n" + "ExitCode: 0x0 \"OK\"\n";
    EXPECT_EQ(run.output, Crlf(expected));
    EXPECT_EQ(ServiceState(), 0u);
    EXPECT_FALSE(fs::exists(InstalledImage()));

    const qvtest::RunResult again = Tool({L"-uninstall", DriversPath(L"testpkg")});
    EXPECT_EQ(again.exitCode, 0u);
    const std::string nothing =
        Header("Uninstall", L"testpkg", Image(), "n/a", "1.0.0.1") +
        "OpenService(\"QvOstrel\", SERVICE_STOP) = 0x424 (not installed)\n" + "Probe(\"" + Image() +
        "\") = 0x2\n" + SetupLibraryLines(Inf(L"testpkg"), "Uninstall.NTamd64") +
        "QueryServiceStatus(\"QvOstrel\") = \"not installed\"\n" + "ExitCode: 0x0 \"OK\"\n";
    EXPECT_EQ(again.output, Crlf(nothing));
}

TEST_F(Setup, DamagedServiceValuesAreRepairedBeforeTheInstall)
{
    Install(L"testpkg", false);
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\QvOstrel", 0,
                            KEY_SET_VALUE | KEY_WOW64_64KEY, &key),
              ERROR_SUCCESS);
    const DWORD five = 5;
    RegDeleteValueW(key, L"Start");
    RegSetValueExW(key, L"ErrorControl", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&five), sizeof(five));
    RegSetValueExW(key, L"Type", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"1"), 2 * sizeof(wchar_t));
    RegCloseKey(key);

    const qvtest::RunResult run = Tool({L"-install", DriversPath(L"testpkg"), L"service-start=0"});
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    const std::vector<std::string> lines = Lines(run.output);
    const std::vector<std::string> expected = {
        "RegQueryValue(\"Type\":49, Type:1) = 0x0",
        "RegSetValue(\"Type\":1, Type:4) = 0x0",
        "ControlService(\"QvOstrel\", SERVICE_CONTROL_STOP) = 0x426 (already stopped)",
        "Probe(\"" + Image() + "\") = 0x0",
        "RegQueryValue(\"Start\":0, Type:0) = 0x2",
        "RegSetValue(\"Start\":1, Type:4) = 0x0",
        "RegQueryValue(\"ErrorControl\":5, Type:4) = 0x0",
        "RegSetValue(\"ErrorControl\":1, Type:4) = 0x0",
        "SetupOpenInfFile(\"" + Inf(L"testpkg") + "\") = 0x0",
    };
    const size_t afterHeader = 7; // driver path, "Existing" block, header
    ASSERT_GE(lines.size(), afterHeader + expected.size());
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(lines[afterHeader + i], expected[i]) << run.output;
    DWORD type = 0;
    EXPECT_TRUE(ReadServiceDword(L"Type", type));
    EXPECT_EQ(type, 1u);
}

TEST_F(Setup, LoadedDriverImageIsRenamedBesideItselfAndDeletedAtRestart)
{
    Install(L"testpkg");
    e2e::PendingRenames pending;
    std::vector<std::wstring>& lines = g_recorded;
    lines.clear();
    const std::wstring image = InstalledImage().wstring();
    EXPECT_EQ(Orvane::DeleteFileOrDefer(image, Record), 0u);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].rfind(L"Delete(\"" + image + L"\") = 0x", 0), 0u) << lines[0];
    EXPECT_EQ(lines[0].find(L" = 0x0 "), std::wstring::npos) << "the delete failed: " << lines[0];
    const std::wregex rename(LR"re(  Rename\("(.*)" -> "(.*\\QvOstrel\.[0-9a-f]{12,24})" \) = 0x0 "OK"\n)re");
    std::wsmatch match;
    ASSERT_TRUE(std::regex_match(lines[1], match, rename)) << lines[1];
    const std::wstring temporary = match[2];
    EXPECT_EQ(fs::path(temporary).parent_path(), InstalledImage().parent_path());
    EXPECT_EQ(lines[2], L"  MoveFileEx(\"" + temporary + L"\", MOVEFILE_DELAY_UNTIL_REBOOT) = 0x0 \"OK\"\n");
    EXPECT_FALSE(fs::exists(image));
    EXPECT_TRUE(fs::exists(temporary));
    EXPECT_TRUE(pending.Holds(temporary));

    RemoveDriver();
    std::error_code ignored;
    fs::remove(temporary, ignored);
}

TEST_F(Setup, NoDllPlantedBesideTheToolIsLoaded)
{
    // A copy of the tool in a folder of its own, run through each command
    // with Wine told to prefer a DLL from the program's folder for these
    // names (what Windows does for DLLs that are not KnownDLLs); then the
    // same runs with the marker DLL planted there under each name.
    const wchar_t* const names[] = {L"version", L"setupapi", L"shlwapi", L"cabinet", L"wintrust"};
    std::list<qvtest::ScopedRegistryValue> overrides;
    for (const wchar_t* name : names)
        overrides.emplace_back(HKEY_CURRENT_USER, L"Software\\Wine\\AppDefaults\\QvOstrelSetup.exe\\DllOverrides",
                               name, L"native,builtin");
    qvtest::ScratchFolder folder;
    const fs::path tool = folder / L"QvOstrelSetup.exe";
    qvtest::CopyFileTo(qvtest::ToolPath(), tool);
    const std::wstring path = DriversPath(L"testpkg");
    const std::vector<std::wstring> commands[] = {
        {L"-install", path}, {L"-check", path}, {L"-shouldupdate", path}, {L"-uninstall", path}, {path}};
    std::vector<qvtest::RunResult> clean;
    for (const auto& args : commands)
        clean.push_back(qvtest::RunProgram(tool, args));
    for (const wchar_t* name : names)
        qvtest::CopyFileTo(qvtest::BuildFolder() / L"tests" / L"planted_marker.dll",
                           folder / (std::wstring(name) + L".dll"));
    for (size_t i = 0; i < clean.size(); ++i) {
        const qvtest::RunResult run = qvtest::RunProgram(tool, commands[i]);
        EXPECT_EQ(run.exitCode, clean[i].exitCode) << i;
        EXPECT_EQ(run.output, clean[i].output) << i;
    }
    EXPECT_EQ(clean[0].exitCode, 0u) << clean[0].output;
    for (const wchar_t* name : names)
        EXPECT_FALSE(fs::exists(folder / (std::wstring(name) + L".dll.loaded"))) << WideToUtf8(name);
}

} // namespace
