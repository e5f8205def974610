// The bridge driver: the camera's function driver, between orvane (a lower
// filter) and tessip (an upper filter) on the camera's device stack.
//
// It owns the camera (camera_model.h) and everything orvane and tessip
// expect of the driver they serve: at start it asks the top of its own
// stack for SENSOR_CONTROL_INTERFACE and SNAPSHOT_INTERFACE, probes the
// sensor through orvane and brings it up; then, driven by its private I/O
// controls (bridge_control.h), it streams frames through both loops,
// answers tessip's snapshot requests and reports the camera's button.
//
// Files: bridge_driver.cpp (entry, add-device, dispatch, power, locks),
// bridge_pnp.cpp (Plug and Play, the interface queries, removal),
// bridge_camera.cpp (probe, bring-up, frames, snapshots, the button),
// bridge_services.cpp (BRIDGE_SERVICES and PROBE_SERVICES over the camera,
// with the bring-up's log), bridge_control.cpp (the private I/O controls).
//
// Placement: DriverEntry is discarded after loading (INIT); add-device,
// unload and the Plug and Play work are pageable (PAGE) and run only at
// PASSIVE_LEVEL; the dispatch routines, the completion routine, the service
// entry points orvane calls and everything they reach are resident.
#pragma once

// The kernel headers come first: they define GUID and the device object, so
// the public headers' GUID objects are GUIDs here and their device object is
// the DDK's (see camera_common.h).
#include "irp_sync.h"
#include "platform.h"

#include "bridge_control.h"
#include "camera_model.h"
#include "camera_sensor_control.h"
#include "camera_snapshot.h"

// Device state, kept in BRIDGE_EXTENSION.State. There is no value 0.
enum BRIDGE_STATE : ULONG {
    BridgeNotStarted = 1,       // set by add-device
    BridgeStartPending = 2,     // the start is going down, or the camera coming up
    BridgeStarted = 3,          // the camera is up: frames can be streamed
    BridgeStartFailed = 4,      // the lower drivers or the camera did not come up
    BridgeStopped = 5,          // stopped by the Plug and Play manager
    BridgeSurpriseRemoved = 6,  // the hardware is gone: every control is refused
    BridgeRemoved = 7,          // removed: the device object is going or gone
};

// "Brdg" in memory order.
constexpr ULONG BRIDGE_SIGNATURE = 0x67647242;
// Pool tag of the snapshot frame buffer ("Brfb" as the pool shows it).
#define BRIDGE_POOL_TAG 'bfrB'

// How a camera is brought up: anti-flicker mode and preset for command 3,
// the device record's rate level and timing flag, where the white-balance
// presets come from, and the size of the snapshots delivered to tessip.
struct BRIDGE_CONFIGURATION {
    ULONG FlickerMode;
    ULONG Preset;
    ULONG RateLevel;
    ULONG TimingFlag;
    ULONG EepromPresets;  // nonzero: from the camera EEPROM, else the registry
    ULONG SnapshotWidth;
    ULONG SnapshotHeight;
};

// Presets from the registry (or the values orvane falls back to),
// anti-flicker mode 0, preset 2, full-size snapshots.
constexpr BRIDGE_CONFIGURATION BRIDGE_DEFAULT_CONFIGURATION = {0, 2, 0, 0, 0, 640, 480};

// What add-device gives every new camera. Constant-initialised; the host
// build's own API may replace it before a camera is plugged in.
// NOLINTNEXTLINE(bugprone-dynamic-static-initializers): a declaration; the definition is constant-initialised
extern BRIDGE_CONFIGURATION BridgeConfiguration;

// Told of every service call orvane makes, during the bring-up and after
// it, once the call has returned. Only the host build's tracing sets it; in
// the kernel images it stays null.
typedef void (*BRIDGE_CALL_OBSERVER)(const BRIDGE_SERVICE_CALL* Call);
// NOLINTNEXTLINE(bugprone-dynamic-static-initializers): a declaration; the definition is null
extern BRIDGE_CALL_OBSERVER BridgeCallObserver;

