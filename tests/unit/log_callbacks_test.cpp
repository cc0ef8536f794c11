#include "driverclient/error_description.h"
#include "driverclient/log_callbacks.h"

#include "support/import_patch.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

using OstrelDriver::DescribeErrorCode;
using OstrelDriver::LoadMessageText;
using OstrelDriver::LogCallbacks;

// ---- a recording sink and filter ---------------------------------------

struct Line {
    unsigned Level;
    std::string Source;
    std::string Category;
    std::string Text;
};

/// What the sink and the filter of one LogCallbacks saw.
struct Recorder {
    std::vector<Line> Lines;   // delivered to the sink
    std::vector<Line> Asked;   // filter questions (Text empty)
    std::vector<void*> Contexts;
    bool Accept = true;
};

void RecordingSink(void* context, unsigned level, const char* source, const char* category,
                   const char* text)
{
    auto* recorder = static_cast<Recorder*>(context);
    recorder->Lines.push_back({level, source, category, text});
    recorder->Contexts.push_back(context);
}

bool RecordingFilter(void* context, unsigned level, const char* source, const char* category)
{
    auto* recorder = static_cast<Recorder*>(context);
    recorder->Asked.push_back({level, source, category, {}});
    return recorder->Accept;
}

/// Calls LogV with an absent (null) argument list.
template <class Char>
void LogWithoutArguments(LogCallbacks& log, const Char* format)
{
    va_list none = nullptr;
    log.LogV(1, "src", "cat", format, none);
}

// ---- counting the runtime's formatting calls ---------------------------

using NarrowFormatFn = int(__cdecl*)(char*, size_t, const char*, va_list);
using WideFormatFn = int(__cdecl*)(wchar_t*, size_t, const wchar_t*, va_list);

NarrowFormatFn RealNarrowFormat = nullptr;
WideFormatFn RealWideFormat = nullptr;
std::vector<size_t> NarrowCounts; // the count argument of each _vsnprintf call
std::vector<size_t> WideCounts;   // the count argument of each _vsnwprintf call

int __cdecl CountingNarrowFormat(char* buffer, size_t count, const char* format, va_list args)
{
    NarrowCounts.push_back(count);
    return RealNarrowFormat(buffer, count, format, args);
}

int __cdecl CountingWideFormat(wchar_t* buffer, size_t count, const wchar_t* format, va_list args)
{
    WideCounts.push_back(count);
    return RealWideFormat(buffer, count, format, args);
}

/// Counts the runtime's formatting calls of the exe for its lifetime.
class FormatCounter {
public:
    FormatCounter()
        : narrow_(qvtest::PatchImport("msvcrt.dll", "_vsnprintf", &CountingNarrowFormat)),
          wide_(qvtest::PatchImport("msvcrt.dll", "_vsnwprintf", &CountingWideFormat))
    {
        RealNarrowFormat = narrow_.original_as<NarrowFormatFn>();
        RealWideFormat = wide_.original_as<WideFormatFn>();
        NarrowCounts.clear();
        WideCounts.clear();
    }

private:
    qvtest::ImportPatch narrow_;
    qvtest::ImportPatch wide_;
};

// ---- failing conversions and allocations -------------------------------

using WideToMultiByteFn = decltype(&::WideCharToMultiByte);
WideToMultiByteFn RealWideToMultiByte = nullptr;
bool FailEveryConversion = false;

/// Fails with 1113 for a text that starts with '!', or for every text.
int WINAPI FailingWideToMultiByte(UINT codePage, DWORD flags, LPCWCH text, int length,
                                  LPSTR out, int outSize, LPCCH defaultChar, LPBOOL usedDefault)
{
    if (FailEveryConversion || (text && text[0] == L'!')) {
        ::SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return 0;
    }
    return RealWideToMultiByte(codePage, flags, text, length, out, outSize, defaultChar,
                               usedDefault);
}

using HeapAllocFn = decltype(&::HeapAlloc);
HeapAllocFn RealHeapAlloc = nullptr;
std::vector<SIZE_T> RefusedAllocations;

/// Refuses the retry buffers' sizes.
LPVOID WINAPI RefusingHeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes)
{
    if (bytes == 131073 || bytes == 262148) {
        RefusedAllocations.push_back(bytes);
        return nullptr;
    }
    return RealHeapAlloc(heap, flags, bytes);
}

