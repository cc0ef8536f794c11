// -check and -shouldupdate end to end against the running test driver,
// whose behaviours are switched through its Parameters values.
#include "driver_fixture.h"

#include "common/strconv.h"
#include "frontend/commands.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace {

namespace fs = std::filesystem;
using e2e::Crlf;
using e2e::DriverTest;
using qv::WideToUtf8;

/// The Windows version value the test driver reports: its Windows release
/// as (major << 24) | (minor << 16).
DWORD DriverNtddi()
{
    using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
    auto getVersion = reinterpret_cast<RtlGetVersionFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll"), "RtlGetVersion")));
    OSVERSIONINFOW info = {};
    info.dwOSVersionInfoSize = sizeof(info);
    getVersion(&info);
    return (info.dwMajorVersion << 24) | (info.dwMinorVersion << 16);
}

std::string DriverLine(const char* version, unsigned interfaceVersion)
{
    char line[128] = {};
    std::snprintf(line, sizeof(line) - 1, "Driver: %s, Interface: v%u, NTDDI: 0x%08X\n", version,
                  interfaceVersion, static_cast<unsigned>(DriverNtddi()));
    return line;
}

class Device : public DriverTest {
protected:

    /// Installs the test package without starting it.
    void InstallStopped(const std::wstring& set = L"testpkg")
    {
        const qvtest::RunResult run = Tool({L"-install", DriversPath(set), L"service-start=0"});
        ASSERT_EQ(run.exitCode, 0u) << run.output;
    }

    /// Starts the installed service, as the service manager would at boot.
    static void StartService()
    {
        SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
        SC_HANDLE service = OpenServiceW(manager, L"QvOstrel", SERVICE_START);
        ASSERT_TRUE(::StartServiceW(service, 0, nullptr)) << GetLastError();
        CloseServiceHandle(service);
        CloseServiceHandle(manager);
    }

    /// Writes ImagePath in the form Windows writes it, which Wine's setup
    /// library does not (it writes the absolute path, and cannot start a
    /// driver from the relative one): done once the driver runs.
    static void WindowsImagePath()
    {
        HKEY key = nullptr;
        ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\QvOstrel", 0,
                                KEY_SET_VALUE | KEY_WOW64_64KEY, &key),
                  ERROR_SUCCESS);
        const wchar_t path[] = L"system32\\DRIVERS\\QvOstrel.sys";
        RegSetValueExW(key, L"ImagePath", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(path), sizeof(path));
        RegCloseKey(key);
    }

    /// Installed, started and registered as Windows would have it.
    void RunningAndSound()
    {
        InstallStopped();
        StartService();
        WindowsImagePath();
    }

    std::string PathLine() { return "Driver path: \"" + WideToUtf8(DriverDirectory(L"testpkg")) + "\"\n"; }

    qvtest::RunResult Check() { return Tool({L"-check", DriversPath(L"testpkg")}); }
    qvtest::RunResult ShouldUpdate(const std::wstring& set = L"testpkg")
    {
        return Tool({L"-shouldupdate", DriversPath(set)});
    }
};

TEST_F(Device, CheckReportsAServiceThatIsNotRunning)
{
    qvtest::RunResult run = Check();
    EXPECT_EQ(run.exitCode, 1062u);
    EXPECT_EQ(run.output, Crlf(PathLine() + "QueryStatus(\"QvOstrel\") = \"not installed\"\n"));

    InstallStopped();
    run = Check();
    EXPECT_EQ(run.exitCode, 1062u);
    EXPECT_EQ(run.output, Crlf(PathLine() + "QueryStatus(\"QvOstrel\") = \"stopped\"\n"));
}

TEST_F(Device, CheckAsksTheRunningDriverForItsVersions)
{
    InstallStopped();
    StartService();
    qvtest::RunResult run = Check();
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(run.output, Crlf(PathLine() + "QueryStatus(\"QvOstrel\") = \"running\"\n" + DriverLine("1.0.0.1", 3)));

    SetParameter(L"InterfaceVersion", 2);
    run = Check();
    EXPECT_EQ(run.exitCode, 1306u);
    EXPECT_EQ(run.output, Crlf(PathLine() + "QueryStatus(\"QvOstrel\") = \"running\"\n" + DriverLine("1.0.0.1", 2)));

    SetParameter(L"InterfaceVersion", 3);
    SetParameter(L"OpenStatus", 0xC0000022); // access denied
    run = Check();
    EXPECT_EQ(run.exitCode, 5u);
    EXPECT_EQ(run.output, Crlf(PathLine() + "QueryStatus(\"QvOstrel\") = \"running\"\n" +
                               "Failed to communicate with the driver. Error: 0x5 \"" +
                               WideToUtf8(ErrorCodeText(5)) + "\"\n"));
}

