/*
 * What the bridge driver shares with a test program: its private device
 * interface, its four I/O controls and the records they carry.
 *
 * Plain C with fixed-width types only, so that a user-mode program (MinGW,
 * either width) includes it without any kernel header, and every record has
 * one layout in both pointer widths; the driver includes it too, so both
 * sides agree on every number by construction.
 *
 * Every control is METHOD_BUFFERED: input and output are the request's
 * system buffer. The controls that change the camera need a handle opened
 * for writing (FILE_WRITE_ACCESS); QUERY needs one opened for reading
 * (FILE_READ_ACCESS). The I/O manager checks the handle's rights before the
 * request is built, so a handle opened only to read the still image cannot
 * stream, press the button or change the light. A length the control does not accept
 * fails the request before anything happens, and IoStatus.Information is
 * the number of bytes returned (0 when nothing is).
 *
 *   IOCTL_BRIDGE_STREAM  in:  BRIDGE_STREAM_REQUEST (exactly)
 *                        out: nothing (length 0), or BRIDGE_STREAM_RESULT
 *                             (length at least its size)
 *       Streams Frames frames, 1 to BRIDGE_STREAM_MAX_FRAMES. Per frame the
 *       bridge driver issues command 14 and command 17 with that frame's
 *       statistics, then asks tessip whether a snapshot is wanted and, when
 *       it is, delivers that frame as the camera rendered it.
 *   IOCTL_BRIDGE_PRESS   in:  BRIDGE_PRESS_REQUEST (exactly); out: nothing (length 0)
 *       The camera's button: a trigger report of TriggerKind to tessip.
 *   IOCTL_BRIDGE_SET_SCENE in: BRIDGE_SCENE (exactly); out: nothing (length 0)
 *       The light in front of the lens, from the next frame on.
 *   IOCTL_BRIDGE_QUERY   in:  nothing (length 0)
 *                        out: BRIDGE_QUERY_RESULT (length at least its size)
 *       What the bridge driver saw: the records it obtained, the probe's
 *       answer, every service call of the sensor's bring-up, and the last
 *       BRIDGE_FRAME_RING frames streamed.
 *
 * Refusals, in the order they are checked: every control once the camera
 * is surprise-removed or removed STATUS_DELETE_PENDING; an input length not
 * accepted, or output where none is returned, STATUS_INVALID_PARAMETER; an
 * output buffer too short STATUS_BUFFER_TOO_SMALL; a frame count, scene,
 * light, image size or anti-flicker mode out of range
 * STATUS_INVALID_PARAMETER; STREAM, PRESS and SET_FLICKER on a camera that
 * is not started STATUS_DEVICE_NOT_READY (a stream cut short by a stop or
 * a removal fails the same way, returning nothing). Any other code gets
 * STATUS_INVALID_DEVICE_REQUEST.
 */
#ifndef BRIDGE_CONTROL_H
#define BRIDGE_CONTROL_H

#include <stddef.h>
#include <stdint.h>

#if defined(__cplusplus)
#define BRIDGE_STATIC_ASSERT(condition, message) static_assert(condition, message)
#else
#define BRIDGE_STATIC_ASSERT(condition, message) _Static_assert(condition, message)
#endif

/* {F9225040-CD8C-4F77-B10D-71A2C84A8668}: the bridge driver's own device
 * interface, registered on the camera's physical device and enabled while
 * the camera runs. Opening it reaches the top of the camera's stack, like
 * the still-image interface; tessip passes these codes down. */
#define BRIDGE_INTERFACE_GUID_INITIALIZER                  \
    {                                                      \
        0xF9225040, 0xCD8C, 0x4F77, {                      \
            0xB1, 0x0D, 0x71, 0xA2, 0xC8, 0x4A, 0x86, 0x68 \
        }                                                  \
    }

/* Device type of the bridge driver's controls (the range above 0x7FFF is
 * for vendors). */
#define FILE_DEVICE_CAMERA_BRIDGE 0x8D42u

/* The access bits of a control code, as CTL_CODE places them (bits 14-15). */
#define BRIDGE_READ_ACCESS 1u  /* FILE_READ_ACCESS */
#define BRIDGE_WRITE_ACCESS 2u /* FILE_WRITE_ACCESS */

#define BRIDGE_CTL_CODE(function, access) \
    ((FILE_DEVICE_CAMERA_BRIDGE << 16) | ((access) << 14) | ((function) << 2))