// ---- message lookups ---------------------------------------------------

struct MessageCall {
    DWORD Flags;
    HMODULE Module;
    DWORD Code;
    DWORD Language;
    DWORD Size;
    bool ZeroInserts; // the arguments are an array of sixteen zeros
};

std::vector<MessageCall> MessageCalls;
HMODULE AnsweringModule = nullptr;       // the module whose table has text
DWORD AnsweringLanguage = 0;             // 0: every language
const wchar_t* AnswerText = L"Fake text.\r\n";

/// Answers AnswerText only for AnsweringModule (null: the system table) and
/// AnsweringLanguage, and records every call.
DWORD WINAPI FakeFormatMessageW(DWORD flags, LPCVOID source, DWORD code, DWORD language,
                                LPWSTR buffer, DWORD size, va_list* arguments)
{
    bool zeros = arguments != nullptr;
    for (int i = 0; zeros && i < 16; ++i)
        zeros = reinterpret_cast<const DWORD_PTR*>(arguments)[i] == 0;
    const auto module = static_cast<HMODULE>(const_cast<void*>(source));
    MessageCalls.push_back({flags, module, code, language, size, zeros});
    if (module != AnsweringModule || (AnsweringLanguage && language != AnsweringLanguage)) {
        ::SetLastError(ERROR_MR_MID_NOT_FOUND);
        return 0;
    }
    const std::wstring text = std::wstring(AnswerText).substr(0, size - 1);
    text.copy(buffer, text.size());
    buffer[text.size()] = L'\0';
    return static_cast<DWORD>(text.size());
}

/// Records the message lookups of the exe and answers them from a script.
class FakeMessages {
public:
    FakeMessages(HMODULE answeringModule, DWORD answeringLanguage = 0,
                 const wchar_t* text = L"Fake text.\r\n")
        : patch_(qvtest::PatchImport("kernel32.dll", "FormatMessageW", &FakeFormatMessageW))
    {
        MessageCalls.clear();
        AnsweringModule = answeringModule;
        AnsweringLanguage = answeringLanguage;
        AnswerText = text;
    }

private:
    qvtest::ImportPatch patch_;
};

std::vector<HMODULE> ModulesAsked()
{
    std::vector<HMODULE> modules;
    for (const MessageCall& call : MessageCalls)
        modules.push_back(call.Module);
    return modules;
}

/// The system table's text for `code` in English (United States), untrimmed.
std::wstring RawSystemText(DWORD code)
{
    wchar_t text[512] = {};
    const DWORD length = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                          nullptr, code, 1033, text, 512, nullptr);
    return std::wstring(text, length);
}

/// The expected description: the hex text, then the text in quotes if any.
std::wstring Described(const wchar_t* hex, const std::wstring& text)
{
    return text.empty() ? std::wstring(hex) : std::wstring(hex) + L" \"" + text + L"\"";
}

/// A module that the process has loaded for the lifetime of the object.
class LoadedModule {
public:
    explicit LoadedModule(const wchar_t* name) : module_(::LoadLibraryW(name)) {}
    ~LoadedModule()
    {
        if (module_)
            ::FreeLibrary(module_);
    }
    LoadedModule(const LoadedModule&) = delete;
    LoadedModule& operator=(const LoadedModule&) = delete;
    HMODULE get() const { return module_; }

private:
    HMODULE module_;
};

std::string Repeat(const char* piece, size_t times)
{
    std::string text;
    for (size_t i = 0; i < times; ++i)
        text += piece;
    return text;
}

std::wstring Repeat(const wchar_t* piece, size_t times)
{
    std::wstring text;
    for (size_t i = 0; i < times; ++i)
        text += piece;
    return text;
}

const wchar_t* const kSmiley = L"\x263A";  // three bytes in UTF-8
const char* const kSmileyUtf8 = "\xE2\x98\xBA";

// ---- the fixture -------------------------------------------------------

/// A LogCallbacks with a recording sink and filter and the defaults
/// "DefSource" and "DefCategory".
class LogCallbacksTest : public testing::Test {
protected:
    void SetUp() override
    {
        log.SinkContext = &recorder;
        log.Sink = &RecordingSink;
        log.FilterContext = &recorder;
        log.Filter = &RecordingFilter;
        log.DefaultSource = "DefSource";
        log.DefaultCategory = "DefCategory";
    }