TEST_F(Device, ShouldUpdateAnswersTrueWhenNotInstalledOrOutOfDate)
{
    qvtest::RunResult run = ShouldUpdate();
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_EQ(run.output, Crlf(PathLine() + "QvOstrel is not installed\nExitCode: 1 (true)\n"));

    RunningAndSound();
    run = ShouldUpdate(L"testpkg-v2");
    EXPECT_EQ(run.exitCode, 1u);
    const std::string image = WideToUtf8(InstalledImage().wstring());
    const std::string packaged = WideToUtf8((PackageFolder(L"testpkg-v2") / L"QvOstrel.sys").wstring());
    EXPECT_EQ(run.output,
              Crlf("Driver path: \"" + WideToUtf8(DriverDirectory(L"testpkg-v2")) + "\"\n" +
                   "QvOstrel is out-of-date:\n" + "  \"" + image + "\" " +
                   std::to_string(fs::file_size(InstalledImage())) + " bytes\n" + "  \"" + packaged + "\" " +
                   std::to_string(fs::file_size(PackageFolder(L"testpkg-v2") / L"QvOstrel.sys")) +
                   " bytes\n" + "ExitCode: 1 (true)\n"));
}

TEST_F(Device, ShouldUpdateOnACurrentRunningDriverOpensTheChannelAndAnswersFalse)
{
    RunningAndSound();
    const qvtest::RunResult run = ShouldUpdate();
    EXPECT_EQ(run.exitCode, 0u);
    const std::string image = WideToUtf8(InstalledImage().wstring());
    const std::string packaged = WideToUtf8((PackageFolder(L"testpkg") / L"QvOstrel.sys").wstring());
    EXPECT_EQ(run.output, Crlf(PathLine() + "QvOstrel is up-to-date:\n" + "  \"" + image + "\" [1.0.0.1]\n" +
                               "  \"" + packaged + "\" [1.0.0.1]\n" +
                               "StartService(\"QvOstrel\") = 0x420 (already running)\n" +
                               "ExitCode: 0 (false)\n"));
}

/// The communication check's line and answer for one driver behaviour.
struct Refusal {
    const char* name;
    std::vector<std::pair<const wchar_t*, DWORD>> parameters;
    const char* line;
};

void PrintTo(const Refusal& refusal, std::ostream* out) { *out << refusal.name; }

class DeviceRefusal : public Device, public ::testing::WithParamInterface<Refusal> {};

TEST_P(DeviceRefusal, ShouldUpdateReportsTheRefusalAndAnswersTrue)
{
    InstallStopped();
    for (const auto& parameter : GetParam().parameters)
        SetParameter(parameter.first, parameter.second);
    StartService();
    WindowsImagePath();
    const qvtest::RunResult run = ShouldUpdate();
    const std::string line = GetParam().line;
    EXPECT_EQ(run.exitCode, line.empty() ? 0u : 1u) << run.output;
    const std::string tail = (line.empty() ? "" : line + "\n") + "ExitCode: " +
                             (line.empty() ? "0 (false)" : "1 (true)") + "\n";
    ASSERT_GE(run.output.size(), Crlf(tail).size());
    EXPECT_EQ(run.output.substr(run.output.size() - Crlf(tail).size()), Crlf(tail)) << run.output;
}

INSTANTIATE_TEST_SUITE_P(
    Behaviours, DeviceRefusal,
    ::testing::Values(
        Refusal{"SelfCheckRefused", {{L"SelfCheckVerdict", 0xC000A000}},
                "Driver communication was rejected. Error 0xc000a000"},
        Refusal{"SelfCheckAnswerTooShort", {{L"SelfCheckBytes", 2}},
                "Driver communication has failed. Error 0xd"},
        Refusal{"ControlRequestRefused", {{L"ControlStatus", 0xC0000022}},
                "Driver communication has failed. Error 0x5"},
        Refusal{"ControlRequestFailingOtherwiseIsIgnored", {{L"ControlStatus", 0xC0000001}}, ""},
        Refusal{"InterfaceVersionTwoCountsAsSuccess", {{L"InterfaceVersion", 2}}, ""},
        Refusal{"SecondInstanceOpensWhenTheFirstIsNotFound",
                {{L"SecondInstance", 1}, {L"OpenStatus", 0xC0000225}}, ""},
        Refusal{"NeitherInstanceFound",
                {{L"SecondInstance", 1}, {L"OpenStatus", 0xC0000225}, {L"SecondOpenStatus", 0xC0000225}},
                "Driver communication was rejected. Error 0x490"},
        Refusal{"FirstReadNotFound", {{L"FirstReadStatus", 0xC0000225}},
                "Driver communication was rejected. Error 0x490"},
        Refusal{"FirstReadRefused", {{L"FirstReadStatus", 0xC0000022}},
                "Driver communication has failed. Error 0x5"}),
    [](const ::testing::TestParamInfo<Refusal>& info) { return std::string(info.param.name); });

} // namespace
