// See irp_sync.h.
#include "irp_sync.h"

/*
 * SendIrpSynchronously
 *
 * The event lives on this thread's stack, which is why the completion
 * routine must stop completion: the request, and the event it points at,
 * must not be touched by anyone once this returns.
 */
CODE_SEG("PAGE")
NTSTATUS SendIrpSynchronously(PDEVICE_OBJECT TargetDevice, PIRP Irp,
                              PIO_COMPLETION_ROUTINE Completion) {
    PAGED_CODE();

    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoSetCompletionRoutine(Irp, Completion, &event, TRUE, TRUE, TRUE);
    if (IoCallDriver(TargetDevice, Irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    }
    return Irp->IoStatus.Status;
}

/*
 * SyncCompletion
 *
 * The request is not marked pending even when a lower driver pended it:
 * its sender finishes with it itself and never returns STATUS_PENDING for
 * it, and a pending mark that the return value contradicts is a completion
 * the I/O manager counts twice.
 */
NTSTATUS NTAPI SyncCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}