    /// The texts that reached the sink.
    std::vector<std::string> Texts() const
    {
        std::vector<std::string> texts;
        for (const Line& line : recorder.Lines)
            texts.push_back(line.Text);
        return texts;
    }

    Recorder recorder;
    LogCallbacks log;
};

using TextList = std::vector<std::string>;
using Counts = std::vector<size_t>;

} // namespace

TEST_F(LogCallbacksTest, WithoutSinkNothingIsFormattedAndTheFilterIsNotAsked)
{
    log.Sink = nullptr;
    FormatCounter counter;
    log.Log(1, "src", "cat", "narrow %s %d\n", "text", 1);
    log.Log(1, "src", "cat", L"wide %s %d\n", L"text", 2);
    log.Log(1, "src", "cat", Repeat("n", 700).c_str());
    log.Log(1, "src", "cat", Repeat(L"w", 700).c_str());

    EXPECT_TRUE(NarrowCounts.empty());
    EXPECT_TRUE(WideCounts.empty());
    EXPECT_TRUE(recorder.Asked.empty());
}

TEST_F(LogCallbacksTest, NullFormatOrAbsentArgumentListDoesNothing)
{
    FormatCounter counter;
    log.Log(1, "src", "cat", static_cast<const char*>(nullptr));
    log.Log(1, "src", "cat", static_cast<const wchar_t*>(nullptr));
    LogWithoutArguments(log, "no arguments");
    LogWithoutArguments(log, L"no arguments");

    EXPECT_TRUE(NarrowCounts.empty());
    EXPECT_TRUE(WideCounts.empty());
    EXPECT_TRUE(recorder.Asked.empty());
    EXPECT_TRUE(recorder.Lines.empty());
}

TEST_F(LogCallbacksTest, FilterIsAskedWithChosenNamesAndFalseDropsTheLineUnformatted)
{
    recorder.Accept = false;
    {
        FormatCounter counter;
        log.Log(7, nullptr, "", "narrow %d\n", 1);
        log.Log(8, "src", "cat", L"wide %d\n", 2);
        EXPECT_TRUE(NarrowCounts.empty());
        EXPECT_TRUE(WideCounts.empty());
    }
    EXPECT_TRUE(recorder.Lines.empty());
    ASSERT_EQ(recorder.Asked.size(), 2u);
    EXPECT_EQ(recorder.Asked[0].Level, 7u);
    EXPECT_EQ(recorder.Asked[0].Source, "DefSource");
    EXPECT_EQ(recorder.Asked[0].Category, "DefCategory");
    EXPECT_EQ(recorder.Asked[1].Level, 8u);
    EXPECT_EQ(recorder.Asked[1].Source, "src");
    EXPECT_EQ(recorder.Asked[1].Category, "cat");

    recorder.Accept = true;
    log.Log(9, "src", "cat", "accepted\n");
    ASSERT_EQ(recorder.Lines.size(), 1u);
    EXPECT_EQ(recorder.Asked.size(), 3u);
    EXPECT_EQ(recorder.Contexts[0], &recorder);

    // Without a filter every line is accepted.
    log.Filter = nullptr;
    log.Log(9, "src", "cat", L"no filter\n");
    EXPECT_EQ(Texts(), (TextList{"accepted", "no filter"}));
}

TEST_F(LogCallbacksTest, NullOrEmptySourceAndCategoryTakeTheDefaults)
{
    log.Log(1, nullptr, nullptr, "a\n");
    log.Log(2, "", "", L"b\n");
    log.Log(3, "src", nullptr, "c\n");
    log.Log(4, nullptr, "cat", L"d\n");

    ASSERT_EQ(recorder.Lines.size(), 4u);
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"DefSource", "DefCategory"}, {"DefSource", "DefCategory"},
        {"src", "DefCategory"}, {"DefSource", "cat"}};
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(recorder.Lines[i].Level, i + 1);
        EXPECT_EQ(recorder.Lines[i].Source, expected[i].first) << i;
        EXPECT_EQ(recorder.Lines[i].Category, expected[i].second) << i;
    }

    // A fresh instance has empty defaults.
    LogCallbacks fresh;
    fresh.Sink = &RecordingSink;
    fresh.SinkContext = &recorder;
    fresh.Log(5, nullptr, "", "e\n");
    EXPECT_EQ(recorder.Lines.back().Source, "");
    EXPECT_EQ(recorder.Lines.back().Category, "");
    EXPECT_EQ(fresh.FilterContext, nullptr);
    EXPECT_EQ(fresh.Filter, nullptr);
}

