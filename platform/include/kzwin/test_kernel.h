/* Kernel test seams: a manual millisecond clock, failing allocations and writes. */
#ifndef KZWIN_TEST_KERNEL_H
#define KZWIN_TEST_KERNEL_H

#include "base.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Manual clock: timeGetTime returns `start` plus what Sleep and kzwinAdvanceClock added.
   kzwinUseManualClock(0, 0) returns to the real clock. */
KZWIN_API void kzwinUseManualClock(BOOL manual, DWORD start);
KZWIN_API void kzwinAdvanceClock(DWORD milliseconds);

/* GlobalAlloc/GlobalReAlloc fail once `count` more of them have succeeded; -1 turns it off. */
KZWIN_API void kzwinFailAllocAfter(LONG count);

/* WriteFile writes at most `bytes` more bytes in total, then reports ERROR_DISK_FULL
   (a short write first, then failures); -1 turns it off. */
KZWIN_API void kzwinFailWritesAfter(LONGLONG bytes);

/* CreateThread fails once `count` more threads have been created; -1 turns it off. */
KZWIN_API void kzwinFailThreadsAfter(LONG count);

/* Live objects of the platform layer, for leak checks. */
KZWIN_API LONG kzwinCountGlobalBlocks(void);
KZWIN_API LONG kzwinCountOpenHandles(void);
/* Threads made by CreateThread whose routine has not returned yet (closing a handle does
   not end a thread, so handles alone do not show a thread left running). */
KZWIN_API LONG kzwinCountRunningThreads(void);

/* Running totals since the process started, so that a fault walk knows how many fault
   points an operation has: GlobalAlloc and GlobalReAlloc calls (failed ones included),
   WriteFile calls that asked for bytes, and the bytes WriteFile wrote. */
KZWIN_API LONG kzwinCountAllocCalls(void);
KZWIN_API LONG kzwinCountWriteCalls(void);
KZWIN_API LONGLONG kzwinCountBytesWritten(void);

#ifdef __cplusplus
}
#endif

#endif
