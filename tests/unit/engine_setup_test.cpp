// The install procedure of the setup engine where Wine cannot produce the
// outcome: a driver that refuses to stop, an image that stays locked, memory
// integrity turned on. The service manager, the clock and the code integrity
// query are redirected imports of the test exe; the INF sections are recorded
// by the setup object instead of being run. Each test uses a service name of
// its own, so no real service is reached, and removes the service key that
// the engine's "Type" repair creates.
#include "driversetup/driver_setup.h"

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
using qvtest::FakeSetupLibrary;
using qvtest::RecordedLines;
using qvtest::RecordedText;
using qvtest::RecordLog;
using qvtest::ScopedServiceKey;
using qvtest::ScratchPackage;
using qvtest::TestDriverSetup;

using Lines = std::vector<std::wstring>;

class EngineSetup : public ::testing::Test {
protected:
    void SetUp() override { qvtest::ClearRecordedLog(); }
};

/// The header block of an install of a scratch package.
Lines InstallHeader(const DriverPackage& package)
{
    return {L"Install " + package.Name + L":\n", L"  " + package.InfPath + L" [1.2.3.4]\n",
            L"  " + package.SysPath + L" [n/a]\n", L"  " + package.CatPath + L"\n"};
}

/// The lines of the "Type" repair on a service key that did not exist.
Lines NewKeyTypeRepair(const std::wstring& name, DWORD type)
{
    return {L"RegCreateKey(\"SYSTEM\\CurrentControlSet\\Services\\" + name +
                L"\", Disposition:new key) = 0x0\n",
            L"RegQueryValue(\"Type\":0, Type:0) = 0x2\n",
            L"RegSetValue(\"Type\":" + std::to_wstring(type) + L", Type:4) = 0x0\n"};
}

std::wstring ControlLine(const std::wstring& name, const wchar_t* code)
{
    return L"ControlService(\"" + name + L"\", SERVICE_CONTROL_STOP) = " + code + L"\n";
}

TEST_F(EngineSetup, RefusedStopDefersTheInstallAfterTenTries)
{
    const std::wstring name = L"QvUnitStopRefused";
    ScopedServiceKey key(name);
    ScratchPackage scratch(name);
    TestDriverSetup setup(scratch.Package(), &RecordLog);

    FakeServiceManager scm;
    scm.ControlError = ERROR_INVALID_SERVICE_CONTROL;
    FakeClock clock;
    FakeSetupLibrary library;       // reached only if a real INF section ran
    FakeCodeIntegrity integrity(0x400);
    EXPECT_EQ(setup.Setup(scratch.Package(), true, 1), 2404u);

    ASSERT_EQ(scm.Controls.size(), 10u) << "ten stop attempts";
    for (DWORD control : scm.Controls)
        EXPECT_EQ(control, static_cast<DWORD>(SERVICE_CONTROL_STOP));
    EXPECT_EQ(clock.Sleeps(), std::vector<DWORD>(10, 500)) << "500 ms apart";
    EXPECT_EQ(clock.Elapsed(), 5000u);

    Lines expected = InstallHeader(scratch.Package());
    const Lines repair = NewKeyTypeRepair(name, 1);
    expected.insert(expected.end(), repair.begin(), repair.end());
    for (int i = 0; i < 10; ++i)
        expected.push_back(ControlLine(name, L"0x41c"));
    expected.push_back(L"\"" + name + L"\" is currently in use. Driver upgrade will resume later\n");
    EXPECT_EQ(RecordedLines(), expected) << RecordedText();

    EXPECT_TRUE(setup.InfCalls.empty()) << "no INF section runs";
    EXPECT_TRUE(library.Calls.empty());
    EXPECT_EQ(integrity.Calls, 0) << "deferred before the preparation";
    EXPECT_EQ(scm.StartCalls, 0);
    EXPECT_EQ(scm.DeleteCalls, 0);
    EXPECT_EQ(scm.OpenHandles(), 0u) << "every handle closed";
    EXPECT_EQ(scm.ForeignCloses, 0);
    for (const std::wstring& database : scm.Databases)
        EXPECT_EQ(database, L"ServicesActive");
    for (const std::wstring& service : scm.ServiceNames)
        EXPECT_EQ(service, name);
    // Each attempt opens the manager for enumeration and the service for a
    // stop; the first also asks the manager for the type it repairs.
    ASSERT_EQ(scm.ServiceAccess.size(), 11u);
    EXPECT_EQ(scm.ServiceAccess[0], static_cast<DWORD>(SERVICE_STOP));
    EXPECT_EQ(scm.ServiceAccess[1], static_cast<DWORD>(SERVICE_QUERY_STATUS));
    EXPECT_EQ(scm.ManagerAccess[1], static_cast<DWORD>(SC_MANAGER_CONNECT));
    EXPECT_EQ(scm.ServiceAccess.back(), static_cast<DWORD>(SERVICE_STOP));
    EXPECT_EQ(scm.ManagerAccess.back(), static_cast<DWORD>(SC_MANAGER_ENUMERATE_SERVICE));

    DWORD type = 0, data = 0;
    EXPECT_TRUE(key.Read(L"Type", type, data)) << "a missing Type is the one change made";
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(data, 1u);
    EXPECT_FALSE(key.Read(L"Start", type, data)) << "the start values are not repaired";
}

