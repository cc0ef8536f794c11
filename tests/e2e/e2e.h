// End-to-end cases as table rows: the state a row prepares, the tool's
// arguments, its whole console output and exit code, and the state after.
//
// In arguments and expected text these tokens stand for the row's package
// set (testpkg, testpkg-v2 or testpkg-v3, packaged for this machine's
// processor: Win10-x64, or Win10-ARM64 on ARM64):
//   {drivers} drivers-path=<set>   {dir} the driver path the tool prints
//   {inf} {sys} {cat} the package's files   {img} the installed image
//   {nt} the INF sections' suffix (NTamd64, NTarm64)
//   {tmp} the row's scratch folder, {hl} the folder hl in it
//   {setup:<section>} the six setup-library lines of a good INF section run
// Expected text starting with '~' is a regular expression that must match
// the whole output (line ends without CR); an empty text is not compared.
#pragma once

#include "common/strconv.h"
#include "support/qvtest.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <regex>
#include <string>
#include <vector>

namespace e2e {

using namespace qvtest;

struct Env {
    ~Env();
    std::wstring set = L"testpkg";
    Scratch tmp;
    RunResult run;
    /// Handles the row holds open while the tool runs.
    std::vector<HANDLE> held;
    /// The exe the row runs, when not the built tool.
    fs::path tool;
    std::vector<std::unique_ptr<ScopedValue>> values;
    /// The row's tokens replaced in `text`, escaped for a regular expression
    /// when `pattern` is true.
    std::string Expand(std::string text, bool pattern = false) const;
    std::wstring Expand(const std::wstring& text) const;
};

struct Row {
    const char* name;
    std::vector<std::wstring> args;
    std::string expected;
    DWORD exitCode;
    std::function<void(Env&)> before = nullptr;
    std::function<void(Env&)> after = nullptr;
    const wchar_t* set = L"testpkg";
};

/// `text` as a regular expression that matches it literally.
std::string Escaped(const std::string& text);

/// Runs the tool once more, in a row's preparation or check.
RunResult Tool(const Env& env, std::vector<std::wstring> args);

/// Installs a package set (started unless `start` is false) with the exe of
/// this build, which is native: a row's preparation, not what it tests.
void Install(const wchar_t* set, bool start = true);

/// Skips a row in which the tool starts a service it created itself, when
/// it runs under WOW64: Wine gives a service that a 32-bit process creates
/// its "WOW64" value and hosts the x64 driver in a 32-bit process, which
/// cannot load it (1114). Windows has no such behaviour.
void StartsAServiceItCreated(Env& env);

/// Skips a row that only a 32-bit tool under WOW64 has.
void Wow64Only(Env& env);

/// ImagePath written as Windows writes it (Wine's setup library writes the
/// absolute path and cannot start a driver from the relative one).
void WindowsImagePath();

class Cases : public ::testing::TestWithParam<Row> {
protected:
    void SetUp() override { RemoveDriver(); }
    void TearDown() override;
    void RunRow();
};

void PrintTo(const Row& row, std::ostream* out);
std::string RowName(const ::testing::TestParamInfo<Row>& info);

} // namespace e2e
