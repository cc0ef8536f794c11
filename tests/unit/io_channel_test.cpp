#include "driverclient/device.h"
#include "driverclient/io_channel.h"

#include "support/fake_clock.h"
#include "support/tool_runner.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using OstrelDriver::ReadSlot;

TEST(ResizeReadBuffer, RoundsUpToWholePagesAndFreesAtZero)
{
    ReadSlot slot = {};
    EXPECT_EQ(OstrelDriver::ResizeReadBuffer(slot, 5000), 0u);
    EXPECT_EQ(slot.BufferSize, 8192u);
    void* first = slot.Buffer;
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(OstrelDriver::ResizeReadBuffer(slot, 8192), 0u);
    EXPECT_EQ(slot.Buffer, first) << "the same size keeps the buffer";
    EXPECT_EQ(OstrelDriver::ResizeReadBuffer(slot, 4096), 0u);
    EXPECT_EQ(slot.BufferSize, 4096u);
    EXPECT_EQ(OstrelDriver::ResizeReadBuffer(slot, 0), 0u);
    EXPECT_EQ(slot.Buffer, nullptr);
    EXPECT_EQ(slot.BufferSize, 0u);
}

/// Records laid out in a buffer: each has its size at 0 and type at 16.
std::vector<BYTE> Records(std::initializer_list<std::pair<DWORD, DWORD>> sizesAndTypes)
{
    std::vector<BYTE> buffer;
    for (const auto& record : sizesAndTypes) {
        const size_t at = buffer.size();
        buffer.resize(at + std::max<DWORD>(record.first, 20));
        std::memcpy(&buffer[at], &record.first, 4);
        std::memcpy(&buffer[at + 16], &record.second, 4);
    }
    return buffer;
}

std::vector<size_t> g_offsets;
const BYTE* g_base = nullptr;
void RecordOffset(const void* record, OstrelDriver::COstrelDriver*, const wchar_t*, void*)
{
    g_offsets.push_back(static_cast<const BYTE*>(record) - g_base);
}

std::vector<size_t> Walk(const std::vector<BYTE>& buffer, DWORD transferred,
                         OstrelDriver::COstrelDriver& device)
{
    g_offsets.clear();
    g_base = buffer.data();
    device.RecordCallback = RecordOffset;
    OstrelDriver::WalkRecords(nullptr, buffer.data(), transferred, &device, nullptr);
    return g_offsets;
}

TEST(RecordWalk, EveryRecordIsDeliveredAndABadSizeEndsTheWalk)
{
    OstrelDriver::COstrelDriver device;
    const std::vector<BYTE> three = Records({{120, 1}, {96, 1}, {200, 1}});
    EXPECT_EQ(Walk(three, 416, device), (std::vector<size_t>{0, 120, 216}));

    const std::vector<BYTE> zero = Records({{120, 1}, {0, 1}, {96, 1}});
    EXPECT_EQ(Walk(zero, static_cast<DWORD>(zero.size()), device), (std::vector<size_t>{0}))
        << "a size of 0 would never advance";

    const std::vector<BYTE> tooLong = Records({{120, 1}, {96, 1}});
    EXPECT_EQ(Walk(tooLong, 200, device), (std::vector<size_t>{0}))
        << "the second record claims more than is left";
    EXPECT_EQ(Walk(three, 0, device), (std::vector<size_t>{}));
}

TEST(RecordWalk, AReplySignalsOnlyTheRequestWaitingForIt)
{
    OstrelDriver::COstrelDriver device;
    std::vector<BYTE> reply = Records({{128, 0x1000}, {128, 0x1000}});
    const DWORD waited = 7, other = 8;
    std::memcpy(&reply[92], &waited, 4);
    std::memcpy(&reply[128 + 92], &other, 4);
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE unrelated = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    device.PendingReplies[waited] = event;
    device.PendingReplies[9] = unrelated;
    Walk(reply, 256, device);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(unrelated, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    device.PendingReplies.clear();
    CloseHandle(event);
    CloseHandle(unrelated);
}

/// A read that completes at once with nothing the first time and fails the
/// second time; it moves the fake clock past the review interval between.
qvtest::FakeClock* g_clock = nullptr;
std::vector<DWORD> g_sizesSeen;
DWORD ScriptedRead(HANDLE, void*, DWORD size, DWORD* transferred, OVERLAPPED*, void*)
{
    g_sizesSeen.push_back(size);
    *transferred = 0;
    if (g_sizesSeen.size() == 1) {
        g_clock->Advance(10001);
        return 0;
    }
    return ERROR_ACCESS_DENIED;
}

TEST(ReadBegin, ALargeBufferFallsBackToOnePageAtTheReviewAfterTenSeconds)
{
    qvtest::ScratchFolder scratch;
    const std::wstring path = (scratch / L"io.bin").wstring();
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_FLAG_OVERLAPPED | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    qvtest::FakeClock clock;
    g_clock = &clock;
    g_sizesSeen.clear();

    OstrelDriver::IoChannel channel;
    OstrelDriver::ChannelCallbacks callbacks = OstrelDriver::DeviceChannelCallbacks();
    callbacks.StartRead = ScriptedRead;
    channel.Io = CreateThreadpoolIo(file, [](PTP_CALLBACK_INSTANCE, PVOID, PVOID, ULONG, ULONG_PTR, PTP_IO) {},
                                    nullptr, nullptr);
    channel.Handle = file;
    channel.StartRead = callbacks.StartRead;
    channel.SizeBuffer = callbacks.SizeBuffer;
    channel.OnRecords = callbacks.OnRecords;
    channel.Slots.assign(1, ReadSlot{});
    ReadSlot& slot = channel.Slots[0];
    OstrelDriver::ResizeReadBuffer(slot, 69632);
    slot.LastReview = clock.Now();

    EXPECT_EQ(OstrelDriver::ReadBegin(channel, slot, nullptr), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(g_sizesSeen, (std::vector<DWORD>{69632, 4096}));
    EXPECT_EQ(slot.BufferSize, 4096u);
    OstrelDriver::CloseChannel(channel, OstrelDriver::Closer(), true); // closes the file
}

TEST(StartIo, NoUsableHandleStartsNoChannel)
{
    OstrelDriver::IoPool pool;
    OstrelDriver::IoChannel* channel = reinterpret_cast<OstrelDriver::IoChannel*>(1);
    EXPECT_EQ(OstrelDriver::StartIo(pool, nullptr, nullptr, channel), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(channel, nullptr);
    EXPECT_EQ(OstrelDriver::StartIo(pool, INVALID_HANDLE_VALUE, nullptr, channel),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(pool.OpenChannels, 0);
}

TEST(DeviceObject, ClosingAClosedDeviceAnswersFileNotFound)
{
    OstrelDriver::COstrelDriverSystem device;
    EXPECT_EQ(device.CloseDevice(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(device.CloseDevice(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(device.OpenDevice(L""), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(device.Handle, nullptr);
}

} // namespace
