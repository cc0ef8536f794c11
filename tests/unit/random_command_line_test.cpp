// The argument scan under random argument vectors, against a model of the
// scan written here. ASCII case folding stands in for the locale's
// case-insensitive comparison, so the generated text keeps to characters for
// which the two agree (no ignorable, expanding or case-folding non-ASCII).
#include "frontend/command_line.h"

#include "support/random_input.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <vector>

namespace {

using qvtest::GuardedBlock;
using qvtest::Random;

const wchar_t* const kCommands[] = {L"--", L"-install", L"-uninstall", L"-check", L"-shouldupdate"};
const wchar_t* const kKeys[] = {L"drivers-path=", L"ostrel-hl-path=", L"service-start=", L"log="};
const wchar_t* const kPieces[] = {L"a", L"Z", L"0", L"7", L" ", L" ", L"\"", L"\\", L"/", L":",
                                  L".", L"-", L"=", L"_", L"\t", L"'", L"\x00e9", L"\x0416",
                                  L"\x4e2d", L"\xD83D\xDE00"};

std::wstring Fold(std::wstring text)
{
    for (wchar_t& c : text)
        c = c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
    return text;
}

/// Spaces off both ends, then one pair of enclosing quotes; a lone quote
/// both begins and ends the text and leaves it empty.
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

/// Decimal digits after an optional leading '-'; anything else reads as 0.
/// The generator keeps to at most 9 significant digits.
bool StartValue(const std::wstring& value)
{
    uint32_t number = 0;
    for (size_t i = !value.empty() && value[0] == L'-'; i < value.size() && value[i] >= L'0' && value[i] <= L'9'; ++i)
        number = number * 10 + static_cast<uint32_t>(value[i] - L'0');
    return number != 0;
}

CommandLineOptions Model(const std::vector<std::wstring>& args)
{
    CommandLineOptions o;
    for (const std::wstring& element : args) {
        const std::wstring folded = Fold(element);
        const auto key = [&](const wchar_t* k) { return folded.compare(0, wcslen(k), k) == 0; };
        if (folded == L"--")
            break;
        if (folded == L"-install")
            o.install = true;
        else if (folded == L"-uninstall")
            o.uninstall = true;
        else if (folded == L"-check")
            o.check = true;
        else if (folded == L"-shouldupdate")
            o.shouldUpdate = true;
        else if (key(L"drivers-path="))
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

std::string Describe(const CommandLineOptions& o)
{
    return std::string(o.install ? "install " : "") + (o.uninstall ? "uninstall " : "") +
           (o.check ? "check " : "") + (o.shouldUpdate ? "shouldupdate " : "") + "start=" +
           (o.serviceStart ? "1" : "0") + " drivers=" + qvtest::Show(o.driversPath) +
           " hl=" + qvtest::Show(o.hardlinksPath) + " log=" + qvtest::Show(o.logPath);
}

std::wstring RandomText(Random& random, uint32_t maxPieces)
{
    std::wstring text;
    for (uint32_t n = random.Below(maxPieces + 1); n > 0; --n)
        text += random.Pick(kPieces);
    return text;
}

std::wstring RandomCase(Random& random, std::wstring text)
{
    for (wchar_t& c : text)
        c = c >= L'a' && c <= L'z' && random.Percent(30) ? static_cast<wchar_t>(c - L'a' + L'A') : c;
    return text;
}

std::wstring RandomValue(Random& random, bool number)
{
    if (number && random.Percent(70)) { // never a leading blank or '+': Windows and Wine differ there
        std::wstring text = std::wstring(random.Percent(20), L'-') + std::wstring(random.Below(3), L'0');
        for (uint32_t n = random.Below(10); n > 0; --n)
            text += static_cast<wchar_t>(L'0' + random.Below(10));
        return text + (random.Percent(30) ? RandomText(random, 3) : L"");
    }
    const bool quoted = random.Percent(40);
    return std::wstring(random.Below(3), L' ') + (quoted ? L"\"" : L"") +
           (random.Percent(10) ? RandomCase(random, random.Pick(kKeys)) : L"") + RandomText(random, 12) +
           (quoted && random.Percent(80) ? L"\"" : L"") + std::wstring(random.Below(3), L' ');
}

std::wstring RandomElement(Random& random)
{
    std::wstring element;
    const uint32_t kind = random.Below(10), key = random.Below(4);
    if (kind < 3)
        element = RandomCase(random, random.Pick(kCommands));
    else if (kind < 8)
        element = RandomCase(random, kKeys[key]) + RandomValue(random, key == 2);
    else
        element = RandomText(random, 8);
    if (!element.empty() && random.Percent(15)) { // damage the first 14 characters
        const size_t at = random.Below(static_cast<uint32_t>(std::min<size_t>(element.size(), 14)));
        const uint32_t how = random.Below(3);
        element.replace(at, how != 1, how == 0 ? L"" : random.Pick(kPieces));
    }
    return element;
}

TEST(RandomArgumentScan, AgreesWithTheModelAndReadsNoElementPastItsEnd)
{
    const uint32_t seed = qvtest::TestSeed();
    Random random(seed);
    for (size_t index = 0; index < 4000; ++index) {
        std::vector<std::wstring> args(random.Below(9));
        for (std::wstring& arg : args)
            arg = RandomElement(random);
        // Every element, and the vector itself, ends where a page ends.
        std::vector<GuardedBlock> blocks;
        blocks.reserve(args.size());
        GuardedBlock argv(args.size() * sizeof(const wchar_t*));
        for (size_t i = 0; i < args.size(); ++i) {
            blocks.push_back(GuardedBlock::Text(args[i]));
            argv.As<const wchar_t*>()[i] = blocks.back().As<wchar_t>();
        }
        CommandLineOptions actual;
        ScanArguments(static_cast<int>(args.size()), argv.As<const wchar_t* const>(), actual);

        std::string input;
        for (const std::wstring& arg : args)
            input += " " + qvtest::Show(arg);
        ASSERT_EQ(Describe(actual), Describe(Model(args))) << qvtest::CaseLabel(seed, index) << " argv:" << input;
    }
}

} // namespace
