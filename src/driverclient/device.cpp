#include "driverclient/device.h"

#include "common/paths.h"
#include "common/unique_handle.h"

#include <cstring>

namespace OstrelDriver {

namespace {

constexpr wchar_t kSystemDevice[] = L"\\\\.\\QvOstrel\\System";
// The direct-output read and its buffer sizes are never selected by this
// tool (ReadOptions stays 0); required, keep them.
constexpr DWORD kReadDirectOption = 2;
constexpr DWORD kPageBytes = 4096;
constexpr DWORD kLargeBufferLimit = 65535;
constexpr DWORD kDirectMin = 0x40000;
constexpr DWORD kDirectMax = 0xFFFFF;
constexpr size_t kSizeOffset = 0;
constexpr size_t kTypeOffset = 16;
constexpr size_t kReplyIdOffset = 92;

DWORD DwordAt(const BYTE* record, size_t offset)
{
    DWORD value = 0;
    std::memcpy(&value, record + offset, sizeof(value));
    return value;
}

/// The event of the synchronous requests on one overlapped device handle.
/// Its low bit is set in each request's OVERLAPPED, so that a completion
/// never reaches a completion port (the read channel's) the handle is bound to.
class RequestEvent {
public:
    RequestEvent() : event_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    /// 0, or the error of creating the event.
    DWORD Error() const { return event_ ? 0 : qv::LastErrorOr(ERROR_INVALID_HANDLE); }

    /// Sends one request and waits for its answer; `returned` receives the
    /// bytes of output. A request that fails at once has its error as the
    /// answer, with nothing to wait for.
    DWORD Send(HANDLE handle, DWORD code, void* input, DWORD inputSize, void* output,
               DWORD outputSize, DWORD& returned) const
    {
        returned = 0;
        if (!event_)
            return ERROR_INVALID_HANDLE;
        OVERLAPPED overlapped = {};
        overlapped.hEvent = reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(event_.get()) | 1);
        if (::DeviceIoControl(handle, code, input, inputSize, output, outputSize, &returned, &overlapped))
            return 0;
        const DWORD error = qv::LastErrorOr(ERROR_INTERNAL_ERROR);
        if (error != ERROR_IO_PENDING)
            return error; // the event is not signalled for such an answer
        if (::WaitForSingleObject(event_.get(), INFINITE) != WAIT_OBJECT_0)
            return qv::LastErrorOr(ERROR_INTERNAL_ERROR);
        return ::GetOverlappedResult(handle, &overlapped, &returned, FALSE) ? 0
                                                                            : qv::LastErrorOr(ERROR_INTERNAL_ERROR);
    }

private:
    qv::unique_handle event_;
};

/// One version query, answered at once by the driver.
DWORD QueryVersion(const RequestEvent& requests, HANDLE handle, USHORT index, DWORD& value)
{
    DWORD returned = 0;
    return requests.Send(handle, kIoctlQueryVersion, &index, sizeof(index), &value, sizeof(value), returned);
}

/// Opens a device path with an overlapped handle; ERROR_INVALID_HANDLE when
/// the open fails without a code.
DWORD OpenPath(const wchar_t* path, DWORD access, qv::unique_file& handle)
{
    handle.reset(::CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED, nullptr));
    return handle ? 0 : qv::LastErrorOr(ERROR_INVALID_HANDLE);
}

/// Fills the fields of queries 2 to 6; failures leave a field at 0.
void QueryRemainingVersions(const RequestEvent& requests, HANDLE handle, COstrelDriver& device)
{
    DWORD* fields[] = {&device.DriverVersion[0], &device.DriverVersion[1],
                       &device.DriverVersion[2], &device.DriverVersion[3], &device.NtddiVersion};
    USHORT index = 2;
    for (DWORD* field : fields) {
        *field = 0;
        QueryVersion(requests, handle, index++, *field);
    }
}

