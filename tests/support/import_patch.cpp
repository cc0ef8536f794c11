#include "import_patch.h"

#include <atomic>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

namespace qvtest {
namespace {

using GetProcAddressFn = FARPROC(WINAPI*)(HMODULE, LPCSTR);

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool AsciiIEquals(const char* a, const char* b) {
  for (; *a != '\0' && *b != '\0'; ++a, ++b) {
    if (AsciiLower(*a) != AsciiLower(*b)) return false;
  }
  return *a == *b;
}

bool AsciiIStartsWith(const char* text, const char* prefix) {
  for (; *prefix != '\0'; ++text, ++prefix) {
    if (*text == '\0' || AsciiLower(*text) != AsciiLower(*prefix)) return false;
  }
  return true;
}

// "kernel32" matches a descriptor named "KERNEL32.dll", as it would for
// GetModuleHandle.
bool DllNameMatches(const char* descriptorName, const char* wanted) {
  if (AsciiIEquals(descriptorName, wanted)) return true;
  if (std::strchr(wanted, '.') != nullptr) return false;
  const std::size_t length = std::strlen(wanted);
  return std::strlen(descriptorName) == length + 4 &&
         AsciiIStartsWith(descriptorName, wanted) &&
         AsciiIEquals(descriptorName + length, ".dll");
}

bool IsApiSetName(const char* name) {
  return AsciiIStartsWith(name, "api-ms-") || AsciiIStartsWith(name, "ext-ms-");
}

std::string Describe(const char* dllName, const char* functionName) {
  return std::string(dllName) + "!" + functionName;
}

// --- GetProcAddress shim state ------------------------------------------

struct Override {
  unsigned long long id;
  HMODULE module;  // nullptr: any module
  std::string name;
  FARPROC replacement;  // nullptr: the export is hidden
};

SRWLOCK g_overridesLock = SRWLOCK_INIT;
unsigned long long g_nextOverrideId = 0;
// Where the shim forwards lookups that no override claims. Set before the
// shim goes into the IAT and left in place afterwards, so a call already
// inside the shim when it is removed still completes.
std::atomic<GetProcAddressFn> g_forwardGetProcAddress{nullptr};
std::atomic<bool> g_shimInstalled{false};

std::vector<Override>& Overrides() {
  static std::vector<Override> overrides;
  return overrides;
}

std::unique_ptr<ImportPatch>& ShimPatch() {
  static std::unique_ptr<ImportPatch> patch;
  return patch;
}

// GetProcAddress as it would answer without our shim.
FARPROC RealGetProcAddress(HMODULE module, const char* name) {
  if (g_shimInstalled.load()) return g_forwardGetProcAddress.load()(module, name);
  return ::GetProcAddress(module, name);
}

FARPROC WINAPI GetProcAddressShim(HMODULE module, LPCSTR name) {
  // An ordinal travels in the low word of the name pointer.
  const bool byOrdinal = (reinterpret_cast<ULONG_PTR>(name) >> 16) == 0;
  if (!byOrdinal) {
    bool claimed = false;
    FARPROC replacement = nullptr;
    AcquireSRWLockShared(&g_overridesLock);
    const std::vector<Override>& overrides = Overrides();
    for (auto it = overrides.rbegin(); it != overrides.rend(); ++it) {
      if ((it->module == nullptr || it->module == module) && it->name == name) {
        claimed = true;
        replacement = it->replacement;
        break;
      }
    }
    ReleaseSRWLockShared(&g_overridesLock);
    if (claimed) {
      if (replacement == nullptr) SetLastError(ERROR_PROC_NOT_FOUND);
      return replacement;
    }
  }
  return g_forwardGetProcAddress.load()(module, name);
}

// --- import table ---------------------------------------------------------

const IMAGE_IMPORT_DESCRIPTOR* FirstImportDescriptor(BYTE* base) {
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  if (dos->e_magic != IMAGE_DOS_SIGNATURE) return nullptr;
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  if (nt->Signature != IMAGE_NT_SIGNATURE || nt->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR_MAGIC) {
    return nullptr;
  }
  if (nt->OptionalHeader.NumberOfRvaAndSizes <= IMAGE_DIRECTORY_ENTRY_IMPORT) return nullptr;
  const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (directory.VirtualAddress == 0 || directory.Size == 0) return nullptr;
  return reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
}

void* SlotValue(const IMAGE_THUNK_DATA* slot) {
  return reinterpret_cast<void*>(static_cast<ULONG_PTR>(slot->u1.Function));
}

void** SlotAddress(IMAGE_THUNK_DATA* slot) { return reinterpret_cast<void**>(&slot->u1.Function); }

// Every IAT entry of the main module for dllName!functionName. A name can
// appear under several descriptors of one DLL: the linker keeps one
// descriptor per import library, and mingw-w64 pulls kernel32 imports from
// more than one.
std::vector<void**> FindSlots(const char* dllName, const char* functionName) {
  std::vector<void**> slots;
  auto* base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
  const IMAGE_IMPORT_DESCRIPTOR* descriptor = base != nullptr ? FirstImportDescriptor(base) : nullptr;
  if (descriptor == nullptr) return slots;

  // The address the loader bound the function to, for entries that carry no
  // name (an API set descriptor, or a descriptor without a name table).
  bool resolvedKnown = false;
  void* resolved = nullptr;
  auto resolvedAddress = [&]() {
    if (!resolvedKnown) {
      resolvedKnown = true;
      if (HMODULE module = GetModuleHandleA(dllName)) {
        resolved = reinterpret_cast<void*>(RealGetProcAddress(module, functionName));
      }
    }
    return resolved;
  };

  // Entries found through an API set (api-ms-win-core-...) are taken only
  // when they hold the same address as the named DLL's entries, so a same
  // name exported by an unrelated set is left alone.
  std::vector<void**> apiSetCandidates;

  for (; descriptor->Name != 0; ++descriptor) {
    const char* descriptorName = reinterpret_cast<const char*>(base + descriptor->Name);
    const bool direct = DllNameMatches(descriptorName, dllName);
    if (!direct && !IsApiSetName(descriptorName)) continue;

    auto* iat = reinterpret_cast<IMAGE_THUNK_DATA*>(base + descriptor->FirstThunk);
    if (descriptor->OriginalFirstThunk != 0) {
      const auto* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + descriptor->OriginalFirstThunk);
      for (; names->u1.AddressOfData != 0; ++names, ++iat) {
        if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
        const auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(
            base + static_cast<ULONG_PTR>(names->u1.AddressOfData));
        if (std::strcmp(reinterpret_cast<const char*>(byName->Name), functionName) != 0) continue;
        (direct ? slots : apiSetCandidates).push_back(SlotAddress(iat));
      }
    } else if (direct && resolvedAddress() != nullptr) {
      // No name table: only the bound addresses are left to go by.
      for (; iat->u1.Function != 0; ++iat) {
        if (SlotValue(iat) == resolved) slots.push_back(SlotAddress(iat));
      }
    }
  }

