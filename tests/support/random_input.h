// Helpers of the seeded random tests: a reproducible number source, the seed
// (fixed, or QV_SEED from the environment), text shown as printable ASCII,
// and memory whose last byte adjoins an inaccessible page, so that a read
// past it crashes the test.
#pragma once

#include <windows.h>

#include <cstdint>
#include <random>
#include <string>

namespace qvtest {

/// std::mt19937 gives the same numbers everywhere; the standard's
/// distributions do not, so the few draws needed are written out here.
class Random {
public:
    explicit Random(uint32_t seed) : engine_(seed) {}
    uint32_t Next() { return static_cast<uint32_t>(engine_()); }
    uint32_t Below(uint32_t bound); // uniform in [0, bound), bound > 0
    uint32_t Between(uint32_t low, uint32_t high) { return low + Below(high - low + 1); }
    bool Percent(uint32_t percent) { return Below(100) < percent; }
    template <class T, size_t N>
    const T& Pick(const T (&items)[N]) { return items[Below(N)]; }

private:
    std::mt19937 engine_;
};

/// QV_SEED (decimal or 0x-hex), else the fixed default; recorded as the
/// current test's property "seed" and printed.
uint32_t TestSeed();

/// "seed=N case=K", for failure messages.
std::string CaseLabel(uint32_t seed, size_t index);

/// Text in quotes, printable ASCII as it is and other units as \xNN or
/// \uNNNN; beyond `limit` characters cut, with the length added.
std::string Show(const std::string& text, size_t limit = 200);
std::string Show(const std::wstring& text, size_t limit = 200);

/// `bytes` of read-write memory whose last byte is the last byte of a page;
/// the next page is PAGE_NOACCESS.
class GuardedBlock {
public:
    explicit GuardedBlock(size_t bytes);
    GuardedBlock(GuardedBlock&& other) noexcept : base_(other.base_), data_(other.data_) { other.base_ = nullptr; }
    GuardedBlock(const GuardedBlock&) = delete;
    GuardedBlock& operator=(const GuardedBlock&) = delete;
    ~GuardedBlock();

    void* data() const { return data_; }
    template <class T>
    T* As() const { return static_cast<T*>(data_); }

    /// A copy of `text` whose terminator is the block's last character.
    template <class Char>
    static GuardedBlock Text(const std::basic_string<Char>& text)
    {
        GuardedBlock block((text.size() + 1) * sizeof(Char));
        std::char_traits<Char>::copy(block.As<Char>(), text.c_str(), text.size() + 1);
        return block;
    }

private:
    void* base_ = nullptr;
    void* data_ = nullptr;
};

} // namespace qvtest
