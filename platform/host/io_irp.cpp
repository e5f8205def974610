// IRPs: allocation with stack locations, IofCallDriver's descent and
// IofCompleteRequest's ascent through the completion routines, with the
// I/O verification checks: completion twice or with STATUS_PENDING,
// pending returned without IoMarkIrpPending (or the reverse), a stack
// location passed down without being set up, a dispatch routine that
// changed the IRQL, returned inside a critical region or returned without
// completing or pending. The routines running on each thread and the
// requests inside each device's dispatch routine are kept here for the
// Plug and Play and power rules (pnp_rules.cpp), which these paths call.
#include "kernel_internal.h"

#include <cstdlib>

namespace host_kernel {
namespace detail {

namespace {

PIO_STACK_LOCATION Locations(PIRP irp) {
    return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
}

void MarkUnset(PIO_STACK_LOCATION location) {
    memset(location, 0, sizeof *location);
    location->MajorFunction = kUnsetMajor;
}

void InitializeIrp(PIRP irp, CCHAR stackSize) {
    USHORT size = IoSizeOfIrp(stackSize);
    memset(irp, 0, size);
    irp->Type = IO_TYPE_IRP;
    irp->Size = size;
    irp->StackCount = stackSize;
    irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
    irp->Tail.Overlay.CurrentStackLocation = Locations(irp) + stackSize;
    for (int i = 0; i < stackSize; i++) MarkUnset(Locations(irp) + i);
}

thread_local std::vector<PIRP> t_inCompletionRoutine;
thread_local std::vector<DispatchFrame> t_frames;
// Set by PoCallDriver for the IofCallDriver it makes, so that a power IRP
// passed with IoCallDriver is told apart.
thread_local bool t_viaPoCallDriver = false;

// Keeps a routine on the thread's frame list while it runs.
class FrameScope {
  public:
    explicit FrameScope(const DispatchFrame& frame) { t_frames.push_back(frame); }
    ~FrameScope() { t_frames.pop_back(); }
    FrameScope(const FrameScope&) = delete;
    FrameScope& operator=(const FrameScope&) = delete;
};

// The request leaves the device's dispatch routine (lock held); IoDeleteDevice
// may be waiting for it.
void LeaveDispatch(DeviceRecord* device, PIRP irp) {
    auto& active = device->InDispatch;
    for (auto it = active.rbegin(); it != active.rend(); ++it) {
        if (it->Irp == irp && it->Thread == std::this_thread::get_id()) {
            active.erase(std::next(it).base());
            break;
        }
    }
    K().DispatchLeft.notify_all();
}

bool InCompletionRoutineOf(PIRP irp) {
    for (PIRP current : t_inCompletionRoutine)
        if (current == irp) return true;
    return false;
}

std::string Describe(PIRP irp, PIO_STACK_LOCATION location) {
    return Format("IRP %p (%s)", static_cast<void*>(irp),
                  IrpName(location->MajorFunction, location->MinorFunction).c_str());
}

KSPIN_LOCK g_cancelLock = 0;

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

// A dispatch routine must give its thread back as it got it: at the same
// IRQL and in as many critical regions, since its caller (another driver,
// the I/O manager) goes on under those assumptions. Either is put back so
// that the one misuse does not cascade.
void CheckThreadReturn(const std::string& who, KIRQL irql, int regions) {
    if (ThreadIrql() != irql) {
        Fault("IRQL check: %s returned at IRQL %d, entered at %d", who.c_str(), ThreadIrql(), irql);
        ThreadIrql() = irql;
    }
    if (ThreadCriticalRegions() > regions)
        Fault(
            "critical region: %s returned inside a critical region (KeEnterCriticalRegion without "
            "KeLeaveCriticalRegion)",
            who.c_str());
    else if (ThreadCriticalRegions() < regions)
        Fault("critical region: %s left a critical region its caller had entered", who.c_str());
    ThreadCriticalRegions() = regions;
}

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

const std::vector<DispatchFrame>& DispatchFrames() {
    return t_frames;
}

IrpRecord* FindIrp(PIRP irp) {
    auto found = K().Irps.find(irp);
    return found == K().Irps.end() ? nullptr : found->second.get();
}

PIRP AllocateIrp(CCHAR stackSize, IrpOrigin origin, DriverRecord* allocator) {
    auto irp = static_cast<PIRP>(calloc(1, IoSizeOfIrp(stackSize)));
    InitializeIrp(irp, stackSize);
    auto record = std::make_unique<IrpRecord>();
    record->Irp = irp;
    record->Size = IoSizeOfIrp(stackSize);
    record->Origin = origin;
    record->Allocator = allocator;
    record->Levels.resize(stackSize + 2);
    std::lock_guard<std::mutex> guard(K().Lock);
    K().Irps[irp] = std::move(record);
    return irp;
}

void ReleaseIrp(PIRP irp) {
    std::lock_guard<std::mutex> guard(K().Lock);
    IrpRecord* record = FindIrp(irp);
    record->State = IrpState::Freed;
    Poison(irp, record->Size);
}

bool WaitForIrp(PIRP irp, bool pended, const std::function<std::string()>& request) {
    std::unique_lock<std::mutex> lock(K().Lock);
    IrpRecord* record = FindIrp(irp);
    std::chrono::seconds limit = pended ? kHangLimit : std::chrono::seconds(0);
    bool completed = K().IrpDone.wait_for(lock, limit, [record] {
        return record->State == IrpState::Completed || record->State == IrpState::Freed;
    });
    lock.unlock();
    if (!completed && pended)
        Fault("hang: %s within %lld s", request().c_str(),
              static_cast<long long>(kHangLimit.count()));
    return completed;
}

}  // namespace detail

size_t LiveIrps() {
    std::lock_guard<std::mutex> guard(detail::K().Lock);
    size_t count = 0;
    for (auto& [irp, record] : detail::K().Irps)
        if (record->State != detail::IrpState::Freed) count++;
    return count;
}

}  // namespace host_kernel

using namespace host_kernel;
using namespace host_kernel::detail;

// The observer of every request passed to a device (SetRequestObserver).
namespace {

std::mutex observerLock;
std::function<void(const std::string&)> requestObserver;

std::function<void(const std::string&)> RequestObserver() {
    std::lock_guard<std::mutex> guard(observerLock);
    return requestObserver;
}

}  // namespace

extern "C" {

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
    (void)ChargeQuota;
    CheckIrql(DISPATCH_LEVEL, "IoAllocateIrp");
    if (StackSize < 1) {
        Fault("IoAllocateIrp with StackSize %d", StackSize);
        return nullptr;
    }
    if (ShouldFail(Call::IoAllocateIrp)) return nullptr;
    return AllocateIrp(StackSize, IrpOrigin::Driver, CurrentDriver());
}

VOID NTAPI IoFreeIrp(PIRP Irp) {
    CheckIrql(DISPATCH_LEVEL, "IoFreeIrp");
    std::lock_guard<std::mutex> guard(K().Lock);
    IrpRecord* record = FindIrp(Irp);
    if (!record) {
        Fault("wrong free: IoFreeIrp of %p, which is not an IRP", static_cast<void*>(Irp));
        return;
    }
    if (record->State == IrpState::Freed) {
        Fault("IRP freed twice: IoFreeIrp of IRP %p", static_cast<void*>(Irp));
        return;
    }
    if (record->Origin != IrpOrigin::Driver) {
        Fault("wrong free: IoFreeIrp of IRP %p, which the %s built and will free itself",
              static_cast<void*>(Irp),
              record->Origin == IrpOrigin::User ? "I/O manager" : "kernel");
        return;
    }
    if (Irp->CurrentLocation <= Irp->StackCount) {
        Fault(
            "IoFreeIrp of IRP %p while a lower driver still holds it (not completed back to its "
            "allocator)",
            static_cast<void*>(Irp));
    }
    record->State = IrpState::Freed;
    Poison(Irp, record->Size);
}

VOID NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
    std::lock_guard<std::mutex> guard(K().Lock);
    IrpRecord* record = FindIrp(Irp);
    if (!record || record->State == IrpState::Freed) {
        Fault("IoReuseIrp of %p, which is not a live IRP", static_cast<void*>(Irp));
        return;
    }
    if (Irp->CurrentLocation <= Irp->StackCount)
        Fault("IoReuseIrp of IRP %p while a lower driver still holds it", static_cast<void*>(Irp));
    InitializeIrp(Irp, Irp->StackCount);
    Irp->IoStatus.Status = Iostatus;
    record->State = IrpState::Active;
    record->Levels.assign(record->Levels.size(), IrpRecord::Level{});
    record->Sent = false;
    record->HardwareGone = false;
    record->CompletedBy = nullptr;
    record->PassedDownBy.clear();
    record->PowerHolders.clear();
}

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    const bool viaPoCallDriver = t_viaPoCallDriver;
    t_viaPoCallDriver = false;
    CheckIrql(DISPATCH_LEVEL, "IofCallDriver");
    const std::function<void(const std::string&)> observer = RequestObserver();
    std::string observed;
    int level;
    PDRIVER_DISPATCH dispatch;
    PIO_STACK_LOCATION location;
    UCHAR major, minor;
    DispatchFrame frame;
    {
        std::lock_guard<std::mutex> guard(K().Lock);
        IrpRecord* record = FindIrp(Irp);
        if (!record) {
            Fault("IofCallDriver with %p, which is not an IRP", static_cast<void*>(Irp));
            return STATUS_INVALID_PARAMETER;
        }
        if (record->State == IrpState::Freed) {
            Fault("IofCallDriver with IRP %p after it was freed", static_cast<void*>(Irp));
            return STATUS_INVALID_PARAMETER;
        }
        if (record->State == IrpState::Completed) {
            Fault("IofCallDriver with IRP %p after it was completed", static_cast<void*>(Irp));
            return STATUS_INVALID_PARAMETER;
        }
        DeviceRecord* device = FindDevice(DeviceObject);
        if (!device) {
            Fault("IofCallDriver to %p, which is not a device object",
                  static_cast<void*>(DeviceObject));
            return STATUS_INVALID_PARAMETER;
        }
        if (Irp->CurrentLocation <= 1) {
            Fault(
                "no stack location left: IofCallDriver of IRP %p to %s (the IRP was allocated with "
                "too small a StackSize)",
                static_cast<void*>(Irp), DeviceName(DeviceObject).c_str());
            return STATUS_INVALID_PARAMETER;
        }
        location = Irp->Tail.Overlay.CurrentStackLocation - 1;
        if (location->MajorFunction == kUnsetMajor) {
            Fault(
                "stack location not set up: IRP %p passed to %s without "
                "IoCopyCurrentIrpStackLocationToNext, IoSkipCurrentIrpStackLocation or filling the "
                "next stack location",
                static_cast<void*>(Irp), DeviceName(DeviceObject).c_str());
            return STATUS_INVALID_PARAMETER;
        }
        if (location->MajorFunction > IRP_MJ_MAXIMUM_FUNCTION) {
            Fault("IofCallDriver of IRP %p with invalid major function 0x%02x",
                  static_cast<void*>(Irp), location->MajorFunction);
            return STATUS_INVALID_PARAMETER;
        }
        if (device->Deleted)
            Fault("IofCallDriver of %s to %s, which has been deleted",
                  Describe(Irp, location).c_str(), DeviceName(DeviceObject).c_str());
        Irp->CurrentLocation--;
        Irp->Tail.Overlay.CurrentStackLocation--;
        location->DeviceObject = DeviceObject;
        level = Irp->CurrentLocation;
        record->Levels[level] = IrpRecord::Level{};
        record->State = IrpState::Active;
        major = location->MajorFunction;
        minor = location->MinorFunction;
        CheckPassed(Irp, record, device, level, viaPoCallDriver);
        device->InDispatch.push_back({Irp, major, minor, std::this_thread::get_id()});
        frame.Irp = Irp;
        frame.Device = DeviceObject;
        frame.Location = location;
        frame.Major = major;
        frame.Minor = minor;
        frame.PowerPagable = (DeviceObject->Flags & DO_POWER_PAGABLE) != 0;
        dispatch = DeviceObject->DriverObject->MajorFunction[major];
        if (observer)
            observed = Format("IRP %p %s to %s", static_cast<void*>(Irp),
                              IrpName(major, minor).c_str(), DriverName(device->Driver).c_str());
    }
    if (observer) observer(observed);
    KIRQL entry = ThreadIrql();
    int regions = ThreadCriticalRegions();
    NTSTATUS status;
    {
        DriverScope scope(DeviceObject->DriverObject);
        FrameScope running(frame);
        status = dispatch(DeviceObject, Irp);
    }
    std::lock_guard<std::mutex> guard(K().Lock);
    DeviceRecord* device = FindDevice(DeviceObject);
    LeaveDispatch(device, Irp);
    std::string who = Format("%s dispatch of IRP %p (%s)", DriverName(device->Driver).c_str(),
                             static_cast<void*>(Irp), IrpName(major, minor).c_str());
    CheckThreadReturn(who, entry, regions);
    IrpRecord* record = FindIrp(Irp);
    CheckDispatchReturn(Irp, record, device, level, status, who);
    IrpRecord::Level& seen = record->Levels[level];
    seen.Returned = true;
    seen.Status = status;
    seen.Who = who;
    if (seen.Passed) {
        CheckPendingReturn(seen);
    } else if (status != STATUS_PENDING) {
        Fault(
            "not completed: %s returned 0x%08x without completing the IRP or returning "
            "STATUS_PENDING",
            who.c_str(), static_cast<unsigned>(status));
    }
    return status;
}

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

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PIO_STACK_LOCATION next = Irp->Tail.Overlay.CurrentStackLocation - 1;
    if (Irp->CurrentLocation > 1 && next->MajorFunction != IRP_MJ_POWER &&
        next->MajorFunction != kUnsetMajor)
        Fault("PoCallDriver with %s, which is not a power IRP", Describe(Irp, next).c_str());
    t_viaPoCallDriver = true;
    return IofCallDriver(DeviceObject, Irp);
}

