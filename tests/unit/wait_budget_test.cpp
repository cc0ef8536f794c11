// The engine waits only where a wait can end in success: a driver that
// refuses to stop (500 ms polls within 5 seconds), an image that stays
// locked after the stop (the same 5 seconds), a service marked for deletion
// (500 ms pauses within 10 seconds). Everywhere else it must not sleep at
// all. These tests count the calls of the redirected Sleep (FakeClock) on
// the paths that need no wait: a first install, an upgrade whose old driver
// stops at once and whose image opens at the first probe, an uninstall of a
// driver that is not installed, and every outcome of -check.
//
// The bounded waits themselves are proven elsewhere and not repeated here:
// the stop phase and the probe sharing one 5-second deadline in
// engine_setup_test.cpp (StopAndProbeShareOneFiveSecondDeadline), the delete
// loop ending at 10 seconds in engine_service_test.cpp
// (DeleteWaitsTenSecondsForAServiceMarkedForDelete).
#include "driverclient/device.h"
#include "driversetup/driver_setup.h"
#include "frontend/commands.h"

#include "support/engine_fakes.h"
#include "support/fake_clock.h"
#include "support/stdout_capture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using qvtest::CountRecordedLines;
using qvtest::FakeClock;
using qvtest::FakeCodeIntegrity;
using qvtest::FakeServiceManager;
using qvtest::ImportPatch;
using qvtest::RecordedText;
using qvtest::RecordLog;
using qvtest::ScopedServiceKey;
using qvtest::ScratchPackage;
using qvtest::TestDriverSetup;

class WaitBudget : public ::testing::Test {
protected:
    void SetUp() override { qvtest::ClearRecordedLog(); }
};

/// A file made for the test and deleted with the object.
class ScopedFile {
public:
    explicit ScopedFile(std::wstring path) : path_(std::move(path))
    {
        qvtest::WriteFileBytes(path_, "an installed driver image nobody holds");
    }
    ~ScopedFile() { DeleteFileW(path_.c_str()); }
    ScopedFile(const ScopedFile&) = delete;
    ScopedFile& operator=(const ScopedFile&) = delete;

private:
    std::wstring path_;
};

TEST_F(WaitBudget, FirstInstallAndUninstallOfNothingInstalledNeverSleep)
{
    const std::wstring name = L"QvUnitWaitFirst";
    ScopedServiceKey key(name);
    ScratchPackage scratch(name);
    const std::wstring image = Orvane::InstalledImagePath(scratch.Package());
    ASSERT_EQ(GetFileAttributesW(image.c_str()), INVALID_FILE_ATTRIBUTES) << "no installed image";

    // A first install: no service until the install section has run.
    {
        TestDriverSetup setup(scratch.Package(), &RecordLog);
        FakeServiceManager scm;
        scm.OpenServiceError = [&setup](DWORD, int) {
            return setup.InfCalls.empty() ? static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST) : 0u;
        };
        FakeClock clock;
        FakeCodeIntegrity integrity(0x1);
        EXPECT_EQ(setup.Setup(scratch.Package(), true, 1), 0u) << RecordedText();
        EXPECT_TRUE(clock.Sleeps().empty()) << RecordedText();
        EXPECT_EQ(clock.Elapsed(), 0u);
        EXPECT_TRUE(scm.Controls.empty()) << "nothing to stop";
        EXPECT_EQ(CountRecordedLines(L"Probe("), 1u) << "one probe, answered 2 at once";
        EXPECT_EQ(CountRecordedLines(L"Probe(\"" + image + L"\") = 0x2"), 1u) << RecordedText();
        ASSERT_EQ(setup.InfCalls.size(), 1u);
        EXPECT_EQ(setup.InfCalls[0].Section, L"Install.NTamd64");
        EXPECT_EQ(scm.StartCalls, 1);
        EXPECT_EQ(scm.OpenHandles(), 0u);
    }

    // An uninstall when nothing is installed: no service, no image.
    {
        qvtest::ClearRecordedLog();
        TestDriverSetup setup(scratch.Package(), &RecordLog);
        FakeServiceManager scm;
        scm.OpenServiceError = [](DWORD, int) {
            return static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST);
        };
        FakeClock clock;
        EXPECT_EQ(setup.Setup(scratch.Package(), false, setup.ForceFlags), 0u) << RecordedText();
        EXPECT_TRUE(clock.Sleeps().empty()) << RecordedText();
        EXPECT_EQ(clock.Elapsed(), 0u);
        EXPECT_TRUE(scm.Controls.empty());
        EXPECT_EQ(scm.DeleteCalls, 0) << "no delete loop for a service that is not there";
        ASSERT_EQ(setup.InfCalls.size(), 1u);
        EXPECT_EQ(setup.InfCalls[0].Section, L"Uninstall.NTamd64");
        EXPECT_EQ(scm.OpenHandles(), 0u);
    }
    EXPECT_FALSE(key.Exists()) << "nothing was repaired";
}

