// The hardlinks folder named by ostrel-hl-path=, cleaned up after -uninstall.
#include "driver_fixture.h"

#include "common/strconv.h"

#include <gtest/gtest.h>

#include <regex>

namespace {

namespace fs = std::filesystem;
using e2e::Lines;
using qv::WideToUtf8;

/// Runs an uninstall (no driver is installed) with the hardlinks folder and
/// returns the lines after the "ExitCode" line; the exit code must stay 0.
class Hardlinks : public e2e::DriverTest {
protected:
    std::vector<std::string> Cleanup(const fs::path& folder)
    {
        const qvtest::RunResult run =
            Tool({L"-uninstall", DriversPath(L"testpkg"), L"ostrel-hl-path=" + folder.wstring()});
        EXPECT_EQ(run.exitCode, 0u) << "the clean-up never changes the uninstall's code";
        std::vector<std::string> lines = Lines(run.output);
        const auto exitLine = std::find(lines.begin(), lines.end(), "ExitCode: 0x0 \"OK\"");
        EXPECT_NE(exitLine, lines.end()) << run.output;
        return std::vector<std::string>(exitLine == lines.end() ? lines.end() : exitLine + 1, lines.end());
    }

    static void MakeReadOnly(const fs::path& file)
    {
        ASSERT_TRUE(SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY));
    }

    static void RemoveReadOnly(const fs::path& file)
    {
        SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(file.c_str());
    }

    static std::string U8(const fs::path& path) { return WideToUtf8(path.wstring()); }
};

TEST_F(Hardlinks, PlainFilesAreDeletedAndTheFolderRemoved)
{
    qvtest::ScratchFolder scratch;
    const fs::path folder = scratch / L"hl";
    for (const wchar_t* name : {L"a.lnk", L"b", L"c.dat"})
        qvtest::WriteFileBytes(folder / name, "x");
    std::vector<std::string> lines = Cleanup(folder);
    ASSERT_EQ(lines.size(), 4u);
    std::sort(lines.begin(), lines.begin() + 3);
    EXPECT_EQ(lines[0], "Delete file " + U8(folder / L"a.lnk"));
    EXPECT_EQ(lines[1], "Delete file " + U8(folder / L"b"));
    EXPECT_EQ(lines[2], "Delete file " + U8(folder / L"c.dat"));
    EXPECT_EQ(lines[3], "Success on deleting HL folder : " + U8(folder));
    EXPECT_FALSE(fs::exists(folder));
}

TEST_F(Hardlinks, NoOptionOrNoFolderWritesNothing)
{
    qvtest::ScratchFolder scratch;
    EXPECT_TRUE(Cleanup(scratch / L"missing").empty());
    EXPECT_TRUE(Cleanup(L"\\\\server\\share").empty()) << "a share root that is not there";
    const qvtest::RunResult run = Tool({L"-uninstall", DriversPath(L"testpkg")});
    EXPECT_EQ(Lines(run.output).back(), "ExitCode: 0x0 \"OK\"");
}

TEST_F(Hardlinks, ReadOnlyEntryIsMovedToTheTemporaryDirectoryAndDeletedAtRestart)
{
    e2e::PendingRenames pending;
    qvtest::ScratchFolder scratch;
    const fs::path folder = scratch / L"hl";
    qvtest::WriteFileBytes(folder / L"locked.bin", "x");
    MakeReadOnly(folder / L"locked.bin");
    const std::vector<std::string> lines = Cleanup(folder);
    ASSERT_EQ(lines.size(), 2u);
    std::smatch match;
    const std::regex moved("Moved (.*) -> (.*), dest on reboot success \\(-?\\d+\\)");
    ASSERT_TRUE(std::regex_match(lines[0], match, moved)) << lines[0];
    EXPECT_EQ(match[1], U8(folder / L"locked.bin"));
    const fs::path temporary = qv::Utf8ToWide(match[2]);
    wchar_t tempDirectory[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH + 1, tempDirectory);
    EXPECT_EQ(temporary.parent_path(), fs::path(tempDirectory).parent_path());
    EXPECT_TRUE(fs::exists(temporary));
    EXPECT_TRUE(pending.Holds(temporary.wstring()));
    EXPECT_EQ(lines[1], "Success on deleting HL folder : " + U8(folder));
    RemoveReadOnly(temporary);
}

TEST_F(Hardlinks, EntryThatCannotMoveToAnotherVolumeIsDeletedAtRestartWhereItStands)
{
    // Z:\dev\shm is a memory file system: another volume than the prefix's
    // temporary directory, so a move without copying fails.
    e2e::PendingRenames pending;
    const fs::path folder = L"Z:\\dev\\shm\\qvtest-hl-" + std::to_wstring(GetCurrentProcessId());
    qvtest::WriteFileBytes(folder / L"locked.bin", "x");
    MakeReadOnly(folder / L"locked.bin");
    const std::vector<std::string> lines = Cleanup(folder);
    ASSERT_EQ(lines.size(), 2u);
    const std::regex failed("Moved (.*) -> (.*) failed, entry on reboot success \\(-?\\d+\\)");
    std::smatch match;
    ASSERT_TRUE(std::regex_match(lines[0], match, failed)) << lines[0];
    EXPECT_EQ(match[1], U8(folder / L"locked.bin"));
    EXPECT_TRUE(pending.Holds((folder / L"locked.bin").wstring()));
    EXPECT_TRUE(std::regex_match(lines[1], std::regex("Could not delete HL folder " +
                                                      std::regex_replace(U8(folder), std::regex(R"(\\)"), R"(\\)") +
                                                      ", on reboot success \\(-?\\d+\\)")))
        << lines[1];
    EXPECT_TRUE(pending.Holds(folder.wstring()));
    RemoveReadOnly(folder / L"locked.bin");
    RemoveDirectoryW(folder.c_str());
}

TEST_F(Hardlinks, FolderThatCannotBeListedLogsTheErrorAndTouchesNothing)
{
    qvtest::ScratchFolder scratch;
    const fs::path notAFolder = scratch / L"hl";
    qvtest::WriteFileBytes(notAFolder, "a file named as the folder");
    const std::vector<std::string> lines = Cleanup(notAFolder);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("CleanupOstrelHardlinks exception: ", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find("directory_iterator::directory_iterator"), std::string::npos) << lines[0];
    EXPECT_TRUE(fs::exists(notAFolder));
}

} // namespace