#define IOCTL_BRIDGE_STREAM BRIDGE_CTL_CODE(0x900u, BRIDGE_WRITE_ACCESS)    /* 0x8D42A400 */
#define IOCTL_BRIDGE_PRESS BRIDGE_CTL_CODE(0x901u, BRIDGE_WRITE_ACCESS)     /* 0x8D42A404 */
#define IOCTL_BRIDGE_SET_SCENE BRIDGE_CTL_CODE(0x902u, BRIDGE_WRITE_ACCESS) /* 0x8D42A408 */
#define IOCTL_BRIDGE_QUERY BRIDGE_CTL_CODE(0x903u, BRIDGE_READ_ACCESS)      /* 0x8D42640C */

BRIDGE_STATIC_ASSERT(IOCTL_BRIDGE_STREAM == 0x8D42A400u, "control code");
BRIDGE_STATIC_ASSERT(IOCTL_BRIDGE_QUERY == 0x8D42640Cu, "control code");

/* ---------------------------------------------------------------- STREAM */

#define BRIDGE_STREAM_MAX_FRAMES 4096u

typedef struct BRIDGE_STREAM_REQUEST {
    uint32_t Frames;
} BRIDGE_STREAM_REQUEST;

/* One streamed frame. Statistics are the frame as the camera produced it
 * (and as commands 14 and 17 read it), averaged over the rendered frame;
 * the settings are what the two steps left on the sensor and the bridge
 * chip. A snapshot delivered with the frame is that frame. Packed statistics hold luminance,
 * red, green, blue in bits 0-7, 8-15, 16-23, 24-31. */
typedef struct BRIDGE_FRAME_RECORD {
    uint32_t Frame;                /* 1 for the first frame the camera streamed */
    uint32_t Statistics;           /* packed */
    int32_t ExposureIndex;         /* the bridge driver's control 17 */
    uint32_t ShutterRows;          /* sensor register 9 */
    uint32_t GainCode;             /* sensor register 53 */
    uint32_t RedGain;              /* bridge register 21 */
    uint32_t GreenGain;            /* bridge register 22 */
    uint32_t BlueGain;             /* bridge register 23 */
    uint32_t SnapshotDelivered;    /* 1: tessip asked, and got this frame */
    uint32_t SnapshotChecksum;     /* BridgeFrameChecksum of the delivered frame's bytes, else 0 */
    uint32_t ExposureMicroseconds; /* how long this frame integrated the light */
} BRIDGE_FRAME_RECORD;

typedef struct BRIDGE_STREAM_RESULT {
    uint32_t Frames;    /* streamed by this request */
    uint32_t Snapshots; /* delivered by this request */
    BRIDGE_FRAME_RECORD Last;
} BRIDGE_STREAM_RESULT;

/* ----------------------------------------------------------------- PRESS */

typedef struct BRIDGE_PRESS_REQUEST {
    uint32_t TriggerKind; /* nonzero: tessip's first event, 0: its second */
} BRIDGE_PRESS_REQUEST;

/* ------------------------------------------------------------- SET_SCENE */

#define BRIDGE_SCENE_MAX_BRIGHTNESS 1000000u
#define BRIDGE_SCENE_MAX_COLOUR 1000u

/* Brightness in relative units (50: a dim room, 2000: daylight); the
 * light's colour as a percentage per channel. */
typedef struct BRIDGE_SCENE {
    uint32_t Brightness;
    uint32_t Red;
    uint32_t Green;
    uint32_t Blue;
} BRIDGE_SCENE;

/* ------------------------------------------------------------- SET_LIGHT */

/* The light source: brightness and colour as BRIDGE_SCENE gives them, and
 * the mains that drives it. A lamp on mains flickers at twice the mains
 * frequency (100 Hz on 50 Hz mains, 120 Hz on 60 Hz); FlickerDepth percent
 * of its intensity is modulated. Each frame integrates the light over its
 * exposure time, so the brightness of successive frames wanders unless the
 * exposure is a whole number of flicker periods. SET_SCENE keeps the mains
 * and depth and changes the rest. in: BRIDGE_LIGHT (exactly); out: nothing. */
#define IOCTL_BRIDGE_SET_LIGHT BRIDGE_CTL_CODE(0x904u, BRIDGE_WRITE_ACCESS) /* 0x8D42A410 */

typedef struct BRIDGE_LIGHT {
    uint32_t Brightness;
    uint32_t Red;
    uint32_t Green;
    uint32_t Blue;
    uint32_t MainsHz;      /* 0: a steady light; 50 or 60 */
    uint32_t FlickerDepth; /* 0 to 100 */
} BRIDGE_LIGHT;

/* ------------------------------------------------------- SET_SCENE_IMAGE */

/* What the camera looks at: an RGB image, 8 bits per channel, rows top
 * first, scaled to the frame; reflectances, lit by the light. Width 0 (with
 * Height 0 and no pixels) restores the built-in test chart.
 * in: BRIDGE_SCENE_IMAGE followed by Width * Height * 3 bytes (exactly);
 * out: nothing. */
