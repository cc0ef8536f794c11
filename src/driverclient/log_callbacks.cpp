// The Microsoft runtime's own printf functions are used on purpose: they keep
// the Windows conventions for "%s", "%hs" and "%ws".
#include "driverclient/log_callbacks.h"

#include "common/last_error.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

namespace OstrelDriver {

namespace {

/// A formatting buffer: its size in bytes and the most characters of text it
/// takes before its terminator.
struct BufferShape {
    size_t Bytes;
    size_t MaxChars;
};

constexpr BufferShape kNarrowFirst = {512, 511};       // on the stack
constexpr BufferShape kNarrowRetry = {131073, 131072}; // from the heap
constexpr BufferShape kWideFirst = {1024, 510};        // on the stack, UTF-8 beside it
constexpr BufferShape kWideRetry = {262148, 131072};   // from the heap, UTF-8 beside it

// ERROR_ILLEGAL_CHARACTER, which not every SDK's headers define.
constexpr DWORD kIllegalCharacter = 582;

constexpr int kFailurePrecision = 256; // characters of the format shown in a failure line
const char kNarrowFailureFormat[] = "Log(\"%.*s\", ...) = 0x%x";
const wchar_t kWideFailureFormat[] = L"Log(L\"%.*s\", ...) = 0x%x";

/// Where a finished line goes: the sink and what it gets besides the text.
/// The failure line's format of each width.
const char* FailureFormat(const char*) { return kNarrowFailureFormat; }
const wchar_t* FailureFormat(const wchar_t*) { return kWideFailureFormat; }

struct Destination {
    LogSinkFn Sink;
    void* Context;
    unsigned Level;
    const char* Source;
    const char* Category;

    void Deliver(const char* text) const { Sink(Context, Level, Source, Category, text); }
};

/// A zero-filled block from the process heap, freed with its owner.
class HeapBlock {
public:
    explicit HeapBlock(size_t bytes)
        : data_(::HeapAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY, bytes))
    {
    }
    ~HeapBlock()
    {
        if (data_)
            ::HeapFree(::GetProcessHeap(), 0, data_);
    }
    HeapBlock(const HeapBlock&) = delete;
    HeapBlock& operator=(const HeapBlock&) = delete;

    explicit operator bool() const { return data_ != nullptr; }

