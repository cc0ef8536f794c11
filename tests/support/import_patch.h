// Import redirection for unit tests.
//
// The product is linked statically into each test binary, so every Win32
// function it calls is reached through the import address table (IAT) of the
// test exe. ImportPatch swaps one IAT entry for the lifetime of a scope, which
// lets a test produce outcomes the machine under test cannot (a refused
// service stop, a failing setup-library call, another processor type).
// ProcAddressOverride does the same for functions the product looks up with
// GetProcAddress at run time, and can also make such an export vanish.
//
// Rules of use:
//  - Replacements must have the exact signature of the function they stand
//    in for, WINAPI included (it matters on x86).
//  - Install the patch before entering the function that makes the call. An
//    optimizing compiler may load an import's address once per function and
//    reuse it for later calls in that same function, so a patch installed
//    between two calls inside one function is not guaranteed to be seen by
//    the second. Product code is always called from the test, so this only
//    matters for calls written directly in a test body: put those in a
//    separate, non-inlined helper.
//  - Patches of the same function nest; end them in reverse order (plain
//    scoping does that).
//  - Only the exe's own imports are redirected. Calls made from inside system
//    DLLs (one DLL calling another) are not affected.
//  - Not thread-safe against concurrent patching; install and remove patches
//    from the test's thread. Calls from other threads while a patch is active
//    are fine.

#pragma once

#include <windows.h>

#include <cstddef>
#include <type_traits>
#include <vector>

namespace qvtest {

class ImportPatch {
 public:
  // Redirects every IAT entry of the main module that imports `functionName`
  // from `dllName` to `replacement`. The DLL name is compared without regard
  // to case ("kernel32.dll", "KERNEL32.dll" and "kernel32" all match). Entries
  // imported through an API set (api-ms-win-*) are redirected too when they
  // resolve to the same function.
  // Throws std::invalid_argument on a null argument, and std::runtime_error
  // naming the DLL and function when the exe does not import it or an entry
  // cannot be made writable.
  ImportPatch(const char* dllName, const char* functionName, void* replacement);
  ~ImportPatch();

  ImportPatch(ImportPatch&& other) noexcept;
  ImportPatch& operator=(ImportPatch&& other) noexcept;
  ImportPatch(const ImportPatch&) = delete;
  ImportPatch& operator=(const ImportPatch&) = delete;

  // The address the entry held before the patch (the real function, or the
  // replacement of an enclosing patch of the same function).
  void* original() const { return original_; }

  // original() as a callable pointer: original_as<decltype(&OpenSCManagerW)>().
  template <class F>
  F original_as() const {
    static_assert(std::is_pointer_v<F> && std::is_function_v<std::remove_pointer_t<F>>,
                  "original_as needs a function pointer type");
    return reinterpret_cast<F>(original_);
  }

  // How many IAT entries were redirected (more than one when the exe imports
  // the DLL through several import descriptors).
  std::size_t slot_count() const { return slots_.size(); }

  // Whether the main module imports `functionName` from `dllName`.
  static bool IsImported(const char* dllName, const char* functionName);

 private:
  struct Slot {
    void** address;
    void* previous;
  };

  void Restore() noexcept;

  std::vector<Slot> slots_;
  void* original_ = nullptr;
};

// Typed form: PatchImport("kernel32.dll", "GetTickCount64", &FakeTickCount).
template <class F>
ImportPatch PatchImport(const char* dllName, const char* functionName, F* replacement) {
  static_assert(std::is_function_v<F>, "PatchImport needs a function");
  return ImportPatch(dllName, functionName, reinterpret_cast<void*>(replacement));
}

// Changes what GetProcAddress answers for one export name, for the lifetime of
// the object. While at least one override is alive, the exe's import of
// kernel32!GetProcAddress points at a shim that consults the active overrides
// (newest first) and otherwise calls the real GetProcAddress.
// A null replacement hides the export: GetProcAddress returns nullptr and sets
// ERROR_PROC_NOT_FOUND. Lookups by ordinal are never overridden.
class ProcAddressOverride {
 public:
  // Applies to lookups of `procName` in any module.
  ProcAddressOverride(const char* procName, FARPROC replacement);
  // Applies only to lookups of `procName` in `module`.
  ProcAddressOverride(HMODULE module, const char* procName, FARPROC replacement);

  // Typed forms: ProcAddressOverride("IsWow64Process2", &FakeIsWow64Process2).
  template <class F, std::enable_if_t<std::is_function_v<F>, int> = 0>
  ProcAddressOverride(const char* procName, F* replacement)
      : ProcAddressOverride(nullptr, procName, ToFarProc(replacement)) {}
  template <class F, std::enable_if_t<std::is_function_v<F>, int> = 0>
  ProcAddressOverride(HMODULE module, const char* procName, F* replacement)
      : ProcAddressOverride(module, procName, ToFarProc(replacement)) {}

  ~ProcAddressOverride();

  ProcAddressOverride(const ProcAddressOverride&) = delete;
  ProcAddressOverride& operator=(const ProcAddressOverride&) = delete;

 private:
  // Through void (*)(void), which GCC accepts as a stand-in for any function
  // type without a cast-function-type warning.
  template <class F>
  static FARPROC ToFarProc(F* function) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
  }

  unsigned long long id_;
};

}  // namespace qvtest
