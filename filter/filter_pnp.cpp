// Plug and Play: the device state, the start request with its capabilities
// query, the stop refused at its query while powered down, the interface
// query answered with the sensor-control record, and removal once the
// requests in flight have drained.
//
// Plug and Play requests arrive one at a time at PASSIVE_LEVEL, so all of
// this is pageable and may wait.
#include "filter.h"
#include "sensor_control.h"

/*
 * FilterDispatchPnp
 *
 * Every request but a refused stop goes down to the lower device; the
 * handlers below only look at the request on its way, and the start request
 * comes back here to be completed by the filter.
 *
 * Nothing of the filter's stands in the way of removing or stopping the
 * device, so both queries are answered yes on the way down. After a
 * surprise removal the hardware is gone: from then on FilterDispatch
 * refuses everything but close, Plug and Play and power requests.
 */
CODE_SEG("PAGE")
NTSTATUS FilterDispatchPnp(FILTER_EXTENSION* Extension, PIRP Irp) {
    PAGED_CODE();

    switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
        return FilterStartDevice(Extension, Irp);
    case IRP_MN_REMOVE_DEVICE:
        return FilterRemoveDevice(Extension, Irp);
    case IRP_MN_STOP_DEVICE:
        return FilterStopDevice(Extension, Irp);
    case IRP_MN_QUERY_STOP_DEVICE:
        return FilterQueryStopDevice(Extension, Irp);
    case IRP_MN_QUERY_INTERFACE:
        return FilterQueryInterface(Extension, Irp);
    case IRP_MN_SURPRISE_REMOVAL:
        SetFilterState(Extension, FilterSurpriseRemoved);
        [[fallthrough]];
    case IRP_MN_QUERY_REMOVE_DEVICE:
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return ForwardIrp(Extension, Irp);
    default:
        // Cancel-remove, cancel-stop, capabilities, relations, resources,
        // identifiers: none of the filter's business.
        return ForwardIrp(Extension, Irp);
    }
}

/*
 * FilterStartDevice
 *
 * The lower drivers start first; only a started stack can answer the
 * capabilities query, and a stack that cannot answer it is not started as
 * far as the filter is concerned. The filter owns the request again when
 * the synchronous forward returns and completes it itself.
 */
CODE_SEG("PAGE")
NTSTATUS FilterStartDevice(FILTER_EXTENSION* Extension, PIRP Irp) {
    PAGED_CODE();

    SetFilterState(Extension, FilterStartPending);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    NTSTATUS status = ForwardIrpSynchronously(Extension, Irp);
    if (NT_SUCCESS(status)) {
        status = QueryLowerCapabilities(Extension);
        SetFilterState(Extension, NT_SUCCESS(status) ? FilterStarted : FilterStartFailed);
    } else {
        SetFilterState(Extension, FilterStartFailed);
    }

    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

/*
 * FilterRemoveDevice
 *
 * Reaches here uncounted (FilterDispatch skips the count for it). The request
 * goes down first; then the one unmatched decrement lets the count fall below
 * zero, at once if the device is idle or when the last request still inside
 * the filter leaves. Only then is it safe to detach and delete the device
 * object, and the extension with it. A second remove request finds the
 * device already on its way out and is only passed down.
 */
CODE_SEG("PAGE")
NTSTATUS FilterRemoveDevice(FILTER_EXTENSION* Extension, PIRP Irp) {
    PAGED_CODE();

    if (GetFilterState(Extension) == FilterRemoved) {
        return ForwardIrp(Extension, Irp);
    }
    SetFilterState(Extension, FilterRemoved);

    IoCopyCurrentIrpStackLocationToNext(Irp);
    NTSTATUS status = IoCallDriver(Extension->LowerDevice, Irp);

    DecrementOutstandingIo(Extension);
    KeWaitForSingleObject(&Extension->RemoveEvent, Executive, KernelMode, FALSE, nullptr);

    PDEVICE_OBJECT self = Extension->Self;
    IoDetachDevice(Extension->LowerDevice);
    IoDeleteDevice(self);
    return status;
}

/*
 * FilterQueryStopDevice
 *
 * A stack that has been powered down cannot give up its hardware, so it says
 * no when asked whether it may stop; the lower drivers are not asked. The
 * query is the one place to refuse: the stop itself must never fail.
 */
CODE_SEG("PAGE")
NTSTATUS FilterQueryStopDevice(FILTER_EXTENSION* Extension, PIRP Irp) {
    PAGED_CODE();

    if (GetFilterState(Extension) == FilterPoweredDown) {
        Irp->IoStatus.Status = STATUS_DEVICE_POWER_FAILURE;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_DEVICE_POWER_FAILURE;
    }
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return ForwardIrp(Extension, Irp);
}

/*
 * FilterStopDevice
 *
 * Every stop goes down and none is failed: the Plug and Play manager sends
 * one only after the stack agreed to the query. Only a started device
 * counts as stopped afterwards.
 */
CODE_SEG("PAGE")
NTSTATUS FilterStopDevice(FILTER_EXTENSION* Extension, PIRP Irp) {
    PAGED_CODE();

    MoveFilterState(Extension, FilterStarted, FilterStopped);
    return ForwardIrp(Extension, Irp);
}

/*
 * FilterQueryInterface
 *
 * This is how the bridge driver finds the sensor-control entry points. The
 * record belongs to the bridge driver and carries no reference count. The
 * request goes on down either way, so another driver below can still answer
 * a query for an interface that is not the filter's.
 */
CODE_SEG("PAGE")
NTSTATUS FilterQueryInterface(FILTER_EXTENSION* Extension, PIRP Irp) {
    PAGED_CODE();

    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (FillSensorControlInterface(stack->Parameters.QueryInterface.InterfaceType,
                                   stack->Parameters.QueryInterface.Interface)) {
        Irp->IoStatus.Status = STATUS_SUCCESS;
    }
    return ForwardIrp(Extension, Irp);
}

/*
 * QueryLowerCapabilities
 *
 * Asks the started lower stack for its capabilities with an IRP of the
 * filter's own, sized for the stack below. The status is preset to
 * STATUS_NOT_SUPPORTED as every Plug and Play request must be, so a stack
 * that ignores the query fails the start.
 */
CODE_SEG("PAGE")
NTSTATUS QueryLowerCapabilities(FILTER_EXTENSION* Extension) {
    PAGED_CODE();

    PIRP irp = IoAllocateIrp(Extension->LowerDevice->StackSize, FALSE);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    DEVICE_CAPABILITIES* capabilities = &Extension->Capabilities;
    RtlZeroMemory(capabilities, sizeof(*capabilities));
    capabilities->Size = sizeof(DEVICE_CAPABILITIES);
    capabilities->Version = 1;
    capabilities->Address = 0xFFFFFFFF;
    capabilities->UINumber = 0xFFFFFFFF;

    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
    next->Parameters.DeviceCapabilities.Capabilities = capabilities;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;

    NTSTATUS status = ForwardIrpSynchronously(Extension, irp);
    IoFreeIrp(irp);
    return status;
}
