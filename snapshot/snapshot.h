// tessip, the still-image filter: its device extension, the record it hands
// the bridge driver, and the routines of its driver frame and of the snapshot
// exchange.
//
// The frame (snapshot_frame.cpp) owns the device object, the Plug and Play
// state and the still-image device interface. The exchange
// (snapshot_exchange.cpp) owns the snapshot buffer's contents, the three
// snapshot flags, the application's events and SNAPSHOT_INTERFACE.
#pragma once

#include "platform.h"
#include "snapshot_ioctl.h"

// Plug and Play states kept in SNAPSHOT_EXTENSION.PnpState. No state has the
// value 3. They gate nothing; only the cancel requests read them.
enum SNAPSHOT_PNP_STATE : ULONG {
    NotStarted = 0,
    Started = 1,
    StopPending = 2,
    RemovePending = 4,
    SurpriseRemoved = 5,
    Deleted = 6,
};

// Pool tag of the snapshot buffer ("ParC" as the pool shows it).
#define SNAPSHOT_POOL_TAG 'CraP'

// Device extension of every tessip filter device object; IoCreateDevice hands
// it over zeroed. The fields up to InterfaceName are the device's documented
// state; the two after it exist only to keep the concurrent paths sound.
struct SNAPSHOT_EXTENSION {
    PDEVICE_OBJECT PhysicalDevice;  // the interface is registered on it
    PDEVICE_OBJECT Self;
    PDEVICE_OBJECT LowerDevice;     // every request that leaves tessip goes here
    ULONG PnpState;
    ULONG PreviousPnpState;         // one level, for the cancel requests
    PKEVENT FirstEvent;             // pulsed by trigger reports of nonzero kind
    PKEVENT SecondEvent;            // pulsed by trigger reports of kind 0
    SNAPSHOT_IMAGE_INFO ImageInfo;
    PUCHAR SnapshotBuffer;          // NULL when the allocation failed
    ULONG SnapshotRequested;
    ULONG EventsDisabled;
    ULONG SnapshotReady;
    UNICODE_STRING InterfaceName;   // Buffer is NULL while no name is held

    // Even while the snapshot buffer is at rest, odd while a delivery copies
    // into it. A read that sees it move copies again, so it never reports a
    // half-overwritten image; the delivery itself never waits.
    ULONG SnapshotSequence;
    // Bytes the last complete delivery stored, changed only inside the odd
    // window of SnapshotSequence. A read hands out exactly these bytes, never
    // the rest of the buffer, whatever ImageInfo.ByteCount says by then.
    ULONG StoredByteCount;
    // Trigger reports currently signalling one of the events. Releasing an
    // event waits (boundedly) for this to drain before dropping the
    // reference, so a report never signals an event object just freed.
    LONG EventUsers;
    // 1 while a registration or release of the events is under way; a second
    // one meanwhile is refused rather than interleaved with it.
    LONG EventsBusy;
};

// SNAPSHOT_INTERFACE's functions, called by the bridge driver with tessip's
// filter device object. stdcall on x86: each pops exactly its arguments.
typedef VOID(NTAPI* PSNAPSHOT_SET_IMAGE_INFO)(PDEVICE_OBJECT DeviceObject,
                                             const SNAPSHOT_IMAGE_INFO* ImageInfo);
typedef ULONG(NTAPI* PSNAPSHOT_TAKE_REQUEST)(PDEVICE_OBJECT DeviceObject);
typedef VOID(NTAPI* PSNAPSHOT_SUBMIT)(PDEVICE_OBJECT DeviceObject, PVOID Frame,
                                     ULONG TriggerKind);

// The record the bridge driver passes with IRP_MN_QUERY_INTERFACE: the
// standard INTERFACE header followed by three function pointers.
struct SNAPSHOT_INTERFACE {
    USHORT Size;
    USHORT Version;
    PVOID Context;
    PINTERFACE_REFERENCE InterfaceReference;
    PINTERFACE_DEREFERENCE InterfaceDereference;
    PSNAPSHOT_SET_IMAGE_INFO SetImageInfo;
    PSNAPSHOT_TAKE_REQUEST TakeSnapshotRequest;
    PSNAPSHOT_SUBMIT SubmitSnapshot;
};

