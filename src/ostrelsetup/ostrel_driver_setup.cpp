#include "ostrelsetup/ostrel_driver_setup.h"

#include "ostrelsetup/platform.h"

#include <filesystem>

namespace fs = std::filesystem;

namespace Orvane {

namespace {

constexpr wchar_t kDriverName[] = L"QvOstrel";

/// The OsVariant part of the package folder name for the native processor
/// `architecture`; null before Windows 7.
const wchar_t* SelectOsVariant(WORD architecture)
{
    if (IsOsVersionAtLeast(10, 0) && architecture == PROCESSOR_ARCHITECTURE_AMD64 &&
        IsLegacyWindows10Build())
        return L"Win10-Legacy";
    if (IsOsVersionAtLeast(10, 0))
        return L"Win10";
    if (IsOsVersionAtLeast(6, 2))
        return L"Win8";
    if (IsOsVersionAtLeast(6, 1))
        return L"Win7";
    return nullptr;
}

struct ArchitectureNames {
    const wchar_t* Decoration;
    const wchar_t* FolderSuffix;
};

/// The INF decoration and folder suffix of the native processor
/// `architecture`; null fields for a processor without a package.
ArchitectureNames SelectArchitecture(WORD architecture)
{
    if (architecture == PROCESSOR_ARCHITECTURE_AMD64)
        return {L"NTamd64", L"-x64"};
    if (architecture == PROCESSOR_ARCHITECTURE_INTEL)
        return {L"NTx86", L"-Win32"};
    if (architecture == 12 /* PROCESSOR_ARCHITECTURE_ARM64 */)
        return {L"NTarm64", L"-ARM64"};
    return {nullptr, nullptr};
}

} // namespace

DriverPackage OstrelDriverSetup::GetDriverPackage()
{
    // Asked once: each question costs the system a round trip.
    const WORD nativeArchitecture = GetNativeArchitecture();
    fs::path folder(DriverDirectory);
    const wchar_t* osVariant = SelectOsVariant(nativeArchitecture);
    if (!osVariant)
        return {};
    folder /= osVariant;
    const ArchitectureNames architecture = SelectArchitecture(nativeArchitecture);
    if (!architecture.Decoration)
        return {};
    folder += architecture.FolderSuffix;

    DriverPackage package;
    package.Name = kDriverName;
    package.InfPath = (folder / L"QvOstrel.inf").wstring();
    package.SysPath = (folder / L"QvOstrel.sys").wstring();
    package.CatPath = (folder / L"QvOstrel.cat").wstring();
    package.InstallSection = std::wstring(L"Install.") + architecture.Decoration;
    package.UninstallSection = std::wstring(L"Uninstall.") + architecture.Decoration;
    return package;
}

} // namespace Orvane
