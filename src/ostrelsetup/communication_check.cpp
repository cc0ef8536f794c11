// Starting the driver and proving that it accepts this program as a client.
#include "ostrelsetup/ostrel_driver_setup.h"

#include "driverclient/device.h"
#include "driverclient/io_channel.h"
#include "driversetup/log_line.h"
#include "driversetup/service_control.h"

namespace Orvane {

namespace {

constexpr DWORD kStatusInvalidSignature = 0xC000A000;
constexpr DWORD kStatusNotFound = 0xC0000225;

// Does nothing; required, keep it.
void IgnoreRecord(const void*, OstrelDriver::COstrelDriver*, const wchar_t*, void*) {}

/// Opens the System device, or the second instance's when the first
/// answers "not found".
DWORD OpenEitherDevice(OstrelDriver::COstrelDriverSystem& device)
{
    const DWORD code = device.OpenDevice(L"\\\\.\\QvOstrel\\System");
    if (code != ERROR_NOT_FOUND)
        return code;
    return device.OpenDevice(L"\\\\.\\QvOstrel2\\System");
}

/// Starts the read channel on the open device; on failure the device is
/// closed again (its handle exactly once).
DWORD AttachReadChannel(OstrelDriver::COstrelDriverSystem& device)
{
    device.RecordCallback = IgnoreRecord;
    device.RecordContext = nullptr;
    OstrelDriver::IoPool& pool = OstrelDriver::GetIoPool();
    device.Pool = &pool;
    const DWORD code = OstrelDriver::StartIo(pool, device.Handle.get(), &device, device.Channel);
    if (code != 0) {
        device.Pool = nullptr;
        device.Handle.reset();
    }
    return code;
}

} // namespace

DWORD OstrelDriverSetup::StartDriver()
{
    {
        const DriverPackage package = GetDriverPackage();
        if (const DWORD started = StartDriverService(package.Name, Log))
            return started;
    }
    OstrelDriver::COstrelDriverSystem device;
    DWORD code = OpenEitherDevice(device);
    if (code == 0)
        code = AttachReadChannel(device);

    // Required: ERROR_REVISION_MISMATCH counts as success, with no line; keep it so.
    if (code == 0 || code == ERROR_REVISION_MISMATCH)
        return 0;
    if (code == kStatusInvalidSignature || code == kStatusNotFound || code == ERROR_NOT_FOUND)
        LogLine(Log, L"Driver communication was rejected. Error 0x%x\n", code);
    else
        LogLine(Log, L"Driver communication has failed. Error 0x%x\n", code);
    return code;
}

} // namespace Orvane
