/*
 * Kernel definitions for ARM64 that mingw-w64's wdm.h lacks; the ARM64 test
 * build includes this from its copy of wdm.h, where the other processors
 * have theirs. Only what the test driver and the headers themselves need.
 */
#pragma once

#define PASSIVE_LEVEL  0
#define LOW_LEVEL      0
#define APC_LEVEL      1
#define DISPATCH_LEVEL 2
#define CLOCK_LEVEL    13
#define IPI_LEVEL      14
#define DRS_LEVEL      14
#define POWER_LEVEL    14
#define PROFILE_LEVEL  15
#define HIGH_LEVEL     15

#define PAGE_SIZE  0x1000
#define PAGE_SHIFT 12L

typedef struct _KFLOATING_SAVE {
  ULONG Dummy;
} KFLOATING_SAVE, *PKFLOATING_SAVE;

NTKERNELAPI KIRQL NTAPI KeGetCurrentIrql(VOID);
NTKERNELAPI struct _KTHREAD *NTAPI KeGetCurrentThread(VOID);

#define YieldProcessor() __asm__ __volatile__("yield")
#define KeFlushIoBuffers(_Mdl, _ReadOperation, _DmaOperation)
#define InterlockedExchangePointer _InterlockedExchangePointer
#define InterlockedCompareExchangePointer _InterlockedCompareExchangePointer
