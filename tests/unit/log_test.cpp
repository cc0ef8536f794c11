#include "frontend/log.h"

#include "support/stdout_capture.h"
#include "support/tool_runner.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>

namespace {

using qvtest::ReadFileBytes;
using qvtest::ScratchFolder;
using qvtest::Crlf;
using qvtest::StdoutCapture;

/// What `write` prints on standard output; assertions stay outside the capture.
template <class F>
std::string Captured(F write)
{
    StdoutCapture capture;
    write();
    return capture.Text();
}

const std::regex kStamp(R"(\[\d{4,5}\.\d\d\.\d\d \d\d:\d\d:\d\d\.\d\d\d\] )");

/// The log file's lines after the run's leading line feed, timestamps checked
/// and removed.
std::string WithoutStamps(const std::string& file)
{
    std::string rest = file;
    EXPECT_FALSE(rest.empty());
    EXPECT_EQ(rest[0], '\n') << "each run starts after an empty line";
    rest.erase(0, 1);
    std::string result;
    std::smatch match;
    while (!rest.empty()) {
        EXPECT_TRUE(std::regex_search(rest, match, kStamp) && match.position(0) == 0)
            << "no timestamp at: " << rest.substr(0, 40);
        if (match.empty() || match.position(0) != 0)
            break;
        rest.erase(0, static_cast<size_t>(match.length(0)));
        const size_t end = rest.find('\n');
        result += rest.substr(0, end == std::string::npos ? end : end + 1);
        rest.erase(0, end == std::string::npos ? rest.size() : end + 1);
    }
    return result;
}

class LogFileTest : public ::testing::Test {
protected:
    void SetUp() override { OpenLogFile(logPath().wstring()); }
    void TearDown() override { CloseLogFile(); }
    std::filesystem::path logPath() const { return scratch_ / L"new\\folders\\setup.log"; }
    std::string fileText() const { return ReadFileBytes(logPath()); }

    ScratchFolder scratch_;
};

TEST_F(LogFileTest, BothWritersFollowTheWindowsDirectivesOnConsoleAndInTheFile)
{
    const std::string console = Captured([] {
        LogPrintf("%s|%ws|%hs|%u|%x|%08X|%lx|%hu|%d\n", "narrow", L"wide", "short", 42u, 0xabcu,
                  0xbeefu, 0x1234abcdul, static_cast<unsigned short>(65535), -5);
        LogPrintfW(L"%s|%hs|%ws|%u|%x|%08X|%lx|%hu|%d\n", L"wide", "narrow", L"wide2", 42u,
                   0xabcu, 0xbeefu, 0x1234abcdul, static_cast<unsigned short>(65535), -5);
    });
    const std::string expected = "narrow|wide|short|42|abc|0000BEEF|1234abcd|65535|-5\n"
                                 "wide|narrow|wide2|42|abc|0000BEEF|1234abcd|65535|-5\n";
    EXPECT_EQ(console, Crlf(expected)) << "the console copy has no timestamp";
    EXPECT_EQ(WithoutStamps(fileText()), expected);
}

TEST_F(LogFileTest, RunsAppendAfterAnEmptyLineAndALineFeedAloneIsStamped)
{
    LogPrintf("first run\n");
    OpenLogFile(logPath().wstring());
    LogPrintf("\n");
    const std::string text = fileText();
    const std::regex layout(R"(\n\[[^\]]+\] first run\n\n\[[^\]]+\] \n)");
    EXPECT_TRUE(std::regex_match(text, layout)) << text;
}

TEST_F(LogFileTest, NarrowLineOverTheLimitIsLeftOutOfTheFileButPrinted)
{
    LogPrintf("x\n");
    const size_t stamp = fileText().find(']') + 2 - 1; // after the leading line feed
    const std::string fits(4095 - stamp - 1, 'a');
    const std::string tooLong(4095 - stamp, 'b');
    const std::string console = Captured([&] {
        LogPrintf("%s\n", fits.c_str());
        LogPrintf("%s\n", tooLong.c_str());
    });
    EXPECT_EQ(console, Crlf(fits + "\n" + tooLong + "\n"));
    const std::string file = WithoutStamps(fileText());
    EXPECT_EQ(file, "x\n" + fits + "\n") << "the long line is left out, never cut";
}

TEST_F(LogFileTest, WideLineOverCharacterOrUtf8LimitIsLeftOutOfTheFile)
{
    LogPrintfW(L"x\n");
    const size_t stamp = fileText().find(']') + 2 - 1;
    const std::wstring fits(2046 - stamp - 1, L'a');
    const std::wstring tooLong(2046 - stamp, L'b');
    const std::wstring threeByteChars(1400, L'\x0800'); // 1400 characters, 4200 UTF-8 bytes
    LogPrintfW(L"%s\n", fits.c_str());
    LogPrintfW(L"%s\n", tooLong.c_str());
    LogPrintfW(L"%s\n", threeByteChars.c_str());
    LogPrintfW(L"caf\x00e9 \x20ac \xd83d\xde00\n");
    const std::string file = WithoutStamps(fileText());
    EXPECT_EQ(file, "x\n" + std::string(fits.begin(), fits.end()) +
                        "\ncaf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\n");
}

TEST(LogWithoutFile, LinesReachTheConsoleOnlyAndAFolderIsNoLogFile)
{
    ScratchFolder scratch;
    OpenLogFile(scratch.path().wstring()); // a folder cannot be opened as the log
    const std::string console = Captured([] {
        LogPrintf("%s %d\n", "still", 1);
        LogPrintfW(L"%s %d\n", L"printed", 2);
    });
    EXPECT_EQ(console, Crlf("still 1\nprinted 2\n"));
    CloseLogFile();
}

} // namespace

namespace {

TEST(LogFolders, LongAndPrefixedLogPathsGetTheirFoldersCreated)
{
    ScratchFolder scratch;
    const std::filesystem::path deep = scratch / std::wstring(150, L'a') / std::wstring(150, L'b') / L"c";
    for (const std::wstring& path : {(deep / L"long.log").wstring(), L"\\\\?\\" + (deep / L"d" / L"prefixed.log").wstring()}) {
        OpenLogFile(path);
        LogPrintf("line\n");
        CloseLogFile();
        EXPECT_NE(ReadFileBytes(path).find("] line\n"), std::string::npos) << path.size();
    }
}

} // namespace
