// What tessip shares with a user-mode application: the still-image I/O control
// codes, the sub-codes of IOCTL_SNAPSHOT_CONTROL, the image description the
// bridge driver supplies, and the size of the snapshot buffer.
//
// Plain fixed-width types only, so that an application includes this header
// without any kernel header. The driver includes it too, so both sides agree
// on every number by construction.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Device type of the three I/O controls; every one is METHOD_BUFFERED with
// FILE_ANY_ACCESS, so its buffers are the request's system buffer.
#define FILE_DEVICE_SNAPSHOT 0x8160u

#define SNAPSHOT_CTL_CODE(function) ((FILE_DEVICE_SNAPSHOT << 16) | ((function) << 2))

#define IOCTL_SNAPSHOT_GET_IMAGE_INFO SNAPSHOT_CTL_CODE(0x816u)  // 0x81602058
#define IOCTL_SNAPSHOT_SET_EVENTS SNAPSHOT_CTL_CODE(0x817u)      // 0x8160205C
#define IOCTL_SNAPSHOT_CONTROL SNAPSHOT_CTL_CODE(0x818u)         // 0x81602060

static_assert(IOCTL_SNAPSHOT_GET_IMAGE_INFO == 0x81602058u, "control code");
static_assert(IOCTL_SNAPSHOT_SET_EVENTS == 0x8160205Cu, "control code");
static_assert(IOCTL_SNAPSHOT_CONTROL == 0x81602060u, "control code");

// The u32 at offset 0 of IOCTL_SNAPSHOT_CONTROL's input.
enum SNAPSHOT_CONTROL_CODE : uint32_t {
    SNAPSHOT_CONTROL_REQUEST = 0,
    SNAPSHOT_CONTROL_EVENTS_OFF = 1,
    SNAPSHOT_CONTROL_EVENTS_ON = 2,
    SNAPSHOT_CONTROL_QUERY_READY = 3,
};

// The one snapshot buffer per camera: the largest frame a delivery can hold.
#define SNAPSHOT_BUFFER_SIZE 0x258000u  // 2,457,600 bytes

// The bridge driver's description of the image. tessip reads ByteCount, the
// length of every copy into and out of the snapshot buffer, and hands the
// rest to the application untouched. Same layout in both pointer widths.
struct SNAPSHOT_IMAGE_INFO {
    uint8_t Leading[20];
    uint32_t ByteCount;
    uint8_t Trailing[16];
};

static_assert(sizeof(SNAPSHOT_IMAGE_INFO) == 40, "the image description is 40 bytes");
static_assert(offsetof(SNAPSHOT_IMAGE_INFO, ByteCount) == 20, "ByteCount sits at offset 20");

// IOCTL_SNAPSHOT_SET_EVENTS takes two handle-sized values: 16 bytes in the
// 64-bit driver, 8 in the 32-bit one. A handle of 0 in the first slot
// releases the registered events instead of registering new ones.
#define SNAPSHOT_SET_EVENTS_INPUT_SIZE (2 * sizeof(void*))
