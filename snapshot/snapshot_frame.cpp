// tessip's driver frame: entry, add-device, pass-through, power, Plug and Play
// state tracking and the still-image device interface.
//
// Everything here is resident except DriverEntry, which is discarded after
// initialisation: the dispatch routines can be reached at any IRQL the lower
// drivers complete at, and the frame is small.
#include "snapshot.h"

PDRIVER_OBJECT SnapshotDriver;

// How many requests may hold a device's remove lock at once before the
// kernel's checks call it a leak (0: no limit), and the minutes one may.
constexpr ULONG kLockHighWatermark = 0;
constexpr ULONG kLockMinutes = 0;

/*
 * DriverEntry
 *
 * Every major function goes down the stack untouched unless tessip serves
 * it; create, cleanup and close included, so that the drivers below decide
 * whether an open succeeds. Only Plug and Play, power, read and device
 * control are tessip's own; cleanup is looked at on its way down.
 */
CODE_SEG("INIT")
NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    UNREFERENCED_PARAMETER(RegistryPath);

    SnapshotDriver = DriverObject;
    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++) {
        DriverObject->MajorFunction[i] = SnapshotPassThrough;
    }
    DriverObject->DriverExtension->AddDevice = SnapshotAddDevice;
    DriverObject->DriverUnload = SnapshotUnload;

    DriverObject->MajorFunction[IRP_MJ_PNP] = SnapshotDispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = SnapshotDispatchPower;
    DriverObject->MajorFunction[IRP_MJ_READ] = SnapshotDispatchRead;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = SnapshotDispatchDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = SnapshotDispatchCleanup;
    return STATUS_SUCCESS;
}

/*
 * SnapshotAddDevice
 *
 * One filter device per camera. It must look like the device below it to
 * the I/O manager (type, characteristics, buffering and power flags), since
 * the I/O manager builds requests by the top device of the stack. The
 * snapshot buffer is taken here once, so that nothing later needs memory; a
 * failed allocation or a failed interface registration leaves a device that
 * still passes everything down.
 */
NTSTATUS NTAPI SnapshotAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(SNAPSHOT_EXTENSION), nullptr,
                                     FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    SNAPSHOT_EXTENSION* extension = SnapshotExtension(device);
    extension->PhysicalDevice = PhysicalDeviceObject;
    extension->Self = device;
    SnapshotInitializeExchange(extension);
    IoInitializeRemoveLock(&extension->RemoveLock, SNAPSHOT_POOL_TAG, kLockMinutes,
                           kLockHighWatermark);

    extension->LowerDevice = IoAttachDeviceToDeviceStack(device, PhysicalDeviceObject);
    if (extension->LowerDevice == nullptr) {
        IoDeleteDevice(device);
        return STATUS_UNSUCCESSFUL;
    }

    PDEVICE_OBJECT lower = extension->LowerDevice;
    device->Flags |=
        lower->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE | DO_POWER_INRUSH);
    device->DeviceType = lower->DeviceType;
    device->Characteristics = lower->Characteristics;

    // Cleared once, here: pool comes with whatever its last owner left, and
    // none of that may ever reach an application.
    extension->SnapshotBuffer = static_cast<PUCHAR>(
        ExAllocatePoolWithTag(NonPagedPool, SNAPSHOT_BUFFER_SIZE, SNAPSHOT_POOL_TAG));
    if (extension->SnapshotBuffer != nullptr) {
        RtlZeroMemory(extension->SnapshotBuffer, SNAPSHOT_BUFFER_SIZE);
    }

    UpdateImageInterface(PhysicalDeviceObject, &extension->InterfaceName, TRUE);

    extension->PnpState = NotStarted;
    extension->PreviousPnpState = NotStarted;

    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

/*
 * SnapshotUnload
 *
 * Nothing driver-wide is held: every allocation and reference belongs to a
 * device and goes with its removal.
 */
VOID NTAPI SnapshotUnload(PDRIVER_OBJECT DriverObject) {
    UNREFERENCED_PARAMETER(DriverObject);
}

/*
 * UpdateImageInterface
 *
 * Enabling registers the still-image interface on the physical device, so
 * that an application enumerating still-image devices finds the camera's
 * stack (and with it tessip, at its top). Disabling also frees the name: it
 * is only used on the way out.
 */
