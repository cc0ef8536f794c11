// The device client and its read channel in this process, against the
// running test driver.
#include "driver_fixture.h"

#include "driverclient/device.h"
#include "driverclient/io_channel.h"
#include "driverclient/log_callbacks.h"
#include "support/fake_clock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>

namespace {

using namespace OstrelDriver;

/// What the channel's callbacks saw, for one test at a time.
struct Observed {
    std::mutex lock;
    std::vector<DWORD> reads;       // buffer size of every read issued
    std::vector<DWORD> deliveries;  // byte count of every delivery
    std::vector<DWORD> deliveryThreads;
    std::vector<DWORD> finished;    // final codes
    std::vector<std::string> lines; // trace lines
} g_seen;

DWORD ObservedRead(HANDLE handle, void* buffer, DWORD size, DWORD* transferred, OVERLAPPED* overlapped,
                   void* context)
{
    {
        std::lock_guard<std::mutex> hold(g_seen.lock);
        g_seen.reads.push_back(size);
    }
    return DeviceChannelCallbacks().StartRead(handle, buffer, size, transferred, overlapped, context);
}

void ObservedRecords(HANDLE, const void*, DWORD transferred, void*, PTP_CALLBACK_INSTANCE)
{
    std::lock_guard<std::mutex> hold(g_seen.lock);
    g_seen.deliveries.push_back(transferred);
    g_seen.deliveryThreads.push_back(GetCurrentThreadId());
}

void ObservedFinish(HANDLE, DWORD code, OVERLAPPED*, void*)
{
    std::lock_guard<std::mutex> hold(g_seen.lock);
    g_seen.finished.push_back(code);
}

void ObservedLine(void*, unsigned, const char*, const char*, const char* text)
{
    std::lock_guard<std::mutex> hold(g_seen.lock);
    g_seen.lines.push_back(text);
}

class Channel : public e2e::DriverTest {
protected:
    Channel()
    {
        g_seen.reads.clear();
        g_seen.deliveries.clear();
        g_seen.deliveryThreads.clear();
        g_seen.finished.clear();
        g_seen.lines.clear();
        TraceLogInstance().Sink = ObservedLine;
    }
    ~Channel() override
    {
        TraceLogInstance().Sink = nullptr;
        if (handle_)
            CloseHandle(handle_);
    }


    /// Installs and starts the test driver.
    void StartDriver()
    {
        const qvtest::RunResult run = Tool({L"-install", DriversPath(L"testpkg")});
        ASSERT_EQ(run.exitCode, 0u) << run.output;
    }