TEST_F(LogCallbacksTest, TrailingBlanksAreRemovedAndFormatsFollowWindowsConventions)
{
    log.Log(1, "s", "c", "line \t\r\n");
    log.Log(1, "s", "c", L"line \t\r\n");
    log.Log(1, "s", "c", "a \r\nb.\n");
    log.Log(1, "s", "c", L"a \r\nb.\n");
    log.Log(1, "s", "c", " \t\r\n \r\n");
    log.Log(1, "s", "c", L" \t\r\n \r\n");
    log.Log(1, "s", "c", "%s|%ws|%hs|%d\n", "narrow", L"wide", "short", 5);
    log.Log(1, "s", "c", L"%s|%hs|%ws|%d\n", L"wide", "narrow", L"also", 6);
    log.Log(1, "s", "c", L"%s\n", L"\x00e9\x263A\xD83D\xDE00");

    EXPECT_EQ(Texts(), (TextList{"line", "line", "a \r\nb.", "a \r\nb.", "", "",
                              "narrow|wide|short|5", "wide|narrow|also|6",
                              "\xC3\xA9\xE2\x98\xBA\xF0\x9F\x98\x80"}));
}

namespace {

/// Logs through the virtual operations; records which LogV was reached.
class ForwardingProbe : public LogCallbacks {
public:
    void LogV(unsigned, const char*, const char*, const wchar_t* format, va_list args) override
    {
        Calls.push_back(L"wide:" + std::wstring(format) + L":" + va_arg(args, const wchar_t*));
    }
    void LogV(unsigned, const char*, const char*, const char* format, va_list args) override
    {
        const std::string text = std::string("narrow:") + format + ":" + va_arg(args, const char*);
        Calls.push_back(std::wstring(text.begin(), text.end()));
    }
    std::vector<std::wstring> Calls;
};

} // namespace

TEST(LogCallbacks, LogPassesItsArgumentsToTheLogVOfItsWidth)
{
    ForwardingProbe probe;
    LogCallbacks& log = probe;
    log.Log(1, "s", "c", L"%s", L"one");
    log.Log(1, "s", "c", "%s", "two");
    EXPECT_EQ(probe.Calls, (std::vector<std::wstring>{L"wide:%s:one", L"narrow:%s:two"}));
}

TEST_F(LogCallbacksTest, NarrowLinesTakeTheRetryBufferBeyond511Characters)
{
    const std::string fits = Repeat("n", 511);
    const std::string over = Repeat("o", 512);
    const std::string longer = Repeat("l", 600);
    {
        FormatCounter counter;
        log.Log(1, "s", "c", "%s", fits.c_str());
        EXPECT_EQ(NarrowCounts, (Counts{511}));
    }
    {
        FormatCounter counter;
        log.Log(1, "s", "c", "%s", over.c_str());
        log.Log(1, "s", "c", "%s\r\n", longer.c_str());
        EXPECT_EQ(NarrowCounts, (Counts{511, 131072, 511, 131072}));
    }
    EXPECT_EQ(Texts(), (TextList{fits, over, longer}));
}

TEST_F(LogCallbacksTest, NarrowLinesBeyond131072CharactersArriveCutAndUntrimmed)
{
    const std::string exact = Repeat("e", 131072);
    const std::string line = Repeat("a", 131070) + "  " + "tail";
    log.Log(1, "s", "c", "%s", exact.c_str());
    log.Log(1, "s", "c", "%s\n", line.c_str());
    ASSERT_EQ(recorder.Lines.size(), 2u);
    EXPECT_EQ(recorder.Lines[0].Text, exact);
    EXPECT_EQ(recorder.Lines[1].Text.size(), 131072u);
    EXPECT_EQ(recorder.Lines[1].Text, line.substr(0, 131072)) << "ends in two spaces";
}

