#include "frontend/command_line.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

namespace {

CommandLineOptions Scan(std::initializer_list<const wchar_t*> args)
{
    std::vector<const wchar_t*> argv(args);
    CommandLineOptions options;
    ScanArguments(static_cast<int>(argv.size()), argv.data(), options);
    return options;
}

TEST(ScanArguments, CommandsAndKeysMatchInAnyCaseAndTheFirstElementCounts)
{
    const CommandLineOptions upper = Scan({L"-INSTALL", L"LOG=x.log", L"Drivers-Path=D:\\pkg"});
    EXPECT_TRUE(upper.install) << "the first element is examined like any other";
    EXPECT_EQ(upper.logPath, L"x.log");
    EXPECT_EQ(upper.driversPath, L"D:\\pkg");

    const CommandLineOptions mixed = Scan({L"tool.exe", L"-Uninstall", L"OSTREL-HL-PATH=C:\\hl"});
    EXPECT_TRUE(mixed.uninstall);
    EXPECT_EQ(mixed.hardlinksPath, L"C:\\hl");
}

TEST(ScanArguments, CommandFlagsAccumulateAndTheTerminatorEndsTheScan)
{
    const CommandLineOptions both = Scan({L"tool", L"-install", L"-uninstall", L"-check", L"-shouldupdate"});
    EXPECT_TRUE(both.install && both.uninstall && both.check && both.shouldUpdate);

    const CommandLineOptions cut = Scan({L"tool", L"-install", L"--", L"-uninstall", L"log=a"});
    EXPECT_TRUE(cut.install);
    EXPECT_FALSE(cut.uninstall);
    EXPECT_TRUE(cut.logPath.empty());

    const CommandLineOptions none = Scan({L"tool", L"--", L"-install"});
    EXPECT_FALSE(none.install);
}

TEST(ScanArguments, UnknownElementsAndKeyFragmentsAreIgnored)
{
    const CommandLineOptions options =
        Scan({L"/install", L"install", L"-install2", L"log", L"lo", L"", L"drivers-path", L"-"});
    EXPECT_FALSE(options.install || options.uninstall || options.check || options.shouldUpdate);
    EXPECT_TRUE(options.logPath.empty());
    EXPECT_TRUE(options.driversPath.empty());
    EXPECT_TRUE(options.serviceStart);
}

TEST(ScanArguments, LastOptionWinsAndAnEmptyValueEmptiesTheField)
{
    const CommandLineOptions options =
        Scan({L"drivers-path=A", L"drivers-path=B", L"log=x.log", L"log="});
    EXPECT_EQ(options.driversPath, L"B");
    EXPECT_TRUE(options.logPath.empty());
}

TEST(ScanArguments, PathValuesLoseSurroundingBlanksAndQuotes)
{
    EXPECT_EQ(Scan({L"drivers-path=  C:\\My Drivers  "}).driversPath, L"C:\\My Drivers");
    EXPECT_EQ(Scan({L"log=\"C:\\My Logs\\a.log\""}).logPath, L"C:\\My Logs\\a.log");
    EXPECT_EQ(Scan({L"log= \"C:\\x y\" "}).logPath, L"C:\\x y");
    EXPECT_EQ(Scan({L"log=\"C:\\open"}).logPath, L"\"C:\\open") << "one quote alone stays";
}

TEST(ScanArguments, ServiceStartIsTrueUnlessTheLeadingNumberIsZero)
{
    EXPECT_TRUE(Scan({L"tool"}).serviceStart);
    EXPECT_FALSE(Scan({L"service-start=0"}).serviceStart);
    EXPECT_TRUE(Scan({L"service-start=1"}).serviceStart);
    EXPECT_TRUE(Scan({L"service-start=7"}).serviceStart);
    EXPECT_TRUE(Scan({L"service-start=-3"}).serviceStart);
    EXPECT_TRUE(Scan({L"service-start=12abc"}).serviceStart);
    EXPECT_FALSE(Scan({L"service-start="}).serviceStart);
    EXPECT_FALSE(Scan({L"service-start=yes"}).serviceStart);
    EXPECT_TRUE(Scan({L"service-start=0", L"service-start=1"}).serviceStart);
}

} // namespace
