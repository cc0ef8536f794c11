// A clock of the test's choosing for the engine's bounded waits. For the
// lifetime of the object the test exe's kernel32 imports are redirected:
// GetTickCount64 answers a fake tick count, and Sleep returns at once after
// advancing that count by its argument. A wait of ten seconds thus takes
// microseconds and its attempts can be counted exactly.
//
// A loop that polls the clock without ever sleeping would never see the fake
// time move: after 10000 reads each further read advances the clock by 1 ms,
// so such a loop ends (and the test fails on its counts) instead of hanging.
//
// One FakeClock at a time; create and destroy it on the test's thread.
#pragma once

#include "support/import_patch.h"

#include <windows.h>

#include <vector>

namespace qvtest {

class FakeClock {
public:
    explicit FakeClock(ULONGLONG start = 0x100000000ULL);
    ~FakeClock();
    FakeClock(const FakeClock&) = delete;
    FakeClock& operator=(const FakeClock&) = delete;

    /// The current fake tick count.
    ULONGLONG Now() const;

    /// Milliseconds passed on the fake clock since construction.
    ULONGLONG Elapsed() const;

    /// Moves the clock on without a Sleep.
    void Advance(ULONGLONG milliseconds);

    /// The argument of every Sleep call, in order.
    const std::vector<DWORD>& Sleeps() const;

    /// How many times GetTickCount64 was read.
    size_t Reads() const;

private:
    bool reset_;
    ImportPatch tick_;
    ImportPatch sleep_;
};

} // namespace qvtest
