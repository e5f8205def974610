// Records shared with the bridge driver: the sensor-control interface, the
// command block, the per-camera device record, the bridge's service table, the
// probe's bus table and the frame-size record.
//
// Every record here lives in memory the bridge driver owns; orvane reads and
// writes it in place during a call and keeps no pointer to it afterwards. The
// layouts are fixed by the bridge driver, one per pointer width, and are pinned
// below with static_asserts for both widths.
//
// Platform-free: this header includes no kernel header, so the sensor logic
// builds unchanged for the kernel images and for the host tests.
#pragma once

#include <stddef.h>
#include <stdint.h>

// The calling convention of every routine exchanged with the bridge driver:
// stdcall on x86 (the callee pops its arguments), the only convention on x86-64.
#if defined(__i386__)
#define SENSOR_NTAPI __attribute__((__stdcall__))
#else
#define SENSOR_NTAPI
#endif

typedef int32_t SENSOR_STATUS;  // an NTSTATUS value

constexpr SENSOR_STATUS SENSOR_STATUS_SUCCESS = 0;
constexpr SENSOR_STATUS SENSOR_STATUS_NOT_SUPPORTED = static_cast<SENSOR_STATUS>(0xC00000BBu);
constexpr SENSOR_STATUS SENSOR_STATUS_INVALID_PARAMETER = static_cast<SENSOR_STATUS>(0xC000000Du);

// ---------------------------------------------------------------------------
// Interface identification.

struct SENSOR_GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};
static_assert(sizeof(SENSOR_GUID) == 16);

// {FC893C78-E75E-40E7-B2EA-CFEC43C8FAF2}
inline constexpr SENSOR_GUID GUID_SENSOR_CONTROL_INTERFACE = {
    0xFC893C78, 0xE75E, 0x40E7, {0xB2, 0xEA, 0xCF, 0xEC, 0x43, 0xC8, 0xFA, 0xF2}};

// ---------------------------------------------------------------------------
// Command block.

enum SENSOR_COMMAND_CODE : int32_t {
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
    SENSOR_CMD_LAST = SENSOR_CMD_NOP_22,
};

struct BRIDGE_SERVICES;
struct SENSOR_DEVICE;

// Value fields are pointer-sized: 64 bits in the x86-64 build, 32 in the x86
// build. A command reads either the whole field or its low 32 bits.
struct SENSOR_COMMAND {
    int32_t Code;
    SENSOR_STATUS Status;
    uintptr_t Value;
    uintptr_t Value2;
    uintptr_t Value3;
    uintptr_t Value4;
    uint8_t Reserved[8];  // the bridge driver's; never read or written here
    const BRIDGE_SERVICES* Bridge;
    void* BridgeContext;
    SENSOR_DEVICE* Device;
    const int32_t* AuxDevice;  // only its first word, a type code, is read
};

// ---------------------------------------------------------------------------
// The bridge driver's per-camera record. Same offsets in both builds; only the
// fields listed are orvane's to read or write, every other byte is the bridge
// driver's and is never touched.

struct SENSOR_DEVICE {
    int32_t SensorType;         // 0
    uint32_t SensorAddress;     // 4
    uint8_t Opaque8[12];        // 8
    uint32_t RateLevel;         // 20
    uint32_t Flags;             // 24
    uint8_t Opaque28[4];        // 28
    uint32_t TimingFlag;        // 32
    uint8_t Opaque36[88];       // 36
    uint32_t PresetRgb[3][3];   // 124: preset p, component c (0 R, 1 G, 2 B)
    uint32_t WbRed;             // 160
    uint32_t WbGreen;           // 164
    uint32_t WbBlue;            // 168
    int32_t AeLow;              // 172
    int32_t AeHigh;             // 176
    uint8_t Opaque180[8];       // 180
    int32_t RedOffset;          // 188
    int32_t BlueOffset;         // 192
};

constexpr int32_t SENSOR_TYPE_DRIVEN = 18;        // the sensor type orvane serves
constexpr int32_t SENSOR_TYPE_UNSUPPORTED = 1;    // answered with Status set
constexpr uint32_t SENSOR_DEVICE_FLAG_EEPROM_PRESETS = 0x10;

// ---------------------------------------------------------------------------
// The bridge driver's service table. Slot n sits at byte n * sizeof(void*);
// every call passes the command's BridgeContext first. Results are never
// examined by orvane. Unused slots are kept as opaque pointers.

typedef SENSOR_STATUS(SENSOR_NTAPI* BRIDGE_BUS_WRITE_READ)(void* context, uint32_t busAddress,
                                                           uint8_t writeLength, uint8_t* writeBuffer,
                                                           uint8_t readLength, uint8_t* readBuffer);
