/*
 * The sensor-control interface between the bridge driver and orvane: the
 * interface record orvane fills on IRP_MN_QUERY_INTERFACE, the command block
 * and command codes, the per-camera device record, the bridge driver's
 * service table, the probe's bus table and the frame-size record.
 *
 * Every record here lives in memory the bridge driver owns; orvane reads and
 * writes it in place during a call and keeps no pointer to it afterwards.
 * Each has one layout per pointer width, pinned below for both.
 *
 * A bridge driver includes this header (after its DDK headers, see
 * camera_common.h) and camera_snapshot.h for the still-image filter.
 */
#ifndef CAMERA_SENSOR_CONTROL_H
#define CAMERA_SENSOR_CONTROL_H

#include "camera_common.h"

/* Every routine exchanged through these records. */
#define SENSOR_NTAPI CAMERA_NTAPI

typedef int32_t SENSOR_STATUS; /* an NTSTATUS value */

/* ------------------------------------------------------------------------- */
/* Interface identification. */

/* {FC893C78-E75E-40E7-B2EA-CFEC43C8FAF2}; a query matches on all 16 bytes. */
#define GUID_SENSOR_CONTROL_INTERFACE_INIT                 \
    {                                                      \
        0xFC893C78, 0xE75E, 0x40E7, {                      \
            0xB2, 0xEA, 0xCF, 0xEC, 0x43, 0xC8, 0xFA, 0xF2 \
        }                                                  \
    }
static const CAMERA_GUID GUID_SENSOR_CONTROL_INTERFACE = GUID_SENSOR_CONTROL_INTERFACE_INIT;

#define SENSOR_CONTROL_INTERFACE_VERSION 0x0100

/* ------------------------------------------------------------------------- */
/* Command block. */

/* SENSOR_COMMAND.Code; any other value is answered with STATUS_NOT_SUPPORTED. */
enum SENSOR_COMMAND_CODE {
    SENSOR_CMD_SELECT_CLOCK = 0,
    SENSOR_CMD_QUERY_CONSTANT = 1,
    SENSOR_CMD_LOAD_CALIBRATION = 2,
    SENSOR_CMD_START_SENSOR = 3,
    SENSOR_CMD_SELECT_PRESET = 4,
    SENSOR_CMD_QUERY_RATE_VALUES = 5,
    SENSOR_CMD_SET_FLICKER_TIMING = 6,
    SENSOR_CMD_LIMIT_EXPOSURE = 7,
    SENSOR_CMD_SET_REG32_BIT14 = 8,
    SENSOR_CMD_SET_REG32_BIT15 = 9,
    SENSOR_CMD_APPLY_EXPOSURE_INDEX = 10,
    SENSOR_CMD_RESET_EXPOSURE = 11,
    SENSOR_CMD_NOP_12 = 12,
    SENSOR_CMD_RESTART_AUTO_EXPOSURE = 13,
    SENSOR_CMD_AUTO_EXPOSURE_STEP = 14,
    SENSOR_CMD_NOP_15 = 15,
    SENSOR_CMD_LOAD_BALANCE_CONTROLS = 16,
    SENSOR_CMD_AUTO_WHITE_BALANCE_STEP = 17,
    SENSOR_CMD_WRITE_BALANCE_GAIN = 18,
    SENSOR_CMD_READ_SENSOR_GAIN = 19,
    SENSOR_CMD_SET_RED_BALANCE = 20,
    SENSOR_CMD_SET_BLUE_BALANCE = 21,
    SENSOR_CMD_NOP_22 = 22,
    SENSOR_CMD_LAST = SENSOR_CMD_NOP_22
};

typedef struct BRIDGE_SERVICES BRIDGE_SERVICES;
typedef struct SENSOR_DEVICE SENSOR_DEVICE;

/*
 * Value fields are pointer-sized: 64 bits in the x86-64 build, 32 in the x86
 * build. A command reads either the whole field or its low 32 bits.
 */
