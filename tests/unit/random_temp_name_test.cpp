// The temporary name of DeleteFileOrDefer under random paths and suffixes,
// against a model of the extension rules, and TempSuffix against the thread
// id and the tick counts read around it.
#include "fileops/delete_file.h"

#include "support/random_input.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace {

using qvtest::Random;

const wchar_t* const kPieces[] = {L"a", L"Q", L"7", L".", L".", L"..", L"\\", L"/", L":", L" ",
                                  L"~", L"$", L"\x00e9", L"\x4e2d", L"\xD83D\xDE00", L"sys"};

/// Folder kept; the name's extension runs from its last dot that is not its
/// first character, and takes any stream suffix behind it; "." and ".."
/// have none.
std::wstring Model(const std::wstring& path, const std::wstring& suffix)
{
    size_t nameStart = 0;
    for (size_t i = 0; i < path.size(); ++i)
        if (path[i] == L'\\' || path[i] == L'/')
            nameStart = i + 1;
    const std::wstring name = path.substr(nameStart);
    size_t keep = name.size();
    if (name != L"." && name != L"..")
        for (size_t i = 1; i < name.size(); ++i)
            if (name[i] == L'.')
                keep = i;
    return path.substr(0, nameStart) + name.substr(0, keep) + L"." + suffix;
}

std::wstring RandomText(Random& random, uint32_t maxPieces)
{
    std::wstring text;
    for (uint32_t n = random.Below(maxPieces + 1); n > 0; --n)
        text += random.Pick(kPieces);
    return text;
}

TEST(RandomTemporaryName, AgreesWithTheModel)
{
    const uint32_t seed = qvtest::TestSeed();
    Random random(seed);
    const wchar_t* const roots[] = {L"", L"C:\\", L"\\\\?\\C:\\", L"\\\\server\\share\\", L"/"};
    for (size_t index = 0; index < 20000; ++index) {
        std::wstring path = random.Pick(roots) + RandomText(random, 14);
        if (random.Percent(20)) // the names that need care, at the end
            path += random.Pick({L".", L"..", L".x", L"x.", L"a.b:s", L"a:s.t", L"a.b:s:$DATA"});
        const std::wstring suffix = random.Percent(80) ? Orvane::TempSuffix() : RandomText(random, 4);
        const std::wstring actual = Orvane::ReplaceExtension(path, suffix);
        const std::wstring expected = Model(path, suffix);
        ASSERT_TRUE(actual == expected)
            << qvtest::CaseLabel(seed, index) << " path " << qvtest::Show(path) << " suffix "
            << qvtest::Show(suffix) << "\n  result   " << qvtest::Show(actual) << "\n  expected "
            << qvtest::Show(expected);
    }
}

std::wstring Hex(unsigned long long value, int width)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%0*llx", width, value);
    return std::wstring(text, text + std::char_traits<char>::length(text));
}

TEST(RandomTemporaryName, TempSuffixIsTheThreadIdAndATickCountInLowercaseHex)
{
    const std::wstring thread = Hex(::GetCurrentThreadId(), 4);
    for (int i = 0; i < 5000; ++i) {
        const ULONGLONG before = ::GetTickCount64();
        const std::wstring suffix = Orvane::TempSuffix();
        const ULONGLONG after = ::GetTickCount64();
        ASSERT_GE(suffix.size(), 12u) << qvtest::Show(suffix);
        ASSERT_LE(suffix.size(), 24u) << qvtest::Show(suffix);
        ASSERT_EQ(suffix.find_first_not_of(L"0123456789abcdef"), std::wstring::npos)
            << qvtest::Show(suffix);
        bool found = false;
        for (ULONGLONG tick = before; tick <= after && !found; ++tick)
            found = suffix == thread + Hex(tick, 8);
        ASSERT_TRUE(found) << qvtest::Show(suffix) << " thread " << qvtest::Show(thread)
                           << " ticks " << before << ".." << after;
    }
}

} // namespace
