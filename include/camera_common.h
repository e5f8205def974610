/*
 * What the camera filters' public headers share: the calling convention of
 * every routine exchanged through their records, the 16-byte GUID layout, and
 * the compile-time checks that pin each record's layout for both pointer
 * widths.
 *
 * Every public header is C (C11, for _Static_assert) that also compiles as
 * C++, and needs no header beyond <stddef.h> and <stdint.h>: the bridge
 * driver, an application and the filters themselves compile against the same
 * text, so they agree on every number and offset by construction.
 */
#ifndef CAMERA_COMMON_H
#define CAMERA_COMMON_H

#include <stddef.h>
#include <stdint.h>

/*
 * stdcall on x86, where the callee pops its arguments, so a routine and its
 * caller must agree on the argument count as well as the convention; x86-64
 * has one convention only. MinGW and MSVC spell it __stdcall, other GCC and
 * clang targets (the host -m32 build) take the attribute.
 */
#if defined(_M_IX86) || defined(__i386__)
#if defined(_MSC_VER) || defined(__MINGW32__)
#define CAMERA_NTAPI __stdcall
#else
#define CAMERA_NTAPI __attribute__((__stdcall__))
#endif
#else
#define CAMERA_NTAPI
#endif

/*
 * The GUID objects of the public headers are `static const`, one private copy
 * per translation unit, which C and C++ both accept in any number of units
 * without a definition elsewhere. Their type is the platform's GUID when a
 * Windows or DDK header has defined it (GUID_DEFINED), so that they pass
 * straight to IoRegisterDeviceInterface, SetupDiGetClassDevs or IsEqualGUID:
 * include those headers first. Without them the type is this struct of the
 * same 16-byte layout. The *_INIT macros initialise a GUID of either type.
 */
#if defined(GUID_DEFINED)
typedef GUID CAMERA_GUID;
#else
typedef struct CAMERA_GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
} CAMERA_GUID;
#endif

#ifdef __cplusplus
#define CAMERA_STATIC_ASSERT(condition, message) static_assert(condition, message)
#else
#define CAMERA_STATIC_ASSERT(condition, message) _Static_assert(condition, message)
#endif

/* Offset of a field that follows pointers: (x86-64 build, x86 build). */
#define CAMERA_PTR_OFFSET(x64, x86) (sizeof(void*) == 8 ? (x64) : (x86))

CAMERA_STATIC_ASSERT(sizeof(CAMERA_GUID) == 16, "a GUID is 16 bytes");
CAMERA_STATIC_ASSERT(sizeof(void*) == 4 || sizeof(void*) == 8, "x86 or x86-64 pointers");
CAMERA_STATIC_ASSERT(sizeof(uintptr_t) == sizeof(void*), "uintptr_t is pointer-sized");

#endif /* CAMERA_COMMON_H */