typedef SENSOR_STATUS(SENSOR_NTAPI* BRIDGE_BUS_WRITE)(void* context, uint32_t busAddress,
                                                      uint8_t length, uint8_t* buffer);
typedef SENSOR_STATUS(SENSOR_NTAPI* BRIDGE_READ_EEPROM)(void* context, uint32_t offset,
                                                        uint32_t length, uint32_t* bytes);
typedef SENSOR_STATUS(SENSOR_NTAPI* BRIDGE_READ_BRIDGE_REG)(void* context, uint32_t reg,
                                                            uint8_t* value);
typedef SENSOR_STATUS(SENSOR_NTAPI* BRIDGE_WRITE_BRIDGE_REG)(void* context, uint32_t reg,
                                                             uint8_t value);
typedef int32_t(SENSOR_NTAPI* BRIDGE_GET_CONTROL)(void* context, uint32_t controlId);
typedef SENSOR_STATUS(SENSOR_NTAPI* BRIDGE_SET_CONTROL)(void* context, uint32_t controlId,
                                                        int32_t value);
typedef SENSOR_STATUS(SENSOR_NTAPI* BRIDGE_READ_REGISTRY_DWORD)(void* context, const uint16_t* name,
                                                                uint32_t nameBytes, uint32_t* result,
                                                                uint32_t defaultValue);
typedef SENSOR_STATUS(SENSOR_NTAPI* BRIDGE_SERVICE16)(void* context, uint32_t number);
typedef SENSOR_STATUS(SENSOR_NTAPI* BRIDGE_READ_FRAME_STATS)(void* context, uint32_t* stats);
typedef SENSOR_STATUS(SENSOR_NTAPI* BRIDGE_SERVICE19)(void* context, void* scratch);

constexpr uint32_t BRIDGE_SERVICE19_SCRATCH_BYTES = 144;

struct BRIDGE_SERVICES {
    BRIDGE_BUS_WRITE_READ BusWriteRead;           // 0
    BRIDGE_BUS_WRITE BusWrite;                    // 1
    BRIDGE_READ_EEPROM ReadEeprom;                // 2
    BRIDGE_READ_BRIDGE_REG ReadBridgeReg;         // 3
    BRIDGE_WRITE_BRIDGE_REG WriteBridgeReg;       // 4
    void* Unused5[4];                             // 5..8
    BRIDGE_GET_CONTROL GetControl;                // 9
    BRIDGE_GET_CONTROL GetControlMax;             // 10
    BRIDGE_GET_CONTROL GetControlMin;             // 11
    BRIDGE_SET_CONTROL SetControl;                // 12
    BRIDGE_SET_CONTROL SetControlMax;             // 13
    void* Unused14;                               // 14
    BRIDGE_READ_REGISTRY_DWORD ReadRegistryDword; // 15
    BRIDGE_SERVICE16 Service16;                   // 16
    void* Unused17;                               // 17
    BRIDGE_READ_FRAME_STATS ReadFrameStats;       // 18
    BRIDGE_SERVICE19 Service19;                   // 19
};

// The bridge driver's controls that orvane consults, by id. Their meaning
// beyond the tests orvane makes on them is the bridge driver's.
enum BRIDGE_CONTROL : uint32_t {
    BRIDGE_CONTROL_AUTO_MODE = 14,       // non-zero: the bridge runs automatic exposure
    BRIDGE_CONTROL_EXPOSURE_LIMIT = 15,  // 1: the index is held at the automatic limit
    BRIDGE_CONTROL_EXPOSURE_INDEX = 17,  // the exposure index, with its range
    BRIDGE_CONTROL_LIMIT_OVERRIDE = 19,  // 3: the limit does not apply
    BRIDGE_CONTROL_RED_BALANCE = 21,     // user red balance, centred on 32
    BRIDGE_CONTROL_BLUE_BALANCE = 22,    // user blue balance, centred on 32
};

// ---------------------------------------------------------------------------
// The probe's own bus table, handed to Probe0 instead of BRIDGE_SERVICES.

typedef uint32_t(SENSOR_NTAPI* PROBE_CHECK_ADDRESS)(void* context, uint32_t busAddress);
typedef uint32_t(SENSOR_NTAPI* PROBE_WRITE_READ)(void* context, uint32_t busAddress,
                                                 uint32_t writeLength, uint8_t* writeBuffer,
                                                 uint32_t readLength, uint8_t* readBuffer,
                                                 uint32_t mode);

struct PROBE_SERVICES {
    PROBE_CHECK_ADDRESS ProbeCheckAddress;
    PROBE_WRITE_READ ProbeWriteRead;
};

