#include "frontend/log.h"

#include "common/paths.h"
#include "common/unique_handle.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cwchar>
#include <filesystem>
#include <memory>
#include <vector>

namespace {

// Required as they stand: keep these three limits.
constexpr size_t kNarrowLineBytes = 4096; // text and terminating zero
constexpr size_t kWideLineChars = 2047;   // text and terminating zero
constexpr size_t kUtf8LineBytes = 4096;   // text and terminating zero

qv::unique_file LogFile; // closed when the process ends normally
SRWLOCK LogLock = SRWLOCK_INIT;

/// Holds LogLock exclusively for its lifetime.
class ExclusiveLogLock {
public:
    ExclusiveLogLock() { ::AcquireSRWLockExclusive(&LogLock); }
    ~ExclusiveLogLock() { ::ReleaseSRWLockExclusive(&LogLock); }
    ExclusiveLogLock(const ExclusiveLogLock&) = delete;
    ExclusiveLogLock& operator=(const ExclusiveLogLock&) = delete;
};

// The runtime's own formatting functions are named explicitly: they keep the
// Windows conventions for "%s", "%ws" and "%hs" whatever the C library's
// default printf family does.

/// Writes bytes to standard output as the runtime's text mode would, each
/// line feed after a carriage return, with one WriteFile: the runtime's own
/// stream would cost its set-up on every run.
void WriteConsoleBytes(const char* bytes, size_t count)
{
    std::vector<char> text;
    text.reserve(count + count / 8 + 1);
    for (size_t i = 0; i < count; ++i) {
        if (bytes[i] == '\n')
            text.push_back('\r');
        text.push_back(bytes[i]);
    }
    DWORD written = 0;
    ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written,
                nullptr);
}

/// Prints the whole narrow message on standard output.
void PrintConsole(const char* format, va_list args)
{
    va_list measure;
    va_copy(measure, args);
    const int length = _vscprintf(format, measure);
    va_end(measure);
    if (length <= 0)
        return;
    std::vector<char> text(static_cast<size_t>(length) + 1);
    _vsnprintf(text.data(), text.size(), format, args);
    WriteConsoleBytes(text.data(), static_cast<size_t>(length));
}

/// Prints the whole wide message on standard output as UTF-8, like the
/// narrow lines that carry paths: the runtime's own wide output would stop
/// at the first character its default locale cannot show.
void PrintConsole(const wchar_t* format, va_list args)
{
    va_list measure;
    va_copy(measure, args);
    const int length = _vscwprintf(format, measure);
    va_end(measure);
    if (length <= 0)
        return;
    std::vector<wchar_t> text(static_cast<size_t>(length) + 1);
    _vsnwprintf(text.data(), text.size(), format, args);
    const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0)
        return;
    std::vector<char> utf8(static_cast<size_t>(bytes));
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), length, utf8.data(), bytes, nullptr, nullptr);
    WriteConsoleBytes(utf8.data(), utf8.size());
}

/// Appends bytes to the log file; the outcome is deliberately not examined.
void WriteLogBytes(const char* bytes, size_t count)
{
    DWORD written = 0;
    ::WriteFile(LogFile.get(), bytes, static_cast<DWORD>(count), &written, nullptr);
}

void WriteFileLine(const char* format, va_list args)
{
    std::unique_ptr<char[]> buffer(new char[kNarrowLineBytes]());
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    const int stamp = _snprintf(buffer.get(), kNarrowLineBytes - 1,
                                "[%hu.%02hu.%02hu %02hu:%02hu:%02hu.%03hu] ", now.wYear,
                                now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond,
                                now.wMilliseconds);
    if (stamp < 0)
        return;
    const size_t room = kNarrowLineBytes - static_cast<size_t>(stamp);
    const int message = _vsnprintf(buffer.get() + stamp, room - 1, format, args);
    if (message < 0 || static_cast<size_t>(message) > room - 1)
        return; // the line does not fit: left out, never cut
    WriteLogBytes(buffer.get(), static_cast<size_t>(stamp) + static_cast<size_t>(message));
}

void WriteFileLine(const wchar_t* format, va_list args)
{
    std::unique_ptr<wchar_t[]> buffer(new wchar_t[kWideLineChars]());
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    const int stamp = _snwprintf(buffer.get(), kWideLineChars - 1,
                                 L"[%hu.%02hu.%02hu %02hu:%02hu:%02hu.%03hu] ", now.wYear,
                                 now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond,
                                 now.wMilliseconds);
    if (stamp < 0)
        return;
    const size_t room = kWideLineChars - static_cast<size_t>(stamp);
    const int message = _vsnwprintf(buffer.get() + stamp, room - 1, format, args);
    if (message < 0 || static_cast<size_t>(message) > room - 1)
        return;
    const int length = stamp + message;
    buffer[static_cast<size_t>(length)] = L'\0';

    std::unique_ptr<char[]> utf8(new char[kUtf8LineBytes]());
    const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, buffer.get(), length + 1, utf8.get(),
                                            static_cast<int>(kUtf8LineBytes), nullptr, nullptr);
    if (bytes <= 1)
        return; // conversion failed (more than 4095 bytes) or nothing to write
    WriteLogBytes(utf8.get(), static_cast<size_t>(bytes) - 1);
}

/// One line to the console and, when a log file is open, to the file.
template <class Char>
void WriteLine(const Char* format, va_list args)
{
    ExclusiveLogLock lock;
    va_list fileArgs;
    va_copy(fileArgs, args);
    PrintConsole(format, args);
    if (LogFile)
        WriteFileLine(format, fileArgs);
    va_end(fileArgs);
}

} // namespace

void LogPrintf(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    WriteLine(format, args);
    va_end(args);
}

void LogPrintfW(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    WriteLine(format, args);
    va_end(args);
}

void OpenLogFile(const std::wstring& path)
{
    CloseLogFile();

    const std::filesystem::path parent = std::filesystem::path(path).parent_path();
    if (!parent.empty())
        qv::CreateDirectories(parent.wstring());

    LogFile.reset(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!LogFile)
        return;
    ::SetFilePointer(LogFile.get(), 0, nullptr, FILE_END);
    WriteLogBytes("\n", 1);
}

void CloseLogFile() { LogFile.reset(); }
