// The QvOstrel protection driver as the setup engine sees it: which package
// folder, files and INF sections fit the running Windows and processor.
//
// Failures in ostrelsetup/: Windows error codes (or the driver's NTSTATUS
// values) returned as values; no driver directory is an empty path. The
// standard exceptions (allocation) go up to the entry point.
#pragma once

#include "driversetup/driver_setup.h"

namespace Orvane {

class OstrelDriverSetup : public DriverSetup {
public:
    using DriverSetup::DriverSetup;

    /// The package under DriverDirectory for this Windows release and native
    /// processor, e.g. <dir>\Win10-x64\QvOstrel.inf with Install.NTamd64;
    /// all fields empty on a platform without a package.
    DriverPackage GetDriverPackage() override;

    /// Starts the driver and proves that it accepts this program as a client.
    DWORD StartDriver() override;
};

} // namespace Orvane
