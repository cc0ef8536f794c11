#include "support/random_input.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace qvtest {

uint32_t Random::Below(uint32_t bound)
{
    const uint32_t limit = UINT32_MAX - UINT32_MAX % bound; // rejection keeps it unbiased
    uint32_t value;
    do
        value = Next();
    while (value >= limit);
    return value % bound;
}

uint32_t TestSeed()
{
    const char* text = std::getenv("QV_SEED");
    const uint32_t seed = text && *text ? static_cast<uint32_t>(std::strtoul(text, nullptr, 0)) : 20240611u;
    ::testing::Test::RecordProperty("seed", std::to_string(seed));
    std::printf("[   seed   ] QV_SEED=%lu\n", static_cast<unsigned long>(seed));
    std::fflush(stdout);
    return seed;
}

std::string CaseLabel(uint32_t seed, size_t index)
{
    return "seed=" + std::to_string(seed) + " case=" + std::to_string(index);
}

template <class Unit, class Char>
static std::string ShowUnits(const std::basic_string<Char>& text, size_t limit, const char* escape)
{
    std::string shown = "\"";
    for (size_t i = 0; i < text.size() && i < limit; ++i) {
        const unsigned c = static_cast<Unit>(text[i]);
        char hex[8];
        std::snprintf(hex, sizeof(hex), escape, c);
        shown += c == '\\' || c == '"' ? std::string{'\\', static_cast<char>(c)}
                 : c >= 0x20 && c < 0x7F ? std::string(1, static_cast<char>(c))
                                         : std::string(hex);
    }
    shown += '"';
    return text.size() > limit ? shown + "... (" + std::to_string(text.size()) + " characters)" : shown;
}

std::string Show(const std::string& text, size_t limit) { return ShowUnits<unsigned char>(text, limit, "\\x%02X"); }
std::string Show(const std::wstring& text, size_t limit) { return ShowUnits<wchar_t>(text, limit, "\\u%04X"); }

GuardedBlock::GuardedBlock(size_t bytes)
{
    SYSTEM_INFO info = {};
    ::GetSystemInfo(&info);
    const size_t page = info.dwPageSize;
    const size_t span = (bytes + page - 1) / page * page;
    base_ = ::VirtualAlloc(nullptr, span + page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    DWORD old = 0;
    if (!base_ || !::VirtualProtect(static_cast<BYTE*>(base_) + span, page, PAGE_NOACCESS, &old))
        throw std::runtime_error("GuardedBlock: VirtualAlloc or VirtualProtect failed");
    data_ = static_cast<BYTE*>(base_) + span - bytes;
}

GuardedBlock::~GuardedBlock()
{
    if (base_)
        ::VirtualFree(base_, 0, MEM_RELEASE);
}

} // namespace qvtest
