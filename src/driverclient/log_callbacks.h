// The device client's logging front: printf-style lines, narrow or wide,
// formatted and handed as narrow text (UTF-8 when the format was wide) to a
// sink callback, after an optional filter callback. The process-wide
// instance is reached through TraceLog.
#pragma once

#include <cstdarg>
#include <string>

namespace OstrelDriver {

/// Receives each finished line.
using LogSinkFn = void (*)(void* context, unsigned level, const char* source,
                           const char* category, const char* text);

/// Asked before a line is formatted; false drops the line.
using LogFilterFn = bool (*)(void* context, unsigned level, const char* source,
                             const char* category);

class LogCallbacks {
public:
    LogCallbacks() = default;
    LogCallbacks(const LogCallbacks&) = delete;
    LogCallbacks& operator=(const LogCallbacks&) = delete;

    // The virtual operations, in the order of their slots:
    //  - the destructor;
    //  - Log (wide), which passes its arguments on to the wide LogV;
    //  - Log (narrow), which passes them on to the narrow LogV;
    //  - LogV (wide), which formats a line and hands its UTF-8 form to Sink;
    //  - LogV (narrow), which formats a line and hands it to Sink.
    // A null or empty source or category stands for DefaultSource or
    // DefaultCategory. The Microsoft ABI lays out the overloads of one name
    // in reverse order of declaration, so there each pair is declared narrow
    // first.

    // Required: keep this declaration order (the slot order above).
    virtual ~LogCallbacks();

#if defined(_MSC_VER)
    virtual void Log(unsigned level, const char* source, const char* category,
                     const char* format, ...);
    virtual void Log(unsigned level, const char* source, const char* category,
                     const wchar_t* format, ...);
    virtual void LogV(unsigned level, const char* source, const char* category,
                      const char* format, va_list args);
    virtual void LogV(unsigned level, const char* source, const char* category,
                      const wchar_t* format, va_list args);
#else
    virtual void Log(unsigned level, const char* source, const char* category,
                     const wchar_t* format, ...);
    virtual void Log(unsigned level, const char* source, const char* category,
                     const char* format, ...);
    virtual void LogV(unsigned level, const char* source, const char* category,
                      const wchar_t* format, va_list args);
    virtual void LogV(unsigned level, const char* source, const char* category,
                      const char* format, va_list args);
#endif

    // Nothing in this tool sets these six; required, keep them.
    void* SinkContext = nullptr;
    LogSinkFn Sink = nullptr; // null: nothing is logged
    void* FilterContext = nullptr;
    LogFilterFn Filter = nullptr; // null: every line is accepted
    std::string DefaultSource;
    std::string DefaultCategory;

private:
    /// LogV of either width: choose the names, ask the filter, format, hand
    /// the line to the sink, and report a line that cannot be formatted.
    template <class Char>
    void LogFormatted(unsigned level, const char* source, const char* category,
                      const Char* format, va_list args);
};

/// The process-wide instance behind TraceLog, built on first use. Nothing
/// in the tool gives it a sink, so its lines are dropped unless a host of
/// this code installs one.
LogCallbacks& TraceLogInstance();

/// Writes one diagnostic line through the process-wide LogCallbacks
/// instance, built on the first call: the wide LogV with no source.
void TraceLog(const char* category, unsigned level, const wchar_t* format, ...);

} // namespace OstrelDriver
