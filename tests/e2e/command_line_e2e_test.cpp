// The tool's whole run, from the command line to the exit code.
#include "e2e_support.h"

#include "support/scoped_registry.h"

#include <gtest/gtest.h>

#include <regex>

namespace {

namespace fs = std::filesystem;
using e2e::Crlf;
using qvtest::RunProgram;
using qvtest::ScratchFolder;

/// The tool copied alone into a scratch folder, with a package beside it
/// when asked. Windows 10 of a current build, as the package folder assumes.
class ToolCopy : public ::testing::Test {
protected:
    ToolCopy()
        : version_(L"QvOstrelSetup.exe", L"win10"), build_(L"19045", 0)
    {
        qvtest::CopyFileTo(qvtest::ToolPath(), exe());
    }
    fs::path exe() const { return scratch_ / L"QvOstrelSetup.exe"; }
    void AddPackageBeside() { e2e::CopyPackage(L"testpkg", L"Win10-x64", scratch_.path()); }
    std::string ProgramFolderLine() const
    {
        return e2e::DriverPathLine(scratch_.path().wstring() + L"\\");
    }

    ScratchFolder scratch_;
    qvtest::ScopedWineVersion version_;
    qvtest::ScopedWindowsBuild build_;
};

TEST_F(ToolCopy, NoPackageAnywhereEndsWithInvalidDriverDirectoryAndNoUsage)
{
    for (const wchar_t* args : {L"", L"-check", L"-install", L"-shouldupdate -uninstall"}) {
        const qvtest::RunResult run = qvtest::RunProgramLine(exe(), args);
        EXPECT_EQ(run.exitCode, 3u) << args;
        EXPECT_EQ(run.output, Crlf("ERROR: Invalid driver directory\n")) << args;
        EXPECT_EQ(run.errors, "");
    }
}

TEST_F(ToolCopy, NoCommandPrintsTheDriverPathTheErrorAndTheUsage)
{
    AddPackageBeside();
    for (const wchar_t* args : {L"", L"/install install -- -install", L"log="}) {
        const qvtest::RunResult run = qvtest::RunProgramLine(exe(), args);
        EXPECT_EQ(run.exitCode, 160u) << args;
        EXPECT_EQ(run.output,
                  Crlf(ProgramFolderLine() + "ERROR: No valid command\n" + e2e::UsageBlock()))
            << args;
    }
}

TEST_F(ToolCopy, UsageNamesTheProgramByItsOwnFileName)
{
    AddPackageBeside();
    const fs::path renamed = scratch_ / L"Renamed Setup.exe";
    qvtest::CopyFileTo(exe(), renamed);
    qvtest::ScopedWineVersion version(L"Renamed Setup.exe", L"win10");
    const qvtest::RunResult run = RunProgram(renamed, {});
    EXPECT_EQ(run.exitCode, 160u);
    EXPECT_NE(run.output.find(Crlf(e2e::UsageBlock("Renamed Setup.exe"))), std::string::npos)
        << run.output;
}

TEST_F(ToolCopy, FirstElementOfTheCommandLineIsACommandToo)
{
    AddPackageBeside();
    const qvtest::RunResult run = qvtest::RunProgramRaw(exe(), L"-shouldupdate");
    EXPECT_TRUE(run.exitCode == 0 || run.exitCode == 1) << run.exitCode;
    EXPECT_EQ(run.output.find("Usage:"), std::string::npos) << run.output;
}

TEST_F(ToolCopy, LogFileIsCreatedWithItsFoldersAndAppendedRunAfterRun)
{
    AddPackageBeside();
    const fs::path log = scratch_ / L"logs" / L"deeper" / L"setup.log";
    const std::wstring option = L"LOG=\"" + log.wstring() + L"\"";
    const qvtest::RunResult first = qvtest::RunProgramLine(exe(), option);
    ASSERT_EQ(first.exitCode, 160u);
    ASSERT_EQ(qvtest::ReadFileBytes(log).substr(0, 1), "\n") << first.output;
    ASSERT_EQ(RunProgram(exe(), {L"log=  " + log.wstring() + L"  "}).exitCode, 160u);

    const std::string stamp = R"(\[\d{4}\.\d\d\.\d\d \d\d:\d\d:\d\d\.\d\d\d\] )";
    std::string run = "\n" + stamp + std::regex_replace(ProgramFolderLine(), std::regex(R"([\\.\[\]()])"), R"(\$&)") +
                      stamp + "ERROR: No valid command\n" + stamp + "\n" + stamp + "Usage:\n" +
                      "(" + stamp + "QvOstrelSetup\\.exe -[a-z]+.*\n){4}";
    const std::string text = qvtest::ReadFileBytes(log);
    EXPECT_TRUE(std::regex_match(text, std::regex(run + run))) << text;
}

TEST_F(ToolCopy, LogThatCannotBeOpenedLeavesTheConsoleComplete)
{
    AddPackageBeside();
    const qvtest::RunResult run = RunProgram(exe(), {L"log=" + scratch_.path().wstring()});
    EXPECT_EQ(run.exitCode, 160u);
    EXPECT_EQ(run.output, Crlf(ProgramFolderLine() + "ERROR: No valid command\n" + e2e::UsageBlock()));
}

TEST_F(ToolCopy, NonAsciiDriverPathIsPrintedAndLoggedAsUtf8)
{
    const fs::path folder = scratch_ / L"pkg-\x00e9\x20ac";
    e2e::CopyPackage(L"testpkg", L"Win10-x64", folder);
    const fs::path log = scratch_ / L"utf8.log";
    const qvtest::RunResult run =
        RunProgram(exe(), {L"drivers-path=" + folder.wstring(), L"log=" + log.wstring()});
    EXPECT_EQ(run.exitCode, 160u);
    const std::string line = e2e::DriverPathLine(folder.wstring() + L"\\");
    EXPECT_NE(line.find("pkg-\xc3\xa9\xe2\x82\xac"), std::string::npos);
    EXPECT_EQ(run.output.rfind(Crlf(line), 0), 0u) << run.output;
    EXPECT_NE(qvtest::ReadFileBytes(log).find("] " + line), std::string::npos);
}

} // namespace
