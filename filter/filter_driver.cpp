// Driver entry, attaching to the camera's stack, and the pass-through: every
// request reaches the filter through FilterDispatch, which counts it while it
// is inside the filter so that removal can wait for it.
#include "filter.h"

/*
 * DriverEntry
 *
 * The filter serves no request of its own, so every major function goes to
 * the one dispatch routine, which sorts out the few it looks at. There is no
 * global state to set up: everything lives in the per-device extension.
 */
CODE_SEG("INIT")
NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    UNREFERENCED_PARAMETER(RegistryPath);

    for (ULONG major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
        DriverObject->MajorFunction[major] = FilterDispatch;
    }
    DriverObject->DriverExtension->AddDevice = FilterAddDevice;
    DriverObject->DriverUnload = FilterUnload;
    return STATUS_SUCCESS;
}

/*
 * FilterAddDevice
 *
 * One filter device object per camera, attached on top of whatever the stack
 * holds so far. The buffering and power-pageable flags are taken from the
 * device below: the I/O manager builds requests by the top device's flags,
 * and the power manager must not send a paged power request to a stack whose
 * lower driver cannot take one.
 *
 * The device has no name: a named filter device would be a second way into
 * the camera, and an open by that name with a path after it would be
 * checked against no one's security. It carries FILE_DEVICE_SECURE_OPEN
 * when the device below does, since the I/O manager looks for it on
 * whichever device of the stack ends up on top. Type and characteristics
 * are otherwise its own.
 *
 * If the attach finds no stack (the physical device is going away), the new
 * device object is deleted again and add-device fails: a filter device with
 * no lower device would pass every request into nothing.
 */
CODE_SEG("PAGE")
NTSTATUS NTAPI FilterAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
    PAGED_CODE();

    PDEVICE_OBJECT deviceObject = nullptr;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(FILTER_EXTENSION), nullptr,
                                     FILE_DEVICE_UNKNOWN, 0, FALSE, &deviceObject);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    FILTER_EXTENSION* extension = FilterExtension(deviceObject);
    RtlZeroMemory(extension, sizeof(*extension));
    extension->Signature = FILTER_SIGNATURE;
    SetFilterState(extension, FilterNotStarted);
    extension->Self = deviceObject;
    extension->PhysicalDevice = PhysicalDeviceObject;
    extension->OutstandingIo = 0;
    KeInitializeEvent(&extension->RemoveEvent, NotificationEvent, FALSE);

    extension->LowerDevice = IoAttachDeviceToDeviceStack(deviceObject, PhysicalDeviceObject);
    if (extension->LowerDevice == nullptr) {
        IoDeleteDevice(deviceObject);
        return STATUS_UNSUCCESSFUL;
    }

    deviceObject->Flags |= extension->LowerDevice->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO);
    deviceObject->Flags |= extension->LowerDevice->Flags & DO_POWER_PAGABLE;
    deviceObject->Characteristics |=
        extension->LowerDevice->Characteristics & FILE_DEVICE_SECURE_OPEN;
    deviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
    return status;
}

/*
 * FilterUnload
 *
 * Removal has already detached and deleted every device object and nothing
 * else was allocated, so there is nothing left to release.
 */
CODE_SEG("PAGE")
VOID NTAPI FilterUnload(PDRIVER_OBJECT DriverObject) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(DriverObject);
}

/*
 * FilterDispatch
 *
 * Counts every request while it is inside the filter, except the remove
 * request: that one drops the count below zero itself and deletes the device
 * object, so nothing may touch the extension after it returns. After surprise
 * removal only close (so that handles can still be closed), Plug and Play and
 * power requests go down: until its last handle closes the stack still gets
 * system set-power requests, which no driver may fail. After removal power
 * requests are refused too; everything else is refused in both states.
 *
 * The count covers the dispatch path only: a request the lower driver leaves
 * pending is no longer counted once IoCallDriver has returned. Power requests
 * hold a second count until their completion routine has run.
 */
NTSTATUS NTAPI FilterDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    FILTER_EXTENSION* extension = FilterExtension(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const UCHAR major = stack->MajorFunction;

    if (major == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_REMOVE_DEVICE) {
        return FilterDispatchPnp(extension, Irp);
    }

    IncrementOutstandingIo(extension);

    NTSTATUS status;
    const ULONG state = GetFilterState(extension);
    const bool refused =
        major != IRP_MJ_PNP && major != IRP_MJ_CLOSE &&
        (state == FilterRemoved || (state == FilterSurpriseRemoved && major != IRP_MJ_POWER));
    if (refused) {
        if (major == IRP_MJ_POWER) {
            // A power request completed without this leaves the power
            // manager waiting before it sends the device the next one.
            PoStartNextPowerIrp(Irp);
        }
        Irp->IoStatus.Status = STATUS_DELETE_PENDING;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        status = STATUS_DELETE_PENDING;
    } else if (major == IRP_MJ_POWER) {
        status = FilterDispatchPower(extension, Irp);
    } else if (major == IRP_MJ_PNP) {
        status = FilterDispatchPnp(extension, Irp);
    } else {
        status = ForwardIrp(extension, Irp);
    }

    DecrementOutstandingIo(extension);
    return status;
}

/*
 * IncrementOutstandingIo / DecrementOutstandingIo
 *
 * The count rests at 0 while the device runs and is never biased: removal
 * makes the one unmatched decrement, so the count reaches -1, and the event
 * fires, exactly when removal has begun and the last request has left.
 */
void IncrementOutstandingIo(FILTER_EXTENSION* Extension) {
    InterlockedIncrement(&Extension->OutstandingIo);
}

void DecrementOutstandingIo(FILTER_EXTENSION* Extension) {
    if (InterlockedDecrement(&Extension->OutstandingIo) < 0) {
        KeSetEvent(&Extension->RemoveEvent, IO_NO_INCREMENT, FALSE);
    }
}

/*
 * ForwardIrp
 *
 * The stack location is copied rather than skipped so that every request
 * passes the lower driver exactly as it reached the filter; the attach gave
 * the filter one stack location more than the device below.
 */
NTSTATUS ForwardIrp(FILTER_EXTENSION* Extension, PIRP Irp) {
    IoCopyCurrentIrpStackLocationToNext(Irp);
    return IoCallDriver(Extension->LowerDevice, Irp);
}

/*
 * ForwardIrpSynchronously
 *
 * Sends to the lower device with the caller's next stack location as it is,
 * counted while it is away so that removal cannot delete the device under it.
 */
CODE_SEG("PAGE")
NTSTATUS ForwardIrpSynchronously(FILTER_EXTENSION* Extension, PIRP Irp) {
    PAGED_CODE();

    IncrementOutstandingIo(Extension);
    NTSTATUS status = SendIrpSynchronously(Extension->LowerDevice, Irp);
    DecrementOutstandingIo(Extension);
    return status;
}
