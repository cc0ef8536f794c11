// A machine on which the tests install, upgrade and remove the test driver:
// 64-bit Windows 10 of a current build, as Wine reports it to the tool, and
// no QvOstrel service before or after each test.
#pragma once

#include "e2e_support.h"

#include "support/scoped_registry.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <string>
#include <vector>

namespace e2e {

class DriverTest : public ::testing::Test {
protected:
    DriverTest();
    ~DriverTest() override;

    /// Runs the tool with these arguments.
    qvtest::RunResult Tool(const std::vector<std::wstring>& args);

    /// "drivers-path=" of a test package set ("testpkg" or "testpkg-v2").
    static std::wstring DriversPath(const std::wstring& set);

    /// The driver directory line's folder for a package set, with the
    /// trailing separator the tool prints.
    static std::wstring DriverDirectory(const std::wstring& set);

    /// The package folder the tool picks on this machine.
    static std::filesystem::path PackageFolder(const std::wstring& set);

    /// system32\drivers\QvOstrel.sys.
    static std::filesystem::path InstalledImage();

    /// The service's current state; 0 when there is none.
    static DWORD ServiceState();

    /// Removes the service and the image, whatever state they are in.
    static void RemoveDriver();

    /// Sets one behaviour of the test driver (a REG_DWORD under the service
    /// key's Parameters); the driver reads it at its next open.
    static void SetParameter(const wchar_t* name, DWORD value);

    /// Reads a DWORD of the service key; returns false when it is missing.
    static bool ReadServiceDword(const wchar_t* name, DWORD& value);

private:
    qvtest::ScopedWineVersion version_;
    qvtest::ScopedWindowsBuild build_;
};

/// The value PendingFileRenameOperations, restored to its state at
/// construction when destroyed.
class PendingRenames {
public:
    PendingRenames();
    ~PendingRenames();
    /// The entries, as the registry holds them (source, target, ...).
    std::vector<std::wstring> Entries() const;
    /// True when some entry names `path` (compared without case, with any
    /// "\??\" prefix removed).
    bool Holds(const std::wstring& path) const;

private:
    std::vector<BYTE> saved_;
    bool existed_ = false;
};

/// Splits console output into lines without their CR LF.
std::vector<std::string> Lines(const std::string& output);

} // namespace e2e