#define IOCTL_BRIDGE_SET_SCENE_IMAGE BRIDGE_CTL_CODE(0x905u, BRIDGE_WRITE_ACCESS) /* 0x8D42A414 */

#define BRIDGE_SCENE_IMAGE_MAX_WIDTH 320u
#define BRIDGE_SCENE_IMAGE_MAX_HEIGHT 240u

typedef struct BRIDGE_SCENE_IMAGE {
    uint32_t Width;
    uint32_t Height;
} BRIDGE_SCENE_IMAGE;

/* ---------------------------------------------------------- SET_FLICKER */

/* Switches orvane's anti-flicker mode while the camera runs (command 6 with
 * the mode, then the exposure index applied again).
 * in: BRIDGE_FLICKER_REQUEST (exactly); out: nothing. */
#define IOCTL_BRIDGE_SET_FLICKER BRIDGE_CTL_CODE(0x906u, BRIDGE_WRITE_ACCESS) /* 0x8D42A418 */

typedef struct BRIDGE_FLICKER_REQUEST {
    uint32_t Mode; /* 0 to 3 */
} BRIDGE_FLICKER_REQUEST;

BRIDGE_STATIC_ASSERT(sizeof(BRIDGE_LIGHT) == 24, "layout");
BRIDGE_STATIC_ASSERT(sizeof(BRIDGE_SCENE_IMAGE) == 8, "layout");
BRIDGE_STATIC_ASSERT(sizeof(BRIDGE_FLICKER_REQUEST) == 4, "layout");

/* ----------------------------------------------------------------- QUERY */

/* BRIDGE_QUERY_RESULT.Flags */
#define BRIDGE_FLAG_SENSOR_INTERFACE 0x01u   /* orvane answered its query */
#define BRIDGE_FLAG_SNAPSHOT_INTERFACE 0x02u /* tessip answered its query */
#define BRIDGE_FLAG_SENSOR_FOUND 0x04u       /* the probe reported the sensor type served */
#define BRIDGE_FLAG_SENSOR_STARTED 0x08u     /* brought up; frames can be streamed */
#define BRIDGE_FLAG_LOG_OVERFLOW 0x10u       /* the bring-up made more calls than logged */
#define BRIDGE_FLAG_DIRECT_IO 0x20u          /* the camera's requests use direct I/O */

/* BRIDGE_SERVICE_CALL.Slot: BRIDGE_SERVICES slots 0 to 19 as numbered by
 * the sensor-control records, and the probe's two bus functions. */
#define BRIDGE_SLOT_PROBE_CHECK_ADDRESS 0x100u
#define BRIDGE_SLOT_PROBE_WRITE_READ 0x101u

/* BRIDGE_SERVICE_CALL.Command for calls made during the probe. */
#define BRIDGE_COMMAND_PROBE 0xFFFFFFFFu

/* One call into the bridge driver's services. Byte strings are packed
 * first byte in bits 0-7, at most four. By slot:
 *   0 BusWriteRead, 0x101 probe write-read:
 *       Arguments = bus address, write length | read length << 16, bytes
 *       written, mode (probe only); Data = bytes read
 *   1 BusWrite: Arguments = bus address, length, bytes written
 *   2 ReadEeprom: Arguments = offset, length; Data = the value read
 *   3 ReadBridgeReg: Arguments = register; Data = the value read
 *   4 WriteBridgeReg: Arguments = register, value
 *   9, 10, 11 GetControl, GetControlMax, GetControlMin: Arguments = id;
 *       Result = the value returned
 *   12, 13 SetControl, SetControlMax: Arguments = id, value
 *   15 ReadRegistryDword: Arguments = BridgeNameHash(name), name bytes,
 *       default; Data = the value returned
 *   16 NotifyExposureReset: Arguments = number
 *   18 ReadFrameStats: Data = the packed statistics
 *   19 SettleExposure: Arguments = bytes of scratch cleared
 *   0x100 probe check-address: Arguments = bus address
 * Result is the status returned, where the slot returns one. Unused words
 * are 0. */
typedef struct BRIDGE_SERVICE_CALL {
    uint32_t Command; /* the sensor command code being run, or BRIDGE_COMMAND_PROBE */
    uint32_t Slot;
    uint32_t Arguments[4];
    uint32_t Data;
    uint32_t Result;
} BRIDGE_SERVICE_CALL;

#define BRIDGE_LOG_CAPACITY 256u
#define BRIDGE_FRAME_RING 64u

