#include "support/import_patch.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <utility>

// The calls under test live in helpers the compiler must not inline: within
// one function an import's address may be loaded once and reused, which would
// hide a patch installed between two calls.
#if defined(_MSC_VER)
#define QV_NOINLINE __declspec(noinline)
#else
#define QV_NOINLINE __attribute__((noinline))
#endif

namespace {

constexpr ULONGLONG kFakeTicks = 0x0123456789ABCDEFULL;

ULONGLONG WINAPI FakeTickCount64() { return kFakeTicks; }

QV_NOINLINE ULONGLONG TickNow() { return GetTickCount64(); }

QV_NOINLINE void* TickCountEntry() { return reinterpret_cast<void*>(&GetTickCount64); }

SC_HANDLE WINAPI RefuseOpenSCManager(LPCWSTR, LPCWSTR, DWORD) {
  SetLastError(ERROR_ACCESS_DENIED);
  return nullptr;
}

// 0 when the service manager opens, otherwise the error.
QV_NOINLINE DWORD OpenServiceManagerError() {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) return GetLastError();
  CloseServiceHandle(manager);
  return 0;
}

BOOL WINAPI FakeIsWow64Process2(HANDLE, USHORT* processMachine, USHORT* nativeMachine) {
  *processMachine = IMAGE_FILE_MACHINE_UNKNOWN;
  *nativeMachine = IMAGE_FILE_MACHINE_ARM64;
  return TRUE;
}

DWORD WINAPI FakeGetTempPath2W(DWORD, LPWSTR) { return 0; }

struct Lookup {
  FARPROC address;
  DWORD error;
};

QV_NOINLINE Lookup LookUp(const wchar_t* module, const char* name) {
  SetLastError(0);
  FARPROC address = GetProcAddress(GetModuleHandleW(module), name);
  return Lookup{address, GetLastError()};
}

template <class F>
F As(FARPROC address) {
  return reinterpret_cast<F>(reinterpret_cast<void (*)()>(address));
}

template <class F>
FARPROC ToFarProc(F* function) {
  return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}

}  // namespace

TEST(ImportPatch, RedirectsAKernel32ImportForOneScope) {
  void* const realEntry = TickCountEntry();
  {
    auto patch = qvtest::PatchImport("kernel32.dll", "GetTickCount64", &FakeTickCount64);
    EXPECT_GE(patch.slot_count(), 1u);
    EXPECT_EQ(patch.original(), realEntry);
    EXPECT_EQ(TickNow(), kFakeTicks);

    // The original stays callable for a replacement that calls through.
    const ULONGLONG real = patch.original_as<decltype(&GetTickCount64)>()();
    EXPECT_NE(real, kFakeTicks);
    EXPECT_NE(real, 0u);
  }
  EXPECT_EQ(TickCountEntry(), realEntry);
  EXPECT_NE(TickNow(), kFakeTicks);
}

TEST(ImportPatch, MovedPatchRestoresOnce) {
  void* const realEntry = TickCountEntry();
  {
    qvtest::ImportPatch first("KERNEL32", "GetTickCount64", reinterpret_cast<void*>(&FakeTickCount64));
    qvtest::ImportPatch second(std::move(first));
    EXPECT_EQ(first.slot_count(), 0u);
    EXPECT_EQ(TickNow(), kFakeTicks);
  }
  EXPECT_EQ(TickCountEntry(), realEntry);
}

