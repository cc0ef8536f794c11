#include "driverclient/io_channel.h"

#include "driverclient/device.h"
#include "driverclient/error_description.h"
#include "driverclient/log_callbacks.h"

#include <algorithm>
#include <cstdint>

namespace OstrelDriver {

namespace {

constexpr DWORD kPageBytes = 4096;
constexpr ULONGLONG kReviewIntervalMs = 10000;
constexpr ULONGLONG kCancelTimeoutMs = 10000;
constexpr DWORD kCancelRetryMs = 10; // between cancel attempts while a read is left
constexpr unsigned kLevel = 2;

/// Holds an SRW lock shared or exclusive for its lifetime.
class SrwGuard {
public:
    SrwGuard(SRWLOCK& lock, bool exclusive) : lock_(lock), exclusive_(exclusive)
    {
        exclusive_ ? ::AcquireSRWLockExclusive(&lock_) : ::AcquireSRWLockShared(&lock_);
    }
    ~SrwGuard() { Release(); }
    void Acquire()
    {
        if (!held_)
            exclusive_ ? ::AcquireSRWLockExclusive(&lock_) : ::AcquireSRWLockShared(&lock_);
        held_ = true;
    }
    void Release()
    {
        if (held_)
            exclusive_ ? ::ReleaseSRWLockExclusive(&lock_) : ::ReleaseSRWLockShared(&lock_);
        held_ = false;
    }
    SrwGuard(const SrwGuard&) = delete;
    SrwGuard& operator=(const SrwGuard&) = delete;

private:
    SRWLOCK& lock_;
    bool exclusive_;
    bool held_ = true;
};

bool IsUsable(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }

size_t AsNumber(const void* p) { return reinterpret_cast<size_t>(p); }

void CALLBACK IoCompletion(PTP_CALLBACK_INSTANCE instance, PVOID context, PVOID overlapped,
                           ULONG result, ULONG_PTR transferred, PTP_IO)
{
    if (!context || !overlapped)
        return;
    ReadEnd(instance, *static_cast<IoChannel*>(context), *static_cast<ReadSlot*>(overlapped), result,
            transferred);
}

/// The size after a too-small answer: the policy's, else twice the buffer.
/// Called with the channel's lock not held.
DWORD GrownSize(IoChannel& channel, ReadSlot& slot, DWORD transferred)
{
    if (channel.SizeBuffer) {
        SrwGuard shared(channel.Lock, false);
        DWORD size = slot.BufferSize;
        if (channel.SizeBuffer(channel.Handle, SizeTooSmall, transferred, &size, &slot.SizingState,
                               &slot.Overlapped, channel.Context) == 0)
            return size;
    }
    return slot.BufferSize * 2;
}

/// The periodic review of the slot's buffer size, at most every 10 s.
void ReviewBufferSize(IoChannel& channel, ReadSlot& slot)
{
    if (!channel.SizeBuffer || ::GetTickCount64() - slot.LastReview <= kReviewIntervalMs)
        return;
    DWORD size = slot.BufferSize;
    if (channel.SizeBuffer(channel.Handle, SizeReview, 0, &size, &slot.SizingState,
                           &slot.Overlapped, channel.Context) == 0 &&
        size != 0)
        ResizeReadBuffer(slot, size);
    slot.LastReview = ::GetTickCount64();
}

/// Issues one read; the channel's lock is held shared.
DWORD IssueRead(IoChannel& channel, ReadSlot& slot, DWORD& transferred)
{
    if (channel.StartRead)
        return channel.StartRead(channel.Handle, slot.Buffer, slot.BufferSize, &transferred,
                                 &slot.Overlapped, channel.Context);
    return ::ReadFile(channel.Handle, slot.Buffer, slot.BufferSize, &transferred, &slot.Overlapped)
               ? 0
               : qv::LastErrorOr(ERROR_INTERNAL_ERROR);
}

/// Waits up to `ms` for a completion of the closing channel.
void WaitForCompletion(IoChannel& channel, DWORD ms)
{
    if (!channel.ReadsDrained || ::WaitForSingleObject(channel.ReadsDrained.get(), ms) == WAIT_FAILED)
        ::Sleep(ms);
}

/// Ends the cancel phase when no read is outstanding, CancelIoEx finds
/// nothing, it fails, or 10 s pass; between attempts it waits for a
/// completion rather than spinning. Returns the code for the "CancelIo"
/// line, 0 for none.
DWORD CancelReads(IoChannel& channel, HANDLE handle)
{
    const ULONGLONG start = ::GetTickCount64();
    for (ULONGLONG elapsed = 0; elapsed < kCancelTimeoutMs; elapsed = ::GetTickCount64() - start) {
        if (::InterlockedCompareExchange(&channel.Outstanding, 0, 0) == 0)
            return 0;
        if (!::CancelIoEx(handle, nullptr)) {
            const DWORD error = qv::LastErrorOr(ERROR_NOT_FOUND); // without a code: nothing to cancel
            return error == ERROR_NOT_FOUND ? 0 : error;
        }
        for (ReadSlot& slot : channel.Slots) {
            DWORD ignored = 0;
            ::GetOverlappedResult(handle, &slot.Overlapped, &ignored, FALSE);
        }
        if (::InterlockedCompareExchange(&channel.Outstanding, 0, 0) != 0)
            WaitForCompletion(channel, static_cast<DWORD>(std::min<ULONGLONG>(kCancelRetryMs, kCancelTimeoutMs - elapsed)));
    }
    return ERROR_TIMEOUT;
}

} // namespace

IoPool& GetIoPool()
{
    static IoPool pool;
    return pool;
}

IoChannel::IoChannel() : ReadsDrained(::CreateEventW(nullptr, FALSE, FALSE, nullptr))
{
    ::InitializeSRWLock(&Lock);
    ::InitializeSRWLock(&FinishLock);
}

void ChannelDeleter::operator()(IoChannel* channel) const noexcept
{
    CloseChannel(*channel, [](void*) -> DWORD { return 0; }, false);
    if (!channel->Abandoned)
        delete channel; // an abandoned one is left for the process's end
}

DWORD StartIo(IoPool& pool, HANDLE handle, void* context, unique_channel& channel)
{
    channel.reset();
    if (!IsUsable(handle))
        return ERROR_INVALID_PARAMETER;
    SrwGuard poolLock(pool.Lock, true);
    unique_channel created(new IoChannel());
    const DWORD code = OpenChannel(*created, handle, pool.Environment, context, 1);
    if (code == 0) {
        ++pool.OpenChannels;
        channel = std::move(created);
        return 0;
    }
    created.reset(); // leaves the handle open: it is still the caller's
    const std::wstring text = DescribeErrorCode(code);
    // Required as it stands: keep this text with its fixed IoFlags 0 and IoCount 1.
    TraceLog("Pool", kLevel, L"StartIo( Pool:0x%Ix, Obj:0x%Ix, IoFlags:0x%x, IoCount=%u ) = %s\n",
             AsNumber(pool.Environment), AsNumber(handle), 0u, 1u, text.c_str());
    return code;
}

DWORD OpenChannel(IoChannel& channel, HANDLE handle, PTP_CALLBACK_ENVIRON environment,
                  void* context, DWORD slotCount)
{
    return OpenChannelWith(channel, handle, environment, context, slotCount,
                           DeviceChannelCallbacks());
}

DWORD OpenChannelWith(IoChannel& channel, HANDLE handle, PTP_CALLBACK_ENVIRON environment,
                      void* context, DWORD slotCount, const ChannelCallbacks& callbacks)
{
    channel.Environment = environment;
    channel.OnRecords = callbacks.OnRecords;
    channel.StartRead = callbacks.StartRead;
    channel.SizeBuffer = callbacks.SizeBuffer;
    channel.OnFinished = callbacks.OnFinished;
    channel.Context = context;
    ::InitializeSRWLock(&channel.FinishLock);
    channel.Slots.assign(slotCount, ReadSlot{});
    for (ReadSlot& slot : channel.Slots)
        ResizeReadBuffer(slot, kPageBytes);
    channel.Io.reset();

    DWORD result = 0;
    if (!IsUsable(handle)) {
        channel.Handle = nullptr;
        result = ERROR_INVALID_PARAMETER;
    } else {
        channel.SkipCompletionOnSuccess =
            ::SetFileCompletionNotificationModes(handle, FILE_SKIP_COMPLETION_PORT_ON_SUCCESS) != FALSE;
        channel.Io.reset(::CreateThreadpoolIo(handle, IoCompletion, &channel, environment));
        if (!channel.Io && ::GetLastError() != 0) {
            result = ::GetLastError();
            const std::wstring text = DescribeErrorCode(result);
            // Required as it stands: keep *PoolIo, which is always null here.
            TraceLog("I/O", kLevel, L"CreateThreadpoolIo( Handle:0x%Ix, ObjectCtx:0x%Ix, *PoolIo:0x%Ix ) = %s\n",
                     AsNumber(handle), AsNumber(&channel), AsNumber(channel.Io.get()), text.c_str());
        }
        if (channel.Io)
            channel.Handle = handle;
    }
    for (ReadSlot& slot : channel.Slots) {
        const DWORD code = ReadBegin(channel, slot, nullptr);
        if (result == 0 && code != ERROR_IO_PENDING)
            result = code;
    }
    return result;
}

DWORD ReadBegin(IoChannel& channel, ReadSlot& slot, PTP_CALLBACK_INSTANCE instance)
{
    DWORD transferred = 0;
    SrwGuard shared(channel.Lock, false);
    if (!IsUsable(channel.Handle))
        return ERROR_CANCELLED;
    for (;;) {
        ReviewBufferSize(channel, slot);
        ::StartThreadpoolIo(channel.Io.get());
        ::InterlockedIncrement(&channel.Outstanding);
        transferred = 0;
        const DWORD code = IssueRead(channel, slot, transferred);
        if (code != 0 && code != ERROR_IO_PENDING && code != ERROR_INSUFFICIENT_BUFFER && code != ERROR_MORE_DATA) {
            const std::wstring text = DescribeErrorCode(code);
            TraceLog("I/O", kLevel, L"ReadBegin( Handle:0x%Ix, Size:%u, *OutSize:%u, Ovr:0x%Ix ) = %s\n",
                     AsNumber(channel.Handle), slot.BufferSize, transferred, AsNumber(&slot),
                     text.c_str());
            shared.Release();
            ::CancelThreadpoolIo(channel.Io.get());
            ::InterlockedDecrement(&channel.Outstanding);
            return code;
        }
        shared.Release();
        // A warning status (more data) queues a completion like a pending
        // read, and so does a success at once without the skip-on-success
        // mode: ReadEnd handles both.
        if (code == ERROR_IO_PENDING || code == ERROR_MORE_DATA || (code == 0 && !channel.SkipCompletionOnSuccess))
            return ERROR_IO_PENDING; // the completion comes to ReadEnd
        ::CancelThreadpoolIo(channel.Io.get());
        ::InterlockedDecrement(&channel.Outstanding);
        if (code == 0)
            DeliverRecords(channel, &slot, transferred, instance);
        else
            ResizeReadBuffer(slot, GrownSize(channel, slot, transferred));
        shared.Acquire();
        if (!IsUsable(channel.Handle))
            return ERROR_CANCELLED;
    }
}

void ReadEnd(PTP_CALLBACK_INSTANCE instance, IoChannel& channel, ReadSlot& slot, DWORD result,
             ULONG_PTR transferred)
{
    const bool lastRead = ::InterlockedDecrement(&channel.Outstanding) == 0;
    if (result != 0 && result != ERROR_OPERATION_ABORTED && result != ERROR_INSUFFICIENT_BUFFER) {
        const std::wstring text = DescribeErrorCode(result);
        TraceLog("I/O", kLevel, L"ReadEnd( Size:%Iu, Ovr:0x%Ix ) = %s\n", static_cast<size_t>(transferred),
                 AsNumber(&slot), text.c_str());
    }
    bool open = false;
    {
        SrwGuard shared(channel.Lock, false);
        open = IsUsable(channel.Handle);
    }
    if (!open && lastRead && channel.ReadsDrained)
        ::SetEvent(channel.ReadsDrained.get()); // the cancel phase may end
    DWORD finalCode = ERROR_CANCELLED;
    if (open) {
        const DWORD bytes = static_cast<DWORD>(transferred);
        if (result == 0) {
            if (bytes != 0)
                DeliverRecords(channel, &slot, bytes, instance);
            finalCode = ReadBegin(channel, slot, instance);
        } else if (result == ERROR_MORE_DATA) {
            // The whole records that fitted, then a larger buffer for the rest.
            if (bytes != 0)
                DeliverRecords(channel, &slot, bytes, instance);
            finalCode = ResizeReadBuffer(slot, GrownSize(channel, slot, bytes));
            if (finalCode == 0)
                finalCode = ReadBegin(channel, slot, instance);
        } else if (result == ERROR_INSUFFICIENT_BUFFER) {
            finalCode = ResizeReadBuffer(slot, GrownSize(channel, slot, bytes));
            if (finalCode == 0)
                finalCode = ReadBegin(channel, slot, instance);
        } else {
            finalCode = result;
        }
    }
    if (finalCode == ERROR_IO_PENDING)
        return;
    SrwGuard finish(channel.FinishLock, true);
    SrwGuard shared(channel.Lock, false);
    if (channel.OnFinished) // cleared when the channel was abandoned
        channel.OnFinished(channel.Handle, finalCode, &slot.Overlapped, channel.Context);
}

DWORD DeliverRecords(IoChannel& channel, ReadSlot* slot, DWORD transferred,
                     PTP_CALLBACK_INSTANCE instance)
{
    if (!slot)
        return ERROR_INVALID_PARAMETER;
    if (!channel.OnRecords)
        return ERROR_PROC_NOT_FOUND;
    if (transferred == 0)
        return ERROR_INVALID_PARAMETER;
    SrwGuard shared(channel.Lock, false);
    channel.OnRecords(channel.Handle, slot->Buffer, transferred, channel.Context, instance);
    return 0;
}

DWORD ResizeReadBuffer(ReadSlot& slot, DWORD size)
{
    const uint64_t rounded = (static_cast<uint64_t>(size) + kPageBytes - 1) / kPageBytes * kPageBytes;
    if (rounded > MAXDWORD)
        return ERROR_OUTOFMEMORY;
    if (rounded == 0) {
        if (slot.Buffer)
            ::HeapFree(::GetProcessHeap(), 0, slot.Buffer);
        slot.Buffer = nullptr;
        slot.BufferSize = 0;
        return 0;
    }
    if (rounded == slot.BufferSize)
        return 0;
    void* buffer = ::HeapAlloc(::GetProcessHeap(), 0, static_cast<SIZE_T>(rounded));
    if (!buffer)
        return ERROR_OUTOFMEMORY;
    if (slot.Buffer)
        ::HeapFree(::GetProcessHeap(), 0, slot.Buffer);
    slot.Buffer = buffer;
    slot.BufferSize = static_cast<DWORD>(rounded);
    return 0;
}

namespace {

/// Forgets the owner's callbacks and context.
void ClearCallbacks(IoChannel& channel)
{
    channel.OnRecords = nullptr;
    channel.StartRead = nullptr;
    channel.SizeBuffer = nullptr;
    channel.OnFinished = nullptr;
    channel.Context = nullptr;
}

/// Leaves a channel whose read the driver never gave back for the process's
/// end: only its callbacks and context are cleared, so that a late
/// completion reaches nothing of its owner.
void Abandon(IoChannel& channel)
{
    SrwGuard finish(channel.FinishLock, true);
    SrwGuard exclusive(channel.Lock, true);
    ClearCallbacks(channel);
    channel.Abandoned = true;
}

/// Waits for (or, unless asked to run them, cancels) the callbacks still
/// queued, then closes the pool I/O object.
void CloseIo(IoChannel& channel, bool runPendingCallbacks)
{
    if (channel.Io && !runPendingCallbacks)
        ::WaitForThreadpoolIoCallbacks(channel.Io.get(), TRUE);
    channel.Io.reset(); // waits for the callbacks left, then closes
}

} // namespace

DWORD CloseChannel(IoChannel& channel, const Closer& closer, bool runPendingCallbacks)
{
    if (channel.Abandoned)
        return 0;
    HANDLE handle = nullptr;
    {
        SrwGuard exclusive(channel.Lock, true);
        handle = channel.Handle;
        channel.Handle = nullptr;
    }
    if (IsUsable(handle)) {
        const ULONGLONG started = ::GetTickCount64();
        const DWORD cancelled = CancelReads(channel, handle);
        if (cancelled != 0) {
            const std::wstring text = DescribeErrorCode(cancelled);
            TraceLog("I/O", kLevel, L"CancelIo( Handle:0x%Ix ) = %s (%llums)\n", AsNumber(handle),
                     text.c_str(), static_cast<unsigned long long>(::GetTickCount64() - started));
        }
        const DWORD closed = closer ? closer(handle) : qv::CloseNow(qv::unique_file(handle));
        if (closed != 0) {
            const std::wstring text = DescribeErrorCode(closed);
            TraceLog("I/O", kLevel, L"CloseHandle( Handle:0x%Ix ) = %s\n", AsNumber(handle), text.c_str());
        }
        if (cancelled == ERROR_TIMEOUT) {
            Abandon(channel);
            return 0;
        }
    }
    CloseIo(channel, runPendingCallbacks);
    for (ReadSlot& slot : channel.Slots) {
        ResizeReadBuffer(slot, 0);
        if (channel.SizeBuffer) {
            DWORD size = slot.BufferSize;
            channel.SizeBuffer(nullptr, SizeRelease, 0, &size, &slot.SizingState, nullptr,
                               channel.Context);
        }
    }
    channel.Slots.clear();
    channel.Environment = nullptr;
    ClearCallbacks(channel);
    return 0;
}

} // namespace OstrelDriver