TEST_F(LogCallbacksTest, WideLinesTakeTheRetryBufferBeyond510CharactersOr1024Utf8Bytes)
{
    const std::wstring fits = Repeat(L"w", 510);
    const std::wstring over = Repeat(L"o", 511);
    const std::wstring fitsUtf8 = Repeat(kSmiley, 341); // 1023 bytes and the terminator
    const std::wstring overUtf8 = Repeat(kSmiley, 342); // 1026 bytes
    const std::wstring manyBytes = Repeat(kSmiley, 400); // 1200 bytes
    {
        FormatCounter counter;
        log.Log(1, "s", "c", L"%s", fits.c_str());
        log.Log(1, "s", "c", L"%s", fitsUtf8.c_str());
        EXPECT_EQ(WideCounts, (Counts{510, 510}));
    }
    {
        FormatCounter counter;
        log.Log(1, "s", "c", L"%s", over.c_str());
        log.Log(1, "s", "c", L"%s", overUtf8.c_str());
        log.Log(1, "s", "c", L"%s\n", manyBytes.c_str());
        EXPECT_EQ(WideCounts, (Counts{510, 131072, 510, 131072, 510, 131072}));
    }
    EXPECT_EQ(Texts(), (TextList{std::string(510, 'w'), Repeat(kSmileyUtf8, 341),
                              std::string(511, 'o'), Repeat(kSmileyUtf8, 342),
                              Repeat(kSmileyUtf8, 400)}));
}

TEST_F(LogCallbacksTest, WideLinesBeyondTheRetryBufferArriveCutAndTrimmed)
{
    const std::wstring line = Repeat(L"a", 131070) + L" \t" + L"tail";
    log.Log(1, "s", "c", L"%s", line.c_str());
    // 131072 characters whose UTF-8 form (393216 bytes) exceeds the retry
    // buffer: the longest run of whole characters that fits arrives.
    log.Log(1, "s", "c", L"%s", Repeat(kSmiley, 131072).c_str());

    ASSERT_EQ(recorder.Lines.size(), 2u);
    EXPECT_EQ(recorder.Lines[0].Text, std::string(131070, 'a'));
    EXPECT_EQ(recorder.Lines[1].Text, Repeat(kSmileyUtf8, 262147 / 3));
}

TEST_F(LogCallbacksTest, NarrowFormatFailureBecomesAFailureLine)
{
    // The runtime cannot convert U+263A to a narrow character in the C
    // locale: _vsnprintf fails with "a" written.
    const std::string longFormat = Repeat("f", 300) + "%ls";
    const std::string retryLine = Repeat("r", 600);
    log.Log(3, nullptr, "cat", "a%lsb\n", kSmiley);
    log.Log(3, "src", nullptr, longFormat.c_str(), kSmiley);
    log.Log(3, "src", "cat", "%s%ls", retryLine.c_str(), kSmiley);

    EXPECT_EQ(Texts(), (TextList{"Log(\"a%lsb\n\", ...) = 0x246",
                              "Log(\"" + Repeat("f", 256) + "\", ...) = 0x246",
                              "Log(\"%s%ls\", ...) = 0x246"}));
    ASSERT_EQ(recorder.Lines.size(), 3u);
    EXPECT_EQ(recorder.Lines[0].Level, 3u);
    EXPECT_EQ(recorder.Lines[0].Source, "DefSource");
    EXPECT_EQ(recorder.Lines[0].Category, "cat");
    EXPECT_EQ(recorder.Lines[1].Source, "src");
    EXPECT_EQ(recorder.Lines[1].Category, "DefCategory");
    EXPECT_EQ(recorder.Asked.size(), 6u) << "the failure lines pass the filter too";
}

TEST_F(LogCallbacksTest, WideFormatFailureDeliversTheShorterText)
{
    // A width the runtime cannot produce: _vsnwprintf fails with "a" written.
    log.Log(1, "s", "c", L"a%2147483647db", 1);
    EXPECT_EQ(Texts(), (TextList{"a"}));
}

TEST_F(LogCallbacksTest, WideConversionFailureBecomesAFailureLine)
{
    {
        auto patch = qvtest::PatchImport("kernel32.dll", "WideCharToMultiByte",
                                         &FailingWideToMultiByte);
        RealWideToMultiByte = patch.original_as<WideToMultiByteFn>();
        FailEveryConversion = false;
        log.Log(4, "src", "cat", L"!%s\n", L"text");
        FailEveryConversion = true;
        log.Log(4, "src", "cat", L"never delivered\n");
        FailEveryConversion = false;
    }
    EXPECT_EQ(Texts(), (TextList{"Log(L\"!%s\n\", ...) = 0x459"}));
    EXPECT_EQ(recorder.Lines[0].Level, 4u);
}

