// The engine's service control functions: outcomes that count as done, a
// service marked for deletion, and the waits bounded by the tick count. The
// service manager and the clock are redirected imports of the test exe;
// only the "not installed" case asks Wine's own service manager, about a
// name no service has.
#include "driversetup/service_control.h"

#include "support/engine_fakes.h"
#include "support/fake_clock.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using qvtest::CountRecordedLines;
using qvtest::FakeClock;
using qvtest::FakeServiceManager;
using qvtest::RecordedLines;
using qvtest::RecordedText;
using qvtest::RecordLog;
using qvtest::ScopedServiceKey;

using Lines = std::vector<std::wstring>;

class EngineService : public ::testing::Test {
protected:
    void SetUp() override { qvtest::ClearRecordedLog(); }
};

std::wstring MarkedLine(const std::wstring& name)
{
    return L"DeleteService(\"" + name + L"\") = 0x430 (marked for delete)\n";
}

std::wstring StopAttemptLine(const std::wstring& name, const wchar_t* code, const wchar_t* state)
{
    return L"  ControlService(\"" + name + L"\", SERVICE_CONTROL_STOP) = " + code + L", State:" +
           state + L"\n";
}

TEST_F(EngineService, DeleteWaitsTenSecondsForAServiceMarkedForDelete)
{
    const std::wstring name = L"QvUnitMarked";
    FakeServiceManager scm;
    FakeClock clock;

    // It never goes: a marked line, a stop attempt and 500 ms in every
    // attempt, then the time-out.
    scm.DeleteError = ERROR_SERVICE_MARKED_FOR_DELETE;
    scm.ControlError = ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
    EXPECT_EQ(Orvane::DeleteDriverService(name, &RecordLog), 1072u);
    Lines expected;
    for (int i = 0; i < 20; ++i) {
        expected.push_back(MarkedLine(name));
        expected.push_back(StopAttemptLine(name, L"0x425", L"not installed"));
    }
    expected.push_back(L"Operation timed out after 10s\n");
    EXPECT_EQ(RecordedLines(), expected) << RecordedText();
    EXPECT_EQ(clock.Sleeps(), std::vector<DWORD>(20, 500));
    EXPECT_EQ(clock.Elapsed(), 10000u);
    EXPECT_EQ(scm.DeleteCalls, 20);
    EXPECT_EQ(scm.Controls, std::vector<DWORD>(20, SERVICE_CONTROL_STOP));
    EXPECT_EQ(scm.ManagerAccess, std::vector<DWORD>{SC_MANAGER_ENUMERATE_SERVICE})
        << "the manager is opened once";
    EXPECT_EQ(scm.ServiceAccess, std::vector<DWORD>(20, DELETE | SERVICE_STOP));
    EXPECT_EQ(scm.OpenHandles(), 0u);

    // It goes after three attempts: the next open answers 1060.
    qvtest::ClearRecordedLog();
    scm.Controls.clear();
    scm.ServiceAccess.clear();
    scm.ControlError = 0;
    scm.CurrentState = SERVICE_STOP_PENDING;
    scm.OpenServiceError = [](DWORD, int before) {
        return before >= 3 ? static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST) : 0u;
    };
    const ULONGLONG before = clock.Elapsed();
    EXPECT_EQ(Orvane::DeleteDriverService(name, &RecordLog), 1060u);
    expected.clear();
    for (int i = 0; i < 3; ++i) {
        expected.push_back(MarkedLine(name));
        expected.push_back(StopAttemptLine(name, L"0x0", L"stopping"));
    }
    expected.push_back(L"OpenService(\"" + name + L"\", DELETE) = 0x424 (not installed)\n");
    EXPECT_EQ(RecordedLines(), expected) << RecordedText();
    EXPECT_EQ(clock.Elapsed() - before, 1500u);
    EXPECT_EQ(scm.OpenHandles(), 0u);

    // A delete that works, and one that fails otherwise, end at once.
    qvtest::ClearRecordedLog();
    scm.OpenServiceError = nullptr;
    scm.DeleteError = 0;
    EXPECT_EQ(Orvane::DeleteDriverService(name, &RecordLog), 0u);
    scm.DeleteError = ERROR_ACCESS_DENIED;
    EXPECT_EQ(Orvane::DeleteDriverService(name, &RecordLog), 5u);
    EXPECT_EQ(RecordedLines(), (Lines{L"DeleteService(\"" + name + L"\") = 0x0\n",
                                      L"DeleteService(\"" + name + L"\") = 0x5)\n"}))
        << RecordedText();
    EXPECT_EQ(scm.OpenHandles(), 0u);
}