TEST_F(WaitBudget, UpgradeWhoseDriverStopsAtOnceAndWhoseImageOpensNeverSleeps)
{
    const std::wstring name = L"QvUnitWaitUpgrade";
    ScopedServiceKey key(name);
    key.SetDword(L"Type", SERVICE_KERNEL_DRIVER);
    ScratchPackage scratch(name);
    const std::wstring image = Orvane::InstalledImagePath(scratch.Package());
    ScopedFile installed(image);

    // The old driver stops at the first request, or was not running at all.
    for (const DWORD stopAnswer : std::vector<DWORD>{0, ERROR_SERVICE_NOT_ACTIVE}) {
        qvtest::ClearRecordedLog();
        TestDriverSetup setup(scratch.Package(), &RecordLog);
        FakeServiceManager scm;
        scm.ControlError = stopAnswer;
        scm.CurrentState = SERVICE_RUNNING;
        FakeClock clock;
        FakeCodeIntegrity integrity(0x1);
        EXPECT_EQ(setup.Setup(scratch.Package(), true, 1), 0u) << stopAnswer << RecordedText();
        EXPECT_TRUE(clock.Sleeps().empty()) << stopAnswer << RecordedText();
        EXPECT_EQ(clock.Elapsed(), 0u);
        EXPECT_EQ(scm.Controls.size(), 1u) << "one stop request";
        EXPECT_EQ(CountRecordedLines(L"Probe("), 1u) << "the image opens at the first probe";
        EXPECT_EQ(CountRecordedLines(L"Probe(\"" + image + L"\") = 0x0"), 1u) << RecordedText();
        ASSERT_EQ(setup.InfCalls.size(), 1u);
        EXPECT_EQ(setup.InfCalls[0].Section, L"Install.NTamd64");
        EXPECT_EQ(scm.StartCalls, 1);
        EXPECT_EQ(scm.OpenHandles(), 0u);
    }
}

// --- -check -------------------------------------------------------------------

/// Stands in for the running driver's control device: CreateFileW of
/// "\\.\QvOstrel\System" opens NUL instead, and DeviceIoControl answers the
/// version queries on that handle (interface 3, driver 1.0.0.1, Windows 10).
struct FakeDevice {
    static FakeDevice* active;
    HANDLE handle = INVALID_HANDLE_VALUE;
    int Opens = 0;
    int Queries = 0;
    ImportPatch create;
    ImportPatch control;

    FakeDevice()
        : create(qvtest::PatchImport("kernel32.dll", "CreateFileW", &Create)),
          control(qvtest::PatchImport("kernel32.dll", "DeviceIoControl", &Control))
    {
        active = this;
    }
    ~FakeDevice() { active = nullptr; }

    static HANDLE WINAPI Create(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                DWORD disposition, DWORD flags, HANDLE model)
    {
        const auto real = active->create.original_as<decltype(&CreateFileW)>();
        if (path == nullptr || lstrcmpiW(path, L"\\\\.\\QvOstrel\\System") != 0)
            return real(path, access, share, security, disposition, flags, model);
        ++active->Opens;
        active->handle = real(L"NUL", access, share, security, OPEN_EXISTING, 0, nullptr);
        return active->handle;
    }

    static BOOL WINAPI Control(HANDLE device, DWORD code, LPVOID input, DWORD inputSize, LPVOID output,
                               DWORD outputSize, LPDWORD returned, LPOVERLAPPED overlapped)
    {
        if (device != active->handle || code != OstrelDriver::kIoctlQueryVersion)
            return active->control.original_as<decltype(&DeviceIoControl)>()(
                device, code, input, inputSize, output, outputSize, returned, overlapped);
        ++active->Queries;
        const DWORD answers[] = {0, 3, 1, 0, 0, 1, 0x0A000000};
        const USHORT index = inputSize >= sizeof(USHORT) ? *static_cast<const USHORT*>(input) : 0;
        if (index == 0 || index > 6 || outputSize < sizeof(DWORD)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        *static_cast<DWORD*>(output) = answers[index];
        if (returned != nullptr)
            *returned = sizeof(DWORD);
        return TRUE;
    }
};

FakeDevice* FakeDevice::active = nullptr;

/// Runs -check with its console output captured.
DWORD RunCheck(std::string& console)
{
    qvtest::StdoutCapture capture;
    const DWORD code = CheckCommand();
    console = capture.Text();
    return code;
}

TEST_F(WaitBudget, CheckNeverSleeps)
{
    FakeServiceManager scm;
    FakeClock clock;
    std::string console;

    // Not installed, and installed but stopped: the state alone.
    scm.OpenServiceError = [](DWORD, int) { return static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST); };
    EXPECT_EQ(RunCheck(console), 1062u);
    EXPECT_EQ(console, "QueryStatus(\"QvOstrel\") = \"not installed\"\r\n");
    scm.OpenServiceError = nullptr;
    scm.CurrentState = SERVICE_STOPPED;
    EXPECT_EQ(RunCheck(console), 1062u);
    EXPECT_EQ(console, "QueryStatus(\"QvOstrel\") = \"stopped\"\r\n");

    // Running, and the device does not open: one attempt, no retry.
    scm.CurrentState = SERVICE_RUNNING;
    {
        qvtest::LockedFile device(L"\\\\.\\QvOstrel\\System");
        EXPECT_EQ(RunCheck(console), 32u);
        EXPECT_EQ(device.Attempts, 1);
    }
    EXPECT_NE(console.find("Failed to communicate with the driver. Error: 0x20"), std::string::npos)
        << console;

    // Running, and the driver answers its version queries.
    {
        FakeDevice device;
        EXPECT_EQ(RunCheck(console), 0u);
        EXPECT_EQ(device.Opens, 1);
        EXPECT_EQ(device.Queries, 6);
    }
    EXPECT_EQ(console, "QueryStatus(\"QvOstrel\") = \"running\"\r\n"
                       "Driver: 1.0.0.1, Interface: v3, NTDDI: 0x0A000000\r\n");

    EXPECT_TRUE(clock.Sleeps().empty());
    EXPECT_EQ(clock.Elapsed(), 0u);
    for (const std::wstring& service : scm.ServiceNames)
        EXPECT_EQ(service, L"QvOstrel");
    EXPECT_EQ(scm.OpenHandles(), 0u);
}

} // namespace