NTSTATUS UpdateImageInterface(PDEVICE_OBJECT PhysicalDevice, PUNICODE_STRING InterfaceName,
                              BOOLEAN Enable) {
    if (Enable) {
        NTSTATUS status = IoRegisterDeviceInterface(PhysicalDevice, &GUID_DEVINTERFACE_IMAGE,
                                                    nullptr, InterfaceName);
        if (NT_SUCCESS(status)) {
            IoSetDeviceInterfaceState(InterfaceName, TRUE);
        }
        return status;
    }

    if (InterfaceName->Buffer != nullptr) {
        IoSetDeviceInterfaceState(InterfaceName, FALSE);
        RtlFreeUnicodeString(InterfaceName);
        InterfaceName->Buffer = nullptr;
    }
    return STATUS_SUCCESS;
}

/*
 * SnapshotCompleteRequest
 *
 * For requests tessip finishes itself, with no priority boost: nothing
 * waited long on a device for them.
 */
NTSTATUS SnapshotCompleteRequest(PIRP Irp, NTSTATUS Status) {
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

/*
 * SnapshotSendDown
 *
 * Requests tessip does not serve go down unchanged and unobserved. The
 * caller holds the remove lock, so the device below is still attached.
 */
NTSTATUS SnapshotSendDown(SNAPSHOT_EXTENSION* Extension, PIRP Irp) {
    IoCopyCurrentIrpStackLocationToNext(Irp);
    return IoCallDriver(Extension->LowerDevice, Irp);
}

/*
 * SnapshotPassThrough
 *
 * Every major function tessip does not serve, opens and closes included,
 * so that the drivers below decide them. Counted by the remove lock while
 * it is inside tessip; once removal has begun it is refused here.
 */
NTSTATUS NTAPI SnapshotPassThrough(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    SNAPSHOT_EXTENSION* extension = SnapshotExtension(DeviceObject);
    NTSTATUS status = IoAcquireRemoveLock(&extension->RemoveLock, Irp);
    if (!NT_SUCCESS(status)) {
        return SnapshotCompleteRequest(Irp, status);
    }
    status = SnapshotSendDown(extension, Irp);
    IoReleaseRemoveLock(&extension->RemoveLock, Irp);
    return status;
}

/*
 * SnapshotDispatchPower
 *
 * tessip has no power state of its own; it only keeps the power manager's
 * sequence going for the drivers below, refused ones included.
 */
NTSTATUS NTAPI SnapshotDispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    SNAPSHOT_EXTENSION* extension = SnapshotExtension(DeviceObject);
    PoStartNextPowerIrp(Irp);
    NTSTATUS status = IoAcquireRemoveLock(&extension->RemoveLock, Irp);
    if (!NT_SUCCESS(status)) {
        return SnapshotCompleteRequest(Irp, status);
    }
    IoCopyCurrentIrpStackLocationToNext(Irp);
    status = PoCallDriver(extension->LowerDevice, Irp);
    IoReleaseRemoveLock(&extension->RemoveLock, Irp);
    return status;
}

/*
 * SnapshotStartCompletion
 *
 * The start request's completion routine, under the name tessip's image
 * knows it by; it does what every synchronous send's does.
 */
NTSTATUS NTAPI SnapshotStartCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    return SyncCompletion(DeviceObject, Irp, Context);
}

/*
 * SnapshotEnterState
 *
 * Every transition but the two cancels keeps the state it leaves, so that a
 * cancel can return to it.
 *
 * Only Plug and Play requests, which arrive one at a time, write the two
 * words, so no transition can land between a test and its store. The
 * application's requests read PnpState on other threads, hence the one
 * shared store.
 */
static void SnapshotEnterState(SNAPSHOT_EXTENSION* Extension, ULONG State) {
    Extension->PreviousPnpState = Extension->PnpState;
    StoreWord(&Extension->PnpState, State);
}

/*
 * SnapshotCancelState
 *
 * A cancel only undoes the query it answers: in any other state it changes
 * nothing.
 */
static void SnapshotCancelState(SNAPSHOT_EXTENSION* Extension, ULONG QueriedState) {
    if (Extension->PnpState == QueriedState) {
        StoreWord(&Extension->PnpState, Extension->PreviousPnpState);
    }
}

/*
 * SnapshotStartDevice
 *
 * The device counts as started only once every driver below has started:
 * the request goes down first and tessip completes it itself, with the lower
 * drivers' final status, never with STATUS_PENDING.
 */
static NTSTATUS SnapshotStartDevice(SNAPSHOT_EXTENSION* Extension, PIRP Irp) {
    IoCopyCurrentIrpStackLocationToNext(Irp);
    NTSTATUS status = SendIrpSynchronously(Extension->LowerDevice, Irp, SnapshotStartCompletion);
    if (NT_SUCCESS(status)) {
        SnapshotEnterState(Extension, Started);
    }

    return SnapshotCompleteRequest(Irp, status);
}

