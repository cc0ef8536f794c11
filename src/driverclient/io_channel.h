// An asynchronous read channel on a device handle, run on the Windows thread
// pool: one read outstanding per slot, its completion handled on a pool
// thread, the records delivered to the device object and the next read
// issued at once. The read buffer grows when the driver reports it too small
// and shrinks back when it stays large.
#pragma once

#include "common/unique_handle.h"

#include <windows.h>

#include <functional>
#include <memory>
#include <vector>

namespace OstrelDriver {

/// One outstanding read. The slot's address is the address of its
/// OVERLAPPED record, which comes first.
struct ReadSlot {
    OVERLAPPED Overlapped;
    void* Buffer;
    DWORD BufferSize;       // a multiple of 4096
    // Unused by this tool's buffer-size policy; required, keep it.
    ULONGLONG SizingState;  // kept for the buffer-size policy
    ULONGLONG LastReview;   // tick count of the last periodic size review
};

/// Size-policy phases.
enum SizePhase : DWORD { SizeReview = 0, SizeTooSmall = 1, SizeRelease = 2 };

using OnRecordsFn = void (*)(HANDLE handle, const void* buffer, DWORD transferred, void* context,
                             PTP_CALLBACK_INSTANCE instance);
using StartReadFn = DWORD (*)(HANDLE handle, void* buffer, DWORD size, DWORD* transferred,
                              OVERLAPPED* overlapped, void* context);
using SizeBufferFn = DWORD (*)(HANDLE handle, DWORD phase, DWORD transferred, DWORD* size,
                               ULONGLONG* state, OVERLAPPED* overlapped, void* context);
using OnFinishedFn = void (*)(HANDLE handle, DWORD code, OVERLAPPED* overlapped, void* context);

/// The four callbacks through which a channel serves its device object.
struct ChannelCallbacks {
    OnRecordsFn OnRecords = nullptr;
    StartReadFn StartRead = nullptr;   // null: ReadFile
    SizeBufferFn SizeBuffer = nullptr; // null: double when too small, no review
    OnFinishedFn OnFinished = nullptr;
};

/// Closes the channel's handle when the channel closes; returns a code.
using Closer = std::function<DWORD(void* handle)>;

/// The process-wide pool that channels are started from.
struct IoPool {
    SRWLOCK Lock = SRWLOCK_INIT;
    LONG OpenChannels = 0;
    // Always null in this tool; required, keep it.
    PTP_CALLBACK_ENVIRON Environment = nullptr; // null: the default pool
};

/// The process-wide pool, created on first use.
IoPool& GetIoPool();

struct IoChannel {
    IoChannel();
    IoChannel(const IoChannel&) = delete;
    IoChannel& operator=(const IoChannel&) = delete;

    SRWLOCK Lock;
    HANDLE Handle = nullptr;
    PTP_CALLBACK_ENVIRON Environment = nullptr;
    qv::unique_threadpool_io Io;
    std::vector<ReadSlot> Slots;
    OnRecordsFn OnRecords = nullptr;
    StartReadFn StartRead = nullptr;
    SizeBufferFn SizeBuffer = nullptr;
    OnFinishedFn OnFinished = nullptr;
    void* Context = nullptr;
    SRWLOCK FinishLock;
    /// A read that completes at once queues no completion (the handle's
    /// skip-on-success mode was set). Without it, such a read is handled
    /// like a pending one: its completion comes to ReadEnd.
    bool SkipCompletionOnSuccess = false;
    /// Reads issued and not yet completed; the cancel phase of a close ends
    /// when none is left.
    volatile LONG Outstanding = 0;
    /// Set by a completion that finds the channel closing, so that the
    /// cancel phase wakes at once (auto-reset; null if it was not created).
    qv::unique_handle ReadsDrained;
    /// Set when the cancel phase of the close timed out: the driver may
    /// still complete the read into the slot's buffer and OVERLAPPED record
    /// and the pool may still call back into the channel, so the buffer, the
    /// pool I/O object and the channel are left for the process's end. Its
    /// owner must not free it.
    bool Abandoned = false;
};

/// Destroys a channel: closes it without running queued callbacks and
/// without closing the handle, which stays with its owner, then frees it
/// unless the close abandoned it.
struct ChannelDeleter {
    void operator()(IoChannel* channel) const noexcept;
};

using unique_channel = std::unique_ptr<IoChannel, ChannelDeleter>;

/// Starts a channel of one slot on `handle` with the device client's
/// callbacks; `channel` receives it (null on failure). The handle stays the
/// caller's on failure.
DWORD StartIo(IoPool& pool, HANDLE handle, void* context, unique_channel& channel);

/// Binds the channel to `handle` with the device client's callbacks and
/// issues the first read on every slot.
DWORD OpenChannel(IoChannel& channel, HANDLE handle, PTP_CALLBACK_ENVIRON environment,
                  void* context, DWORD slotCount);

/// OpenChannel with the given callbacks.
DWORD OpenChannelWith(IoChannel& channel, HANDLE handle, PTP_CALLBACK_ENVIRON environment,
                      void* context, DWORD slotCount, const ChannelCallbacks& callbacks);

/// Issues reads on the slot until one is under way (ERROR_IO_PENDING) or the
/// loop ends.
DWORD ReadBegin(IoChannel& channel, ReadSlot& slot, PTP_CALLBACK_INSTANCE instance);

/// The completion of a read, on a pool thread.
void ReadEnd(PTP_CALLBACK_INSTANCE instance, IoChannel& channel, ReadSlot& slot, DWORD result,
             ULONG_PTR transferred);

/// Hands a completed read's bytes to OnRecords.
DWORD DeliverRecords(IoChannel& channel, ReadSlot* slot, DWORD transferred,
                     PTP_CALLBACK_INSTANCE instance);

/// Sets the slot's buffer to `size` rounded up to a multiple of 4096; 0 frees it.
DWORD ResizeReadBuffer(ReadSlot& slot, DWORD size);

/// Takes the handle out, cancels the outstanding reads (at most 10 s),
/// closes the handle through `closer` (or CloseHandle), waits for the
/// callbacks and frees the buffers. When the cancelling times out, the
/// channel is abandoned instead (see Abandoned). Always 0.
DWORD CloseChannel(IoChannel& channel, const Closer& closer, bool runPendingCallbacks);

} // namespace OstrelDriver
