// Completion: IofCompleteRequest's ascent through the stack locations and
// their completion routines, with the checks on it (completion twice, with
// STATUS_PENDING, with a cancel routine still set, by a driver that does
// not hold the IRP, past the top of an IRP a driver allocated, pending
// returned without IoMarkIrpPending or the reverse), and cancellation: the
// cancel spin lock and IoCancelIrp, which hands the IRP to its cancel
// routine.
#include "kernel_internal.h"

namespace host_kernel {
namespace detail {

namespace {

thread_local std::vector<PIRP> t_inCompletionRoutine;

bool InCompletionRoutineOf(PIRP irp) {
    for (PIRP current : t_inCompletionRoutine)
        if (current == irp) return true;
    return false;
}

KSPIN_LOCK g_cancelLock = 0;

// What completion keeps of the IRP's record from its start: the record may
// be reused (IoReuseIrp) while a completion routine runs, and the
// generation tells.
struct Completion {
    unsigned Generation = 0;
    IrpOrigin Origin = IrpOrigin::Driver;
    DriverRecord* Allocator = nullptr;
};

// The checks on a request to complete the IRP. False when it must be left
// alone (not an IRP, freed, completed twice, held by no driver); otherwise
// the IRP is Completing from here.
bool BeginCompletion(PIRP irp, Completion* completion) {
    std::lock_guard<std::mutex> guard(K().Lock);
    IrpRecord* record = FindIrp(irp);
    if (!record) {
        Fault("IofCompleteRequest of %p, which is not an IRP", static_cast<void*>(irp));
        return false;
    }
    if (record->State == IrpState::Freed) {
        Fault("IRP completed after it was freed: IofCompleteRequest of IRP %p",
              static_cast<void*>(irp));
        return false;
    }
    PIO_STACK_LOCATION current = irp->Tail.Overlay.CurrentStackLocation;
    if (record->State == IrpState::Completed ||
        (record->State == IrpState::Completing && !InCompletionRoutineOf(irp))) {
        Fault("IRP completed twice: IofCompleteRequest of IRP %p, which has already been completed",
              static_cast<void*>(irp));
        return false;
    }
    if (irp->CurrentLocation > irp->StackCount) {
        Fault(
            "IofCompleteRequest of IRP %p, which no driver holds (never passed to a driver, or "
            "already completed back to its allocator)",
            static_cast<void*>(irp));
        return false;
    }
    if (irp->IoStatus.Status == STATUS_PENDING)
        Fault("IRP completed with STATUS_PENDING: %s", Describe(irp, current).c_str());
    if (irp->CancelRoutine)
        Fault("IRP completed with a cancel routine still set: %s", Describe(irp, current).c_str());
    DriverRecord* running = CurrentDriver();
    DeviceRecord* holder = FindDevice(current->DeviceObject);
    if (running && holder && holder->Driver != running && !running->TestDouble &&
        !InCompletionRoutineOf(irp))
        Fault("IRP completed by a driver that does not hold it: %s completed %s, which %s holds",
              DriverName(running).c_str(), Describe(irp, current).c_str(),
              DriverName(holder->Driver).c_str());
    CheckCompletion(irp, record, holder);
    record->State = IrpState::Completing;
    completion->Generation = ++record->Generation;
    completion->Origin = record->Origin;
    completion->Allocator = record->Allocator;
    return true;
}

// One location up the stack.
void StepUp(PIRP irp) {
    irp->CurrentLocation++;
    irp->Tail.Overlay.CurrentStackLocation++;
}

// Whether a completion routine set with `control` runs for the IRP as it
// now is: on success, on error, on cancel.
bool InvokesFor(PIRP irp, UCHAR control) {
    NTSTATUS status = irp->IoStatus.Status;
    return (NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
           (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
           (irp->Cancel && (control & SL_INVOKE_ON_CANCEL));
}

// Completion has passed `location`: what it found there goes to the level's
// pending check, and the location is cleared. When no completion routine
// runs for it, the I/O manager carries a pending return up to the location
// above, as the routine would have with IoMarkIrpPending.
void PassLocation(PIRP irp, PIO_STACK_LOCATION location, bool invoke, bool top) {
    int level = irp->CurrentLocation - 1;
    std::lock_guard<std::mutex> guard(K().Lock);
    IrpRecord* record = FindIrp(irp);
    IrpRecord::Level& passed = record->Levels[level];
    passed.Passed = true;
    passed.Pending = irp->PendingReturned;
    if (passed.Returned) CheckPendingReturn(passed);
    CheckLevelLeft(irp, record, level, location->MajorFunction);
    MarkUnset(location);
    if (!invoke && !top && irp->PendingReturned)
        irp->Tail.Overlay.CurrentStackLocation->Control |= SL_PENDING_RETURNED;
}

// Runs a completion routine for the device of the location above (none
// above the top: the IRP's allocator's routine). False when completion
// stops here: the routine took the IRP back with
// STATUS_MORE_PROCESSING_REQUIRED, or the IRP was completed or reused
// while it ran and it did not.
bool RunCompletionRoutine(PIRP irp, PIO_COMPLETION_ROUTINE routine, PVOID context, bool top,
                          const Completion& completion) {
    PDEVICE_OBJECT device = top ? nullptr : irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
    DriverRecord* owner = completion.Allocator;
    if (device) {
        std::lock_guard<std::mutex> guard(K().Lock);
        if (DeviceRecord* record = FindDevice(device)) owner = record->Driver;
    }
    KIRQL entry = ThreadIrql();
    NTSTATUS result;
    {
        // While the routine runs, the IRP may go back to its driver: a routine
        // that signals a waiting thread and returns
        // STATUS_MORE_PROCESSING_REQUIRED lets that thread complete or reuse
        // the IRP at once, possibly before the routine has returned here.
        std::lock_guard<std::mutex> guard(K().Lock);
        FindIrp(irp)->State = IrpState::Active;
    }
    {
        DriverScope scope(owner);
        DispatchFrame frame;
        frame.Irp = irp;
        frame.Device = device;
        frame.Completion = true;
        FrameScope running(frame);
        t_inCompletionRoutine.push_back(irp);
        result = routine(device, irp, context);
        t_inCompletionRoutine.pop_back();
    }
    if (ThreadIrql() != entry) {
        Fault("IRQL check: completion routine of %s returned at IRQL %d, entered at %d",
              DriverName(owner).c_str(), ThreadIrql(), entry);
        ThreadIrql() = entry;
    }
    if (result == STATUS_MORE_PROCESSING_REQUIRED) return false;  // the IRP is its driver's again
    std::lock_guard<std::mutex> guard(K().Lock);
    IrpRecord* record = FindIrp(irp);
    if (record->Generation != completion.Generation || record->State != IrpState::Active) {
        Fault(
            "IRP completed twice: IRP %p was completed or reused while a completion routine "
            "of %s ran, and the routine did not return STATUS_MORE_PROCESSING_REQUIRED",
            static_cast<void*>(irp), DriverName(owner).c_str());
        return false;
    }
    record->State = IrpState::Completing;
    return true;
}

// Completion of the location the IRP is at: its pending state, then its
// completion routine if one runs. False when completion stops there.
bool CompleteLocation(PIRP irp, PIO_STACK_LOCATION location, bool top,
                      const Completion& completion) {
    irp->PendingReturned = (location->Control & SL_PENDING_RETURNED) != 0;
    PIO_COMPLETION_ROUTINE routine = location->CompletionRoutine;
    PVOID context = location->Context;
    bool invoke = routine && InvokesFor(irp, location->Control);
    PassLocation(irp, location, invoke, top);
    return !invoke || RunCompletionRoutine(irp, routine, context, top, completion);
}

// Past the top location: the IRP is complete, and whoever waits for it
// (the kernel, the I/O manager) is told. An IRP a driver allocated must
// never get here: its allocator's routine takes it back.
void FinishCompletion(PIRP irp, const Completion& completion) {
    std::lock_guard<std::mutex> guard(K().Lock);
    IrpRecord* record = FindIrp(irp);
    if (record->State == IrpState::Completing) record->State = IrpState::Completed;
    CheckFinished(irp, record);
    if (completion.Origin == IrpOrigin::Driver)
        Fault(
            "IRP from IoAllocateIrp completed past its top stack location: IRP %p allocated by %s "
            "needs a completion routine that returns STATUS_MORE_PROCESSING_REQUIRED",
            static_cast<void*>(irp), DriverName(completion.Allocator).c_str());
    K().IrpDone.notify_all();
}

}  // namespace

// Once a level's dispatch has returned and completion has passed its stack
// location, the two must agree: STATUS_PENDING exactly when the location
// was marked pending (by the driver, by its completion routine, or by the
// I/O manager carrying a lower driver's pending return upwards).
void CheckPendingReturn(const IrpRecord::Level& level) {
    if (level.Status == STATUS_PENDING && !level.Pending) {
        Fault(
            "pending without IoMarkIrpPending: %s returned STATUS_PENDING without marking the IRP "
            "pending",
            level.Who.c_str());
    } else if (level.Status != STATUS_PENDING && level.Pending) {
        Fault(
            "IoMarkIrpPending without STATUS_PENDING: %s marked the IRP pending (or a lower "
            "driver's pending return reached its stack location) but returned 0x%08x",
            level.Who.c_str(), static_cast<unsigned>(level.Status));
    }
}

}  // namespace detail
}  // namespace host_kernel

using namespace host_kernel;
using namespace host_kernel::detail;

extern "C" {

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    (void)PriorityBoost;
    CheckIrql(DISPATCH_LEVEL, "IofCompleteRequest");
    Completion completion;
    if (!BeginCompletion(Irp, &completion)) return;
    PIO_STACK_LOCATION location = Irp->Tail.Overlay.CurrentStackLocation;
    StepUp(Irp);
    for (;;) {
        bool top = Irp->CurrentLocation == Irp->StackCount + 1;
        if (!CompleteLocation(Irp, location, top, completion)) return;
        if (top) break;
        location++;
        StepUp(Irp);
    }
    StepUp(Irp);
    FinishCompletion(Irp, completion);
}

VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) {
    KeAcquireSpinLock(&g_cancelLock, Irql);
}

VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql) {
    KeReleaseSpinLock(&g_cancelLock, Irql);
}

BOOLEAN NTAPI IoCancelIrp(PIRP Irp) {
    CheckIrql(DISPATCH_LEVEL, "IoCancelIrp");
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    Irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (!routine) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    PDEVICE_OBJECT device = Irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
    DriverScope scope(device->DriverObject);
    routine(device, Irp);
    return TRUE;
}

}  // extern "C"