typedef struct SENSOR_COMMAND {
    int32_t Code;
    SENSOR_STATUS Status;
    uintptr_t Value;
    uintptr_t Value2;
    uintptr_t Value3;
    uintptr_t Value4;
    uint8_t Reserved[8]; /* the bridge driver's; never read or written by orvane */
    const BRIDGE_SERVICES* Bridge;
    void* BridgeContext; /* first argument of every BRIDGE_SERVICES call */
    SENSOR_DEVICE* Device;
    const int32_t* AuxDevice; /* only its first word, a type code, is read */
} SENSOR_COMMAND;

/* ------------------------------------------------------------------------- */
/*
 * The bridge driver's per-camera record. Same offsets in both builds; only
 * the fields named are orvane's to read or write, every other byte is the
 * bridge driver's and is never touched.
 */

struct SENSOR_DEVICE {
    int32_t SensorType;       /* 0 */
    uint32_t SensorAddress;   /* 4 */
    uint8_t Opaque8[12];      /* 8 */
    uint32_t RateLevel;       /* 20 */
    uint32_t Flags;           /* 24 */
    uint8_t Opaque28[4];      /* 28 */
    uint32_t TimingFlag;      /* 32 */
    uint8_t Opaque36[88];     /* 36 */
    uint32_t PresetRgb[3][3]; /* 124: preset p, component c (0 R, 1 G, 2 B) */
    uint32_t WbRed;           /* 160 */
    uint32_t WbGreen;         /* 164 */
    uint32_t WbBlue;          /* 168 */
    int32_t AeLow;            /* 172 */
    int32_t AeHigh;           /* 176 */
    uint8_t Opaque180[8];     /* 180 */
    int32_t RedOffset;        /* 188 */
    int32_t BlueOffset;       /* 192 */
};

#define SENSOR_TYPE_DRIVEN 18                   /* the type the probe reports and Command0 serves */
#define SENSOR_TYPE_UNSUPPORTED 1               /* answered with Status set */
#define SENSOR_DEVICE_FLAG_EEPROM_PRESETS 0x10u /* presets in the camera EEPROM */

/* ------------------------------------------------------------------------- */
/*
 * The bridge driver's service table. Slot n sits at byte n * sizeof(void *);
 * every call passes the command's BridgeContext first. orvane examines no
 * result and never calls the slots marked unused.
 */

enum BRIDGE_SERVICE_SLOT {
    BRIDGE_SLOT_BUS_WRITE_READ = 0,
    BRIDGE_SLOT_BUS_WRITE = 1,
    BRIDGE_SLOT_READ_EEPROM = 2,
    BRIDGE_SLOT_READ_BRIDGE_REG = 3,
    BRIDGE_SLOT_WRITE_BRIDGE_REG = 4,
    BRIDGE_SLOT_UNUSED5 = 5,
    BRIDGE_SLOT_UNUSED6 = 6,
    BRIDGE_SLOT_UNUSED7 = 7,
    BRIDGE_SLOT_UNUSED8 = 8,
    BRIDGE_SLOT_GET_CONTROL = 9,
    BRIDGE_SLOT_GET_CONTROL_MAX = 10,
    BRIDGE_SLOT_GET_CONTROL_MIN = 11,
    BRIDGE_SLOT_SET_CONTROL = 12,
    BRIDGE_SLOT_SET_CONTROL_MAX = 13,
    BRIDGE_SLOT_UNUSED14 = 14,
    BRIDGE_SLOT_READ_REGISTRY_DWORD = 15,
    BRIDGE_SLOT_NOTIFY_EXPOSURE_RESET = 16,
    BRIDGE_SLOT_UNUSED17 = 17,
    BRIDGE_SLOT_READ_FRAME_STATS = 18,
    BRIDGE_SLOT_SETTLE_EXPOSURE = 19,
    BRIDGE_SERVICES_SLOTS = 20 /* the least the table holds */
};

/* Slot 0: write then read on the serial bus; the read bytes in bus order. */
typedef SENSOR_STATUS(SENSOR_NTAPI* BRIDGE_BUS_WRITE_READ)(void* context, uint32_t busAddress,
                                                           uint8_t writeLength,
                                                           uint8_t* writeBuffer, uint8_t readLength,
                                                           uint8_t* readBuffer);
