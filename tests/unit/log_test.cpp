// The log file's lines against a clock of the test's choosing.
#include "frontend/log.h"

#include "support/import_patch.h"
#include "support/qvtest.h"

#include <gtest/gtest.h>

namespace {

void WINAPI FixedLocalTime(SYSTEMTIME* time)
{
    *time = SYSTEMTIME{2026, 3, 6, 7, 9, 5, 2, 41};
}

TEST(Log, EachLineCarriesTheLocalTimeToTheMillisecondAndNeverACutLine)
{
    qvtest::Scratch tmp;
    const auto clock = qvtest::PatchImport("kernel32.dll", "GetLocalTime", &FixedLocalTime);
    OpenLogFile((tmp / L"x.log").wstring());
    LogPrintf("%s %ws %u\n", "narrow", L"wide", 7u);
    LogPrintfW(L"%s %hs \x00e9\n", L"wide", "narrow");
    const std::string fits(4069 - 1, 'a'), over(4069, 'b'); // 26 + 4069 bytes is the most a line may hold
    LogPrintf("%s\n", fits.c_str());
    LogPrintf("%s\n", over.c_str());
    LogPrintfW(L"%s\n", std::wstring(1400, L'\x0800').c_str()); // fits in wide characters, not in UTF-8
    CloseLogFile();
    const std::string stamp = "[2026.03.07 09:05:02.041] ";
    EXPECT_EQ(qvtest::ReadBytes(tmp / L"x.log"),
              "\n" + stamp + "narrow wide 7\n" + stamp + "wide narrow \xc3\xa9\n" + stamp + fits + "\n");
}

} // namespace
