// Faults the tool must survive without changing its answer.
#include "frontend/command_line.h"
#include "frontend/log.h"

#include "support/engine_fakes.h"
#include "support/fake_clock.h"
#include "support/fake_platform.h"
#include "support/scoped_registry.h"
#include "support/stdout_capture.h"

#include <gtest/gtest.h>

namespace {

using namespace qvtest;

TEST(Faults, AStopRefusedForTheWholeDeadlineChangesNothingAndTheNextRunSucceeds)
{
    const std::wstring name = L"QvUnitStopLater";
    ScopedServiceKey key(name);
    ScratchPackage scratch(name);
    TestDriverSetup setup(scratch.Package(), &RecordLog);
    FakeServiceManager scm;
    FakeSetupLibrary library;
    FakeCodeIntegrity integrity(0x1);
    {
        FakeClock clock;
        scm.ControlError = ERROR_INVALID_SERVICE_CONTROL;
        EXPECT_EQ(setup.Setup(scratch.Package(), true, 1), static_cast<DWORD>(ERROR_DEVICE_IN_USE));
        EXPECT_TRUE(setup.InfCalls.empty());
        EXPECT_EQ(scm.StartCalls, 0);
    }
    {
        FakeClock clock;
        scm.ControlError = 0;
        scm.CurrentState = SERVICE_STOPPED;
        EXPECT_EQ(setup.Setup(scratch.Package(), true, 1), 0u);
        ASSERT_EQ(setup.InfCalls.size(), 1u);
        EXPECT_EQ(setup.InfCalls[0].Section, L"Install.NTamd64");
        EXPECT_EQ(scm.StartCalls, 1);
        EXPECT_TRUE(clock.Sleeps().empty()) << "a driver that stops at once costs no wait";
    }
    EXPECT_EQ(scm.OpenHandles(), 0u);
}

int g_writes = 0;
BOOL WINAPI WriteFailingAfterFirst(HANDLE, LPCVOID, DWORD, LPDWORD written, LPOVERLAPPED)
{
    if (written)
        *written = 0;
    if (g_writes++ == 0)
        return TRUE;
    SetLastError(ERROR_DISK_FULL);
    return FALSE;
}

/// One run of the command line in this process: console text and exit code.
std::pair<std::string, DWORD> RunInProcess(const std::vector<std::wstring>& args)
{
    std::vector<const wchar_t*> argv = {L"tool.exe"};
    for (const std::wstring& arg : args)
        argv.push_back(arg.c_str());
    DWORD code = 0;
    std::string text;
    {
        StdoutCapture console;
        code = RunCommandLine(static_cast<int>(argv.size()), argv.data());
        text = console.Text();
    }
    CloseLogFile();
    return {text, code};
}

TEST(Faults, ALogFileThatFailsMidRunLeavesTheConsoleAndTheExitCodeAlone)
{
    FakePlatform platform(10, 0, 0x8664);
    ScopedWindowsBuild build(L"19045", 0);
    ScratchPackage package(L"QvOstrel");
    const std::wstring driversPath = L"drivers-path=" + std::filesystem::path(package.Folder()).parent_path().wstring();
    ScratchFolder scratch;
    const std::wstring log = (scratch / L"full.log").wstring();

    const auto plain = RunInProcess({driversPath});
    std::pair<std::string, DWORD> failing;
    {
        g_writes = 0;
        ImportPatch write = PatchImport("kernel32.dll", "WriteFile", &WriteFailingAfterFirst);
        failing = RunInProcess({driversPath, L"log=" + log});
    }
    EXPECT_EQ(plain.second, 160u);
    EXPECT_EQ(failing.second, plain.second);
    EXPECT_EQ(failing.first, plain.first) << "the console copy is complete";
    EXPECT_GT(g_writes, 5) << "every line still tried the file";
}

} // namespace
