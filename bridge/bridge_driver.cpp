// Driver entry, the camera's function device, and the dispatch routines:
// every request reaches the bridge driver through one of them and holds the
// device's remove lock while it is inside, so that removal can wait for it.
#include "bridge.h"

BRIDGE_CONFIGURATION BridgeConfiguration = BRIDGE_DEFAULT_CONFIGURATION;

// orvane keeps one tuning record for all the cameras it serves and counts
// on its commands arriving one at a time; the camera locks order them per
// camera only, so every call into orvane also holds this one. A
// synchronization event, initialised at load; taken after a camera lock,
// never before one.
static KEVENT BridgeSensorLock;

static const GUID BridgeInterfaceGuid = BRIDGE_INTERFACE_GUID_INITIALIZER;

/*
 * DriverEntry
 *
 * As the function driver the bridge driver is the end of the line for
 * requests: those it has no use for are refused here rather than passed
 * to orvane, which would only hand them to the bus. WMI requests are the
 * exception, as for any driver that does not serve WMI itself.
 */
CODE_SEG("INIT")
NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    UNREFERENCED_PARAMETER(RegistryPath);

    for (ULONG major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
        DriverObject->MajorFunction[major] = BridgeDispatchUnsupported;
    }
    DriverObject->MajorFunction[IRP_MJ_CREATE] = BridgeDispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = BridgeDispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = BridgeDispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_PNP] = BridgeDispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = BridgeDispatchPower;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = BridgeDispatchDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = BridgeDispatchSystemControl;
    DriverObject->DriverExtension->AddDevice = BridgeAddDevice;
    DriverObject->DriverUnload = BridgeUnload;
    KeInitializeEvent(&BridgeSensorLock, SynchronizationEvent, TRUE);
    return STATUS_SUCCESS;
}

/*
 * BridgeWantsDirectIo
 *
 * The camera's installation may ask for direct I/O with the device
 * parameter DirectIo (REG_DWORD, nonzero); a device without the parameter,
 * or without a parameters key, does not.
 */
static bool BridgeWantsDirectIo(PDEVICE_OBJECT PhysicalDevice) {
    static const WCHAR kDirectIo[] = {'D', 'i', 'r', 'e', 'c', 't', 'I', 'o', 0};
    HANDLE key = nullptr;
    if (!NT_SUCCESS(
            IoOpenDeviceRegistryKey(PhysicalDevice, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key))) {
        return false;
    }
    UNICODE_STRING name;
    name.Buffer = const_cast<PWCHAR>(kDirectIo);
    name.Length = sizeof(kDirectIo) - sizeof(WCHAR);
    name.MaximumLength = sizeof(kDirectIo);
    union {
        KEY_VALUE_PARTIAL_INFORMATION Information;
        UCHAR Bytes[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(ULONG)];
    } value;
    ULONG length = 0;
    NTSTATUS status =
        ZwQueryValueKey(key, &name, KeyValuePartialInformation, &value, sizeof(value), &length);
    ZwClose(key);
    ULONG direct = 0;
    if (NT_SUCCESS(status) && value.Information.Type == REG_DWORD &&
        value.Information.DataLength == sizeof(direct)) {
        RtlCopyMemory(&direct, value.Information.Data, sizeof(direct));
    }
    return direct != 0;
}

/*
 * BridgeTransferFlags
 *
 * How requests reach the camera's stack: as the bus device below says, or,
 * when it says neither buffered nor direct I/O (a root-enumerated device),
 * as the camera's installation chooses, buffered by default. The
 * application's reads then always bring memory the I/O manager prepared,
 * which is all tessip serves a user-mode caller.
 */
static ULONG BridgeTransferFlags(PDEVICE_OBJECT PhysicalDevice, PDEVICE_OBJECT LowerDevice) {
    ULONG flags = LowerDevice->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE);
    if ((flags & (DO_BUFFERED_IO | DO_DIRECT_IO)) == 0) {
        flags |= BridgeWantsDirectIo(PhysicalDevice) ? DO_DIRECT_IO : DO_BUFFERED_IO;
    }
    return flags;
}

/*
 * BridgeAddDevice
 *
 * One function device per camera, attached over orvane's lower-filter
 * device. The buffering and power-pageable flags come from below, as tessip
 * above takes them from here: the I/O manager builds requests by the top
 * device's flags (see BridgeTransferFlags). The camera itself comes up only at start; here it is
 * put in its factory state, and the private interface is registered, to be enabled once the camera
 * runs. A camera whose registration failed still works: the test program then opens the stack
 * through tessip's interface.
 */