TEST(ImportPatch, RedirectsAnAdvapi32Import) {
  {
    auto refuse = qvtest::PatchImport("advapi32.dll", "OpenSCManagerW", &RefuseOpenSCManager);
    EXPECT_EQ(OpenServiceManagerError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  }
  EXPECT_EQ(OpenServiceManagerError(), 0u);
}

TEST(ImportPatch, MissingImportThrowsWithTheNames) {
  EXPECT_TRUE(qvtest::ImportPatch::IsImported("Kernel32.DLL", "GetTickCount64"));
  EXPECT_FALSE(qvtest::ImportPatch::IsImported("kernel32.dll", "QvNoSuchFunction"));
  try {
    qvtest::ImportPatch patch("kernel32.dll", "QvNoSuchFunction", reinterpret_cast<void*>(&FakeTickCount64));
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& error) {
    EXPECT_NE(std::string(error.what()).find("kernel32.dll!QvNoSuchFunction"), std::string::npos) << error.what();
  }
}

TEST(ProcAddressOverride, HidesAndReplacesAnExport) {
  const Lookup real = LookUp(L"kernel32", "IsWow64Process2");
  ASSERT_NE(real.address, nullptr) << "this test expects the export to exist";
  {
    qvtest::ProcAddressOverride hide("IsWow64Process2", nullptr);
    const Lookup hidden = LookUp(L"kernel32", "IsWow64Process2");
    EXPECT_EQ(hidden.address, nullptr);
    EXPECT_EQ(hidden.error, static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
    // Other names still reach the real GetProcAddress.
    EXPECT_NE(LookUp(L"kernel32", "GetTickCount64").address, nullptr);
  }
  EXPECT_EQ(LookUp(L"kernel32", "IsWow64Process2").address, real.address);

  {
    qvtest::ProcAddressOverride replace("IsWow64Process2", &FakeIsWow64Process2);
    const Lookup replaced = LookUp(L"kernel32", "IsWow64Process2");
    ASSERT_EQ(replaced.address, ToFarProc(&FakeIsWow64Process2));
    USHORT processMachine = 0xFFFF;
    USHORT nativeMachine = 0;
    EXPECT_TRUE(As<decltype(&FakeIsWow64Process2)>(replaced.address)(GetCurrentProcess(), &processMachine,
                                                                     &nativeMachine));
    EXPECT_EQ(processMachine, IMAGE_FILE_MACHINE_UNKNOWN);
    EXPECT_EQ(nativeMachine, IMAGE_FILE_MACHINE_ARM64);
  }
  EXPECT_EQ(LookUp(L"kernel32", "IsWow64Process2").address, real.address);
}

TEST(ProcAddressOverride, NestsAndRestoresInReverseOrder) {
  const Lookup realWow = LookUp(L"kernel32", "IsWow64Process2");
  const Lookup realVerify = LookUp(L"ntdll", "RtlVerifyVersionInfo");
  ASSERT_NE(realVerify.address, nullptr);
  EXPECT_EQ(LookUp(L"kernel32", "GetTempPath2W").address, nullptr);  // absent under Wine 8
  const Lookup byOrdinal = LookUp(L"kernel32", MAKEINTRESOURCEA(1));
  {
    qvtest::ProcAddressOverride hideWow("IsWow64Process2", nullptr);
    qvtest::ProcAddressOverride hideVerify(GetModuleHandleW(L"ntdll"), "RtlVerifyVersionInfo", nullptr);
    qvtest::ProcAddressOverride addTempPath2(GetModuleHandleW(L"kernel32"), "GetTempPath2W", &FakeGetTempPath2W);
    EXPECT_EQ(LookUp(L"ntdll", "RtlVerifyVersionInfo").address, nullptr);
    EXPECT_EQ(LookUp(L"kernel32", "GetTempPath2W").address, ToFarProc(&FakeGetTempPath2W));
    // Bound to kernel32: the same name elsewhere is untouched.
    EXPECT_EQ(LookUp(L"ntdll", "GetTempPath2W").address, nullptr);
    EXPECT_EQ(LookUp(L"kernel32", MAKEINTRESOURCEA(1)).address, byOrdinal.address);
    {
      qvtest::ProcAddressOverride replaceWow("IsWow64Process2", &FakeIsWow64Process2);
      EXPECT_EQ(LookUp(L"kernel32", "IsWow64Process2").address, ToFarProc(&FakeIsWow64Process2));
    }
    const Lookup hiddenAgain = LookUp(L"kernel32", "IsWow64Process2");
    EXPECT_EQ(hiddenAgain.address, nullptr);
    EXPECT_EQ(hiddenAgain.error, static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
  }
  EXPECT_EQ(LookUp(L"kernel32", "IsWow64Process2").address, realWow.address);
  EXPECT_EQ(LookUp(L"ntdll", "RtlVerifyVersionInfo").address, realVerify.address);
  EXPECT_EQ(LookUp(L"kernel32", "GetTempPath2W").address, nullptr);
}
