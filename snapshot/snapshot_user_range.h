// Securing a raw user-mode range before tessip writes into it.
//
// A read without an MDL or a system buffer brings only the caller's own
// address. GCC has no structured exception handling, so a fault there could
// not be caught: the range must be shown to lie in user space and to be
// mapped writable, and must stay so until the copy ends, before the first
// byte is written. On Windows MmSecureVirtualMemory does exactly that and
// reports failure instead of raising; the host build checks the process's
// real mappings.
#pragma once

#include "platform.h"

#if defined(PLATFORM_KERNEL)

// NULL unless [Address, Address + Length) is user space that stays writable
// until SnapshotUnsecureUserRange. Length must not be 0.
FORCEINLINE HANDLE SnapshotSecureUserRange(PVOID Address, SIZE_T Length)
{
    ULONG_PTR first = (ULONG_PTR)Address;
    ULONG_PTR last = first + Length - 1;
    if (Length == 0 || last < first || last > (ULONG_PTR)MM_HIGHEST_USER_ADDRESS) {
        return NULL;
    }
    return MmSecureVirtualMemory(Address, Length, PAGE_READWRITE);
}

FORCEINLINE VOID SnapshotUnsecureUserRange(HANDLE Secured)
{
    MmUnsecureVirtualMemory(Secured);
}

#else

// The user-mode kernel has no MmSecureVirtualMemory; these stand in for it.
extern "C" HANDLE SnapshotSecureUserRange(PVOID Address, SIZE_T Length);
extern "C" VOID SnapshotUnsecureUserRange(HANDLE Secured);

#endif
