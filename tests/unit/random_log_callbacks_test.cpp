// LogV of both widths under random formats made of %s, %hs, %ls, %d, %u,
// %x, %c, %% and plain text, with lengths around the buffer limits, against
// a model that builds the expected line with std::string. The format and the
// argument list each end where a page ends (the next page inaccessible).
#include "driverclient/log_callbacks.h"

#include "support/random_input.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <deque>
#include <type_traits>
#include <vector>

namespace {

using qvtest::Random;
template <class Char>
using Text = std::basic_string<Char>;

// On x64 Windows a va_list points at the arguments, one 8-byte slot each.
static_assert(sizeof(va_list) == sizeof(void*), "the argument lists are built as slot arrays");

const char* const kNarrowPieces[] = {"a", "Z", "7", ".", " ", "\t", "\r\n", "\xC3\xA9"};
const wchar_t* const kWidePieces[] = {L"a", L"Z", L"7", L".", L" ", L"\t", L"\r\n", L"\x00e9",
                                      L"\x0416", L"\x263A", L"\x4e2d", L"\xD83D\xDE00"};
const wchar_t* const kLoneSurrogates[] = {L"\xD83D", L"\xDE00"};
const wchar_t* const kAsciiPieces[] = {L"a", L"Z", L"7", L".", L" ", L"\t", L"%"};

/// The random text of one width; `ascii` keeps to kAsciiPieces, `lone` adds
/// unpaired surrogates. Plain format text never holds '%'.
template <class Char>
Text<Char> RandomText(Random& random, uint32_t maxPieces, bool ascii, bool lone = false)
{
    Text<Char> text;
    for (uint32_t n = random.Below(maxPieces + 1); n > 0; --n) {
        const wchar_t* piece = ascii ? random.Pick(kAsciiPieces) : random.Pick(kWidePieces);
        if constexpr (sizeof(Char) == 1)
            text += ascii ? Text<Char>(piece, piece + 1) : random.Pick(kNarrowPieces);
        else
            text += lone && random.Percent(10) ? random.Pick(kLoneSurrogates) : piece;
    }
    return text;
}

template <class Char, class From>
Text<Char> Cast(const Text<From>& text) { return Text<Char>(text.begin(), text.end()); } // ASCII

template <class Char>
struct Line {
    Text<Char> format, text; // the format and what it produces
    std::vector<uint64_t> slots;
    std::deque<std::string> narrow;
    std::deque<std::wstring> wide;
    bool fails = false; // a %ls argument that a narrow format cannot convert
};

template <class Char>
void AddPiece(Random& random, Line<Char>& line, bool failures, bool lone)
{
    constexpr bool wide = sizeof(Char) == 2;
    const uint32_t kind = random.Below(10);
    const char* directive[] = {"%s", "%hs", "%ls", "%d", "%u", "%x", "%c", "%%"};
    if (kind >= 8) {
        const Text<Char> plain = RandomText<Char>(random, 6, false, lone);
        line.format += plain;
        line.text += plain;
        return;
    }
    line.format += Cast<Char>(std::string(directive[kind]));
    const uint32_t number = random.Next();
    switch (kind) {
    case 0: case 1: case 2:
        if (kind == 1 || (kind == 0 && !wide)) {
            line.narrow.push_back(RandomText<char>(random, 8, kind == 1 || wide));
            line.slots.push_back(reinterpret_cast<uint64_t>(line.narrow.back().c_str()));
            line.text += Cast<Char>(line.narrow.back());
        } else {
            line.wide.push_back(RandomText<wchar_t>(random, 8, !wide, lone));
            if (!wide && failures && random.Percent(30)) {
                line.wide.back() += L"\x263A";
                line.fails = true;
            }
            line.slots.push_back(reinterpret_cast<uint64_t>(line.wide.back().c_str()));
            line.text += Cast<Char>(line.wide.back());
        }
        break;
    case 3: line.text += Cast<Char>(std::to_string(static_cast<int32_t>(number))); break;
    case 4: line.text += Cast<Char>(std::to_string(number)); break;
    case 5:
        for (int shift = 28; shift >= 0; shift -= 4)
            if ((number >> shift) != 0 || shift == 0)
                line.text += static_cast<Char>("0123456789abcdef"[(number >> shift) & 15]);
        break;
    case 6: {
        const wchar_t units[] = {L'a', L'%', L' ', L'\t', L'\n', 0x263A, 0x00E9, 0xD83D};
        const Char unit = static_cast<Char>(units[random.Below(wide ? (lone ? 8 : 7) : 5)]);
        line.text += unit;
        line.slots.push_back(static_cast<uint64_t>(static_cast<std::make_unsigned_t<Char>>(unit)));
        break;
    }
    case 7: line.text += Char('%'); break;
    }
    if (kind >= 3 && kind <= 5)
        line.slots.push_back(number);
}

/// A random line: pieces, a run of one filler character that brings it near
/// a buffer limit, and trailing blanks.
template <class Char>
Line<Char> RandomLine(Random& random)
{
    constexpr bool wide = sizeof(Char) == 2;
    const uint32_t kind = random.Below(100);
    const bool lone = wide && random.Percent(10);
    const bool failures = !wide && kind < 70 && random.Percent(15); // short lines only
    Line<Char> line;
    const uint32_t pieces = random.Below(13), padAt = random.Below(pieces + 1);
    size_t formatAt = 0, textAt = 0;
    for (uint32_t i = 0; i <= pieces; ++i) {
        if (i == padAt)
            formatAt = line.format.size(), textAt = line.text.size();
        if (i < pieces)
            AddPiece(random, line, failures, lone);
    }
    const size_t target = kind < 70   ? 0
                          : kind < 82 ? random.Between(495, 525)   // the first buffer
                          : kind < 88 ? random.Between(335, 345)   // 1023 UTF-8 bytes of U+263A
                          : kind < 93 ? random.Between(131060, 131090) // the retry buffer
                          : kind < 96 ? random.Between(87370, 87390)   // 262147 bytes of U+263A
                                      : random.Between(525, 5000);
    const wchar_t* const fillers[] = {L"x", L"\x00e9", L"\x263A", L"\xD83D\xDE00"};
    const Text<Char> filler = Cast<Char>(std::wstring(wide ? random.Pick(fillers) : L"x"));
    Text<Char> pad;
    while (line.text.size() + pad.size() < target)
        pad += filler;
    line.format.insert(formatAt, pad);
    line.text.insert(textAt, pad);
    for (uint32_t n = random.Below(4); n > 0; --n) {
        const Char blank = static_cast<Char>(" \t\r\n"[random.Below(4)]);
        line.format += blank;
        line.text += blank;
    }
    // Wine's msvcrt (8.x) reports a text as fitting when the output that
    // overflows the buffer comes only from %c directives at the end of the
    // format (_vsnprintf(b, 3, "abc%c", 'd') returns 3, not -1), so such a
    // line arrives cut at the first buffer. That is the runtime's fault, not
    // the product's; a format here never ends in %c.
    if (line.format.size() >= 2 && line.format.compare(line.format.size() - 2, 2, Cast<Char>(std::string("%c"))) == 0) {
        line.format += Char('.');
        line.text += Char('.');
    }
    return line;
}

template <class Char>
Text<Char> TrimEnd(Text<Char> text)
{
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' ||
                             text.back() == '\n'))
        text.pop_back();
    return text;
}

