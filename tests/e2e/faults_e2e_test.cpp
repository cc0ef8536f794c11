// The tool stopped half-way, or run twice at once: the log stays whole, and
// the next run leaves a sound installation or none.
#include "driver_fixture.h"

#include <gtest/gtest.h>

#include <regex>

namespace {

namespace fs = std::filesystem;
using e2e::DriverTest;

/// A started tool process, killed or waited for by the test.
class Running {
public:
    explicit Running(const std::wstring& commandLine)
    {
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
        null_ = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, 0, &inherit, OPEN_EXISTING, 0, nullptr);
        startup.hStdInput = startup.hStdOutput = startup.hStdError = null_;
        std::wstring line = L"\"" + qvtest::ToolPath().wstring() + L"\" " + commandLine;
        EXPECT_TRUE(CreateProcessW(qvtest::ToolPath().c_str(), &line[0], nullptr, nullptr, TRUE, 0, nullptr,
                                   nullptr, &startup, &process_));
        CloseHandle(process_.hThread);
    }
    ~Running()
    {
        Wait();
        CloseHandle(process_.hProcess);
        CloseHandle(null_);
    }
    void Kill() { TerminateProcess(process_.hProcess, 0xDEAD); }
    bool Done() const { return WaitForSingleObject(process_.hProcess, 0) == WAIT_OBJECT_0; }
    DWORD Wait()
    {
        WaitForSingleObject(process_.hProcess, 60000);
        DWORD code = 0;
        GetExitCodeProcess(process_.hProcess, &code);
        return code;
    }

private:
    PROCESS_INFORMATION process_ = {};
    HANDLE null_ = INVALID_HANDLE_VALUE;
};

size_t CountLines(const std::string& text) { return static_cast<size_t>(std::count(text.begin(), text.end(), '\n')); }

/// Every line of the log is whole: a stamp in front and a line feed behind.
void ExpectWholeLines(const std::string& log)
{
    const std::regex line(R"((\n|\[\d{4}\.\d\d\.\d\d \d\d:\d\d:\d\d\.\d\d\d\] [^\n]*\n)*)");
    EXPECT_TRUE(std::regex_match(log, line)) << log;
}

class Faults : public DriverTest {
protected:
    /// Runs the command with a log and kills it once the log holds `lines`
    /// lines (or lets it finish when it is faster). Returns the log.
    std::string KillAfter(const std::wstring& command, size_t lines)
    {
        const fs::path log = scratch_ / (L"run" + std::to_wstring(runs_++) + L".log");
        Running tool(command + L" " + DriversPath(L"testpkg") + L" \"log=" + log.wstring() + L"\"");
        for (;;) {
            if (CountLines(qvtest::ReadFileBytes(log)) >= lines + 1) { // the run's leading line feed
                tool.Kill();
                break;
            }
            if (tool.Done())
                break;
        }
        tool.Wait();
        return qvtest::ReadFileBytes(log);
    }

    void ExpectSoundInstallation()
    {
        EXPECT_EQ(ServiceState(), static_cast<DWORD>(SERVICE_RUNNING));
        ASSERT_TRUE(fs::exists(InstalledImage()));
        EXPECT_EQ(fs::file_size(InstalledImage()), fs::file_size(PackageFolder(L"testpkg") / L"QvOstrel.sys"));
        DWORD type = 0, start = 0, errorControl = 0;
        EXPECT_TRUE(ReadServiceDword(L"Type", type) && type == 1);
        EXPECT_TRUE(ReadServiceDword(L"Start", start) && start == 3);
        EXPECT_TRUE(ReadServiceDword(L"ErrorControl", errorControl) && errorControl == 1);
    }

    qvtest::ScratchFolder scratch_;
    int runs_ = 0;
};

/// The run ended before its result line.
bool Cut(const std::string& log) { return log.find("ExitCode:") == std::string::npos; }

TEST_F(Faults, AnInstallKilledAtAnyLineIsCompletedByTheNextRun)
{
    int cut = 0;
    for (size_t lines = 1; lines <= 13; lines += 2) {
        SCOPED_TRACE("killed after line " + std::to_string(lines));
        const std::string log = KillAfter(L"-install", lines);
        ExpectWholeLines(log);
        cut += Cut(log);
        const qvtest::RunResult again = Tool({L"-install", DriversPath(L"testpkg")});
        EXPECT_EQ(again.exitCode, 0u) << again.output;
        ExpectSoundInstallation();
        RemoveDriver();
    }
    EXPECT_GE(cut, 4) << "most runs were really stopped half-way";
}

TEST_F(Faults, AnUninstallKilledAtAnyLineIsCompletedByTheNextRun)
{
    int cut = 0;
    for (size_t lines = 1; lines <= 13; lines += 2) {
        SCOPED_TRACE("killed after line " + std::to_string(lines));
        ASSERT_EQ(Tool({L"-install", DriversPath(L"testpkg")}).exitCode, 0u);
        const std::string log = KillAfter(L"-uninstall", lines);
        ExpectWholeLines(log);
        cut += Cut(log);
        const qvtest::RunResult again = Tool({L"-uninstall", DriversPath(L"testpkg")});
        EXPECT_EQ(again.exitCode, 0u) << again.output;
        EXPECT_EQ(ServiceState(), 0u);
        EXPECT_FALSE(fs::exists(InstalledImage()));
    }
    EXPECT_GE(cut, 4) << "most runs were really stopped half-way";
}

TEST_F(Faults, TwoInstallsStartedTogetherLeaveOneSoundInstallation)
{
    const std::wstring command = L"-install " + DriversPath(L"testpkg");
    DWORD first = 0, second = 0;
    {
        Running a(command);
        Running b(command);
        first = a.Wait();
        second = b.Wait();
    }
    for (DWORD code : {first, second})
        EXPECT_TRUE(code == 0 || code == ERROR_SERVICE_ALREADY_RUNNING || code == ERROR_SHARING_VIOLATION ||
                    code == ERROR_SERVICE_EXISTS || code == ERROR_DEVICE_IN_USE)
            << code;
    ExpectSoundInstallation();
    const qvtest::RunResult again = Tool({L"-install", DriversPath(L"testpkg")});
    EXPECT_EQ(again.exitCode, 0u) << again.output;
    ExpectSoundInstallation();
}

} // namespace