typedef struct BRIDGE_QUERY_RESULT {
    uint32_t Flags;
    int32_t SensorType;     /* the probe's answer; 0 before the probe */
    uint32_t SensorAddress; /* bus address the probe found the sensor at */
    uint32_t SnapshotWidth;
    uint32_t SnapshotHeight;
    uint32_t SensorWidth; /* FRAME_SIZES as command 2 reported them */
    uint32_t SensorHeight;
    uint32_t PreviewWidth;
    uint32_t PreviewHeight;
    uint32_t FramesStreamed; /* since the camera started */
    uint32_t SnapshotsDelivered;
    uint32_t TriggersReported;
    uint32_t LogCount;   /* entries of Log in use, at most BRIDGE_LOG_CAPACITY */
    uint32_t FrameCount; /* entries of Frames in use, oldest first */
    BRIDGE_SERVICE_CALL Log[BRIDGE_LOG_CAPACITY];
    BRIDGE_FRAME_RECORD Frames[BRIDGE_FRAME_RING];
} BRIDGE_QUERY_RESULT;

/* The name of a registry value as the log records it: FNV-1a over its
 * UTF-16 code units up to the terminating zero. */
static inline uint32_t BridgeNameHash(const uint16_t* name) {
    uint32_t hash = 2166136261u;
    for (; *name != 0; ++name) {
        hash = (hash ^ *name) * 16777619u;
    }
    return hash;
}

/* What a frame record says of the delivered frame: FNV-1a over its bytes. */
static inline uint32_t BridgeFrameChecksum(const uint8_t* bytes, size_t length) {
    uint32_t hash = 2166136261u;
    for (size_t i = 0; i < length; ++i) {
        hash = (hash ^ bytes[i]) * 16777619u;
    }
    return hash;
}

/* One layout in both widths: every field is a 32-bit word. */
BRIDGE_STATIC_ASSERT(sizeof(BRIDGE_STREAM_REQUEST) == 4, "layout");
BRIDGE_STATIC_ASSERT(sizeof(BRIDGE_FRAME_RECORD) == 44, "layout");
BRIDGE_STATIC_ASSERT(offsetof(BRIDGE_FRAME_RECORD, ExposureIndex) == 8, "layout");
BRIDGE_STATIC_ASSERT(offsetof(BRIDGE_FRAME_RECORD, RedGain) == 20, "layout");
BRIDGE_STATIC_ASSERT(offsetof(BRIDGE_FRAME_RECORD, SnapshotDelivered) == 32, "layout");
BRIDGE_STATIC_ASSERT(offsetof(BRIDGE_FRAME_RECORD, SnapshotChecksum) == 36, "layout");
BRIDGE_STATIC_ASSERT(offsetof(BRIDGE_FRAME_RECORD, ExposureMicroseconds) == 40, "layout");
BRIDGE_STATIC_ASSERT(sizeof(BRIDGE_STREAM_RESULT) == 52, "layout");
BRIDGE_STATIC_ASSERT(offsetof(BRIDGE_STREAM_RESULT, Last) == 8, "layout");
BRIDGE_STATIC_ASSERT(sizeof(BRIDGE_PRESS_REQUEST) == 4, "layout");
BRIDGE_STATIC_ASSERT(sizeof(BRIDGE_SCENE) == 16, "layout");
BRIDGE_STATIC_ASSERT(sizeof(BRIDGE_SERVICE_CALL) == 32, "layout");
BRIDGE_STATIC_ASSERT(offsetof(BRIDGE_SERVICE_CALL, Arguments) == 8, "layout");
BRIDGE_STATIC_ASSERT(offsetof(BRIDGE_SERVICE_CALL, Data) == 24, "layout");
BRIDGE_STATIC_ASSERT(offsetof(BRIDGE_SERVICE_CALL, Result) == 28, "layout");
BRIDGE_STATIC_ASSERT(offsetof(BRIDGE_QUERY_RESULT, SensorType) == 4, "layout");
BRIDGE_STATIC_ASSERT(offsetof(BRIDGE_QUERY_RESULT, SensorWidth) == 20, "layout");
BRIDGE_STATIC_ASSERT(offsetof(BRIDGE_QUERY_RESULT, FramesStreamed) == 36, "layout");
BRIDGE_STATIC_ASSERT(offsetof(BRIDGE_QUERY_RESULT, LogCount) == 48, "layout");
BRIDGE_STATIC_ASSERT(offsetof(BRIDGE_QUERY_RESULT, FrameCount) == 52, "layout");
BRIDGE_STATIC_ASSERT(offsetof(BRIDGE_QUERY_RESULT, Log) == 56, "layout");
BRIDGE_STATIC_ASSERT(offsetof(BRIDGE_QUERY_RESULT, Frames) == 56 + 32 * BRIDGE_LOG_CAPACITY,
                     "layout");
BRIDGE_STATIC_ASSERT(sizeof(BRIDGE_QUERY_RESULT) ==
                         56 + 32 * BRIDGE_LOG_CAPACITY + 44 * BRIDGE_FRAME_RING,
                     "layout");

#endif /* BRIDGE_CONTROL_H */