/*
 * SnapshotRemoveDevice
 *
 * The state goes first, so that a read or control racing the removal is
 * refused; then removal waits until every request inside tessip has left,
 * and only then sends the request down, so that nothing tessip forwards
 * reaches a driver below after its own removal. The bridge driver has
 * finished its removal, and with it its calls into SNAPSHOT_INTERFACE,
 * when the request comes back: only then do the buffer and the
 * application's events go. tessip does not touch the request's status:
 * the drivers below own it.
 */
static NTSTATUS SnapshotRemoveDevice(SNAPSHOT_EXTENSION* Extension, PIRP Irp) {
    SnapshotEnterState(Extension, Deleted);
    IoReleaseRemoveLockAndWait(&Extension->RemoveLock, Irp);
    NTSTATUS status = SnapshotSendDown(Extension, Irp);

    if (Extension->SnapshotBuffer != nullptr) {
        ExFreePool(Extension->SnapshotBuffer);
        Extension->SnapshotBuffer = nullptr;
    }
    UpdateImageInterface(Extension->PhysicalDevice, &Extension->InterfaceName, FALSE);

    // An application that exits without releasing its events would otherwise
    // leave two event objects referenced for as long as the system runs.
    SnapshotReleaseEvents(Extension);

    IoDetachDevice(Extension->LowerDevice);
    IoDeleteDevice(Extension->Self);
    return status;
}

/*
 * SnapshotDisableInterface
 *
 * A stopped or surprise-removed camera must not be offered to applications.
 * The name is kept so that removal can still free it; nothing enables the
 * interface again after a stop.
 */
static void SnapshotDisableInterface(SNAPSHOT_EXTENSION* Extension) {
    if (Extension->InterfaceName.Buffer != nullptr) {
        IoSetDeviceInterfaceState(&Extension->InterfaceName, FALSE);
    }
}

/*
 * SnapshotAnswerQueryInterface
 *
 * The bridge driver learns SNAPSHOT_INTERFACE this way. The request goes on
 * down either way: other drivers of the stack may answer other GUIDs.
 */
static void SnapshotAnswerQueryInterface(PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (SnapshotSameGuid(stack->Parameters.QueryInterface.InterfaceType,
                         &GUID_SNAPSHOT_INTERFACE)) {
        SnapshotFillInterface(
            reinterpret_cast<SNAPSHOT_INTERFACE*>(stack->Parameters.QueryInterface.Interface));
        Irp->IoStatus.Status = STATUS_SUCCESS;
    }
}

/*
 * SnapshotDispatchPnp
 *
 * One case per minor function tessip tracks. Every request but start and
 * remove simply continues down the stack after tessip has noted it; the
 * remove lock is held throughout, and removal releases it for good.
 */
NTSTATUS NTAPI SnapshotDispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    SNAPSHOT_EXTENSION* extension = SnapshotExtension(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status = IoAcquireRemoveLock(&extension->RemoveLock, Irp);
    if (!NT_SUCCESS(status)) {
        return SnapshotCompleteRequest(Irp, status);
    }

    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        status = SnapshotStartDevice(extension, Irp);
        IoReleaseRemoveLock(&extension->RemoveLock, Irp);
        return status;

    case IRP_MN_QUERY_REMOVE_DEVICE:
        SnapshotEnterState(extension, RemovePending);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        break;

    case IRP_MN_REMOVE_DEVICE:
        return SnapshotRemoveDevice(extension, Irp);

    case IRP_MN_CANCEL_REMOVE_DEVICE:
        SnapshotCancelState(extension, RemovePending);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        break;

    case IRP_MN_STOP_DEVICE:
        SnapshotEnterState(extension, StopPending);
        SnapshotDisableInterface(extension);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        break;

    case IRP_MN_QUERY_STOP_DEVICE:
        SnapshotEnterState(extension, StopPending);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        break;

    case IRP_MN_CANCEL_STOP_DEVICE:
        SnapshotCancelState(extension, StopPending);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        break;

    case IRP_MN_QUERY_INTERFACE:
        SnapshotAnswerQueryInterface(Irp);
        break;

    case IRP_MN_SURPRISE_REMOVAL:
        SnapshotEnterState(extension, SurpriseRemoved);
        SnapshotDisableInterface(extension);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        break;

    default:
        break;
    }
    status = SnapshotSendDown(extension, Irp);
    IoReleaseRemoveLock(&extension->RemoveLock, Irp);
    return status;
}