/// UTF-8 of whole characters while they fit in `limit` bytes; an unpaired
/// surrogate becomes U+FFFD.
std::string Utf8(const std::wstring& text, size_t limit)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000)
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        else if (c >= 0xD800 && c < 0xE000)
            c = 0xFFFD;
        const int more = c < 0x80 ? 0 : c < 0x800 ? 1 : c < 0x10000 ? 2 : 3; // continuation bytes
        if (out.size() + more + 1 > limit)
            break;
        out += static_cast<char>(more == 0 ? c : (0xFF00 >> (more + 1) & 0xFF) | c >> 6 * more);
        for (int k = more - 1; k >= 0; --k)
            out += static_cast<char>(0x80 | (c >> 6 * k & 63));
    }
    return out;
}

/// The narrow line: trimmed when it fits in 131072 characters, else cut
/// there untrimmed; a failed format becomes the failure line.
std::string Expected(const Line<char>& line)
{
    if (line.fails)
        return "Log(\"" + line.format.substr(0, 256) + "\", ...) = 0x246";
    return line.text.size() <= 131072 ? TrimEnd(line.text) : line.text.substr(0, 131072);
}

/// The wide line: 510 characters and 1023 UTF-8 bytes on the stack, else
/// 131072 characters (cut, then trimmed) and at most 262147 UTF-8 bytes.
std::string Expected(const Line<wchar_t>& line)
{
    if (line.text.size() <= 510) {
        const std::string utf8 = Utf8(TrimEnd(line.text), SIZE_MAX);
        if (utf8.size() <= 1023)
            return utf8;
    }
    return Utf8(TrimEnd(line.text.substr(0, 131072)), 262147);
}

