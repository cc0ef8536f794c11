#include "support/import_patch.h"

#include <map>
#include <memory>
#include <stdexcept>

namespace qvtest {

namespace {

/// Every import address table entry of the exe for dllName!functionName
/// (mingw-w64 may import one DLL through several descriptors).
std::vector<void**> FindSlots(const char* dllName, const char* functionName)
{
    auto* base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
    const auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const auto& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    std::vector<void**> slots;
    for (auto* d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress); d->Name; ++d) {
        if (lstrcmpiA(reinterpret_cast<char*>(base + d->Name), dllName) != 0)
            continue;
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->OriginalFirstThunk);
        auto* iat = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++iat) {
            if (!IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal) &&
                lstrcmpA(reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData)->Name,
                         functionName) == 0)
                slots.push_back(reinterpret_cast<void**>(&iat->u1.Function));
        }
    }
    return slots;
}

void WriteSlot(void** slot, void* value)
{
    DWORD previous = 0;
    VirtualProtect(slot, sizeof(void*), PAGE_READWRITE, &previous);
    *slot = value;
    VirtualProtect(slot, sizeof(void*), previous, &previous);
}

std::map<std::string, std::vector<FARPROC>> g_overrides; // newest last
std::unique_ptr<ImportPatch> g_shim;

FARPROC WINAPI GetProcAddressShim(HMODULE module, LPCSTR name)
{
    if (reinterpret_cast<ULONG_PTR>(name) >> 16) {
        const auto found = g_overrides.find(name);
        if (found != g_overrides.end() && !found->second.empty()) {
            if (!found->second.back())
                SetLastError(ERROR_PROC_NOT_FOUND);
            return found->second.back();
        }
    }
    return reinterpret_cast<decltype(&GetProcAddress)>(g_shim->original())(module, name);
}

} // namespace

ImportPatch::ImportPatch(const char* dllName, const char* functionName, void* replacement, void** original)
{
    for (void** slot : FindSlots(dllName, functionName)) {
        slots_.emplace_back(slot, *slot);
        WriteSlot(slot, replacement);
    }
    if (slots_.empty())
        throw std::runtime_error(std::string("the test exe does not import ") + dllName + "!" + functionName);
    if (original)
        *original = slots_.front().second;
}

ImportPatch::~ImportPatch()
{
    for (auto it = slots_.rbegin(); it != slots_.rend(); ++it)
        WriteSlot(it->first, it->second);
}

ProcAddressOverride::ProcAddressOverride(const char* procName, FARPROC replacement) : name_(procName)
{
    if (!g_shim)
        g_shim = std::make_unique<ImportPatch>("kernel32.dll", "GetProcAddress",
                                               reinterpret_cast<void*>(&GetProcAddressShim));
    g_overrides[name_].push_back(replacement);
}

ProcAddressOverride::~ProcAddressOverride()
{
    g_overrides[name_].pop_back();
    for (const auto& entry : g_overrides)
        if (!entry.second.empty())
            return;
    g_shim.reset();
}

} // namespace qvtest