TEST_F(EngineSetup, StopAndProbeShareOneFiveSecondDeadline)
{
    const std::wstring name = L"QvUnitProbeShared";
    ScopedServiceKey key(name);
    key.SetDword(L"Type", SERVICE_KERNEL_DRIVER);
    ScratchPackage scratch(name);
    TestDriverSetup setup(scratch.Package(), &RecordLog);
    const std::wstring image = Orvane::InstalledImagePath(scratch.Package());

    FakeServiceManager scm;
    scm.ControlError = ERROR_INVALID_SERVICE_CONTROL;
    scm.ControlFailures = 6; // refused until 3 s, then stopped
    scm.CurrentState = SERVICE_RUNNING;
    FakeClock clock;
    FakeCodeIntegrity integrity(0x1);
    qvtest::LockedFile locked(image);
    EXPECT_EQ(setup.Setup(scratch.Package(), true, 1), 0u)
        << "a lock that lasts to the deadline does not stop the install";

    EXPECT_EQ(scm.Controls.size(), 7u);
    EXPECT_EQ(locked.Attempts, 4) << "probes at 3, 3.5, 4 and 4.5 s of the one deadline";
    EXPECT_EQ(locked.LastAccess, static_cast<DWORD>(GENERIC_WRITE));
    EXPECT_EQ(locked.LastShare, static_cast<DWORD>(FILE_SHARE_READ));
    EXPECT_EQ(locked.LastDisposition, static_cast<DWORD>(OPEN_EXISTING));
    EXPECT_EQ(clock.Sleeps(), std::vector<DWORD>(10, 500));
    EXPECT_EQ(clock.Elapsed(), 5000u);

    Lines expected = InstallHeader(scratch.Package());
    for (int i = 0; i < 6; ++i)
        expected.push_back(ControlLine(name, L"0x41c"));
    expected.push_back(ControlLine(name, L"0x0"));
    for (int i = 0; i < 4; ++i)
        expected.push_back(L"Probe(\"" + image + L"\") = 0x20\n");
    // The existing service's start values are repaired (memory integrity off).
    expected.push_back(L"RegQueryValue(\"Start\":0, Type:0) = 0x2\n");
    expected.push_back(L"RegSetValue(\"Start\":1, Type:4) = 0x0\n");
    expected.push_back(L"RegQueryValue(\"ErrorControl\":0, Type:0) = 0x2\n");
    expected.push_back(L"RegSetValue(\"ErrorControl\":1, Type:4) = 0x0\n");
    expected.push_back(L"StartService(\"" + name + L"\") = 0x0\n");
    expected.push_back(L"QueryServiceStatus(\"" + name + L"\") = \"running\"\n");
    EXPECT_EQ(RecordedLines(), expected) << RecordedText();

    ASSERT_EQ(setup.InfCalls.size(), 1u);
    EXPECT_EQ(setup.InfCalls[0].Section, L"Install.NTamd64");
    EXPECT_EQ(setup.InfCalls[0].InfPath, scratch.Package().InfPath);
    EXPECT_EQ(setup.InfCalls[0].SourceDirectory, scratch.Folder());
    EXPECT_EQ(scm.StartCalls, 1);
    EXPECT_EQ(scm.OpenHandles(), 0u);
}

