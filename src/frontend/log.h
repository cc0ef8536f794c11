// Progress and result lines: every line goes to standard output and, while a
// log file is open, is appended to that file with a timestamp in front.
//
// Formats follow the Windows runtime's printf conventions: in a narrow
// format "%s" is a narrow string and "%ws" a wide one; in a wide format "%s"
// is a wide string and "%hs" a narrow one.
#pragma once

#include <string>

/// Writes a narrow printf-style message. The file copy holds the formatted
/// bytes; a line whose timestamp and text exceed 4095 bytes is left out of
/// the file (never cut), while the console copy is always complete.
void LogPrintf(const char* format, ...);

/// Writes a wide printf-style message. The file copy is UTF-8; a line over
/// 2046 characters or 4095 UTF-8 bytes is left out of the file.
void LogPrintfW(const wchar_t* format, ...);

/// Opens (or creates, with its missing folders) the log file for appending
/// and writes one line feed, so each run starts after an empty line. A file
/// that cannot be opened is silently not used.
void OpenLogFile(const std::wstring& path);

/// Closes the log file, if one is open. Also runs at process exit.
void CloseLogFile();
