// GetInfDriverVersion under random DriverVer entries written to INF files,
// against a model of its backward parse. The generated values are ones that
// the profile reader returns unchanged (no blanks at either end, no
// enclosing quotes) apart from its cut to 127 characters.
#include "driversetup/versions.h"

#include "support/import_patch.h"
#include "support/random_input.h"
#include "support/tool_runner.h"

#include <gtest/gtest.h>

#include <chrono>

namespace {

using qvtest::Random;

const wchar_t* const kPieces[] = {L"0", L"1", L"5", L"9", L"65535", L"65536", L"4294967297",
                                  L".", L".", L",", L"/", L" ", L"x", L"-",
                                  L"\x0663", L"\xFF11", L"\x00e9"}; // Arabic-Indic 3, fullwidth 1

/// The decimal digits at `at`, up to the first non-digit or `end`, low 16 bits.
uint32_t Number(const std::wstring& text, size_t at, size_t end)
{
    uint32_t value = 0;
    for (; at < end && text[at] >= L'0' && text[at] <= L'9'; ++at)
        value = (value * 10 + static_cast<uint32_t>(text[at] - L'0')) & 0xFFFF;
    return value;
}

/// Three '.' and then ',' searched from the end, index 0 never examined.
bool Model(const std::wstring& text, Orvane::VersionQuad& version)
{
    version = {};
    uint32_t parts[4] = {};
    size_t end = text.size();
    for (int i = 0; i < 4; ++i) {
        const wchar_t separator = i < 3 ? L'.' : L',';
        size_t at = end;
        while (at > 1 && text[at - 1] != separator)
            --at;
        if (at <= 1)
            return false;
        parts[3 - i] = Number(text, at, end);
        end = at - 1;
    }
    version.Ms = parts[0] << 16 | parts[1];
    version.Ls = parts[2] << 16 | parts[3];
    return true;
}

std::wstring RandomDriverVer(Random& random)
{
    const uint32_t date = random.Below(10); // the date, a bare comma, or nothing
    std::wstring text = date < 7 ? L"01/02/2023," : date < 8 ? L"," : L"";
    for (uint32_t n = random.Below(7); n > 0; --n)
        text += std::to_wstring(random.Next() >> random.Below(32)) + L".";
    if (!text.empty() && random.Percent(70))
        text.pop_back();
    for (uint32_t n = random.Below(4); n > 0; --n) // damage it here and there
        text.insert(random.Below(static_cast<uint32_t>(text.size() + 1)), random.Pick(kPieces));
    if (random.Percent(10))
        text += std::wstring(random.Below(140), L'7');
    const size_t first = text.find_first_not_of(L' '); // the profile reader trims blanks
    return first == std::wstring::npos ? L"" : text.substr(first, text.find_last_not_of(L' ') - first + 1);
}

std::string Utf16File(const std::wstring& text)
{
    std::string bytes = "\xFF\xFE";
    for (wchar_t c : text)
        bytes += static_cast<char>(c & 0xFF), bytes += static_cast<char>(c >> 8);
    return bytes;
}

void Check(uint32_t seed, size_t index, const std::wstring& path, const std::wstring& text,
           const std::string& shown)
{
    Orvane::VersionQuad actual, expected;
    const bool parsed = Orvane::GetInfDriverVersion(path, actual);
    const bool modelled = Model(text, expected);
    const std::string label = qvtest::CaseLabel(seed, index) + " DriverVer " + shown;
    EXPECT_EQ(parsed, modelled) << label;
    EXPECT_EQ(Orvane::FormatVersion(actual), Orvane::FormatVersion(expected)) << label;
}

TEST(RandomInfDriverVersion, InfFilesAgreeWithTheModel)
{
    const uint32_t seed = qvtest::TestSeed();
    Random random(seed);
    qvtest::ScratchFolder folder;
    const wchar_t* const keys[] = {L"DriverVer", L"DRIVERVER", L"driverver"};
    for (size_t index = 0; index < 1200; ++index) {
        const std::wstring value = RandomDriverVer(random);
        const uint32_t shape = random.Below(20); // 0: no entry, 1: in another section
        std::wstring inf = L"; random case\r\n[" + std::wstring(random.Percent(50) ? L"Version" : L"VERSION") +
                           L"]\r\nSignature=\"$Windows NT$\"\r\nClass=System\r\n";
        const std::wstring entry = random.Pick(keys) + std::wstring(random.Below(3), L' ') + L"=" +
                                   std::wstring(random.Below(3), L' ') + value + L"\r\n";
        inf += shape == 0 ? L"" : shape == 1 ? L"[Strings]\r\n" + entry : entry;
        inf += L"Provider=%Qv%\r\n\r\n[Strings]\r\nQv=\"Qv\"\r\n";
        bool ascii = true;
        for (wchar_t c : inf)
            ascii = ascii && c < 0x80;
        const std::wstring path = folder / (L"v" + std::to_wstring(index) + L".inf");
        qvtest::WriteFileBytes(path, ascii && random.Percent(50) ? std::string(inf.begin(), inf.end())
                                                                 : Utf16File(inf));

        Check(seed, index, path, shape < 2 ? L"00/00/0000,0.0.0.0" : value.substr(0, 127),
              shape < 2 ? std::string("absent") : qvtest::Show(value));
        ::DeleteFileW(path.c_str()); // a small folder keeps Wine's name lookups fast
        if (::testing::Test::HasFailure())
            return;
    }
}

// The profile reader redirected: any text at all, up to the whole buffer.
std::wstring ProfileText;
std::wstring ProfileCall;

DWORD WINAPI FakeProfileString(LPCWSTR section, LPCWSTR key, LPCWSTR fallback, LPWSTR buffer,
                               DWORD size, LPCWSTR file)
{
    ProfileCall = std::wstring(section) + L"|" + key + L"|" + fallback + L"|" +
                  std::to_wstring(size) + L"|" + file;
    const std::wstring text = ProfileText.substr(0, size - 1);
    text.copy(buffer, text.size());
    buffer[text.size()] = L'\0';
    return static_cast<DWORD>(text.size());
}

TEST(RandomInfDriverVersion, ProfileTextsAgreeWithTheModel)
{
    const uint32_t seed = qvtest::TestSeed();
    Random random(seed);
    auto patch = qvtest::PatchImport("kernel32.dll", "GetPrivateProfileStringW", &FakeProfileString);
    for (size_t index = 0; index < 5000; ++index) {
        ProfileText = RandomDriverVer(random);
        for (uint32_t n = random.Below(3); n > 0; --n) // what the real reader would trim
            ProfileText.insert(random.Percent(50) ? 0 : ProfileText.size(), L" ");
        Check(seed, index, L"x.inf", ProfileText.substr(0, 127), qvtest::Show(ProfileText));
        EXPECT_TRUE(ProfileCall == L"Version|DriverVer|00/00/0000,0.0.0.0|128|x.inf")
            << qvtest::Show(ProfileCall);
        if (::testing::Test::HasFailure())
            return;
    }
}

} // namespace
