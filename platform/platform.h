// The one header driver code includes. It gives the WDM names from the DDK
// on the kernel build and from the user-mode kernel (host/include) on Linux,
// plus the few helpers that hide the differences between the two.
#pragma once

#if defined(PLATFORM_KERNEL)

// The DDK's wdm.h defines these two inline after intrin.h already has, which
// C++ rejects; keep intrin.h's definitions out.
// NOLINTBEGIN(bugprone-reserved-identifier): intrin.h's guards, set on purpose
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
// NOLINTEND(bugprone-reserved-identifier)
#include <ntddk.h>

// Section placement of a routine, as ReactOS writes it: CODE_SEG("PAGE")
// for pageable code, CODE_SEG("INIT") for code discarded after DriverEntry.
#define CODE_SEG(name) __attribute__((section(name)))

// The MinGW headers declare the object-type variables one indirection too
// deep (a dllimport pointer to POBJECT_TYPE), so the usual *ExEventObjectType
// reads through the type object itself. The symbol's value is the type.
FORCEINLINE POBJECT_TYPE PlatformEventObjectType(VOID) {
    return (POBJECT_TYPE)ExEventObjectType;
}

#else  // host: the user-mode kernel

#include <ntddk.h>

#define CODE_SEG(name)

FORCEINLINE POBJECT_TYPE PlatformEventObjectType(VOID) {
    return *ExEventObjectType;
}

#endif