TEST_F(EngineSetup, MemoryIntegrityRunsTheUninstallSectionFirst)
{
    const std::wstring name = L"QvUnitIntegrity";
    ScopedServiceKey key(name);
    key.SetDword(L"Type", SERVICE_KERNEL_DRIVER);
    ScratchPackage scratch(name);
    const std::wstring image = Orvane::InstalledImagePath(scratch.Package());

    FakeServiceManager scm;
    scm.ControlError = ERROR_SERVICE_NOT_ACTIVE;
    FakeClock clock;

    // The uninstall pass fails: its code, and no status line.
    {
        FakeCodeIntegrity integrity(0x400);
        TestDriverSetup setup(scratch.Package(), &RecordLog);
        setup.InfResults[L"Uninstall.NTamd64"] = 5;
        EXPECT_EQ(setup.Setup(scratch.Package(), true, 0), 5u);
        ASSERT_EQ(setup.InfCalls.size(), 1u);
        EXPECT_EQ(setup.InfCalls[0].Section, L"Uninstall.NTamd64");
        EXPECT_EQ(setup.InfCalls[0].InfPath, scratch.Package().InfPath);
        EXPECT_EQ(setup.InfCalls[0].SourceDirectory, scratch.Folder());

        Lines expected = InstallHeader(scratch.Package());
        expected.push_back(ControlLine(name, L"0x426 (already stopped)"));
        expected.push_back(L"Probe(\"" + image + L"\") = 0x2\n");
        EXPECT_EQ(RecordedLines(), expected) << RecordedText();
        EXPECT_EQ(CountRecordedLines(L"QueryServiceStatus("), 0u);

        EXPECT_EQ(integrity.Calls, 1);
        EXPECT_EQ(integrity.BufferLength, 8u);
        EXPECT_EQ(integrity.LengthField, 8u) << "the buffer carries its length";
        EXPECT_EQ(integrity.OptionsField, 0u);
        EXPECT_TRUE(integrity.ReturnLengthGiven);
    }
    DWORD type = 0, data = 0;
    EXPECT_FALSE(key.Read(L"Start", type, data)) << "no start-value repair under memory integrity";

    // Both passes succeed: uninstall, then install, then the status line.
    {
        qvtest::ClearRecordedLog();
        FakeCodeIntegrity integrity(0x400 | 0x1);
        TestDriverSetup setup(scratch.Package(), &RecordLog);
        EXPECT_EQ(setup.Setup(scratch.Package(), true, 0), 0u);
        ASSERT_EQ(setup.InfCalls.size(), 2u);
        EXPECT_EQ(setup.InfCalls[0].Section, L"Uninstall.NTamd64");
        EXPECT_EQ(setup.InfCalls[1].Section, L"Install.NTamd64");
        ASSERT_FALSE(RecordedLines().empty());
        EXPECT_EQ(RecordedLines().back(), L"QueryServiceStatus(\"" + name + L"\") = \"stopped\"\n");
        EXPECT_EQ(scm.StartCalls, 0) << "flags 0: not started";
    }

    // Memory integrity off, or the query failing: the install section alone.
    for (const auto& answer : {std::pair<ULONG, LONG>{0x1, 0}, std::pair<ULONG, LONG>{0x400, -1}}) {
        FakeCodeIntegrity integrity(answer.first, answer.second);
        TestDriverSetup setup(scratch.Package(), &RecordLog);
        setup.InfResults[L"Uninstall.NTamd64"] = 5;
        EXPECT_EQ(setup.Setup(scratch.Package(), true, 0), 0u) << answer.first;
        ASSERT_EQ(setup.InfCalls.size(), 1u) << answer.first;
        EXPECT_EQ(setup.InfCalls[0].Section, L"Install.NTamd64");
        EXPECT_EQ(integrity.Calls, 1);
    }
    EXPECT_TRUE(key.Read(L"Start", type, data)) << "start values repaired without memory integrity";
    EXPECT_EQ(scm.OpenHandles(), 0u);
}

TEST_F(EngineSetup, NullLogGivesTheSameResultsAndWritesNothing)
{
    const std::wstring name = L"QvUnitSilent";
    ScopedServiceKey key(name);
    ScratchPackage scratch(name);
    TestDriverSetup setup(scratch.Package(), nullptr);

    FakeServiceManager scm;
    FakeClock clock;
    DWORD refused = 0, failedPass = 0, installed = 0;
    std::string printed;
    {
        qvtest::StdoutCapture capture;
        scm.ControlError = ERROR_INVALID_SERVICE_CONTROL;
        {
            FakeCodeIntegrity integrity(0x1);
            refused = setup.Setup(scratch.Package(), true, 1);
        }
        scm.ControlError = ERROR_SERVICE_NOT_ACTIVE;
        {
            FakeCodeIntegrity integrity(0x400);
            setup.InfResults[L"Uninstall.NTamd64"] = 5;
            failedPass = setup.Setup(scratch.Package(), true, 1);
            setup.InfResults.clear();
            installed = setup.Setup(scratch.Package(), true, 1);
        }
        printed = capture.Text();
    }
    EXPECT_EQ(refused, 2404u);
    EXPECT_EQ(failedPass, 5u);
    EXPECT_EQ(installed, 0u);
    EXPECT_EQ(scm.Controls.size(), 12u) << "ten refused, then one per install";
    EXPECT_EQ(scm.StartCalls, 1);
    ASSERT_EQ(setup.InfCalls.size(), 3u);
    EXPECT_EQ(setup.InfCalls[0].Section, L"Uninstall.NTamd64");
    EXPECT_EQ(setup.InfCalls[1].Section, L"Uninstall.NTamd64");
    EXPECT_EQ(setup.InfCalls[2].Section, L"Install.NTamd64");
    EXPECT_TRUE(RecordedLines().empty());
    EXPECT_EQ(printed, "") << "nothing reaches standard output either";

    DWORD type = 0, data = 0;
    EXPECT_TRUE(key.Read(L"Type", type, data)) << "the repair writes silently";
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(scm.OpenHandles(), 0u);
}

} // namespace