  for (void** candidate : apiSetCandidates) {
    bool same = *candidate != nullptr && *candidate == resolvedAddress();
    for (void** slot : slots) same = same || *slot == *candidate;
    if (same) slots.push_back(candidate);
  }
  return slots;
}

bool WriteSlot(void** slot, void* value) {
  MEMORY_BASIC_INFORMATION info{};
  if (VirtualQuery(slot, &info, sizeof(info)) == 0) return false;
  // Keep execute rights if the page has them: code may share the page.
  const DWORD executable = PAGE_EXECUTE | PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
  const DWORD writable = (info.Protect & executable) != 0 ? PAGE_EXECUTE_READWRITE : PAGE_READWRITE;
  DWORD previous = 0;
  if (!VirtualProtect(slot, sizeof(void*), writable, &previous)) return false;
  InterlockedExchangePointer(slot, value);
  DWORD ignored = 0;
  VirtualProtect(slot, sizeof(void*), previous, &ignored);
  return true;
}

}  // namespace

// --- ImportPatch ------------------------------------------------------------

ImportPatch::ImportPatch(const char* dllName, const char* functionName, void* replacement) {
  if (dllName == nullptr || functionName == nullptr || replacement == nullptr) {
    throw std::invalid_argument("ImportPatch: DLL name, function name and replacement are required");
  }
  const std::vector<void**> found = FindSlots(dllName, functionName);
  if (found.empty()) {
    throw std::runtime_error("ImportPatch: the test exe does not import " + Describe(dllName, functionName) +
                             " (reference the function in the test binary so the linker keeps the import)");
  }
  original_ = *found.front();
  slots_.reserve(found.size());
  for (void** address : found) {
    void* previous = *address;
    if (!WriteSlot(address, replacement)) {
      const DWORD error = GetLastError();
      Restore();
      throw std::runtime_error("ImportPatch: cannot write the import entry of " + Describe(dllName, functionName) +
                               " (error " + std::to_string(error) + ")");
    }
    slots_.push_back(Slot{address, previous});
  }
}

