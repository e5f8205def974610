// Power: every power request goes down with a completion routine that
// tracks the device's return to D0. Resident, because power requests to a
// stack that is not power-pageable arrive at DISPATCH_LEVEL.
#include "filter.h"

static bool IsDeviceSetPower(PIO_STACK_LOCATION Stack) {
    return Stack->MinorFunction == IRP_MN_SET_POWER &&
           Stack->Parameters.Power.Type == DevicePowerState;
}

/*
 * FilterDispatchPower
 *
 * A started device that is told to leave D0 counts as powered down from the
 * moment the request passes the filter, whether or not the lower drivers
 * manage it: a stop that arrives meanwhile must be refused. Only a device
 * that is still started when the state word changes moves, so a surprise
 * removal that lands meanwhile stands. The request is counted until its
 * completion routine has run, so removal cannot delete the extension that
 * the completion routine still uses.
 *
 * Surprise-removed devices come here too: the power manager goes on sending
 * them system set-power requests until their last handle closes, and no
 * driver may fail a set-power request.
 */
NTSTATUS FilterDispatchPower(FILTER_EXTENSION* Extension, PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (IsDeviceSetPower(stack)) {
        const DEVICE_POWER_STATE target = stack->Parameters.Power.State.DeviceState;
        if (target >= PowerDeviceD1 && target <= PowerDeviceD3) {
            MoveFilterState(Extension, FilterStarted, FilterPoweredDown);
        }
    }

    IncrementOutstandingIo(Extension);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, PowerCompletion, Extension, TRUE, TRUE, TRUE);
    return PoCallDriver(Extension->LowerDevice, Irp);
}

/*
 * PowerCompletion
 *
 * Back in D0 only once the lower drivers have succeeded in getting there,
 * and only from the powered-down state: a surprise removal or removal that
 * arrived while the request was below is not undone. The pending flag is
 * carried up because completion goes on past this routine; the power manager
 * may send the next power request once this one is through.
 */
NTSTATUS NTAPI PowerCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    FILTER_EXTENSION* extension = static_cast<FILTER_EXTENSION*>(Context);

    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }

    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (NT_SUCCESS(Irp->IoStatus.Status) && IsDeviceSetPower(stack) &&
        stack->Parameters.Power.State.DeviceState == PowerDeviceD0) {
        MoveFilterState(extension, FilterPoweredDown, FilterStarted);
    }

    PoStartNextPowerIrp(Irp);
    DecrementOutstandingIo(extension);
    return STATUS_SUCCESS;
}
