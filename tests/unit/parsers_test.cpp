// The two parsers: the argument scan against a model of it under random
// argument vectors, and the INF's DriverVer entry by examples.
#include "driversetup/versions.h"
#include "frontend/command_line.h"

#include "common/strconv.h"
#include "support/qvtest.h"

#include <gtest/gtest.h>

#include <random>

namespace {

std::wstring Fold(std::wstring text)
{
    for (wchar_t& c : text)
        c = c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
    return text;
}

/// Spaces off both ends, then one pair of enclosing quotes.
std::wstring PathValue(const std::wstring& value)
{
    const size_t first = value.find_first_not_of(L' ');
    if (first == std::wstring::npos)
        return L"";
    std::wstring text = value.substr(first, value.find_last_not_of(L' ') - first + 1);
    if (text.front() == L'"' && text.back() == L'"')
        text = text.size() == 1 ? L"" : text.substr(1, text.size() - 2);
    return text;
}

/// Decimal digits after an optional '-'; anything else reads as 0.
bool StartValue(const std::wstring& value)
{
    unsigned number = 0;
    for (size_t i = !value.empty() && value[0] == L'-'; i < value.size() && iswdigit(value[i]); ++i)
        number = number * 10 + (value[i] - L'0');
    return number != 0;
}

CommandLineOptions Model(const std::vector<std::wstring>& args)
{
    CommandLineOptions o;
    for (const std::wstring& element : args) {
        const std::wstring folded = Fold(element);
        const auto key = [&](const wchar_t* k) { return folded.rfind(k, 0) == 0; };
        if (folded == L"--")
            break;
        o.install |= folded == L"-install";
        o.uninstall |= folded == L"-uninstall";
        o.check |= folded == L"-check";
        o.shouldUpdate |= folded == L"-shouldupdate";
        if (key(L"drivers-path="))
            o.driversPath = PathValue(element.substr(13));
        else if (key(L"ostrel-hl-path="))
            o.hardlinksPath = PathValue(element.substr(15));
        else if (key(L"service-start="))
            o.serviceStart = StartValue(element.substr(14));
        else if (key(L"log="))
            o.logPath = PathValue(element.substr(4));
    }
    return o;
}

std::wstring Describe(const CommandLineOptions& o)
{
    return std::to_wstring(o.install) + std::to_wstring(o.uninstall) + std::to_wstring(o.check) +
           std::to_wstring(o.shouldUpdate) + std::to_wstring(o.serviceStart) + L" [" + o.driversPath + L"] [" +
           o.hardlinksPath + L"] [" + o.logPath + L"]";
}

TEST(Parsers, ArgumentScanAgreesWithItsModel)
{
    const wchar_t* const heads[] = {L"--", L"-install", L"-UNINSTALL", L"-Check", L"-shouldupdate", L"-install2",
                                    L"/install", L"Drivers-Path=", L"ostrel-hl-path=", L"SERVICE-START=",
                                    L"service-start=-", L"log=", L"log", L"x"};
    const wchar_t* const tails[] = {L"", L" ", L"\"", L"a b", L"0", L"7", L"00", L"12x", L"\x00e9", L"C:\\d"};
    std::mt19937 random(20261207);
    for (int round = 0; round < 3000; ++round) {
        std::vector<std::wstring> args(random() % 7);
        for (std::wstring& arg : args) {
            arg = heads[random() % std::size(heads)];
            for (int n = random() % 4; n > 0; --n)
                arg += tails[random() % std::size(tails)];
        }
        std::vector<const wchar_t*> argv;
        for (const std::wstring& arg : args)
            argv.push_back(arg.c_str());
        CommandLineOptions actual;
        ScanArguments(static_cast<int>(argv.size()), argv.data(), actual);
        std::wstring input;
        for (const std::wstring& arg : args)
            input += L" <" + arg + L">";
        ASSERT_EQ(Describe(actual), Describe(Model(args))) << qv::WideToUtf8(input);
    }
}

TEST(Parsers, DriverVerIsReadFromTheEnd)
{
    const std::pair<const char*, const char*> examples[] = {
        {"DriverVer = 06/21/2006,6.1.7600.16385", "6.1.7600.16385"},
        {"DriverVer=01/02/2023,5.1.70000.300", "5.1.4464.300"},
        {"DriverVer = 01/01/2020,1.2.3.4.5", "1.3.4.5"},
        {"DriverVer = 01/01/2020,1.2.3", "n/a"},
        {"DriverVer = 1.2.3.4", "n/a"},
        {"Provider = x", "n/a"},
        {"DriverVer = ,0.0.0.1", "n/a"},
    };
    qvtest::Scratch tmp;
    for (const auto& example : examples) {
        qvtest::WriteBytes(tmp / L"x.inf", std::string("[Version]\r\n") + example.first + "\r\n");
        Orvane::VersionQuad version;
        Orvane::GetInfDriverVersion((tmp / L"x.inf").wstring(), version);
        EXPECT_EQ(Orvane::FormatVersion(version), example.second) << example.first;
    }
}

} // namespace