#if defined(_WIN64) || (defined(__SIZEOF_POINTER__) && __SIZEOF_POINTER__ == 8)
static_assert(sizeof(SNAPSHOT_INTERFACE) == 0x38, "tessip64 record size");
static_assert(offsetof(SNAPSHOT_INTERFACE, Context) == 0x08, "tessip64 layout");
static_assert(offsetof(SNAPSHOT_INTERFACE, InterfaceReference) == 0x10, "tessip64 layout");
static_assert(offsetof(SNAPSHOT_INTERFACE, InterfaceDereference) == 0x18, "tessip64 layout");
static_assert(offsetof(SNAPSHOT_INTERFACE, SetImageInfo) == 0x20, "tessip64 layout");
static_assert(offsetof(SNAPSHOT_INTERFACE, TakeSnapshotRequest) == 0x28, "tessip64 layout");
static_assert(offsetof(SNAPSHOT_INTERFACE, SubmitSnapshot) == 0x30, "tessip64 layout");
#else
static_assert(sizeof(SNAPSHOT_INTERFACE) == 0x1C, "tessip record size");
static_assert(offsetof(SNAPSHOT_INTERFACE, Context) == 0x04, "tessip layout");
static_assert(offsetof(SNAPSHOT_INTERFACE, InterfaceReference) == 0x08, "tessip layout");
static_assert(offsetof(SNAPSHOT_INTERFACE, InterfaceDereference) == 0x0C, "tessip layout");
static_assert(offsetof(SNAPSHOT_INTERFACE, SetImageInfo) == 0x10, "tessip layout");
static_assert(offsetof(SNAPSHOT_INTERFACE, TakeSnapshotRequest) == 0x14, "tessip layout");
static_assert(offsetof(SNAPSHOT_INTERFACE, SubmitSnapshot) == 0x18, "tessip layout");
#endif
static_assert(offsetof(SNAPSHOT_INTERFACE, Version) == 2, "INTERFACE header");

#define SNAPSHOT_INTERFACE_VERSION 100

// NOLINTBEGIN(bugprone-dynamic-static-initializers): declarations of constant aggregates
extern const GUID GUID_SNAPSHOT_INTERFACE;   // {53A4763D-3B76-4772-8EDA-D7C435542856}
extern const GUID GUID_DEVINTERFACE_IMAGE;   // {6BDD1FC6-810F-11D0-BEC7-08002BE2092F}
// NOLINTEND(bugprone-dynamic-static-initializers)

bool SnapshotSameGuid(const GUID* left, const GUID* right);

extern "C" {

// Driver frame (snapshot_frame.cpp).
NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
NTSTATUS NTAPI SnapshotAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
VOID NTAPI SnapshotUnload(PDRIVER_OBJECT DriverObject);
NTSTATUS NTAPI SnapshotDispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI SnapshotDispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI SnapshotPassThrough(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI SnapshotStartCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

// Snapshot exchange (snapshot_exchange.cpp).
NTSTATUS NTAPI SnapshotDispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI SnapshotDispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID NTAPI SetImageInfo(PDEVICE_OBJECT DeviceObject, const SNAPSHOT_IMAGE_INFO* ImageInfo);
ULONG NTAPI TakeSnapshotRequest(PDEVICE_OBJECT DeviceObject);
VOID NTAPI SubmitSnapshot(PDEVICE_OBJECT DeviceObject, PVOID Frame, ULONG TriggerKind);

NTSTATUS UpdateImageInterface(PDEVICE_OBJECT PhysicalDevice, PUNICODE_STRING InterfaceName,
                              BOOLEAN Enable);

}  // extern "C"

// Exchange services for the frame: the add-device defaults of the snapshot
// fields, the answer to the interface query, and what removal must let go of.
VOID SnapshotInitializeExchange(SNAPSHOT_EXTENSION* Extension);
VOID SnapshotFillInterface(SNAPSHOT_INTERFACE* Interface);
VOID SnapshotReleaseEvents(SNAPSHOT_EXTENSION* Extension);

inline SNAPSHOT_EXTENSION* SnapshotExtension(PDEVICE_OBJECT DeviceObject)
{
    return static_cast<SNAPSHOT_EXTENSION*>(DeviceObject->DeviceExtension);
}