CODE_SEG("PAGE")
NTSTATUS NTAPI BridgeAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
    PAGED_CODE();

    PDEVICE_OBJECT deviceObject = nullptr;
    NTSTATUS status =
        IoCreateDevice(DriverObject, sizeof(BRIDGE_EXTENSION), nullptr, FILE_DEVICE_UNKNOWN,
                       FILE_DEVICE_SECURE_OPEN, FALSE, &deviceObject);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    BRIDGE_EXTENSION* extension = BridgeExtension(deviceObject);
    RtlZeroMemory(extension, sizeof(*extension));
    extension->Signature = BRIDGE_SIGNATURE;
    SetBridgeState(extension, BridgeNotStarted);
    extension->Self = deviceObject;
    extension->PhysicalDevice = PhysicalDeviceObject;
    // No limit on how long or how many hold it: a stream holds it for as
    // long as it runs.
    IoInitializeRemoveLock(&extension->RemoveLock, BRIDGE_POOL_TAG, 0, 0);
    KeInitializeEvent(&extension->CameraLock, SynchronizationEvent, TRUE);
    extension->Configuration = BridgeConfiguration;
    CameraInitialize(&extension->Camera);
    BridgeInitializeServices(extension);

    extension->LowerDevice = IoAttachDeviceToDeviceStack(deviceObject, PhysicalDeviceObject);
    if (extension->LowerDevice == nullptr) {
        IoDeleteDevice(deviceObject);
        return STATUS_UNSUCCESSFUL;
    }
    deviceObject->Flags |= BridgeTransferFlags(PhysicalDeviceObject, extension->LowerDevice);

    if (!NT_SUCCESS(IoRegisterDeviceInterface(PhysicalDeviceObject, &BridgeInterfaceGuid, nullptr,
                                              &extension->InterfaceName))) {
        extension->InterfaceName.Buffer = nullptr;
    }

    deviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

/*
 * BridgeUnload
 *
 * Removal has released everything a camera held; nothing is driver-wide.
 */
CODE_SEG("PAGE")
VOID NTAPI BridgeUnload(PDRIVER_OBJECT DriverObject) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(DriverObject);
}

/*
 * BridgeCreateStatus
 *
 * The camera has no namespace: an open with a path after the device's
 * name ("...\\x") is an open of a file the camera does not have, and the
 * I/O manager checks such an open against the device's security only when
 * the stack's top carries FILE_DEVICE_SECURE_OPEN. Refusing it here keeps
 * every open that succeeds one the device's security allowed. Opening is
 * refused too once the hardware is gone.
 */
static NTSTATUS BridgeCreateStatus(BRIDGE_EXTENSION* Extension, PIO_STACK_LOCATION Stack) {
    if (Stack->FileObject != nullptr && Stack->FileObject->FileName.Length != 0) {
        return STATUS_ACCESS_DENIED;
    }
    return BridgeGone(GetBridgeState(Extension)) ? STATUS_DELETE_PENDING : STATUS_SUCCESS;
}

/*
 * BridgeDispatchCreateClose
 *
 * Cleanup and close always succeed, so that handles can be closed whatever
 * happened.
 */
NTSTATUS NTAPI BridgeDispatchCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    BRIDGE_EXTENSION* extension = BridgeExtension(DeviceObject);
    NTSTATUS status = IoAcquireRemoveLock(&extension->RemoveLock, Irp);
    if (!NT_SUCCESS(status)) {
        return BridgeComplete(Irp, status, 0);
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->MajorFunction == IRP_MJ_CREATE) {
        status = BridgeCreateStatus(extension, stack);
    }
    status = BridgeComplete(Irp, status, 0);
    IoReleaseRemoveLock(&extension->RemoveLock, Irp);
    return status;
}

/*
 * BridgeDispatchPnp
 *
 * The remove request keeps the remove lock it took here: removal releases
 * it and waits for every other holder, then deletes the device object, so
 * nothing may touch the extension after it returns.
 */