// The device extension of every bridge device object; lives and dies with it.
struct BRIDGE_EXTENSION {
    ULONG Signature;
    ULONG State;  // a BRIDGE_STATE; use GetBridgeState / SetBridgeState
    PDEVICE_OBJECT Self;
    PDEVICE_OBJECT PhysicalDevice;
    PDEVICE_OBJECT LowerDevice;  // orvane's device: target of every request passed down
    // Held by every request while it is inside the bridge driver; removal
    // waits for the last to leave before the camera's resources go.
    IO_REMOVE_LOCK RemoveLock;
    // Synchronization event held by whoever calls into orvane or tessip or
    // changes the camera: orvane serves one command at a time, and a frame's
    // statistics must not change under its two steps.
    KEVENT CameraLock;
    UNICODE_STRING InterfaceName;  // the private interface; Buffer null while none is held
    BOOLEAN InterfaceEnabled;
    BRIDGE_CONFIGURATION Configuration;

    // The records orvane and tessip fill and read; the bridge driver owns them.
    SENSOR_CONTROL_INTERFACE Sensor;
    SNAPSHOT_INTERFACE Snapshot;
    PDEVICE_OBJECT SnapshotDevice;  // tessip's device, the first argument of its functions
    BRIDGE_SERVICES Services;
    PROBE_SERVICES ProbeServices;
    SENSOR_DEVICE Device;
    FRAME_SIZES FrameSizes;

    CAMERA Camera;
    PUCHAR FrameBuffer;  // width * height * 3 bytes of non-paged pool, from start to removal:
                         // the last frame delivered to tessip
    ULONG FrameBytes;

    // The frame being streamed, and its statistics latched for both loop
    // steps; a snapshot delivered with it is rendered from the same capture.
    BOOLEAN FrameLatched;
    CAMERA_FRAME Frame;
    ULONG FrameStatistics;
    // The command being run, which a logged or observed service call is
    // made for; Logging is FALSE outside the bring-up.
    BOOLEAN Logging;
    ULONG LoggedCommand;

    // What the bridge driver saw, as IOCTL_BRIDGE_QUERY returns it, except
    // that Seen.Frames is a ring: frame n sits at (n - 1) % BRIDGE_FRAME_RING.
    BRIDGE_QUERY_RESULT Seen;
};

// State is written by the Plug and Play path and read by the control path
// on other threads without a lock; the relaxed accesses compile to plain
// moves and only tell the compiler (and the race detector) it is shared.
inline ULONG GetBridgeState(const BRIDGE_EXTENSION* extension) {
    return __atomic_load_n(&extension->State, __ATOMIC_RELAXED);
}

inline void SetBridgeState(BRIDGE_EXTENSION* extension, BRIDGE_STATE state) {
    __atomic_store_n(&extension->State, static_cast<ULONG>(state), __ATOMIC_RELAXED);
}

inline bool BridgeGone(ULONG state) {
    return state == BridgeSurpriseRemoved || state == BridgeRemoved;
}

inline BRIDGE_EXTENSION* BridgeExtension(PDEVICE_OBJECT deviceObject) {
    return static_cast<BRIDGE_EXTENSION*>(deviceObject->DeviceExtension);
}