    /// Opens the System device for the channel.
    HANDLE OpenHandle()
    {
        handle_ = CreateFileW(L"\\\\.\\QvOstrel\\System", GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
        EXPECT_NE(handle_, INVALID_HANDLE_VALUE);
        return handle_;
    }

    DWORD Open(IoChannel& channel)
    {
        ChannelCallbacks callbacks = DeviceChannelCallbacks();
        callbacks.StartRead = ObservedRead;
        callbacks.OnRecords = ObservedRecords;
        callbacks.OnFinished = ObservedFinish;
        return OpenChannelWith(channel, OpenHandle(), nullptr, nullptr, 1, callbacks);
    }

    /// Closes the channel and the handle; the closer answers `closeCode`.
    void Close(IoChannel& channel, DWORD closeCode = 0)
    {
        HANDLE handle = handle_;
        handle_ = nullptr;
        CloseChannel(channel, [handle, closeCode](void*) -> DWORD {
            CloseHandle(handle);
            return closeCode;
        }, true);
    }

    static std::vector<std::string> Lines()
    {
        std::lock_guard<std::mutex> hold(g_seen.lock);
        return g_seen.lines;
    }

    HANDLE handle_ = nullptr;
};

TEST_F(Channel, TooSmallFirstReadGrowsTheBufferByOnePageAndIsIssuedAgain)
{
    StartDriver();
    SetParameter(L"MinReadBuffer", 8192);
    IoChannel channel;
    EXPECT_EQ(Open(channel), 0u);
    EXPECT_EQ(g_seen.reads, (std::vector<DWORD>{4096, 8192}));
    EXPECT_EQ(channel.Slots[0].BufferSize, 8192u);
    Close(channel);
    EXPECT_TRUE(Lines().empty());
}

TEST_F(Channel, ReadsCompletingAtOnceAreDeliveredOnTheCallingThread)
{
    StartDriver();
    SetParameter(L"ImmediateReads", 2);
    SetParameter(L"ImmediateReadBytes", 300);
    IoChannel channel;
    EXPECT_EQ(Open(channel), 0u) << "the third read is under way";
    EXPECT_EQ(g_seen.deliveries, (std::vector<DWORD>{300, 300}));
    EXPECT_EQ(g_seen.deliveryThreads, (std::vector<DWORD>{GetCurrentThreadId(), GetCurrentThreadId()}));
    EXPECT_EQ(g_seen.reads.size(), 3u);
    Close(channel);

    g_seen.reads.clear();
    g_seen.deliveries.clear();
    SetParameter(L"ImmediateReads", 1);
    SetParameter(L"ImmediateReadBytes", 0);
    IoChannel empty;
    EXPECT_EQ(Open(empty), 0u);
    EXPECT_TRUE(g_seen.deliveries.empty()) << "nothing to deliver";
    EXPECT_EQ(g_seen.reads.size(), 2u) << "the next read is issued";
    Close(empty);
}

TEST_F(Channel, ClosingWithAPendingReadCancelsItWithinMilliseconds)
{
    StartDriver();
    IoChannel channel;
    ASSERT_EQ(Open(channel), 0u);
    const auto started = std::chrono::steady_clock::now();
    Close(channel);
    const auto elapsed = std::chrono::steady_clock::now() - started;
    EXPECT_LT(elapsed, std::chrono::milliseconds(1000)) << "the cancel phase ends with the last read";
    EXPECT_EQ(g_seen.finished, (std::vector<DWORD>{ERROR_CANCELLED}));
    EXPECT_TRUE(Lines().empty()) << "a cancelled read writes no ReadEnd line";
}

TEST_F(Channel, ACloserThatFailsIsLoggedAndTheCloseStillSucceeds)
{
    StartDriver();
    IoChannel channel;
    ASSERT_EQ(Open(channel), 0u);
    Close(channel, ERROR_INVALID_HANDLE);
    const std::vector<std::string> lines = Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("CloseHandle( Handle:0x", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find(") = 0x6"), std::string::npos) << lines[0];
}

TEST_F(Channel, AReadThatIgnoresCancellationEndsTheCancelPhaseAtTenSeconds)
{
    StartDriver();
    SetParameter(L"IgnoreCancel", 1);
    // The driver may still write into the read it kept: the channel is left
    // for the process's end (so this one is never freed).
    IoChannel& channel = *new IoChannel();
    ASSERT_EQ(Open(channel), 0u);
    char handleText[32] = {};
    std::snprintf(handleText, sizeof(handleText), "Handle:0x%llx )", static_cast<unsigned long long>(
                                                                        reinterpret_cast<uintptr_t>(handle_)));
    {
        qvtest::FakeClock clock;
        Close(channel);
        EXPECT_GE(clock.Elapsed(), 10000u);
    }
    EXPECT_TRUE(channel.Abandoned);
    EXPECT_NE(channel.Io, nullptr) << "the pool I/O object is not closed";
    ASSERT_EQ(channel.Slots.size(), 1u);
    EXPECT_NE(channel.Slots[0].Buffer, nullptr) << "the read buffer is not freed";
    const std::vector<std::string> lines = Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind(std::string("CancelIo( ") + handleText, 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find(") = 0x5b4"), std::string::npos) << "the time-out code: " << lines[0];
}

TEST_F(Channel, FirstReadRefusedFailsTheStartAndLeavesTheHandleOpen)
{
    StartDriver();
    SetParameter(L"FirstReadStatus", 0xC0000022);
    IoPool pool;
    IoChannel* channel = nullptr;
    COstrelDriverSystem device;
    EXPECT_EQ(StartIo(pool, OpenHandle(), &device, channel), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(channel, nullptr);
    EXPECT_EQ(pool.OpenChannels, 0);
    DWORD flags = 0;
    EXPECT_TRUE(GetHandleInformation(handle_, &flags)) << "the handle is still the caller's";
    const std::vector<std::string> lines = Lines();
    ASSERT_GE(lines.size(), 1u);
    EXPECT_EQ(lines.back().rfind("StartIo( Pool:0x", 0), 0u) << lines.back();
}

TEST_F(Channel, DeviceObjectOpensOnceAndToleratesAFailingVersionPart)
{
    StartDriver();
    SetParameter(L"FailQueryIndex", 4);
    COstrelDriverSystem device;
    ASSERT_EQ(device.OpenDevice(nullptr), 0u);
    EXPECT_STREQ(device.DevicePath, L"\\\\.\\QvOstrel\\System");
    EXPECT_EQ(device.InterfaceVersion, 3u);
    EXPECT_EQ(device.DriverVersion[0], 1u);
    EXPECT_EQ(device.DriverVersion[2], 0u) << "the failed query leaves its part at 0";
    EXPECT_EQ(device.DriverVersion[3], 1u);
    HANDLE first = device.Handle;
    EXPECT_EQ(device.OpenDevice(nullptr), static_cast<DWORD>(ERROR_ALREADY_INITIALIZED));
    EXPECT_EQ(device.QueryDriverVersion(), static_cast<DWORD>(ERROR_ALREADY_INITIALIZED));
    EXPECT_EQ(device.Handle, first);
    EXPECT_EQ(device.CloseDevice(), 0u);
    EXPECT_EQ(device.Handle, nullptr);
    EXPECT_EQ(device.CloseDevice(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    SetParameter(L"InterfaceVersion", 4);
    COstrelDriverSystem other;
    EXPECT_EQ(other.OpenDevice(nullptr), static_cast<DWORD>(ERROR_REVISION_MISMATCH));
    EXPECT_EQ(other.InterfaceVersion, 0u) << "left as it was";
    EXPECT_EQ(other.Handle, nullptr);
    EXPECT_EQ(other.QueryDriverVersion(), static_cast<DWORD>(ERROR_REVISION_MISMATCH));
    EXPECT_EQ(other.InterfaceVersion, 4u) << "filled for the -check line";
    EXPECT_EQ(other.DriverVersion[3], 1u);
}

} // namespace