VOID NTAPI PoStartNextPowerIrp(PIRP Irp) {
    CheckIrql(DISPATCH_LEVEL, "PoStartNextPowerIrp");
    std::lock_guard<std::mutex> guard(K().Lock);
    IrpRecord* record = FindIrp(Irp);
    if (!record || record->State == IrpState::Freed) {
        Fault("PoStartNextPowerIrp of %p, which is not a live IRP", static_cast<void*>(Irp));
        return;
    }
    PIO_STACK_LOCATION current = Irp->Tail.Overlay.CurrentStackLocation;
    if (Irp->CurrentLocation <= Irp->StackCount && current->MajorFunction != IRP_MJ_POWER) {
        Fault("PoStartNextPowerIrp with %s, which is not a power IRP",
              Describe(Irp, current).c_str());
        return;
    }
    NotePowerIrpStarted(Irp, record);
}

POWER_STATE NTAPI PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type,
                                  POWER_STATE State) {
    CheckIrql(DISPATCH_LEVEL, "PoSetPowerState");
    std::lock_guard<std::mutex> guard(K().Lock);
    POWER_STATE old{};
    DeviceRecord* device = FindDevice(DeviceObject);
    if (!device) {
        Fault("PoSetPowerState of %p, which is not a device object",
              static_cast<void*>(DeviceObject));
        return old;
    }
    if (Type == DevicePowerState) {
        old = device->DevicePower;
        device->DevicePower = State;
    }
    return old;
}

}  // extern "C"

namespace host_kernel {

void SetRequestObserver(std::function<void(const std::string&)> observer) {
    std::lock_guard<std::mutex> guard(observerLock);
    requestObserver = std::move(observer);
}

}  // namespace host_kernel