TEST_F(LogCallbacksTest, RetryBufferThatCannotBeAllocatedDropsTheLine)
{
    RefusedAllocations.clear();
    {
        auto patch = qvtest::PatchImport("kernel32.dll", "HeapAlloc", &RefusingHeapAlloc);
        RealHeapAlloc = patch.original_as<HeapAllocFn>();
        log.Log(1, "s", "c", "%s", Repeat("n", 600).c_str());
        log.Log(1, "s", "c", L"%s", Repeat(L"w", 600).c_str());
        log.Log(1, "s", "c", "short\n");
    }
    EXPECT_EQ(RefusedAllocations, (std::vector<SIZE_T>{131073, 262148}));
    EXPECT_EQ(Texts(), (TextList{"short"}));
}

TEST(TraceLog, ConcurrentCallsFormatNothingWithoutASink)
{
    FormatCounter counter;
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([i] {
            for (int j = 0; j < 100; ++j)
                OstrelDriver::TraceLog("I/O", 2, L"thread %d line %d = %s\n", i, j, L"0x0");
        });
    for (std::thread& thread : threads)
        thread.join();
    OstrelDriver::TraceLog("Pool", 2, L"%s\n", Repeat(L"p", 700).c_str());
    EXPECT_TRUE(WideCounts.empty());
    EXPECT_TRUE(NarrowCounts.empty());
}

TEST(DescribeErrorCode, ZeroAndCodesWithoutTextAreTheBareHexText)
{
    EXPECT_EQ(DescribeErrorCode(0), L"0x0");
    EXPECT_EQ(DescribeErrorCode(0x20001234), L"0x20001234");
    EXPECT_EQ(DescribeErrorCode(0xE0ABCDEF), L"0xe0abcdef");
}

TEST(DescribeErrorCode, SystemTextIsQuotedWithoutItsFinalPeriod)
{
    const std::wstring raw = RawSystemText(ERROR_ACCESS_DENIED);
    ASSERT_GE(raw.size(), 3u);
    EXPECT_EQ(raw.substr(raw.size() - 3), L".\r\n") << "the system's text ends in a period";
    const std::wstring text = raw.substr(0, raw.size() - 3);
    EXPECT_EQ(LoadMessageText(ERROR_ACCESS_DENIED, nullptr), text);
    EXPECT_EQ(DescribeErrorCode(ERROR_ACCESS_DENIED), L"0x5 \"" + text + L"\"");
}

TEST(DescribeErrorCode, NtStatusTextComesFromNtdll)
{
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll");
    ASSERT_NE(ntdll, nullptr);
    // STATUS_NOT_FOUND is not in the system table. Windows's ntdll has its
    // text; Wine's ntdll has no message table, so there it stays bare.
    EXPECT_EQ(LoadMessageText(0xC0000225, nullptr), L"");
    EXPECT_EQ(DescribeErrorCode(0xC0000225),
              Described(L"0xc0000225", LoadMessageText(0xC0000225, ntdll)));

    // The order of the lookups, with a table that answers only for ntdll.
    {
        FakeMessages messages(ntdll, 0, L"From ntdll. \r\n");
        EXPECT_EQ(DescribeErrorCode(0xC0000225), L"0xc0000225 \"From ntdll\"");
    }
    EXPECT_EQ(ModulesAsked(), (std::vector<HMODULE>{nullptr, nullptr, ntdll}));
    EXPECT_EQ(MessageCalls[0].Code, 0xC0000225);
    EXPECT_EQ(MessageCalls[0].Language, 1033u);
    EXPECT_EQ(MessageCalls[1].Language, 1024u);
    EXPECT_EQ(MessageCalls[2].Language, 1033u);

    // The system table comes first.
    {
        FakeMessages messages(nullptr, 0, L"From the system.\r\n");
        EXPECT_EQ(DescribeErrorCode(5), L"0x5 \"From the system\"");
    }
    EXPECT_EQ(ModulesAsked(), (std::vector<HMODULE>{nullptr}));
}