struct Delivered {
    unsigned Level;
    std::string Source, Category, Text;
};

void Sink(void* context, unsigned level, const char* source, const char* category, const char* text)
{
    static_cast<std::vector<Delivered>*>(context)->push_back({level, source, category, text});
}

bool Filter(void* context, unsigned, const char*, const char*) { return *static_cast<bool*>(context); }

template <class Char>
void CheckRandomLines(size_t cases)
{
    const uint32_t seed = qvtest::TestSeed();
    Random random(seed);
    std::vector<Delivered> lines;
    bool accept = true;
    OstrelDriver::LogCallbacks log;
    log.Sink = &Sink;
    log.SinkContext = &lines;
    log.FilterContext = &accept;
    log.DefaultSource = "DefSource";
    log.DefaultCategory = "DefCategory";
    const char* const names[] = {nullptr, "", "given"};
    for (size_t index = 0; index < cases; ++index) {
        const Line<Char> line = RandomLine<Char>(random);
        const char* source = random.Pick(names);
        const char* category = random.Pick(names);
        const unsigned level = random.Next();
        log.Filter = random.Percent(30) ? nullptr : &Filter;
        accept = !log.Filter || random.Percent(90);
        qvtest::GuardedBlock format = qvtest::GuardedBlock::Text(line.format);
        qvtest::GuardedBlock slots(line.slots.size() * sizeof(uint64_t));
        std::copy(line.slots.begin(), line.slots.end(), slots.As<uint64_t>());
        lines.clear();
        log.LogV(level, source, category, format.As<const Char>(), slots.As<char>());

        const auto label = [&] {
            const size_t tail = line.format.size() > 100 ? line.format.size() - 60 : line.format.size();
            return qvtest::CaseLabel(seed, index) + " format " + qvtest::Show(line.format, 100) + " ending " +
                   qvtest::Show(line.format.substr(tail)) + ", " + std::to_string(line.slots.size()) + " arguments";
        };
        ASSERT_EQ(lines.size(), accept ? 1u : 0u) << label();
        if (!accept)
            continue;
        EXPECT_EQ(lines[0].Level, level) << label();
        EXPECT_EQ(lines[0].Source, source && *source ? source : "DefSource") << label();
        EXPECT_EQ(lines[0].Category, category && *category ? category : "DefCategory") << label();
        const std::string expected = Expected(line);
        const std::string& text = lines[0].Text;
        if (text != expected) { // lines reach 262147 bytes: show where they part
            const size_t at = std::mismatch(text.begin(), text.begin() + std::min(text.size(), expected.size()),
                                            expected.begin()).first - text.begin();
            const size_t from = at < 40 ? 0 : at - 40;
            FAIL() << label() << "\n  " << text.size() << " bytes delivered, " << expected.size()
                   << " expected, apart from byte " << at << "\n  delivered ..."
                   << qvtest::Show(text.substr(from, 80)) << "\n  expected  ..."
                   << qvtest::Show(expected.substr(from, 80));
        }
    }
}

TEST(RandomLogCallbacks, NarrowLogVAgreesWithTheModel) { CheckRandomLines<char>(3000); }

TEST(RandomLogCallbacks, WideLogVAgreesWithTheModel) { CheckRandomLines<wchar_t>(3000); }

} // namespace