CODE_SEG("PAGE")
NTSTATUS NTAPI BridgeDispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PAGED_CODE();

    BRIDGE_EXTENSION* extension = BridgeExtension(DeviceObject);
    NTSTATUS status = IoAcquireRemoveLock(&extension->RemoveLock, Irp);
    if (!NT_SUCCESS(status)) {
        return BridgeComplete(Irp, status, 0);
    }
    if (IoGetCurrentIrpStackLocation(Irp)->MinorFunction == IRP_MN_REMOVE_DEVICE) {
        return BridgeRemoveDevice(extension, Irp);
    }
    status = BridgePnp(extension, Irp);
    IoReleaseRemoveLock(&extension->RemoveLock, Irp);
    return status;
}

/*
 * BridgeDispatchPower
 *
 * The camera keeps no power state of its own: it streams only when told
 * to, and the bus below powers the hardware. The power manager's sequence
 * goes on for the drivers below.
 */
NTSTATUS NTAPI BridgeDispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    BRIDGE_EXTENSION* extension = BridgeExtension(DeviceObject);
    PoStartNextPowerIrp(Irp);
    NTSTATUS status = IoAcquireRemoveLock(&extension->RemoveLock, Irp);
    if (!NT_SUCCESS(status)) {
        return BridgeComplete(Irp, status, 0);
    }
    IoCopyCurrentIrpStackLocationToNext(Irp);
    status = PoCallDriver(extension->LowerDevice, Irp);
    IoReleaseRemoveLock(&extension->RemoveLock, Irp);
    return status;
}

/*
 * BridgeDispatchDeviceControl
 *
 * The private controls wait for the camera and call into orvane and tessip,
 * so they run at PASSIVE_LEVEL only, as every request from an application
 * does; a kernel-mode sender at a raised IRQL is refused.
 */
NTSTATUS NTAPI BridgeDispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    BRIDGE_EXTENSION* extension = BridgeExtension(DeviceObject);
    NTSTATUS status = IoAcquireRemoveLock(&extension->RemoveLock, Irp);
    if (!NT_SUCCESS(status)) {
        return BridgeComplete(Irp, status, 0);
    }
    if (BridgeGone(GetBridgeState(extension))) {
        status = BridgeComplete(Irp, STATUS_DELETE_PENDING, 0);
    } else if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        status = BridgeComplete(Irp, STATUS_INVALID_DEVICE_STATE, 0);
    } else {
        status = BridgeControl(extension, Irp);
    }
    IoReleaseRemoveLock(&extension->RemoveLock, Irp);
    return status;
}

NTSTATUS NTAPI BridgeDispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    BRIDGE_EXTENSION* extension = BridgeExtension(DeviceObject);
    NTSTATUS status = IoAcquireRemoveLock(&extension->RemoveLock, Irp);
    if (!NT_SUCCESS(status)) {
        return BridgeComplete(Irp, status, 0);
    }
    status = BridgeForward(extension, Irp);
    IoReleaseRemoveLock(&extension->RemoveLock, Irp);
    return status;
}

NTSTATUS NTAPI BridgeDispatchUnsupported(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    return BridgeComplete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

NTSTATUS BridgeForward(BRIDGE_EXTENSION* Extension, PIRP Irp) {
    IoCopyCurrentIrpStackLocationToNext(Irp);
    return IoCallDriver(Extension->LowerDevice, Irp);
}

NTSTATUS BridgeComplete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

/*
 * BridgeLockCamera / BridgeUnlockCamera
 *
 * The lock is held on the caller's thread, an application's among them.
 * Inside a critical region that thread cannot be suspended while it holds
 * the lock (suspension arrives as a kernel APC), so no caller can keep
 * removal, which waits for every request inside, waiting for ever.
 */
void BridgeLockCamera(BRIDGE_EXTENSION* Extension) {
    KeEnterCriticalRegion();
    KeWaitForSingleObject(&Extension->CameraLock, Executive, KernelMode, FALSE, nullptr);
}

void BridgeUnlockCamera(BRIDGE_EXTENSION* Extension) {
    KeSetEvent(&Extension->CameraLock, IO_NO_INCREMENT, FALSE);
    KeLeaveCriticalRegion();
}

/*
 * BridgeLockSensor / BridgeUnlockSensor
 *
 * Around every call into orvane, with the camera lock already held (and so
 * inside its critical region).
 */
void BridgeLockSensor() {
    KeWaitForSingleObject(&BridgeSensorLock, Executive, KernelMode, FALSE, nullptr);
}

void BridgeUnlockSensor() {
    KeSetEvent(&BridgeSensorLock, IO_NO_INCREMENT, FALSE);
}