// C names, as the I/O manager, orvane and the image checks know them.
extern "C" {

// --- Given to the I/O manager (bridge_driver.cpp) ------------------------------
NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
NTSTATUS NTAPI BridgeAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
VOID NTAPI BridgeUnload(PDRIVER_OBJECT DriverObject);
NTSTATUS NTAPI BridgeDispatchCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI BridgeDispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI BridgeDispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI BridgeDispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI BridgeDispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI BridgeDispatchUnsupported(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// --- Forwarding, completing, the camera and sensor locks (bridge_driver.cpp) ---
NTSTATUS BridgeForward(BRIDGE_EXTENSION* Extension, PIRP Irp);
NTSTATUS BridgeComplete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information);
void BridgeLockCamera(BRIDGE_EXTENSION* Extension);
void BridgeUnlockCamera(BRIDGE_EXTENSION* Extension);
void BridgeLockSensor();
void BridgeUnlockSensor();

// --- Plug and Play (bridge_pnp.cpp) ---------------------------------------------
NTSTATUS BridgePnp(BRIDGE_EXTENSION* Extension, PIRP Irp);
NTSTATUS BridgeStartDevice(BRIDGE_EXTENSION* Extension, PIRP Irp);
NTSTATUS BridgeStopDevice(BRIDGE_EXTENSION* Extension, PIRP Irp);
NTSTATUS BridgeSurpriseRemoval(BRIDGE_EXTENSION* Extension, PIRP Irp);
NTSTATUS BridgeRemoveDevice(BRIDGE_EXTENSION* Extension, PIRP Irp);
NTSTATUS BridgeQueryInterface(PDEVICE_OBJECT Target, const GUID* Type, PINTERFACE Record,
                              USHORT Size, USHORT Version);
NTSTATUS BridgeSetInterfaceState(BRIDGE_EXTENSION* Extension, BOOLEAN Enable);

// --- The camera (bridge_camera.cpp) ----------------------------------------------
NTSTATUS BridgeBringUp(BRIDGE_EXTENSION* Extension);
void BridgeReleaseInterfaces(BRIDGE_EXTENSION* Extension);
void BridgeFreeFrameBuffer(BRIDGE_EXTENSION* Extension);
SENSOR_STATUS BridgeCommand(BRIDGE_EXTENSION* Extension, int32_t Code, uintptr_t Value,
                            uintptr_t Value2);
void BridgeRunCommand(BRIDGE_EXTENSION* Extension, int32_t Code, uintptr_t Value, uintptr_t Value2,
                      SENSOR_COMMAND* Command);
void BridgeSetFlickerMode(BRIDGE_EXTENSION* Extension, ULONG Mode);
ULONG BridgePeekStatistics(BRIDGE_EXTENSION* Extension);
void BridgeStreamFrame(BRIDGE_EXTENSION* Extension, BRIDGE_FRAME_RECORD* Record);
void BridgePressButton(BRIDGE_EXTENSION* Extension, ULONG TriggerKind);

// --- BRIDGE_SERVICES and PROBE_SERVICES (bridge_services.cpp) --------------------
void BridgeInitializeServices(BRIDGE_EXTENSION* Extension);
SENSOR_STATUS SENSOR_NTAPI BridgeBusWriteRead(void* Context, uint32_t Address, uint8_t WriteLength,
                                              uint8_t* Write, uint8_t ReadLength, uint8_t* Read);
SENSOR_STATUS SENSOR_NTAPI BridgeBusWrite(void* Context, uint32_t Address, uint8_t Length,
                                          uint8_t* Buffer);
SENSOR_STATUS SENSOR_NTAPI BridgeReadEeprom(void* Context, uint32_t Offset, uint32_t Length,
                                            uint32_t* Bytes);
SENSOR_STATUS SENSOR_NTAPI BridgeReadBridgeReg(void* Context, uint32_t Reg, uint8_t* Value);
SENSOR_STATUS SENSOR_NTAPI BridgeWriteBridgeReg(void* Context, uint32_t Reg, uint8_t Value);
int32_t SENSOR_NTAPI BridgeGetControl(void* Context, uint32_t Id);
int32_t SENSOR_NTAPI BridgeGetControlMax(void* Context, uint32_t Id);
int32_t SENSOR_NTAPI BridgeGetControlMin(void* Context, uint32_t Id);
SENSOR_STATUS SENSOR_NTAPI BridgeSetControl(void* Context, uint32_t Id, int32_t Value);
SENSOR_STATUS SENSOR_NTAPI BridgeSetControlMax(void* Context, uint32_t Id, int32_t Value);
SENSOR_STATUS SENSOR_NTAPI BridgeReadRegistryDword(void* Context, const uint16_t* Name,
                                                   uint32_t NameBytes, uint32_t* Result,
                                                   uint32_t Default);
SENSOR_STATUS SENSOR_NTAPI BridgeNotifyExposureReset(void* Context, uint32_t Number);
SENSOR_STATUS SENSOR_NTAPI BridgeReadFrameStats(void* Context, uint32_t* Stats);
SENSOR_STATUS SENSOR_NTAPI BridgeSettleExposure(void* Context, void* Scratch);
uint32_t SENSOR_NTAPI BridgeProbeCheckAddress(void* Context, uint32_t Address);
uint32_t SENSOR_NTAPI BridgeProbeWriteRead(void* Context, uint32_t Address, uint32_t WriteLength,
                                           uint8_t* Write, uint32_t ReadLength, uint8_t* Read,
                                           uint32_t Mode);

// --- The private I/O controls (bridge_control.cpp) --------------------------------
NTSTATUS BridgeControl(BRIDGE_EXTENSION* Extension, PIRP Irp);

}  // extern "C"