TEST_F(EngineService, OpenMarkedForDeletePausesBeforeEachRetry)
{
    const std::wstring name = L"QvUnitOpenMarked";
    FakeServiceManager scm;
    scm.OpenServiceError = [](DWORD, int) { return static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE); };
    FakeClock clock;
    EXPECT_EQ(Orvane::DeleteDriverService(name, &RecordLog), 1072u);

    // 10 s at 500 ms a pause: about twenty attempts, not hundreds of thousands.
    const Lines& lines = RecordedLines();
    ASSERT_GE(lines.size(), 2u) << RecordedText();
    const size_t attempts = lines.size() - 1;
    EXPECT_GE(attempts, 19u);
    EXPECT_LE(attempts, 21u);
    for (size_t i = 0; i < attempts; ++i)
        EXPECT_EQ(lines[i], L"OpenService(\"" + name + L"\", DELETE) = 0x430\n") << i;
    EXPECT_EQ(lines.back(), L"Operation timed out after 10s\n");
    EXPECT_EQ(scm.ServiceAccess.size(), attempts);
    EXPECT_EQ(clock.Sleeps(), std::vector<DWORD>(attempts, 500));
    EXPECT_GE(clock.Elapsed(), 10000u);
    EXPECT_LT(clock.Elapsed(), 10500u);
    EXPECT_EQ(scm.DeleteCalls, 0);
    EXPECT_EQ(scm.OpenHandles(), 0u);
}

TEST_F(EngineService, AlreadyRunningAndAlreadyStoppedCountAsDone)
{
    const std::wstring name = L"QvUnitAlready";
    ScopedServiceKey key(name);
    key.SetDword(L"Type", SERVICE_KERNEL_DRIVER); // nothing for the stop to repair
    FakeServiceManager scm;

    scm.StartError = ERROR_SERVICE_ALREADY_RUNNING;
    EXPECT_EQ(Orvane::StartDriverService(name, &RecordLog), 0u);
    scm.StartError = ERROR_SERVICE_DISABLED;
    EXPECT_EQ(Orvane::StartDriverService(name, &RecordLog), 1058u);
    scm.ControlError = ERROR_SERVICE_NOT_ACTIVE;
    EXPECT_EQ(Orvane::StopDriverService(name, &RecordLog), 0u);
    scm.ControlError = ERROR_INVALID_SERVICE_CONTROL;
    EXPECT_EQ(Orvane::StopDriverService(name, &RecordLog), 1052u);
    EXPECT_EQ(RecordedLines(),
              (Lines{L"StartService(\"" + name + L"\") = 0x420 (already running)\n",
                     L"StartService(\"" + name + L"\") = 0x422\n",
                     L"ControlService(\"" + name + L"\", SERVICE_CONTROL_STOP) = 0x426 (already stopped)\n",
                     L"ControlService(\"" + name + L"\", SERVICE_CONTROL_STOP) = 0x41c\n"}))
        << RecordedText();
    EXPECT_EQ(scm.ServiceAccess,
              (std::vector<DWORD>{SERVICE_START, SERVICE_START, SERVICE_STOP, SERVICE_STOP}));

    // A stopped service without a "Type" value still has it repaired first.
    qvtest::ClearRecordedLog();
    key.Remove();
    scm.ControlError = ERROR_SERVICE_NOT_ACTIVE;
    scm.ServiceType = SERVICE_FILE_SYSTEM_DRIVER;
    EXPECT_EQ(Orvane::StopDriverService(name, &RecordLog), 0u);
    EXPECT_EQ(RecordedLines(),
              (Lines{L"RegCreateKey(\"SYSTEM\\CurrentControlSet\\Services\\" + name +
                         L"\", Disposition:new key) = 0x0\n",
                     L"RegQueryValue(\"Type\":0, Type:0) = 0x2\n",
                     L"RegSetValue(\"Type\":2, Type:4) = 0x0\n",
                     L"ControlService(\"" + name + L"\", SERVICE_CONTROL_STOP) = 0x426 (already stopped)\n"}))
        << RecordedText();

    // A manager that will not open ends each of the three at once.
    qvtest::ClearRecordedLog();
    scm.OpenManagerError = ERROR_ACCESS_DENIED;
    EXPECT_EQ(Orvane::StartDriverService(name, &RecordLog), 5u);
    EXPECT_EQ(Orvane::StopDriverService(name, &RecordLog), 5u);
    EXPECT_EQ(Orvane::DeleteDriverService(name, &RecordLog), 5u);
    EXPECT_EQ(RecordedLines(), Lines(3, L"OpenSCManager(SC_MANAGER_ENUMERATE_SERVICE) = 0x5\n"));
    EXPECT_EQ(scm.OpenHandles(), 0u);
    EXPECT_EQ(scm.ForeignCloses, 0);
}