// ---------------------------------------------------------------------------
// Frame sizes reported by command 2; the same 32 bytes in both builds.

struct FRAME_SIZES {
    uint32_t SensorWidth;
    uint32_t SensorHeight;
    uint32_t PreviewWidth;
    uint32_t PreviewHeight;
    uint64_t Reserved16;
    uint64_t Reserved24;
};

// ---------------------------------------------------------------------------
// The interface record: the platform's INTERFACE header followed by five
// probe/command pairs of entry points.

typedef void(SENSOR_NTAPI* SENSOR_INTERFACE_REFERENCE)(void* context);
typedef uint32_t(SENSOR_NTAPI* SENSOR_PROBE_ROUTINE)(void* context, uint32_t* typeOut,
                                                     uint32_t* configOut,
                                                     const PROBE_SERVICES* services);
typedef uint32_t(SENSOR_NTAPI* SENSOR_PROBE6_ROUTINE)(void*, void*, void*, void*, void*, void*);
typedef uint32_t(SENSOR_NTAPI* SENSOR_PROBE4_ROUTINE)(void*, void*, void*, void*);
typedef SENSOR_STATUS(SENSOR_NTAPI* SENSOR_COMMAND_ROUTINE)(SENSOR_COMMAND* command);

struct SENSOR_CONTROL_INTERFACE {
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
};

constexpr uint16_t SENSOR_CONTROL_INTERFACE_VERSION = 0x0100;

// ---------------------------------------------------------------------------
// Layout checks, for the pointer width being compiled.

#define SENSOR_PTR_OFFSET(x64, x86) (sizeof(void*) == 8 ? (x64) : (x86))
static_assert(sizeof(void*) == 4 || sizeof(void*) == 8);
static_assert(sizeof(uintptr_t) == sizeof(void*));

static_assert(offsetof(SENSOR_CONTROL_INTERFACE, Size) == 0x00);
static_assert(offsetof(SENSOR_CONTROL_INTERFACE, Version) == 0x02);
static_assert(offsetof(SENSOR_CONTROL_INTERFACE, Context) == SENSOR_PTR_OFFSET(0x08, 0x04));
static_assert(offsetof(SENSOR_CONTROL_INTERFACE, InterfaceReference) == SENSOR_PTR_OFFSET(0x10, 0x08));
static_assert(offsetof(SENSOR_CONTROL_INTERFACE, InterfaceDereference) == SENSOR_PTR_OFFSET(0x18, 0x0C));
static_assert(offsetof(SENSOR_CONTROL_INTERFACE, Probe0) == SENSOR_PTR_OFFSET(0x20, 0x10));
static_assert(offsetof(SENSOR_CONTROL_INTERFACE, Command0) == SENSOR_PTR_OFFSET(0x28, 0x14));
static_assert(offsetof(SENSOR_CONTROL_INTERFACE, Probe1) == SENSOR_PTR_OFFSET(0x30, 0x18));
static_assert(offsetof(SENSOR_CONTROL_INTERFACE, Command1) == SENSOR_PTR_OFFSET(0x38, 0x1C));
static_assert(offsetof(SENSOR_CONTROL_INTERFACE, Probe2) == SENSOR_PTR_OFFSET(0x40, 0x20));
static_assert(offsetof(SENSOR_CONTROL_INTERFACE, Command2) == SENSOR_PTR_OFFSET(0x48, 0x24));
static_assert(offsetof(SENSOR_CONTROL_INTERFACE, Probe3) == SENSOR_PTR_OFFSET(0x50, 0x28));
static_assert(offsetof(SENSOR_CONTROL_INTERFACE, Command3) == SENSOR_PTR_OFFSET(0x58, 0x2C));
static_assert(offsetof(SENSOR_CONTROL_INTERFACE, Probe4) == SENSOR_PTR_OFFSET(0x60, 0x30));
static_assert(offsetof(SENSOR_CONTROL_INTERFACE, Command4) == SENSOR_PTR_OFFSET(0x68, 0x34));
static_assert(sizeof(SENSOR_CONTROL_INTERFACE) == SENSOR_PTR_OFFSET(0x70, 0x38));

