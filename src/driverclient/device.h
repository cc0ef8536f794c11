// The client of the protection driver's control device: opening it, asking
// the driver for its versions, making this client known to it, and the
// callbacks with which a device object drives its read channel.
//
// Failures in driverclient/: Windows error codes, or the driver's NTSTATUS
// values, returned as values; only allocation can throw here.
#pragma once

#include "driverclient/io_channel.h"

#include <windows.h>

#include <map>

namespace OstrelDriver {

constexpr DWORD kIoctlQueryVersion = 0x224004;  // in: USHORT index, out: ULONG
constexpr DWORD kIoctlControl = 0x228008;       // in: ULONG 0
constexpr DWORD kIoctlRead = 0x22400C;          // out: the record stream
constexpr DWORD kIoctlSelfCheck = 0x228010;     // in: client path, out: ULONG verdict
constexpr DWORD kSupportedInterfaceVersion = 3;
constexpr DWORD kReplyRecordType = 0x1000;
constexpr DWORD kDevicePathChars = 50;

class COstrelDriver;

/// Called for every record the read channel delivers.
using RecordCallbackFn = void (*)(const void* record, COstrelDriver* device,
                                  const wchar_t* devicePath, void* context);

class COstrelDriver {
public:
    COstrelDriver();
    // Required: the destructor, then CloseDevice, is the slot order; keep it.
    virtual ~COstrelDriver() = default;
    COstrelDriver(const COstrelDriver&) = delete;
    COstrelDriver& operator=(const COstrelDriver&) = delete;

    /// Closes Handle; ERROR_FILE_NOT_FOUND when there is none.
    virtual DWORD CloseDevice();

    /// Opens "\\.\QvOstrel\System" for reading and fills the version
    /// fields; keeps the handle only for interface version 3 (else
    /// ERROR_REVISION_MISMATCH).
    DWORD QueryDriverVersion();

    /// Opens `path` (null: "\\.\QvOstrel\System") for reading and writing,
    /// queries the versions and makes this client known to the driver.
    DWORD OpenDevice(const wchar_t* path);

    qv::unique_file Handle;
    unique_channel Channel;
    IoPool* Pool = nullptr;
    wchar_t DevicePath[kDevicePathChars] = {};
    RecordCallbackFn RecordCallback = nullptr;
    void* RecordContext = nullptr;
    DWORD InterfaceVersion = 0;
    DWORD DriverVersion[4] = {};
    DWORD NtddiVersion = 0;
    // Never set by this tool (always 0); required, keep it.
    DWORD ReadOptions = 0;
    // No operation of this tool adds a pending reply; required, keep both.
    SRWLOCK ReplyLock;
    std::map<DWORD, HANDLE> PendingReplies;

protected:
    /// Resets every field to its freshly constructed value.
    void ResetFields();
};

class COstrelDriverSystem : public COstrelDriver {
public:
    COstrelDriverSystem() = default;
    ~COstrelDriverSystem() override;

    /// Closes the read channel (cancelling its reads) and the handle,
    /// signals every pending reply and resets the object.
    DWORD CloseDevice() override;
};

/// The device client's channel callbacks, with the device object as context.
const ChannelCallbacks& DeviceChannelCallbacks();

/// Walks the records of a completed read (the channel's OnRecords).
void WalkRecords(HANDLE handle, const void* buffer, DWORD transferred, void* device,
                 PTP_CALLBACK_INSTANCE instance);

} // namespace OstrelDriver
