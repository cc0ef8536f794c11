// The record walk of the device client under random record streams, each in
// a buffer that ends where a page ends (the next page inaccessible), against
// a model of the framing: size at 0, type at 16, reply id at 92.
#include "driverclient/device.h"

#include "support/import_patch.h"
#include "support/random_input.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <vector>

namespace {

using qvtest::Random;

struct Seen {
    const BYTE* Base = nullptr;
    size_t Bytes = 0;
    std::vector<size_t> Offsets;
    bool Sound = true; // every call had the device's path and context, inside the buffer
};

OstrelDriver::COstrelDriver* Device = nullptr;

void Record(const void* record, OstrelDriver::COstrelDriver* device, const wchar_t* path, void* context)
{
    auto* seen = static_cast<Seen*>(context);
    const size_t offset = static_cast<size_t>(static_cast<const BYTE*>(record) - seen->Base);
    seen->Sound = seen->Sound && device == Device && path == Device->DevicePath && offset < seen->Bytes;
    seen->Offsets.push_back(offset);
}

DWORD At(const std::vector<BYTE>& bytes, size_t offset)
{
    DWORD value = 0;
    std::memcpy(&value, bytes.data() + offset, sizeof(value));
    return value;
}

void Put(std::vector<BYTE>& bytes, size_t offset, DWORD value)
{
    if (offset + 4 <= bytes.size())
        std::memcpy(bytes.data() + offset, &value, sizeof(value));
}

/// Walks while a whole record of at least 20 bytes fits; a reply (type
/// 0x1000) of at least 96 bytes signals its id when it is pending.
void Model(const std::vector<BYTE>& bytes, const std::set<DWORD>& pending,
           std::vector<size_t>& offsets, std::vector<DWORD>& signalled)
{
    for (size_t at = 0; bytes.size() - at >= 20;) {
        const size_t size = At(bytes, at);
        if (size < 20 || size > bytes.size() - at)
            break;
        offsets.push_back(at);
        if (At(bytes, at + 16) == 0x1000 && size >= 96 && pending.count(At(bytes, at + 92)))
            signalled.push_back(At(bytes, at + 92));
        at += size;
    }
}

// SetEvent redirected: the pending replies hold fake handles, 0x5E7000 + id
// index, whose signals are recorded as ids; no wineserver round trips.
const DWORD kIds[] = {0, 7, 0x1000, 0xFFFFFFFF};
std::vector<DWORD> Signalled;
decltype(&::SetEvent) RealSetEvent = nullptr;

BOOL WINAPI RecordingSetEvent(HANDLE event)
{
    const uintptr_t index = reinterpret_cast<uintptr_t>(event) - 0x5E7000;
    if (index >= 4)
        return RealSetEvent(event);
    Signalled.push_back(kIds[index]);
    return TRUE;
}

TEST(RandomRecordWalk, AgreesWithTheModelAndReadsNothingPastTheBuffer)
{
    const uint32_t seed = qvtest::TestSeed();
    Random random(seed);
    auto patch = qvtest::PatchImport("kernel32.dll", "SetEvent", &RecordingSetEvent);
    RealSetEvent = patch.original_as<decltype(&::SetEvent)>();
    OstrelDriver::COstrelDriver device;
    Device = &device;
    Seen seen;
    device.RecordContext = &seen;
    for (uintptr_t i = 0; i < 4; ++i)
        device.PendingReplies[kIds[i]] = reinterpret_cast<HANDLE>(0x5E7000 + i);
    const std::set<DWORD> pending(std::begin(kIds), std::end(kIds));
    const DWORD badSizes[] = {0, 1, 19, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, 0xFFFFFFEC};
    const DWORD edgeSizes[] = {20, 21, 24, 91, 92, 93, 95, 96, 97, 256};

    for (size_t index = 0; index < 6000; ++index) {
        std::vector<BYTE> bytes;
        for (uint32_t n = random.Below(8); n > 0; --n) {
            const size_t at = bytes.size();
            const uint32_t kind = random.Below(20);
            const DWORD size = kind == 0  ? random.Pick(badSizes)
                               : kind < 6 ? random.Pick(edgeSizes)
                                          : random.Between(20, 300);
            bytes.resize(at + (size <= 300 ? size : random.Below(40)));
            const bool zeros = random.Percent(30); // a zero id beyond a short reply is pending
            for (size_t i = at; i < bytes.size(); ++i)
                bytes[i] = zeros ? 0 : static_cast<BYTE>(random.Next());
            Put(bytes, at, size == 20 && random.Percent(50) ? random.Between(21, 200) : size); // claims more
            if (random.Percent(50))
                Put(bytes, at + 16, 0x1000);
            if (random.Percent(70))
                Put(bytes, at + 92, random.Pick(kIds));
        }
        if (random.Percent(30) && !bytes.empty()) // a read that ends inside a record
            bytes.resize(random.Below(static_cast<uint32_t>(bytes.size())));

        qvtest::GuardedBlock block(bytes.size());
        if (!bytes.empty())
            std::memcpy(block.data(), bytes.data(), bytes.size());
        seen = Seen{block.As<BYTE>(), bytes.size(), {}, true};
        const bool callback = random.Percent(90); // without one, replies are still signalled
        device.RecordCallback = callback ? &Record : nullptr;
        Signalled.clear();
        OstrelDriver::WalkRecords(nullptr, block.data(), static_cast<DWORD>(bytes.size()), &device, nullptr);

        std::vector<size_t> offsets;
        std::vector<DWORD> signalled;
        Model(bytes, pending, offsets, signalled);
        if (!callback)
            offsets.clear();
        const auto label = [&] {
            std::string dwords;
            for (size_t at = 0; at + 4 <= bytes.size(); at += 4)
                dwords += " " + std::to_string(At(bytes, at));
            return qvtest::CaseLabel(seed, index) + " " + std::to_string(bytes.size()) + " bytes, DWORDs:" + dwords;
        };
        EXPECT_TRUE(seen.Sound) << label();
        EXPECT_EQ(seen.Offsets, offsets) << label();
        ASSERT_EQ(Signalled, signalled) << label();
    }
    // Without a device or without data nothing is walked.
    seen = Seen{};
    device.RecordCallback = &Record;
    const BYTE record[96] = {96};
    OstrelDriver::WalkRecords(nullptr, record, sizeof(record), nullptr, nullptr);
    OstrelDriver::WalkRecords(nullptr, record, 0, &device, nullptr);
    EXPECT_TRUE(seen.Offsets.empty());
    device.PendingReplies.clear();
}

} // namespace