    template <class T>
    T* As() const
    {
        return static_cast<T*>(data_);
    }

private:
    void* data_;
};

/// The given name when it is non-null and non-empty, otherwise the default.
const char* ChooseName(const char* given, const std::string& fallback)
{
    return given && *given ? given : fallback.c_str();
}

template <class Char>
bool IsTrailingBlank(Char c)
{
    return c == '\r' || c == '\n' || c == '\t' || c == ' ';
}

/// Removes trailing CR, LF, tab and space characters.
template <class Char>
void TrimEnd(Char* text)
{
    size_t length = std::char_traits<Char>::length(text);
    while (length > 0 && IsTrailingBlank(text[length - 1]))
        --length;
    text[length] = Char();
}

/// Formats into `text`, which has room for `maxChars` characters and a
/// terminator and is zero-filled. Returns 0 when the text fits (then trailing
/// blanks are removed), ERROR_INSUFFICIENT_BUFFER when it was cut at the end
/// of the buffer, and kIllegalCharacter when formatting failed with a
/// shorter text.
DWORD FormatNarrow(char* text, size_t maxChars, const char* format, va_list args)
{
    const int length = _vsnprintf(text, maxChars, format, args);
    text[maxChars] = '\0';
    if (length >= 0 && static_cast<size_t>(length) <= maxChars) {
        text[length] = '\0';
        TrimEnd(text);
        return 0;
    }
    return std::strlen(text) == maxChars ? ERROR_INSUFFICIENT_BUFFER : kIllegalCharacter;
}

/// Formats into `text`, which has room for `maxChars` wide characters and a
/// terminator and is zero-filled, and removes trailing blanks. Returns
/// ERROR_INSUFFICIENT_BUFFER when the text was cut at the end of the buffer,
/// otherwise 0: a failed format counts as success with the shorter text.
/// Required: this differs from FormatNarrow; keep it.
DWORD FormatWide(wchar_t* text, size_t maxChars, const wchar_t* format, va_list args)
{
    const int length = _vsnwprintf(text, maxChars, format, args);
    text[maxChars] = L'\0';
    DWORD result = 0;
    if (length >= 0 && static_cast<size_t>(length) <= maxChars)
        text[length] = L'\0';
    else if (std::wcslen(text) == maxChars)
        result = ERROR_INSUFFICIENT_BUFFER;
    TrimEnd(text);
    return result;
}

/// The number of UTF-8 bytes for the character that starts at `text`, and in
/// `units` the number of UTF-16 units it spans. An unpaired surrogate becomes
/// U+FFFD, three bytes.
size_t Utf8Size(const wchar_t* text, size_t& units)
{
    const unsigned c = static_cast<unsigned>(text[0]);
    units = 1;
    if (c < 0x80)
        return 1;
    if (c < 0x800)
        return 2;
    const unsigned next = static_cast<unsigned>(text[1]);
    if (c >= 0xD800 && c < 0xDC00 && next >= 0xDC00 && next < 0xE000) {
        units = 2;
        return 4;
    }
    return 3;
}

/// Writes into `utf8` (of `bytes` bytes) the UTF-8 form of the longest run of
/// whole characters from the start of `text` that fits with its terminator.
void ConvertLongestPrefix(const wchar_t* text, char* utf8, size_t bytes)
{
    size_t units = 0;
    size_t used = 0;
    while (text[units] != L'\0') {
        size_t span = 0;
        const size_t size = Utf8Size(text + units, span);
        if (used + size > bytes - 1)
            break;
        used += size;
        units += span;
    }
    const int written = units == 0 ? 0
                                   : ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(units),
                                                           utf8, static_cast<int>(bytes - 1),
                                                           nullptr, nullptr);
    utf8[written > 0 ? written : 0] = '\0';
}

/// Converts the terminated `text` to terminated UTF-8 in `utf8` of `bytes`
/// bytes. Returns 0 or the conversion's error; after 122 (too long) `utf8`
/// holds the longest run of whole characters that fits.
DWORD ConvertToUtf8(const wchar_t* text, char* utf8, size_t bytes)
{
    if (::WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, static_cast<int>(bytes), nullptr,
                              nullptr) > 0)
        return 0;
    const DWORD error = qv::LastErrorOr(ERROR_INTERNAL_ERROR);
    utf8[0] = '\0';
    if (error == ERROR_INSUFFICIENT_BUFFER)
        ConvertLongestPrefix(text, utf8, bytes);
    return error;
}

/// Formats a wide line into `text` (room for `maxChars`) and its UTF-8 form
/// into `utf8` (of `utf8Bytes`). Returns the conversion's error if it failed,
/// otherwise the format's result.
DWORD RenderWide(wchar_t* text, size_t maxChars, char* utf8, size_t utf8Bytes,
                 const wchar_t* format, va_list args)
{
    const DWORD formatted = FormatWide(text, maxChars, format, args);
    const DWORD converted = ConvertToUtf8(text, utf8, utf8Bytes);
    return converted != 0 ? converted : formatted;
}

/// Formats a narrow line again in the heap buffer and delivers it, cut when
/// it does not fit. Returns the failure code, or 0 when the line was
/// delivered or dropped for want of memory.
DWORD RetryNarrow(const Destination& to, const char* format, va_list args)
{
    HeapBlock block(kNarrowRetry.Bytes);
    if (!block)
        return 0; // dropped without a word
    const DWORD result = FormatNarrow(block.As<char>(), kNarrowRetry.MaxChars, format, args);
    if (result != 0 && result != ERROR_INSUFFICIENT_BUFFER)
        return result;
    to.Deliver(block.As<char>());
    return 0;
}

