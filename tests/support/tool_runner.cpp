#include "support/tool_runner.h"

#include <atomic>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace qvtest {

namespace {

fs::path ModuleFolder()
{
    std::vector<wchar_t> buffer(32768);
    GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    return fs::path(buffer.data()).parent_path();
}

HANDLE CreateInheritableFile(const fs::path& path, DWORD access, DWORD disposition)
{
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                       disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

std::wstring Quote(const std::wstring& arg)
{
    if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos)
        return arg;
    std::wstring quoted = L"\"";
    for (wchar_t c : arg) {
        if (c == L'"')
            quoted += L'\\';
        quoted += c;
    }
    return quoted + L"\"";
}

} // namespace

fs::path BuildFolder() { return ModuleFolder().parent_path(); }

fs::path ToolPath()
{
    // QV_TOOL_EXE runs the same cases against another build of the tool.
    std::vector<wchar_t> other(32768);
    const DWORD length = GetEnvironmentVariableW(L"QV_TOOL_EXE", other.data(), 32768);
    if (length > 0 && length < 32768)
        return fs::path(other.data());
    return BuildFolder() / L"QvOstrelSetup.exe";
}

RunResult RunProgramLine(const fs::path& program, const std::wstring& commandLine, DWORD timeoutMs)
{
    std::wstring line = Quote(program.wstring());
    if (!commandLine.empty())
        line += L" " + commandLine;
    return RunProgramRaw(program, line, timeoutMs);
}

RunResult RunProgramRaw(const fs::path& program, const std::wstring& fullCommandLine,
                        DWORD timeoutMs)
{
    ScratchFolder io;
    const fs::path outPath = io / L"stdout.txt";
    const fs::path errPath = io / L"stderr.txt";
    RunResult result;
    {
        HANDLE out = CreateInheritableFile(outPath, GENERIC_WRITE, CREATE_ALWAYS);
        HANDLE err = CreateInheritableFile(errPath, GENERIC_WRITE, CREATE_ALWAYS);
        HANDLE in = CreateInheritableFile(L"NUL", GENERIC_READ, OPEN_EXISTING);
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = out;
        startup.hStdError = err;
        startup.hStdInput = in;
        PROCESS_INFORMATION process = {};
        BOOL started = FALSE;
        DWORD startError = 0;
        // Wine now and then fails a process start with an internal error
        // when many are started in a row; such a start is tried again.
        for (int attempt = 0; attempt < 3 && !started; ++attempt) {
            if (attempt > 0)
                Sleep(200);
            std::wstring line = fullCommandLine;
            started = CreateProcessW(program.c_str(), &line[0], nullptr, nullptr, TRUE, 0, nullptr,
                                     nullptr, &startup, &process);
            startError = started ? 0 : GetLastError();
            if (!started && startError != ERROR_INTERNAL_ERROR)
                break;
        }
        CloseHandle(out);
        CloseHandle(err);
        if (in != INVALID_HANDLE_VALUE)
            CloseHandle(in);
        if (!started)
            throw std::runtime_error("CreateProcessW failed: " + std::to_string(startError));
        CloseHandle(process.hThread);
        if (WaitForSingleObject(process.hProcess, timeoutMs) != WAIT_OBJECT_0) {
            TerminateProcess(process.hProcess, 0xDEAD);
            WaitForSingleObject(process.hProcess, INFINITE);
            CloseHandle(process.hProcess);
            throw std::runtime_error("program timed out");
        }
        GetExitCodeProcess(process.hProcess, &result.exitCode);
        CloseHandle(process.hProcess);
    }
    result.output = ReadFileBytes(outPath);
    result.errors = ReadFileBytes(errPath);
    return result;
}

RunResult RunProgram(const fs::path& program, const std::vector<std::wstring>& args,
                     DWORD timeoutMs)
{
    std::wstring line;
    for (const std::wstring& arg : args) {
        if (!line.empty())
            line += L' ';
        line += Quote(arg);
    }
    return RunProgramLine(program, line, timeoutMs);
}

std::string ReadFileBytes(const fs::path& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

ScratchFolder::ScratchFolder()
{
    static std::atomic<unsigned> counter{0};
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH + 1, temp);
    path_ = fs::path(temp) / (L"qvtest-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                              std::to_wstring(GetTickCount64()) + L"-" +
                              std::to_wstring(counter++));
    fs::create_directories(path_);
}

ScratchFolder::~ScratchFolder()
{
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

void CopyFileTo(const fs::path& from, const fs::path& to)
{
    fs::create_directories(to.parent_path());
    fs::copy_file(from, to, fs::copy_options::overwrite_existing);
}

void WriteFileBytes(const fs::path& path, const std::string& bytes)
{
    if (!path.parent_path().empty())
        fs::create_directories(path.parent_path());
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << bytes;
}

} // namespace qvtest
