// Plug and Play: the start that brings the camera up once the drivers below
// have started, the stop, surprise removal and removal that end its
// streaming, and the interface query the bridge driver sends to the top of
// its own stack.
//
// Plug and Play requests arrive one at a time at PASSIVE_LEVEL, so all of
// this is pageable and may wait.
#include "bridge.h"

/*
 * BridgePnp
 *
 * Every request goes on to orvane and the bus: the stack's other drivers
 * have their own part in each. The interface query in particular is passed
 * down untouched, the bridge driver's own queries included: they come down
 * from tessip at the top and must reach orvane below.
 */
CODE_SEG("PAGE")
NTSTATUS BridgePnp(BRIDGE_EXTENSION* Extension, PIRP Irp) {
    PAGED_CODE();

    switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
        return BridgeStartDevice(Extension, Irp);
    case IRP_MN_STOP_DEVICE:
        return BridgeStopDevice(Extension, Irp);
    case IRP_MN_SURPRISE_REMOVAL:
        return BridgeSurpriseRemoval(Extension, Irp);
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        // Nothing of the camera's keeps it from stopping or going away: a
        // stream in progress ends at its next frame.
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return BridgeForward(Extension, Irp);
    default:
        return BridgeForward(Extension, Irp);
    }
}

/*
 * BridgeStartDevice
 *
 * orvane and the bus start first: the interface queries and the probe need
 * a started stack. The bridge driver owns the request again when the wait
 * returns, brings the camera up and completes it with the outcome. A camera
 * that does not come up fails its start; the Plug and Play manager then
 * removes it, and removal frees whatever the attempt took.
 */
CODE_SEG("PAGE")
NTSTATUS BridgeStartDevice(BRIDGE_EXTENSION* Extension, PIRP Irp) {
    PAGED_CODE();

    SetBridgeState(Extension, BridgeStartPending);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    NTSTATUS status = SendIrpSynchronously(Extension->LowerDevice, Irp);
    if (NT_SUCCESS(status)) {
        status = BridgeBringUp(Extension);
    }
    if (NT_SUCCESS(status)) {
        SetBridgeState(Extension, BridgeStarted);
        BridgeSetInterfaceState(Extension, TRUE);
    } else {
        SetBridgeState(Extension, BridgeStartFailed);
    }
    return BridgeComplete(Irp, status, Irp->IoStatus.Information);
}

/*
 * BridgeStopDevice
 *
 * Streaming ends (a stream in progress at its next frame) and the camera
 * is not offered until a new start brings it up again.
 */
CODE_SEG("PAGE")
NTSTATUS BridgeStopDevice(BRIDGE_EXTENSION* Extension, PIRP Irp) {
    PAGED_CODE();

    if (GetBridgeState(Extension) == BridgeStarted) {
        SetBridgeState(Extension, BridgeStopped);
        BridgeSetInterfaceState(Extension, FALSE);
    }
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return BridgeForward(Extension, Irp);
}

/*
 * BridgeSurpriseRemoval
 *
 * The hardware is gone: from here on every control and every open is
 * refused, and a stream in progress ends at its next frame, so the bridge
 * driver stops calling orvane and tessip. Both records stay valid until
 * removal: the filters are still attached.
 */
CODE_SEG("PAGE")
NTSTATUS BridgeSurpriseRemoval(BRIDGE_EXTENSION* Extension, PIRP Irp) {
    PAGED_CODE();

    SetBridgeState(Extension, BridgeSurpriseRemoved);
    BridgeSetInterfaceState(Extension, FALSE);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return BridgeForward(Extension, Irp);
}

/*
 * BridgeRemoveDevice
 *
 * Reaches here holding the remove lock. The state changes first, so that
 * nothing new starts; then the wait for every other holder of the lock, a
 * stream included, after which no request gets in. Only then is nothing
 * calling orvane or tessip any more, and the camera's resources go before
 * the request passes on: tessip, which sent it down, frees its snapshot
 * buffer only after this returns, and orvane below is deleted by it.
 */
CODE_SEG("PAGE")
NTSTATUS BridgeRemoveDevice(BRIDGE_EXTENSION* Extension, PIRP Irp) {
    PAGED_CODE();

    SetBridgeState(Extension, BridgeRemoved);
    BridgeSetInterfaceState(Extension, FALSE);
    IoReleaseRemoveLockAndWait(&Extension->RemoveLock, Irp);

    BridgeReleaseInterfaces(Extension);
    BridgeFreeFrameBuffer(Extension);
    if (Extension->InterfaceName.Buffer != nullptr) {
        RtlFreeUnicodeString(&Extension->InterfaceName);
        Extension->InterfaceName.Buffer = nullptr;
    }

    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoCopyCurrentIrpStackLocationToNext(Irp);
    NTSTATUS status = IoCallDriver(Extension->LowerDevice, Irp);

    PDEVICE_OBJECT self = Extension->Self;
    IoDetachDevice(Extension->LowerDevice);
    IoDeleteDevice(self);
    return status;
}

/*
 * BridgeQueryInterface
 *
 * Asks for an interface record as a driver above `Target` would: the query
 * goes to `Target` and down from there, through the bridge driver's own
 * dispatch and orvane to the bus, and whoever owns the GUID fills the
 * record and sets the status. The status starts as STATUS_NOT_SUPPORTED,
 * as for every Plug and Play request, so a stack in which no driver knows
 * the GUID answers with that. The caller holds a reference on `Target`.
 */
CODE_SEG("PAGE")
NTSTATUS BridgeQueryInterface(PDEVICE_OBJECT Target, const GUID* Type, PINTERFACE Record,
                              USHORT Size, USHORT Version) {
    PAGED_CODE();

    PIRP irp = IoAllocateIrp(Target->StackSize, FALSE);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    RtlZeroMemory(Record, Size);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = IRP_MN_QUERY_INTERFACE;
    next->Parameters.QueryInterface.InterfaceType = Type;
    next->Parameters.QueryInterface.Size = Size;
    next->Parameters.QueryInterface.Version = Version;
    next->Parameters.QueryInterface.Interface = Record;
    next->Parameters.QueryInterface.InterfaceSpecificData = nullptr;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;

    NTSTATUS status = SendIrpSynchronously(Target, irp);
    IoFreeIrp(irp);
    return status;
}

/*
 * BridgeSetInterfaceState
 *
 * The private interface is offered exactly while the camera runs. A
 * failure changes nothing else: the camera can still be reached through
 * tessip's interface, and an interface that never came on is not turned
 * off.
 */
CODE_SEG("PAGE")
NTSTATUS BridgeSetInterfaceState(BRIDGE_EXTENSION* Extension, BOOLEAN Enable) {
    PAGED_CODE();

    if (Extension->InterfaceName.Buffer == nullptr || Extension->InterfaceEnabled == Enable) {
        return STATUS_SUCCESS;
    }
    NTSTATUS status = IoSetDeviceInterfaceState(&Extension->InterfaceName, Enable);
    if (NT_SUCCESS(status)) {
        Extension->InterfaceEnabled = Enable;
    }
    return status;
}
