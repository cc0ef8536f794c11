#include "support/stdout_capture.h"

#include "support/tool_runner.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

#include <cstdio>

namespace qvtest {

std::string Crlf(const std::string& text)
{
    std::string result;
    for (char c : text) {
        if (c == '\n')
            result += '\r';
        result += c;
    }
    return result;
}

StdoutCapture::StdoutCapture()
{
    wchar_t folder[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH + 1, folder);
    wchar_t name[MAX_PATH + 1] = {};
    GetTempFileNameW(folder, L"out", 0, name);
    path_ = name;
    std::fflush(stdout);
    file_ = _wsopen(path_.c_str(), _O_WRONLY | _O_TEXT | _O_TRUNC, _SH_DENYNO, _S_IREAD | _S_IWRITE);
    saved_ = _dup(1);
    _dup2(file_, 1);
}

StdoutCapture::~StdoutCapture()
{
    std::fflush(stdout);
    if (saved_ >= 0) {
        _dup2(saved_, 1);
        _close(saved_);
    }
    if (file_ >= 0)
        _close(file_);
    DeleteFileW(path_.c_str());
}

std::string StdoutCapture::Text()
{
    std::fflush(stdout);
    return ReadFileBytes(path_);
}

} // namespace qvtest
