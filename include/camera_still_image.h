/*
 * What tessip, the still-image filter, shares with a user-mode application:
 * the still-image device interface it registers, its three I/O control codes
 * and the sub-codes of IOCTL_SNAPSHOT_CONTROL, the image description the
 * bridge driver supplies, and the sizes of the buffers involved.
 *
 * An application includes this header alone (after <windows.h> and
 * <setupapi.h>, see camera_common.h), finds the interface with
 * SetupDiGetClassDevs(&GUID_DEVINTERFACE_IMAGE, ...), opens it and talks to
 * it with DeviceIoControl and ReadFile.
 */
#ifndef CAMERA_STILL_IMAGE_H
#define CAMERA_STILL_IMAGE_H

#include "camera_common.h"

/* {6BDD1FC6-810F-11D0-BEC7-08002BE2092F}, registered on the camera's stack. */
#define GUID_DEVINTERFACE_IMAGE_INIT                       \
    {                                                      \
        0x6BDD1FC6, 0x810F, 0x11D0, {                      \
            0xBE, 0xC7, 0x08, 0x00, 0x2B, 0xE2, 0x09, 0x2F \
        }                                                  \
    }
static const CAMERA_GUID GUID_DEVINTERFACE_IMAGE = GUID_DEVINTERFACE_IMAGE_INIT;

/*
 * Device type of the three I/O controls; every one is METHOD_BUFFERED with
 * FILE_ANY_ACCESS, so its buffers are the request's system buffer.
 */
#define FILE_DEVICE_SNAPSHOT 0x8160u

#define SNAPSHOT_CTL_CODE(function) ((FILE_DEVICE_SNAPSHOT << 16) | ((function) << 2))

/* Output: SNAPSHOT_IMAGE_INFO; a shorter output buffer fails. */
#define IOCTL_SNAPSHOT_GET_IMAGE_INFO SNAPSHOT_CTL_CODE(0x816u) /* 0x81602058 */
/* Input: two event handles, SNAPSHOT_SET_EVENTS_INPUT_SIZE bytes. */
#define IOCTL_SNAPSHOT_SET_EVENTS SNAPSHOT_CTL_CODE(0x817u) /* 0x8160205C */
/* Input: a SNAPSHOT_CONTROL_CODE as a 32-bit word; output as the code says. */
#define IOCTL_SNAPSHOT_CONTROL SNAPSHOT_CTL_CODE(0x818u) /* 0x81602060 */

CAMERA_STATIC_ASSERT(IOCTL_SNAPSHOT_GET_IMAGE_INFO == 0x81602058u, "control code");
CAMERA_STATIC_ASSERT(IOCTL_SNAPSHOT_SET_EVENTS == 0x8160205Cu, "control code");
CAMERA_STATIC_ASSERT(IOCTL_SNAPSHOT_CONTROL == 0x81602060u, "control code");

/* The 32-bit word at offset 0 of IOCTL_SNAPSHOT_CONTROL's input. */
typedef enum SNAPSHOT_CONTROL_CODE {
    SNAPSHOT_CONTROL_REQUEST = 0,    /* ask the bridge driver for a snapshot */
    SNAPSHOT_CONTROL_EVENTS_OFF = 1, /* trigger reports signal no event */
    SNAPSHOT_CONTROL_EVENTS_ON = 2,  /* trigger reports pulse the registered events */
    SNAPSHOT_CONTROL_QUERY_READY = 3 /* 32-bit output: 1 when a snapshot is ready */
} SNAPSHOT_CONTROL_CODE;

/* The one snapshot buffer per camera: the largest image a read returns. */
#define SNAPSHOT_BUFFER_SIZE 0x258000u /* 2,457,600 bytes */

/*
 * The bridge driver's description of the image. tessip reads ByteCount, the
 * length of every copy into and out of the snapshot buffer, and hands the
 * rest to the application untouched. Same layout in both pointer widths.
 *
 * Version says which fields the bridge driver filled: 0 (a description left
 * zeroed) gives only ByteCount, and the bytes are the camera's own affair;
 * SNAPSHOT_IMAGE_INFO_VERSION_1 describes a picture of Height rows, the
 * first Stride bytes apart, each holding Width pixels in PixelFormat, so
 * that Stride * Height == ByteCount and Stride >= the bytes of Width
 * pixels. A later layout takes a new version number and may use Reserved,
 * which version 1 leaves zero; an application that meets a version or a
 * format it does not know keeps the bytes as they are rather than guess.
 */
#define SNAPSHOT_IMAGE_INFO_VERSION_NONE 0u
#define SNAPSHOT_IMAGE_INFO_VERSION_1 1u

typedef enum SNAPSHOT_PIXEL_FORMAT {
    SNAPSHOT_PIXEL_FORMAT_NONE = 0,
    /* Three bytes a pixel, red, green, blue, left to right; the top row first. */
    SNAPSHOT_PIXEL_FORMAT_RGB24_TOP_DOWN = 1
} SNAPSHOT_PIXEL_FORMAT;

typedef struct SNAPSHOT_IMAGE_INFO {
    uint32_t Version;     /* a SNAPSHOT_IMAGE_INFO_VERSION_* value */
    uint32_t Width;       /* pixels in a row */
    uint32_t Height;      /* rows */
    uint32_t Stride;      /* bytes from the start of one row to the next */
    uint32_t PixelFormat; /* a SNAPSHOT_PIXEL_FORMAT */
    uint32_t ByteCount;   /* the image's length in bytes */
    uint8_t Reserved[16];
} SNAPSHOT_IMAGE_INFO;

CAMERA_STATIC_ASSERT(sizeof(SNAPSHOT_IMAGE_INFO) == 40, "the image description is 40 bytes");
CAMERA_STATIC_ASSERT(offsetof(SNAPSHOT_IMAGE_INFO, Version) == 0, "Version sits at offset 0");
CAMERA_STATIC_ASSERT(offsetof(SNAPSHOT_IMAGE_INFO, Width) == 4, "Width sits at offset 4");
CAMERA_STATIC_ASSERT(offsetof(SNAPSHOT_IMAGE_INFO, Height) == 8, "Height sits at offset 8");
CAMERA_STATIC_ASSERT(offsetof(SNAPSHOT_IMAGE_INFO, Stride) == 12, "Stride sits at offset 12");
CAMERA_STATIC_ASSERT(offsetof(SNAPSHOT_IMAGE_INFO, PixelFormat) == 16,
                     "PixelFormat sits at offset 16");
CAMERA_STATIC_ASSERT(offsetof(SNAPSHOT_IMAGE_INFO, ByteCount) == 20, "ByteCount sits at offset 20");
CAMERA_STATIC_ASSERT(offsetof(SNAPSHOT_IMAGE_INFO, Reserved) == 24, "Reserved sits at offset 24");

/*
 * IOCTL_SNAPSHOT_SET_EVENTS takes two handle-sized values of the driver's
 * width: 16 bytes for the x86-64 driver, 8 for the x86 one. This macro gives
 * the size for a driver of the program's own width; a 32-bit program on
 * 64-bit Windows must send two 64-bit values. A handle of 0 in the first
 * slot releases the registered events instead of registering new ones.
 */
#define SNAPSHOT_SET_EVENTS_INPUT_SIZE (2 * sizeof(void*))

#endif /* CAMERA_STILL_IMAGE_H */