ImportPatch::~ImportPatch() { Restore(); }

ImportPatch::ImportPatch(ImportPatch&& other) noexcept
    : slots_(std::move(other.slots_)), original_(other.original_) {
  other.slots_.clear();
}

ImportPatch& ImportPatch::operator=(ImportPatch&& other) noexcept {
  if (this != &other) {
    Restore();
    slots_ = std::move(other.slots_);
    other.slots_.clear();
    original_ = other.original_;
  }
  return *this;
}

void ImportPatch::Restore() noexcept {
  for (auto it = slots_.rbegin(); it != slots_.rend(); ++it) WriteSlot(it->address, it->previous);
  slots_.clear();
}

bool ImportPatch::IsImported(const char* dllName, const char* functionName) {
  return dllName != nullptr && functionName != nullptr && !FindSlots(dllName, functionName).empty();
}

// --- ProcAddressOverride ----------------------------------------------------

ProcAddressOverride::ProcAddressOverride(const char* procName, FARPROC replacement)
    : ProcAddressOverride(static_cast<HMODULE>(nullptr), procName, replacement) {}

ProcAddressOverride::ProcAddressOverride(HMODULE module, const char* procName, FARPROC replacement) {
  if (procName == nullptr || (reinterpret_cast<ULONG_PTR>(procName) >> 16) == 0) {
    throw std::invalid_argument("ProcAddressOverride: an export name is required (ordinals are not overridden)");
  }
  AcquireSRWLockExclusive(&g_overridesLock);
  id_ = ++g_nextOverrideId;
  const bool first = Overrides().empty();
  try {
    Overrides().push_back(Override{id_, module, procName, replacement});
  } catch (...) {
    ReleaseSRWLockExclusive(&g_overridesLock);
    throw;
  }
  ReleaseSRWLockExclusive(&g_overridesLock);
  if (!first) return;

  // The first override puts the shim in place. Its forwarding target is set
  // before the shim can be reached.
  try {
    const GetProcAddressFn current = &::GetProcAddress;  // read from the IAT
    g_forwardGetProcAddress.store(current);
    auto patch = std::make_unique<ImportPatch>("kernel32.dll", "GetProcAddress",
                                               reinterpret_cast<void*>(&GetProcAddressShim));
    g_forwardGetProcAddress.store(patch->original_as<GetProcAddressFn>());
    ShimPatch() = std::move(patch);
    g_shimInstalled.store(true);
  } catch (...) {
    AcquireSRWLockExclusive(&g_overridesLock);
    Overrides().clear();
    ReleaseSRWLockExclusive(&g_overridesLock);
    throw;
  }
}

ProcAddressOverride::~ProcAddressOverride() {
  AcquireSRWLockExclusive(&g_overridesLock);
  std::vector<Override>& overrides = Overrides();
  for (auto it = overrides.begin(); it != overrides.end(); ++it) {
    if (it->id == id_) {
      overrides.erase(it);
      break;
    }
  }
  const bool last = overrides.empty();
  ReleaseSRWLockExclusive(&g_overridesLock);
  if (last) {
    g_shimInstalled.store(false);
    ShimPatch().reset();
  }
}

}  // namespace qvtest
