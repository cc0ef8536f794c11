#include "support/fake_clock.h"

#include <stdexcept>

namespace qvtest {

namespace {

struct ClockState {
    bool active = false;
    ULONGLONG start = 0;
    ULONGLONG now = 0;
    size_t reads = 0;
    std::vector<DWORD> sleeps;
};

ClockState& State()
{
    static ClockState state;
    return state;
}

/// Reads after which the clock moves on by itself, 1 ms a read.
constexpr size_t kBusyReads = 10000;

ULONGLONG WINAPI FakeGetTickCount64()
{
    ClockState& state = State();
    if (++state.reads > kBusyReads)
        ++state.now;
    return state.now;
}

VOID WINAPI FakeSleep(DWORD milliseconds)
{
    State().sleeps.push_back(milliseconds);
    State().now += milliseconds;
}

/// Prepares the shared state before the imports are redirected to it.
bool ResetState(ULONGLONG start)
{
    ClockState& state = State();
    if (state.active)
        throw std::logic_error("FakeClock: only one at a time");
    state.active = true;
    state.start = start;
    state.now = start;
    state.reads = 0;
    state.sleeps.clear();
    return true;
}

} // namespace

FakeClock::FakeClock(ULONGLONG start)
    : reset_(ResetState(start)),
      tick_(PatchImport("kernel32.dll", "GetTickCount64", &FakeGetTickCount64)),
      sleep_(PatchImport("kernel32.dll", "Sleep", &FakeSleep))
{
}

FakeClock::~FakeClock() { State().active = false; }

ULONGLONG FakeClock::Now() const { return State().now; }

ULONGLONG FakeClock::Elapsed() const { return State().now - State().start; }

void FakeClock::Advance(ULONGLONG milliseconds) { State().now += milliseconds; }

const std::vector<DWORD>& FakeClock::Sleeps() const { return State().sleeps; }

size_t FakeClock::Reads() const { return State().reads; }

} // namespace qvtest