/* Slot 1: write on the serial bus, bytes in buffer order. */
typedef SENSOR_STATUS(SENSOR_NTAPI* BRIDGE_BUS_WRITE)(void* context, uint32_t busAddress,
                                                      uint8_t length, uint8_t* buffer);
/* Slot 2: `length` EEPROM bytes from `offset`, stored at `bytes`. */
typedef SENSOR_STATUS(SENSOR_NTAPI* BRIDGE_READ_EEPROM)(void* context, uint32_t offset,
                                                        uint32_t length, uint32_t* bytes);
/* Slot 3: a bridge register's value. */
typedef SENSOR_STATUS(SENSOR_NTAPI* BRIDGE_READ_BRIDGE_REG)(void* context, uint32_t reg,
                                                            uint8_t* value);
/* Slot 4: writes a bridge register. */
typedef SENSOR_STATUS(SENSOR_NTAPI* BRIDGE_WRITE_BRIDGE_REG)(void* context, uint32_t reg,
                                                             uint8_t value);
/* Slot 9: a control's current value (ids: BRIDGE_CONTROL_*). */
typedef int32_t(SENSOR_NTAPI* BRIDGE_GET_CONTROL)(void* context, uint32_t controlId);
/* Slot 10: a control's maximum. */
typedef BRIDGE_GET_CONTROL BRIDGE_GET_CONTROL_MAX;
/* Slot 11: a control's minimum. */
typedef BRIDGE_GET_CONTROL BRIDGE_GET_CONTROL_MIN;
/* Slot 12: stores a control's value. */
typedef SENSOR_STATUS(SENSOR_NTAPI* BRIDGE_SET_CONTROL)(void* context, uint32_t controlId,
                                                        int32_t value);
/* Slot 13: stores a control's maximum. */
typedef BRIDGE_SET_CONTROL BRIDGE_SET_CONTROL_MAX;
/*
 * Slot 15: a registry value by UTF-16 name (nameBytes counts the
 * terminator); *result gets the stored value, or defaultValue if none.
 */
typedef SENSOR_STATUS(SENSOR_NTAPI* BRIDGE_READ_REGISTRY_DWORD)(void* context, const uint16_t* name,
                                                                uint32_t nameBytes,
                                                                uint32_t* result,
                                                                uint32_t defaultValue);
/*
 * Slot 16: told that the exposure starts again from index 1 (command 11),
 * with the number 16, for its effect only; what the bridge driver does then is
 * its own business.
 */
typedef SENSOR_STATUS(SENSOR_NTAPI* BRIDGE_NOTIFY_EXPOSURE_RESET)(void* context, uint32_t number);
/* Slot 18: the last frame's four statistics bytes; writes no more than 4. */
typedef SENSOR_STATUS(SENSOR_NTAPI* BRIDGE_READ_FRAME_STATS)(void* context, uint32_t* stats);
/*
 * Slot 19: called with a scratch buffer after a new exposure is applied, in
 * place of slot 18, when RateLevel is 2 or more; for its effect only. What it
 * leaves in the buffer is not looked at.
 */
typedef SENSOR_STATUS(SENSOR_NTAPI* BRIDGE_SETTLE_EXPOSURE)(void* context, void* scratch);
/* Slots 5 to 8, 14 and 17: the bridge driver's own; orvane never calls them. */
typedef void(SENSOR_NTAPI* BRIDGE_UNUSED_SERVICE)(void);

#define BRIDGE_SETTLE_EXPOSURE_SCRATCH_BYTES 144u