static_assert(offsetof(SENSOR_COMMAND, Code) == 0x00);
static_assert(offsetof(SENSOR_COMMAND, Status) == 0x04);
static_assert(offsetof(SENSOR_COMMAND, Value) == 0x08);
static_assert(offsetof(SENSOR_COMMAND, Value2) == SENSOR_PTR_OFFSET(0x10, 0x0C));
static_assert(offsetof(SENSOR_COMMAND, Value3) == SENSOR_PTR_OFFSET(0x18, 0x10));
static_assert(offsetof(SENSOR_COMMAND, Value4) == SENSOR_PTR_OFFSET(0x20, 0x14));
static_assert(offsetof(SENSOR_COMMAND, Reserved) == SENSOR_PTR_OFFSET(0x28, 0x18));
static_assert(offsetof(SENSOR_COMMAND, Bridge) == SENSOR_PTR_OFFSET(0x30, 0x20));
static_assert(offsetof(SENSOR_COMMAND, BridgeContext) == SENSOR_PTR_OFFSET(0x38, 0x24));
static_assert(offsetof(SENSOR_COMMAND, Device) == SENSOR_PTR_OFFSET(0x40, 0x28));
static_assert(offsetof(SENSOR_COMMAND, AuxDevice) == SENSOR_PTR_OFFSET(0x48, 0x2C));
static_assert(sizeof(SENSOR_COMMAND) == SENSOR_PTR_OFFSET(0x50, 0x30));

static_assert(offsetof(SENSOR_DEVICE, SensorType) == 0);
static_assert(offsetof(SENSOR_DEVICE, SensorAddress) == 4);
static_assert(offsetof(SENSOR_DEVICE, RateLevel) == 20);
static_assert(offsetof(SENSOR_DEVICE, Flags) == 24);
static_assert(offsetof(SENSOR_DEVICE, TimingFlag) == 32);
static_assert(offsetof(SENSOR_DEVICE, PresetRgb) == 124);
static_assert(offsetof(SENSOR_DEVICE, WbRed) == 160);
static_assert(offsetof(SENSOR_DEVICE, WbGreen) == 164);
static_assert(offsetof(SENSOR_DEVICE, WbBlue) == 168);
static_assert(offsetof(SENSOR_DEVICE, AeLow) == 172);
static_assert(offsetof(SENSOR_DEVICE, AeHigh) == 176);
static_assert(offsetof(SENSOR_DEVICE, RedOffset) == 188);
static_assert(offsetof(SENSOR_DEVICE, BlueOffset) == 192);
static_assert(sizeof(SENSOR_DEVICE) == 196);

#define SENSOR_BRIDGE_SLOT(n) ((n) * sizeof(void*))
static_assert(offsetof(BRIDGE_SERVICES, BusWriteRead) == SENSOR_BRIDGE_SLOT(0));
static_assert(offsetof(BRIDGE_SERVICES, BusWrite) == SENSOR_BRIDGE_SLOT(1));
static_assert(offsetof(BRIDGE_SERVICES, ReadEeprom) == SENSOR_BRIDGE_SLOT(2));
static_assert(offsetof(BRIDGE_SERVICES, ReadBridgeReg) == SENSOR_BRIDGE_SLOT(3));
static_assert(offsetof(BRIDGE_SERVICES, WriteBridgeReg) == SENSOR_BRIDGE_SLOT(4));
static_assert(offsetof(BRIDGE_SERVICES, GetControl) == SENSOR_BRIDGE_SLOT(9));
static_assert(offsetof(BRIDGE_SERVICES, GetControlMax) == SENSOR_BRIDGE_SLOT(10));
static_assert(offsetof(BRIDGE_SERVICES, GetControlMin) == SENSOR_BRIDGE_SLOT(11));
static_assert(offsetof(BRIDGE_SERVICES, SetControl) == SENSOR_BRIDGE_SLOT(12));
static_assert(offsetof(BRIDGE_SERVICES, SetControlMax) == SENSOR_BRIDGE_SLOT(13));
static_assert(offsetof(BRIDGE_SERVICES, ReadRegistryDword) == SENSOR_BRIDGE_SLOT(15));
static_assert(offsetof(BRIDGE_SERVICES, Service16) == SENSOR_BRIDGE_SLOT(16));
static_assert(offsetof(BRIDGE_SERVICES, ReadFrameStats) == SENSOR_BRIDGE_SLOT(18));
static_assert(offsetof(BRIDGE_SERVICES, Service19) == SENSOR_BRIDGE_SLOT(19));
static_assert(sizeof(BRIDGE_SERVICES) == SENSOR_BRIDGE_SLOT(20));

static_assert(offsetof(PROBE_SERVICES, ProbeCheckAddress) == 0);
static_assert(offsetof(PROBE_SERVICES, ProbeWriteRead) == SENSOR_PTR_OFFSET(8, 4));

static_assert(offsetof(FRAME_SIZES, PreviewHeight) == 12);
static_assert(offsetof(FRAME_SIZES, Reserved16) == 16);
static_assert(offsetof(FRAME_SIZES, Reserved24) == 24);
static_assert(sizeof(FRAME_SIZES) == 32);
