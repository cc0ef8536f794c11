// Captures what the process writes to standard output while in scope, in
// the runtime's text mode as a console program writes it (line feeds become
// CR LF).
#pragma once

#include <string>

namespace qvtest {

/// The console form of `text`: a program's standard output is in the
/// runtime's text mode, so every line feed is preceded by a carriage return.
std::string Crlf(const std::string& text);

class StdoutCapture {
public:
    StdoutCapture();
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    /// Everything written since construction.
    std::string Text();

private:
    int saved_ = -1;
    int file_ = -1;
    std::wstring path_;
};

} // namespace qvtest