struct BRIDGE_SERVICES {
    BRIDGE_BUS_WRITE_READ BusWriteRead;
    BRIDGE_BUS_WRITE BusWrite;
    BRIDGE_READ_EEPROM ReadEeprom;
    BRIDGE_READ_BRIDGE_REG ReadBridgeReg;
    BRIDGE_WRITE_BRIDGE_REG WriteBridgeReg;
    BRIDGE_UNUSED_SERVICE Unused5[4]; /* slots 5 to 8 */
    BRIDGE_GET_CONTROL GetControl;
    BRIDGE_GET_CONTROL_MAX GetControlMax;
    BRIDGE_GET_CONTROL_MIN GetControlMin;
    BRIDGE_SET_CONTROL SetControl;
    BRIDGE_SET_CONTROL_MAX SetControlMax;
    BRIDGE_UNUSED_SERVICE Unused14;
    BRIDGE_READ_REGISTRY_DWORD ReadRegistryDword;
    BRIDGE_NOTIFY_EXPOSURE_RESET NotifyExposureReset;
    BRIDGE_UNUSED_SERVICE Unused17;
    BRIDGE_READ_FRAME_STATS ReadFrameStats;
    BRIDGE_SETTLE_EXPOSURE SettleExposure;
};

/*
 * The bridge driver's controls that orvane consults, by id. Their meaning
 * beyond the tests orvane makes on them is the bridge driver's.
 */
#define BRIDGE_CONTROL_AUTO_MODE 14u      /* non-zero: the bridge runs automatic exposure */
#define BRIDGE_CONTROL_EXPOSURE_LIMIT 15u /* 1: the index is held at the automatic limit */
#define BRIDGE_CONTROL_EXPOSURE_INDEX 17u /* the exposure index, with its range */
#define BRIDGE_CONTROL_LIMIT_OVERRIDE 19u /* 3: the limit does not apply */
#define BRIDGE_CONTROL_RED_BALANCE 21u    /* user red balance, centred on 32 */
#define BRIDGE_CONTROL_BLUE_BALANCE 22u   /* user blue balance, centred on 32 */

/* ------------------------------------------------------------------------- */
/* The probe's own bus table, handed to Probe0 instead of BRIDGE_SERVICES. */

/* 0 ends the probe, any other value lets it go on. */
typedef uint32_t(SENSOR_NTAPI* PROBE_CHECK_ADDRESS)(void* context, uint32_t busAddress);
/* The result is not used. */
typedef uint32_t(SENSOR_NTAPI* PROBE_WRITE_READ)(void* context, uint32_t busAddress,
                                                 uint32_t writeLength, uint8_t* writeBuffer,
                                                 uint32_t readLength, uint8_t* readBuffer,
                                                 uint32_t mode);

typedef struct PROBE_SERVICES {
    PROBE_CHECK_ADDRESS ProbeCheckAddress;
    PROBE_WRITE_READ ProbeWriteRead;
} PROBE_SERVICES;

/* ------------------------------------------------------------------------- */
/* Frame sizes reported by command 2; the same 32 bytes in both builds. */

typedef struct FRAME_SIZES {
    uint32_t SensorWidth;
    uint32_t SensorHeight;
    uint32_t PreviewWidth;
    uint32_t PreviewHeight;
    uint64_t Reserved16;
    uint64_t Reserved24;
} FRAME_SIZES;

/* ------------------------------------------------------------------------- */
/*
 * The interface record: the platform's INTERFACE header followed by five
 * probe/command pairs of entry points. Each entry consumes exactly the
 * arguments of its prototype, which on x86 makes the return-zero stubs of
 * different argument counts distinct routines.
 */

typedef void(SENSOR_NTAPI* SENSOR_INTERFACE_REFERENCE)(void* context);
/* Probe0: reports SENSOR_TYPE_DRIVEN in *typeOut when it finds the sensor. */
typedef uint32_t(SENSOR_NTAPI* SENSOR_PROBE_ROUTINE)(void* context, uint32_t* typeOut,
                                                     uint32_t* configOut,
                                                     const PROBE_SERVICES* services);
/* Probe1: returns 0. */
typedef uint32_t(SENSOR_NTAPI* SENSOR_PROBE6_ROUTINE)(void*, void*, void*, void*, void*, void*);
/* Probe2 to Probe4: return 0. */
typedef uint32_t(SENSOR_NTAPI* SENSOR_PROBE4_ROUTINE)(void*, void*, void*, void*);
/* Command0 runs commands; Command1 to Command4 answer STATUS_NOT_SUPPORTED. */
typedef SENSOR_STATUS(SENSOR_NTAPI* SENSOR_COMMAND_ROUTINE)(SENSOR_COMMAND* command);