/// Asks the driver to accept this program as its client. 0 when it does;
/// its refusal status, or the request's Windows error. Only a verdict of
/// exactly four bytes counts: a short or missing answer, or a failure
/// without a code, is 13 (ERROR_INVALID_DATA), never an acceptance.
DWORD RunSelfCheck(const RequestEvent& requests, HANDLE handle)
{
    std::wstring path = qv::ModuleFileName(nullptr);
    DWORD verdict = 0;
    DWORD returned = 0;
    if (const DWORD error = requests.Send(handle, kIoctlSelfCheck, path.data(),
                                          static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t)), &verdict,
                                          sizeof(verdict), returned))
        return error;
    return returned == sizeof(verdict) ? verdict : ERROR_INVALID_DATA;
}

/// The control request that completes the open; only a refusal (ERROR_ACCESS_DENIED) counts.
DWORD SendControl(const RequestEvent& requests, HANDLE handle)
{
    DWORD zero = 0;
    DWORD returned = 0;
    const DWORD error = requests.Send(handle, kIoctlControl, &zero, sizeof(zero), nullptr, 0, returned);
    return error == ERROR_ACCESS_DENIED ? error : 0;
}

DWORD StartRead(HANDLE handle, void* buffer, DWORD size, DWORD* transferred,
                OVERLAPPED* overlapped, void* context)
{
    const auto* device = static_cast<COstrelDriver*>(context);
    *transferred = 0;
    const DWORD code = kIoctlRead | (device ? (device->ReadOptions & kReadDirectOption) : 0);
    return ::DeviceIoControl(handle, code, nullptr, 0, buffer, size, transferred, overlapped)
               ? 0
               : qv::LastErrorOr(ERROR_INTERNAL_ERROR);
}

DWORD SizeBuffer(HANDLE, DWORD phase, DWORD, DWORD* size, ULONGLONG*, OVERLAPPED*, void* context)
{
    const auto* device = static_cast<COstrelDriver*>(context);
    const bool direct = device && (device->ReadOptions & kReadDirectOption);
    if (phase == SizeReview) {
        if (direct && (*size < kDirectMin || *size > kDirectMax))
            *size = kDirectMin;
        else if (!direct && *size > kLargeBufferLimit)
            *size = kPageBytes;
    } else if (phase == SizeTooSmall) {
        *size += kPageBytes;
    }
    return 0;
}

// Does nothing; required, keep it.
void OnFinished(HANDLE, DWORD, OVERLAPPED*, void*) {}

} // namespace

const ChannelCallbacks& DeviceChannelCallbacks()
{
    static const ChannelCallbacks callbacks = {WalkRecords, StartRead, SizeBuffer, OnFinished};
    return callbacks;
}

void WalkRecords(HANDLE, const void* buffer, DWORD transferred, void* context, PTP_CALLBACK_INSTANCE)
{
    auto* device = static_cast<COstrelDriver*>(context);
    if (!device || transferred == 0)
        return;
    const BYTE* record = static_cast<const BYTE*>(buffer);
    long long remainder = static_cast<LONG>(transferred);
    while (remainder > 0) {
        // A record must hold its size and type and fit in what is left;
        // anything else ends the walk rather than reading past the data.
        if (remainder < static_cast<long long>(kTypeOffset + sizeof(DWORD)))
            return;
        const DWORD size = DwordAt(record, kSizeOffset);
        if (size < kTypeOffset + sizeof(DWORD) || size > remainder)
            return;
        if (device->RecordCallback)
            device->RecordCallback(record, device, device->DevicePath, device->RecordContext);
        if (DwordAt(record, kTypeOffset) == kReplyRecordType && size >= kReplyIdOffset + sizeof(DWORD)) {
            const DWORD id = DwordAt(record, kReplyIdOffset);
            ::AcquireSRWLockShared(&device->ReplyLock);
            const auto waiting = device->PendingReplies.find(id);
            if (waiting != device->PendingReplies.end())
                ::SetEvent(waiting->second);
            ::ReleaseSRWLockShared(&device->ReplyLock);
        }
        record += size;
        remainder -= size;
    }
}