/// Formats and delivers a narrow line, first on the stack and, when it does
/// not fit, from `again` in the heap buffer. Returns 0 or the failure code.
DWORD Write(const Destination& to, const char* format, va_list args, va_list again)
{
    char text[kNarrowFirst.Bytes] = {};
    const DWORD result = FormatNarrow(text, kNarrowFirst.MaxChars, format, args);
    if (result == 0)
        to.Deliver(text);
    if (result != ERROR_INSUFFICIENT_BUFFER)
        return result;
    return RetryNarrow(to, format, again);
}

/// The wide counterpart of RetryNarrow.
DWORD RetryWide(const Destination& to, const wchar_t* format, va_list args)
{
    HeapBlock wide(kWideRetry.Bytes);
    if (!wide)
        return 0; // dropped without a word
    HeapBlock utf8(kWideRetry.Bytes);
    if (!utf8)
        return 0;
    const DWORD result = RenderWide(wide.As<wchar_t>(), kWideRetry.MaxChars, utf8.As<char>(),
                                    kWideRetry.Bytes, format, args);
    if (result != 0 && result != ERROR_INSUFFICIENT_BUFFER)
        return result;
    to.Deliver(utf8.As<char>());
    return 0;
}

/// The wide counterpart of the narrow Write.
DWORD Write(const Destination& to, const wchar_t* format, va_list args, va_list again)
{
    wchar_t text[kWideFirst.Bytes / sizeof(wchar_t)] = {};
    char utf8[kWideFirst.Bytes] = {};
    const DWORD result = RenderWide(text, kWideFirst.MaxChars, utf8, sizeof(utf8), format, args);
    if (result == 0)
        to.Deliver(utf8);
    if (result != ERROR_INSUFFICIENT_BUFFER)
        return result;
    return RetryWide(to, format, again);
}

} // namespace

LogCallbacks::~LogCallbacks() = default;

void LogCallbacks::Log(unsigned level, const char* source, const char* category,
                       const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    LogV(level, source, category, format, args);
    va_end(args);
}

void LogCallbacks::Log(unsigned level, const char* source, const char* category,
                       const char* format, ...)
{
    va_list args;
    va_start(args, format);
    LogV(level, source, category, format, args);
    va_end(args);
}

void LogCallbacks::LogV(unsigned level, const char* source, const char* category,
                        const wchar_t* format, va_list args)
{
    LogFormatted(level, source, category, format, args);
}

void LogCallbacks::LogV(unsigned level, const char* source, const char* category,
                        const char* format, va_list args)
{
    LogFormatted(level, source, category, format, args);
}

template <class Char>
void LogCallbacks::LogFormatted(unsigned level, const char* source, const char* category,
                                const Char* format, va_list args)
{
    if (!Sink || !format || !args) // va_list is a pointer on every Windows target
        return;
    const Destination to = {Sink, SinkContext, level, ChooseName(source, DefaultSource),
                            ChooseName(category, DefaultCategory)};
    if (Filter && !Filter(FilterContext, level, to.Source, to.Category))
        return;
    va_list again;
    va_copy(again, args);
    const DWORD result = Write(to, format, args, again);
    va_end(again);
    // A failure line that fails in turn is dropped rather than reported again.
    const Char* failure = FailureFormat(format);
    if (result != 0 && format != failure)
        Log(level, to.Source, to.Category, failure, kFailurePrecision, format,
            static_cast<unsigned>(result));
}

LogCallbacks& TraceLogInstance()
{
    static LogCallbacks instance; // built once, also under concurrent first calls
    return instance;
}

void TraceLog(const char* category, unsigned level, const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    TraceLogInstance().LogV(level, nullptr, category, format, args);
    va_end(args);
}

} // namespace OstrelDriver