TEST(DescribeErrorCode, InternetCodesGetTextOnlyFromALoadedInternetLibrary)
{
    ASSERT_EQ(::GetModuleHandleW(L"wininet"), nullptr);
    ASSERT_EQ(::GetModuleHandleW(L"winhttp"), nullptr);
    EXPECT_EQ(DescribeErrorCode(12002), L"0x2ee2");
    {
        LoadedModule winhttp(L"winhttp.dll");
        ASSERT_NE(winhttp.get(), nullptr);
        // Wine's winhttp has no message table; Windows's has the text.
        EXPECT_EQ(DescribeErrorCode(12002),
                  Described(L"0x2ee2", LoadMessageText(12002, winhttp.get())));
        LoadedModule wininet(L"wininet.dll");
        ASSERT_NE(wininet.get(), nullptr);
        const std::wstring text = LoadMessageText(12002, wininet.get());
        EXPECT_FALSE(text.empty());
        EXPECT_NE(text.back(), L'.');
        EXPECT_EQ(DescribeErrorCode(12002), L"0x2ee2 \"" + text + L"\"");
    }
    EXPECT_EQ(::GetModuleHandleW(L"wininet"), nullptr);
    EXPECT_EQ(DescribeErrorCode(12002), L"0x2ee2");
}

TEST(DescribeErrorCode, InternetLookupPrefersWininetAndCoversOnly12000To12499)
{
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll");
    const std::vector<HMODULE> systemAndNtdll = {nullptr, nullptr, ntdll, ntdll};
    const std::vector<HMODULE> systemTwice = {nullptr, nullptr, ntdll, ntdll, nullptr, nullptr};
    for (const DWORD code : {11999u, 12500u}) {
        FakeMessages messages(reinterpret_cast<HMODULE>(1));
        DescribeErrorCode(code);
        EXPECT_EQ(ModulesAsked(), systemAndNtdll) << code;
    }
    for (const DWORD code : {12000u, 12499u}) {
        FakeMessages messages(reinterpret_cast<HMODULE>(1));
        DescribeErrorCode(code);
        EXPECT_EQ(ModulesAsked(), systemTwice) << code;
    }

    LoadedModule winhttp(L"winhttp.dll");
    ASSERT_NE(winhttp.get(), nullptr);
    {
        FakeMessages messages(winhttp.get(), 0, L"From winhttp.\r\n");
        EXPECT_EQ(DescribeErrorCode(12002), L"0x2ee2 \"From winhttp\"");
    }
    LoadedModule wininet(L"wininet.dll");
    ASSERT_NE(wininet.get(), nullptr);
    {
        FakeMessages messages(wininet.get(), 0, L"From wininet.\r\n");
        EXPECT_EQ(DescribeErrorCode(12002), L"0x2ee2 \"From wininet\"");
    }
    EXPECT_EQ(ModulesAsked(), (std::vector<HMODULE>{nullptr, nullptr, ntdll, ntdll, wininet.get()}));
}

TEST(LoadMessageText, AsksBothLanguagesWithFlagsBufferAndZeroInserts)
{
    const HMODULE module = ::GetModuleHandleW(L"ntdll");
    {
        FakeMessages messages(nullptr, 1024, L"Second language. \t\r\n");
        EXPECT_EQ(LoadMessageText(42, nullptr), L"Second language");
    }
    ASSERT_EQ(MessageCalls.size(), 2u);
    for (const MessageCall& call : MessageCalls) {
        EXPECT_EQ(call.Flags, 0x3000u);
        EXPECT_EQ(call.Code, 42u);
        EXPECT_EQ(call.Size, 512u);
        EXPECT_TRUE(call.ZeroInserts);
    }
    EXPECT_EQ(MessageCalls[0].Language, 1033u);
    EXPECT_EQ(MessageCalls[1].Language, 1024u);

    {
        FakeMessages messages(module, 0, L"a.b... \r\n.");
        EXPECT_EQ(LoadMessageText(43, module), L"a.b");
    }
    ASSERT_EQ(MessageCalls.size(), 1u) << "the first language that has text wins";
    EXPECT_EQ(MessageCalls[0].Flags, 0x2800u);
    EXPECT_EQ(MessageCalls[0].Module, module);
    EXPECT_TRUE(MessageCalls[0].ZeroInserts);

    {
        FakeMessages messages(reinterpret_cast<HMODULE>(1));
        EXPECT_EQ(LoadMessageText(44, module), L"");
    }
    EXPECT_EQ(MessageCalls.size(), 2u);
}