TEST_F(EngineService, EmptyNameIsRefusedWithoutALine)
{
    FakeServiceManager scm;
    EXPECT_EQ(Orvane::StartDriverService(L"", &RecordLog), 87u);
    EXPECT_EQ(Orvane::StopDriverService(L"", &RecordLog), 87u);
    EXPECT_EQ(Orvane::DeleteDriverService(L"", &RecordLog), 87u);
    SetLastError(0);
    const DWORD state = Orvane::QueryServiceState(L"");
    const DWORD error = GetLastError();
    EXPECT_EQ(state, 0u);
    EXPECT_EQ(error, 87u);
    EXPECT_TRUE(RecordedLines().empty()) << RecordedText();
    EXPECT_TRUE(scm.ManagerAccess.empty()) << "the service manager is not asked";
}

TEST_F(EngineService, MissingServiceIsReportedAsNotInstalled)
{
    // Wine's own service manager, asked about a name no service has.
    const std::wstring name = L"QvUnitNoSuchService";
    ScopedServiceKey key(name);
    EXPECT_EQ(Orvane::StartDriverService(name, &RecordLog), 1060u);
    EXPECT_EQ(Orvane::StopDriverService(name, &RecordLog), 1060u);
    EXPECT_EQ(Orvane::DeleteDriverService(name, &RecordLog), 1060u);
    SetLastError(0);
    DWORD state = Orvane::QueryServiceState(name);
    DWORD error = GetLastError();
    EXPECT_EQ(state, 0u);
    EXPECT_EQ(error, 1060u);
    EXPECT_EQ(RecordedLines(),
              (Lines{L"OpenService(\"" + name + L"\", SERVICE_START) = 0x424 (not installed)\n",
                     L"OpenService(\"" + name + L"\", SERVICE_STOP) = 0x424 (not installed)\n",
                     L"OpenService(\"" + name + L"\", DELETE) = 0x424 (not installed)\n"}))
        << RecordedText();
    EXPECT_FALSE(key.Exists()) << "no repair without a service to stop";

    // The same through the fake, with the state of a service that is there.
    FakeServiceManager scm;
    scm.CurrentState = SERVICE_PAUSED;
    SetLastError(1234);
    state = Orvane::QueryServiceState(name);
    error = GetLastError();
    EXPECT_EQ(state, static_cast<DWORD>(SERVICE_PAUSED));
    EXPECT_EQ(error, 0u);
    scm.QueryError = ERROR_ACCESS_DENIED;
    state = Orvane::QueryServiceState(name);
    error = GetLastError();
    EXPECT_EQ(state, 0u);
    EXPECT_EQ(error, 5u);
    EXPECT_EQ(scm.ServiceAccess, (std::vector<DWORD>(2, SERVICE_QUERY_STATUS)));
    EXPECT_EQ(scm.OpenHandles(), 0u);
}

TEST_F(EngineService, StateNames)
{
    const char* const names[] = {"not installed", "stopped", "starting", "stopping",
                                 "running",       "continuing", "pausing", "paused"};
    for (DWORD state = 0; state < 8; ++state)
        EXPECT_STREQ(Orvane::ServiceStateName(state), names[state]) << state;
    EXPECT_STREQ(Orvane::ServiceStateName(8), "");
    EXPECT_STREQ(Orvane::ServiceStateName(0xFFFFFFFFu), "");
}

} // namespace