/*
 * The record the bridge driver passes with IRP_MN_QUERY_INTERFACE. orvane
 * fills the whole record whatever Size and Version the query asks for, so
 * the query's buffer must be a whole SENSOR_CONTROL_INTERFACE. orvane lies
 * below the bridge driver: send the query to the top of the stack.
 */
typedef struct SENSOR_CONTROL_INTERFACE {
    uint16_t Size;
    uint16_t Version;
    void* Context;
    SENSOR_INTERFACE_REFERENCE InterfaceReference;
    SENSOR_INTERFACE_REFERENCE InterfaceDereference;
    SENSOR_PROBE_ROUTINE Probe0;
    SENSOR_COMMAND_ROUTINE Command0;
    SENSOR_PROBE6_ROUTINE Probe1;
    SENSOR_COMMAND_ROUTINE Command1;
    SENSOR_PROBE4_ROUTINE Probe2;
    SENSOR_COMMAND_ROUTINE Command2;
    SENSOR_PROBE4_ROUTINE Probe3;
    SENSOR_COMMAND_ROUTINE Command3;
    SENSOR_PROBE4_ROUTINE Probe4;
    SENSOR_COMMAND_ROUTINE Command4;
} SENSOR_CONTROL_INTERFACE;

/* ------------------------------------------------------------------------- */
/* Layout checks, for the pointer width being compiled. */