COstrelDriver::COstrelDriver() { ::InitializeSRWLock(&ReplyLock); }

DWORD COstrelDriver::CloseDevice()
{
    return Handle ? qv::CloseNow(std::move(Handle)) : ERROR_FILE_NOT_FOUND;
}

DWORD COstrelDriver::QueryDriverVersion()
{
    if (Handle)
        return ERROR_ALREADY_INITIALIZED;
    const RequestEvent requests;
    if (const DWORD error = requests.Error())
        return error;
    qv::unique_file handle;
    if (const DWORD error = OpenPath(kSystemDevice, GENERIC_READ, handle))
        return error;
    DWORD interfaceVersion = 0;
    if (const DWORD error = QueryVersion(requests, handle.get(), 1, interfaceVersion))
        return error;
    InterfaceVersion = interfaceVersion;
    QueryRemainingVersions(requests, handle.get(), *this);
    if (InterfaceVersion != kSupportedInterfaceVersion)
        return ERROR_REVISION_MISMATCH;
    Handle = std::move(handle);
    wcsncpy(DevicePath, kSystemDevice, kDevicePathChars - 1);
    return 0;
}

DWORD COstrelDriver::OpenDevice(const wchar_t* path)
{
    if (Handle)
        return ERROR_ALREADY_INITIALIZED;
    if (!path)
        path = kSystemDevice;
    if (*path == L'\0')
        return ERROR_INVALID_PARAMETER;
    const RequestEvent requests;
    if (const DWORD error = requests.Error())
        return error;
    qv::unique_file handle;
    if (const DWORD error = OpenPath(path, GENERIC_READ | GENERIC_WRITE, handle))
        return error;
    DWORD interfaceVersion = 0;
    DWORD code = QueryVersion(requests, handle.get(), 1, interfaceVersion);
    if (code == 0 && interfaceVersion != kSupportedInterfaceVersion)
        code = ERROR_REVISION_MISMATCH;
    if (code == 0) {
        InterfaceVersion = interfaceVersion;
        QueryRemainingVersions(requests, handle.get(), *this);
        code = RunSelfCheck(requests, handle.get());
    }
    if (code == 0)
        code = SendControl(requests, handle.get());
    if (code != 0)
        return code;
    Handle = std::move(handle);
    wcsncpy(DevicePath, path, kDevicePathChars - 1);
    DevicePath[kDevicePathChars - 1] = L'\0';
    return 0;
}

void COstrelDriver::ResetFields()
{
    Handle.reset();
    Channel.reset();
    Pool = nullptr;
    std::memset(DevicePath, 0, sizeof(DevicePath));
    RecordCallback = nullptr;
    RecordContext = nullptr;
    InterfaceVersion = 0;
    std::memset(DriverVersion, 0, sizeof(DriverVersion));
    NtddiVersion = 0;
    ReadOptions = 0;
    PendingReplies.clear();
}

COstrelDriverSystem::~COstrelDriverSystem() { COstrelDriverSystem::CloseDevice(); }

DWORD COstrelDriverSystem::CloseDevice()
{
    if (!Handle)
        return ERROR_FILE_NOT_FOUND;
    DWORD result = 0;
    if (Pool && Channel) {
        const Closer closer = [this](void*) { return COstrelDriver::CloseDevice(); };
        CloseChannel(*Channel, closer, true);
        Channel.reset();
        ::AcquireSRWLockExclusive(&Pool->Lock);
        --Pool->OpenChannels;
        ::ReleaseSRWLockExclusive(&Pool->Lock);
    } else {
        result = COstrelDriver::CloseDevice();
        if (Pool && !Channel)
            result = ERROR_INVALID_PARAMETER;
    }
    ::AcquireSRWLockExclusive(&ReplyLock);
    for (const auto& reply : PendingReplies)
        ::SetEvent(reply.second);
    PendingReplies.clear();
    ::ReleaseSRWLockExclusive(&ReplyLock);
    ResetFields();
    return result;
}

} // namespace OstrelDriver