#define SENSOR_ASSERT_OFFSET(record, field, offset) \
    CAMERA_STATIC_ASSERT(offsetof(record, field) == (offset), #record "." #field)

SENSOR_ASSERT_OFFSET(SENSOR_CONTROL_INTERFACE, Size, 0x00);
SENSOR_ASSERT_OFFSET(SENSOR_CONTROL_INTERFACE, Version, 0x02);
SENSOR_ASSERT_OFFSET(SENSOR_CONTROL_INTERFACE, Context, CAMERA_PTR_OFFSET(0x08, 0x04));
SENSOR_ASSERT_OFFSET(SENSOR_CONTROL_INTERFACE, InterfaceReference, CAMERA_PTR_OFFSET(0x10, 0x08));
SENSOR_ASSERT_OFFSET(SENSOR_CONTROL_INTERFACE, InterfaceDereference, CAMERA_PTR_OFFSET(0x18, 0x0C));
SENSOR_ASSERT_OFFSET(SENSOR_CONTROL_INTERFACE, Probe0, CAMERA_PTR_OFFSET(0x20, 0x10));
SENSOR_ASSERT_OFFSET(SENSOR_CONTROL_INTERFACE, Command0, CAMERA_PTR_OFFSET(0x28, 0x14));
SENSOR_ASSERT_OFFSET(SENSOR_CONTROL_INTERFACE, Probe1, CAMERA_PTR_OFFSET(0x30, 0x18));
SENSOR_ASSERT_OFFSET(SENSOR_CONTROL_INTERFACE, Command1, CAMERA_PTR_OFFSET(0x38, 0x1C));
SENSOR_ASSERT_OFFSET(SENSOR_CONTROL_INTERFACE, Probe2, CAMERA_PTR_OFFSET(0x40, 0x20));
SENSOR_ASSERT_OFFSET(SENSOR_CONTROL_INTERFACE, Command2, CAMERA_PTR_OFFSET(0x48, 0x24));
SENSOR_ASSERT_OFFSET(SENSOR_CONTROL_INTERFACE, Probe3, CAMERA_PTR_OFFSET(0x50, 0x28));
SENSOR_ASSERT_OFFSET(SENSOR_CONTROL_INTERFACE, Command3, CAMERA_PTR_OFFSET(0x58, 0x2C));
SENSOR_ASSERT_OFFSET(SENSOR_CONTROL_INTERFACE, Probe4, CAMERA_PTR_OFFSET(0x60, 0x30));
SENSOR_ASSERT_OFFSET(SENSOR_CONTROL_INTERFACE, Command4, CAMERA_PTR_OFFSET(0x68, 0x34));
CAMERA_STATIC_ASSERT(sizeof(SENSOR_CONTROL_INTERFACE) == CAMERA_PTR_OFFSET(0x70, 0x38),
                     "SENSOR_CONTROL_INTERFACE size");

SENSOR_ASSERT_OFFSET(SENSOR_COMMAND, Code, 0x00);
SENSOR_ASSERT_OFFSET(SENSOR_COMMAND, Status, 0x04);
SENSOR_ASSERT_OFFSET(SENSOR_COMMAND, Value, 0x08);
SENSOR_ASSERT_OFFSET(SENSOR_COMMAND, Value2, CAMERA_PTR_OFFSET(0x10, 0x0C));
SENSOR_ASSERT_OFFSET(SENSOR_COMMAND, Value3, CAMERA_PTR_OFFSET(0x18, 0x10));
SENSOR_ASSERT_OFFSET(SENSOR_COMMAND, Value4, CAMERA_PTR_OFFSET(0x20, 0x14));
SENSOR_ASSERT_OFFSET(SENSOR_COMMAND, Reserved, CAMERA_PTR_OFFSET(0x28, 0x18));
SENSOR_ASSERT_OFFSET(SENSOR_COMMAND, Bridge, CAMERA_PTR_OFFSET(0x30, 0x20));
SENSOR_ASSERT_OFFSET(SENSOR_COMMAND, BridgeContext, CAMERA_PTR_OFFSET(0x38, 0x24));
SENSOR_ASSERT_OFFSET(SENSOR_COMMAND, Device, CAMERA_PTR_OFFSET(0x40, 0x28));
SENSOR_ASSERT_OFFSET(SENSOR_COMMAND, AuxDevice, CAMERA_PTR_OFFSET(0x48, 0x2C));
CAMERA_STATIC_ASSERT(sizeof(SENSOR_COMMAND) == CAMERA_PTR_OFFSET(0x50, 0x30),
                     "SENSOR_COMMAND size");

SENSOR_ASSERT_OFFSET(SENSOR_DEVICE, SensorType, 0);
SENSOR_ASSERT_OFFSET(SENSOR_DEVICE, SensorAddress, 4);
SENSOR_ASSERT_OFFSET(SENSOR_DEVICE, RateLevel, 20);
SENSOR_ASSERT_OFFSET(SENSOR_DEVICE, Flags, 24);
SENSOR_ASSERT_OFFSET(SENSOR_DEVICE, TimingFlag, 32);
SENSOR_ASSERT_OFFSET(SENSOR_DEVICE, PresetRgb, 124);
SENSOR_ASSERT_OFFSET(SENSOR_DEVICE, WbRed, 160);
SENSOR_ASSERT_OFFSET(SENSOR_DEVICE, WbGreen, 164);
SENSOR_ASSERT_OFFSET(SENSOR_DEVICE, WbBlue, 168);
SENSOR_ASSERT_OFFSET(SENSOR_DEVICE, AeLow, 172);
SENSOR_ASSERT_OFFSET(SENSOR_DEVICE, AeHigh, 176);
SENSOR_ASSERT_OFFSET(SENSOR_DEVICE, RedOffset, 188);
SENSOR_ASSERT_OFFSET(SENSOR_DEVICE, BlueOffset, 192);
CAMERA_STATIC_ASSERT(sizeof(SENSOR_DEVICE) == 196, "SENSOR_DEVICE size");

#define BRIDGE_SLOT_OFFSET(slot) ((slot) * sizeof(void*))
SENSOR_ASSERT_OFFSET(BRIDGE_SERVICES, BusWriteRead, BRIDGE_SLOT_OFFSET(BRIDGE_SLOT_BUS_WRITE_READ));
SENSOR_ASSERT_OFFSET(BRIDGE_SERVICES, BusWrite, BRIDGE_SLOT_OFFSET(BRIDGE_SLOT_BUS_WRITE));
SENSOR_ASSERT_OFFSET(BRIDGE_SERVICES, ReadEeprom, BRIDGE_SLOT_OFFSET(BRIDGE_SLOT_READ_EEPROM));
SENSOR_ASSERT_OFFSET(BRIDGE_SERVICES, ReadBridgeReg,
                     BRIDGE_SLOT_OFFSET(BRIDGE_SLOT_READ_BRIDGE_REG));
SENSOR_ASSERT_OFFSET(BRIDGE_SERVICES, WriteBridgeReg,
                     BRIDGE_SLOT_OFFSET(BRIDGE_SLOT_WRITE_BRIDGE_REG));
SENSOR_ASSERT_OFFSET(BRIDGE_SERVICES, Unused5, BRIDGE_SLOT_OFFSET(BRIDGE_SLOT_UNUSED5));
SENSOR_ASSERT_OFFSET(BRIDGE_SERVICES, Unused5[3], BRIDGE_SLOT_OFFSET(BRIDGE_SLOT_UNUSED8));
SENSOR_ASSERT_OFFSET(BRIDGE_SERVICES, GetControl, BRIDGE_SLOT_OFFSET(BRIDGE_SLOT_GET_CONTROL));
SENSOR_ASSERT_OFFSET(BRIDGE_SERVICES, GetControlMax,
                     BRIDGE_SLOT_OFFSET(BRIDGE_SLOT_GET_CONTROL_MAX));
SENSOR_ASSERT_OFFSET(BRIDGE_SERVICES, GetControlMin,
                     BRIDGE_SLOT_OFFSET(BRIDGE_SLOT_GET_CONTROL_MIN));
SENSOR_ASSERT_OFFSET(BRIDGE_SERVICES, SetControl, BRIDGE_SLOT_OFFSET(BRIDGE_SLOT_SET_CONTROL));
SENSOR_ASSERT_OFFSET(BRIDGE_SERVICES, SetControlMax,
                     BRIDGE_SLOT_OFFSET(BRIDGE_SLOT_SET_CONTROL_MAX));
SENSOR_ASSERT_OFFSET(BRIDGE_SERVICES, Unused14, BRIDGE_SLOT_OFFSET(BRIDGE_SLOT_UNUSED14));
SENSOR_ASSERT_OFFSET(BRIDGE_SERVICES, ReadRegistryDword,
                     BRIDGE_SLOT_OFFSET(BRIDGE_SLOT_READ_REGISTRY_DWORD));
SENSOR_ASSERT_OFFSET(BRIDGE_SERVICES, NotifyExposureReset,
                     BRIDGE_SLOT_OFFSET(BRIDGE_SLOT_NOTIFY_EXPOSURE_RESET));
SENSOR_ASSERT_OFFSET(BRIDGE_SERVICES, Unused17, BRIDGE_SLOT_OFFSET(BRIDGE_SLOT_UNUSED17));
SENSOR_ASSERT_OFFSET(BRIDGE_SERVICES, ReadFrameStats,
                     BRIDGE_SLOT_OFFSET(BRIDGE_SLOT_READ_FRAME_STATS));
SENSOR_ASSERT_OFFSET(BRIDGE_SERVICES, SettleExposure,
                     BRIDGE_SLOT_OFFSET(BRIDGE_SLOT_SETTLE_EXPOSURE));
CAMERA_STATIC_ASSERT(sizeof(BRIDGE_SERVICES) == BRIDGE_SLOT_OFFSET(BRIDGE_SERVICES_SLOTS),
                     "BRIDGE_SERVICES size");

SENSOR_ASSERT_OFFSET(PROBE_SERVICES, ProbeCheckAddress, 0);
SENSOR_ASSERT_OFFSET(PROBE_SERVICES, ProbeWriteRead, CAMERA_PTR_OFFSET(8, 4));

SENSOR_ASSERT_OFFSET(FRAME_SIZES, PreviewHeight, 12);
SENSOR_ASSERT_OFFSET(FRAME_SIZES, Reserved16, 16);
SENSOR_ASSERT_OFFSET(FRAME_SIZES, Reserved24, 24);
CAMERA_STATIC_ASSERT(sizeof(FRAME_SIZES) == 32, "FRAME_SIZES size");

#endif /* CAMERA_SENSOR_CONTROL_H */
