// The Plug and Play and power rules, checked on the calls the kernel sees:
// what Driver Verifier's I/O verification and DDI compliance checking and
// Static Driver Verifier's WDM rules hold a filter or function driver to.
// Each device's role in its stack (bus, lower filter, function driver,
// upper filter) is known from BuildDeviceStack; the requests inside each
// dispatch routine and the routines running on each thread come from
// IofCallDriver. Every finding is a fault that names the rule's subject.
#include "kernel_internal.h"

#include <cstdlib>

namespace host_kernel {
namespace detail {

const char* RoleName(StackRole role) {
    switch (role) {
    case StackRole::None:
        return "device outside a stack";
    case StackRole::Bus:
        return "bus driver";
    case StackRole::LowerFilter:
        return "lower filter";
    case StackRole::Function:
        return "function driver";
    case StackRole::UpperFilter:
        return "upper filter";
    }
    return "?";
}

bool PendingBusFromEnvironment() {
    const char* value = getenv("HOST_KERNEL_PENDING_BUS");
    return value && value[0] == '1' && value[1] == 0;
}

namespace {

bool IsFilter(StackRole role) {
    return role == StackRole::LowerFilter || role == StackRole::UpperFilter;
}

bool DriverAbove(StackRole role) {
    return IsFilter(role) || role == StackRole::Function;
}

// The physical device at the bottom of `device`'s stack, or nullptr.
DeviceRecord* PhysicalBelow(PDEVICE_OBJECT device) {
    DeviceRecord* record = FindDevice(device);
    while (record && !record->Physical && record->AttachedTo)
        record = FindDevice(record->AttachedTo);
    return record && record->Physical ? record : nullptr;
}

std::string Holder(const DeviceRecord* device) {
    return Format("%s (%s)", DriverName(device->Driver).c_str(), RoleName(device->Role));
}

// --------------------------------------------- Plug and Play state changes --

// The state changes the Plug and Play manager sends that no filter or
// function driver may fail, and that each must pass down to the bus
// (PnpRemove; PnpIrpCompletion for the function driver). The start is not
// among them: a function driver completes it itself once the drivers below
// have started, and may refuse it before that.
bool MustGoDown(UCHAR minor) {
    switch (minor) {
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        return true;
    default:
        return false;
    }
}

// Whether a request moves the stack's Plug and Play state, so that a stop
// agreed to before it no longer stands. Queries of resources and the like
// may come between a query-stop and its stop.
bool ChangesState(UCHAR minor) {
    switch (minor) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        return true;
    default:
        return false;
    }
}

/*
 * A state change a filter or the function driver completed: it must not
 * fail, and it must have gone down first (completing it after it came back,
 * as the function driver does with the start, is fine).
 */
void CheckPnpCompletion(PIRP irp, IrpRecord* record, DeviceRecord* holder,
                        PIO_STACK_LOCATION location) {
    if (!DriverAbove(holder->Role) || !MustGoDown(location->MinorFunction)) return;
    std::string request = IrpName(location->MajorFunction, location->MinorFunction);
    if (!NT_SUCCESS(irp->IoStatus.Status))
        Fault(
            "PnP request failed: %s completed IRP %p (%s) with 0x%08x; IRP_MN_STOP_DEVICE, "
            "IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE and the two cancels must not fail",
            Holder(holder).c_str(), static_cast<void*>(irp), request.c_str(),
            static_cast<unsigned>(irp->IoStatus.Status));
    if (!record->PassedDownBy.count(holder->Object))
        Fault(
            "PnP request not passed down: %s completed IRP %p (%s) without passing it to the "
            "driver below; the bus and every driver between must see it",
            Holder(holder).c_str(), static_cast<void*>(irp), request.c_str());
}

// ------------------------------------------------------------------ power --

// The majors that may be passed on at DISPATCH_LEVEL (ForwardedAtBadIrql);
// everything else goes down at PASSIVE_LEVEL or APC_LEVEL only.
bool MayPassAtDispatch(UCHAR major) {
    switch (major) {
    case IRP_MJ_POWER:
    case IRP_MJ_READ:
    case IRP_MJ_WRITE:
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        return true;
    default:
        return false;
    }
}

/*
 * A set-power request a filter or function driver completed: it must not
 * fail, whichever way the device is going (PowerDownFail, PowerUpFail). A
 * query may be refused, and the bus may report its hardware's failure.
 */
void CheckPowerCompletion(PIRP irp, DeviceRecord* holder, PIO_STACK_LOCATION location) {
    if (!DriverAbove(holder->Role) || location->MinorFunction != IRP_MN_SET_POWER ||
        NT_SUCCESS(irp->IoStatus.Status))
        return;
    Fault(
        "power request failed: %s completed IRP %p (%s, %s) with 0x%08x; a filter or function "
        "driver must not fail a set-power request (PowerDownFail, PowerUpFail)",
        Holder(holder).c_str(), static_cast<void*>(irp),
        IrpName(location->MajorFunction, location->MinorFunction).c_str(),
        location->Parameters.Power.Type == SystemPowerState ? "system" : "device",
        static_cast<unsigned>(irp->IoStatus.Status));
}

void ReportPowerNotStarted(PIRP irp, const IrpRecord* record, IrpRecord::PowerHolder& holder,
                           const char* how) {
    holder.Reported = true;
    Fault(
        "PoStartNextPowerIrp missing: %s let IRP %p (%s) %s without calling "
        "PoStartNextPowerIrp; every driver that gets a power IRP must call it while the IRP is "
        "at its level",
        DriverName(holder.Driver).c_str(), static_cast<void*>(irp),
        IrpName(IRP_MJ_POWER, record->Minor).c_str(), how);
}

// The innermost dispatch routine on this thread (not a completion routine
// it runs), or nullptr.
const DispatchFrame* InnermostDispatch() {
    const std::vector<DispatchFrame>& frames = DispatchFrames();
    if (frames.empty() || frames.back().Completion) return nullptr;
    return &frames.back();
}

// ---------------------------------------------------- surprise removal --

/*
 * What each request sent to a stack whose hardware is gone (after
 * IRP_MN_SURPRISE_REMOVAL completed, before IRP_MN_REMOVE_DEVICE) may do.
 * Nothing new may succeed or reach the bus; what lets an application close
 * its handles must go through and succeed (a cleanup is completed with
 * STATUS_SUCCESS once the file's queued requests are cancelled). Requests
 * not listed are not checked.
 */
struct AfterSurpriseRemoval {
    UCHAR Major;
    bool MaySucceed;
    bool MayReachBus;
    bool MustSucceed;
};
const AfterSurpriseRemoval kAfterSurpriseRemoval[] = {
    {IRP_MJ_CREATE, false, false, false}, {IRP_MJ_READ, false, false, false},
    {IRP_MJ_WRITE, false, false, false},  {IRP_MJ_DEVICE_CONTROL, false, false, false},
    {IRP_MJ_CLEANUP, true, true, true},   {IRP_MJ_CLOSE, true, true, true},
};

/*
 * The drivers' documented departures from that table, the only place they
 * are written down. Each names the driver (its LoadDriver name), the request
 * and why the kernel lets it pass.
 */
struct SurpriseRemovalException {
    const char* Driver;
    UCHAR Major;
    const char* Why;
};
const SurpriseRemovalException kSurpriseRemovalExceptions[] = {
    // orvane refuses everything but close, Plug and Play and power once
    // surprise-removed, cleanup included (STATUS_DELETE_PENDING), as its
    // dispatch routine documents; the I/O manager ignores a cleanup's
    // status, and in the camera's stack the bridge driver above completes
    // cleanup before it reaches orvane.
    {"orvane", IRP_MJ_CLEANUP, "refuses cleanup once surprise-removed"},
};

const AfterSurpriseRemoval* SurpriseRule(UCHAR major) {
    for (const AfterSurpriseRemoval& rule : kAfterSurpriseRemoval)
        if (rule.Major == major) return &rule;
    return nullptr;
}

bool Excepted(const DriverRecord* driver, UCHAR major) {
    for (const SurpriseRemovalException& exception : kSurpriseRemovalExceptions)
        if (driver && driver->Name == exception.Driver && exception.Major == major) return true;
    return false;
}

// ------------------------------------------------- add-device inheritance --

constexpr ULONG kBuffering = DO_BUFFERED_IO | DO_DIRECT_IO;
// What a filter must keep of the characteristics below: how the I/O
// manager treats opens and media.
constexpr ULONG kFilterCharacteristics = FILE_REMOVABLE_MEDIA | FILE_READ_ONLY_DEVICE |
                                         FILE_FLOPPY_DISKETTE | FILE_WRITE_ONCE_MEDIA |
                                         FILE_DEVICE_SECURE_OPEN;

/*
 * Filters whose documented device type and characteristics are their own.
 * orvane creates its device as FILE_DEVICE_UNKNOWN with no characteristics
 * and takes only FILE_DEVICE_SECURE_OPEN from below (see its add-device):
 * it is a lower filter under the camera's function driver, which decides
 * how the stack looks to the I/O manager, and FILE_DEVICE_SECURE_OPEN is the
 * one bit that matters if it ever ends up on top.
 */
struct OwnTypeException {
    const char* Driver;
    ULONG KeptCharacteristics;  // still taken from below
};
const OwnTypeException kOwnTypeExceptions[] = {
    {"orvane", FILE_DEVICE_SECURE_OPEN},
};

const OwnTypeException* OwnType(const DriverRecord* driver) {
    for (const OwnTypeException& exception : kOwnTypeExceptions)
        if (driver && driver->Name == exception.Driver) return &exception;
    return nullptr;
}

/*
 * Buffering: a filter takes the device below's, since the I/O manager
 * builds requests by the top device's flags and every filter must see them
 * as built; the function driver chooses its own (it serves the reads), and
 * both at once is never right.
 */
void CheckBuffering(const DeviceRecord* device, const DeviceRecord* lower) {
    ULONG mine = device->Object->Flags & kBuffering;
    ULONG below = lower->Object->Flags & kBuffering;
    if (mine == kBuffering)
        Fault("add-device flags: %s has both DO_BUFFERED_IO and DO_DIRECT_IO",
              DeviceName(device->Object).c_str());
    else if (IsFilter(device->Role) && mine != below)
        Fault(
            "add-device flags: %s (%s) has buffering flags 0x%x, %s below it 0x%x; a filter takes "
            "DO_BUFFERED_IO and DO_DIRECT_IO from the device it attaches to",
            DeviceName(device->Object).c_str(), RoleName(device->Role), unsigned(mine),
            DeviceName(lower->Object).c_str(), unsigned(below));
}

/*
 * Power flags, as Windows before Vista requires them and as these drivers
 * are written for it (they call PoStartNextPowerIrp, which matters only
 * there): every device of a stack has the bus's DO_POWER_PAGABLE, and over
 * a DO_POWER_INRUSH device none may be pageable (the two exclude each
 * other). A pageable device over a non-pageable one would take power
 * requests at PASSIVE_LEVEL that the one below must be able to take at
 * DISPATCH_LEVEL.
 */
void CheckPowerFlags(const DeviceRecord* device, const DeviceRecord* lower) {
    ULONG mine = device->Object->Flags;
    ULONG below = lower->Object->Flags;
    if ((below & DO_POWER_INRUSH) && (mine & DO_POWER_PAGABLE))
        Fault(
            "add-device flags: %s (%s) sets DO_POWER_PAGABLE over %s, which has DO_POWER_INRUSH; "
            "a device over an inrush device must not be pageable",
            DeviceName(device->Object).c_str(), RoleName(device->Role),
            DeviceName(lower->Object).c_str());
    else if (!(below & DO_POWER_INRUSH) && (mine & DO_POWER_PAGABLE) != (below & DO_POWER_PAGABLE))
        Fault(
            "add-device flags: %s (%s) %s DO_POWER_PAGABLE, %s below it %s; every device of a "
            "stack takes DO_POWER_PAGABLE from the device it attaches to",
            DeviceName(device->Object).c_str(), RoleName(device->Role),
            (mine & DO_POWER_PAGABLE) ? "has" : "lacks", DeviceName(lower->Object).c_str(),
            (below & DO_POWER_PAGABLE) ? "has it" : "does not");
}

// A filter looks like the device below to the I/O manager: its type and the
// characteristics that govern opens (but see kOwnTypeExceptions).
void CheckFilterLooks(const DeviceRecord* device, const DeviceRecord* lower) {
    if (!IsFilter(device->Role)) return;
    const OwnTypeException* own = OwnType(device->Driver);
    PDEVICE_OBJECT mine = device->Object;
    PDEVICE_OBJECT below = lower->Object;
    if (!own && mine->DeviceType != below->DeviceType)
        Fault(
            "add-device type: %s (%s) has device type 0x%x, %s below it 0x%x; a filter takes the "
            "device type of the device it attaches to",
            DeviceName(mine).c_str(), RoleName(device->Role), unsigned(mine->DeviceType),
            DeviceName(below).c_str(), unsigned(below->DeviceType));
    ULONG kept = own ? own->KeptCharacteristics : kFilterCharacteristics;
    ULONG dropped = below->Characteristics & kept & ~mine->Characteristics;
    if (dropped)
        Fault(
            "add-device characteristics: %s (%s) drops characteristics 0x%x of %s below it; a "
            "filter keeps them (FILE_DEVICE_SECURE_OPEN above all)",
            DeviceName(mine).c_str(), RoleName(device->Role), unsigned(dropped),
            DeviceName(below).c_str());
}

// ------------------------------------------------------- busy devices --

// How long IoDeleteDevice lets a request that is on its way out of the
// dispatch routine (its driver has let removal go on) finish returning.
constexpr auto kLeaveGrace = std::chrono::milliseconds(500);

// The requests inside the device's dispatch routine that forbid deleting
// it: every one but a removal (the removal's own dispatch deletes it).
std::vector<ActiveDispatch> Blocking(const DeviceRecord* device) {
    std::vector<ActiveDispatch> blocking;
    for (const ActiveDispatch& active : device->InDispatch)
        if (active.Major != IRP_MJ_PNP || active.Minor != IRP_MN_REMOVE_DEVICE)
            blocking.push_back(active);
    return blocking;
}

bool OnThisThread(const std::vector<ActiveDispatch>& requests) {
    for (const ActiveDispatch& active : requests)
        if (active.Thread == std::this_thread::get_id()) return true;
    return false;
}

}  // namespace

// ------------------------------------------------------- the hooks --

/*
 * An IRP as it is passed to a device: power IRPs go by PoCallDriver, only
 * the majors that may go at DISPATCH_LEVEL go there, a Plug and Play IRP a
 * driver built starts as STATUS_NOT_SUPPORTED, and nothing new reaches the
 * bus of a stack whose hardware is gone. Who passed it down is recorded for
 * the completion checks, and each driver a power IRP reaches owes a
 * PoStartNextPowerIrp.
 */
void CheckPassed(PIRP irp, IrpRecord* record, DeviceRecord* target, int level,
                 bool viaPoCallDriver) {
    PIO_STACK_LOCATION location = irp->Tail.Overlay.CurrentStackLocation;
    const UCHAR major = location->MajorFunction;
    DriverRecord* caller = CurrentDriver();
    std::string request = Format("IRP %p (%s)", static_cast<void*>(irp),
                                 IrpName(major, location->MinorFunction).c_str());
    if (major == IRP_MJ_POWER && !viaPoCallDriver && caller)
        Fault(
            "power IRP passed with IoCallDriver: %s passed %s to %s; power IRPs go by PoCallDriver",
            DriverName(caller).c_str(), request.c_str(), DeviceName(target->Object).c_str());
    if (caller && ThreadIrql() >= DISPATCH_LEVEL && !MayPassAtDispatch(major))
        Fault(
            "IRQL check: %s passed %s to %s at IRQL %d; only power, read, write and device "
            "control requests may be passed on at DISPATCH_LEVEL (ForwardedAtBadIrql)",
            DriverName(caller).c_str(), request.c_str(), DeviceName(target->Object).c_str(),
            ThreadIrql());
    if (!record->Sent) {
        record->Sent = true;
        record->Major = major;
        record->Minor = location->MinorFunction;
        DeviceRecord* physical = PhysicalBelow(target->Object);
        record->HardwareGone = physical && physical->HardwareGone;
        if (record->Origin == IrpOrigin::Driver && major == IRP_MJ_PNP &&
            irp->IoStatus.Status != STATUS_NOT_SUPPORTED)
            Fault(
                "PnP IRP status: %s sent %s, which it built, with IoStatus.Status 0x%08x; a Plug "
                "and Play request starts as STATUS_NOT_SUPPORTED",
                DriverName(record->Allocator).c_str(), request.c_str(),
                static_cast<unsigned>(irp->IoStatus.Status));
    }
    const AfterSurpriseRemoval* rule = SurpriseRule(major);
    if (target->Physical && record->HardwareGone && rule && !rule->MayReachBus)
        Fault(
            "after surprise removal: %s reached the physical device object %s of a stack whose "
            "hardware is gone; the drivers above must refuse it",
            request.c_str(), DeviceName(target->Object).c_str());

    // Who passes it: the dispatch routine handling it on this thread (which
    // may have skipped its own location), else the driver at the location it
    // comes from (a completion routine or a worker thread passing it on).
    PDEVICE_OBJECT from = nullptr;
    bool skipped = false;
    const std::vector<DispatchFrame>& frames = DispatchFrames();
    for (auto frame = frames.rbegin(); frame != frames.rend() && !from; ++frame) {
        if (frame->Irp == irp && !frame->Completion) {
            from = frame->Device;
            skipped = frame->Location == location;
        }
    }
    PIO_STACK_LOCATION above = location + 1;
    if (!from && irp->CurrentLocation + 1 <= irp->StackCount && above->DeviceObject) {
        DeviceRecord* holder = FindDevice(above->DeviceObject);
        if (holder && holder->Driver == caller) from = above->DeviceObject;
    }
    if (from) {
        record->PassedDownBy.insert(from);
        for (IrpRecord::PowerHolder& holder : record->PowerHolders)
            if (holder.Device == from && !skipped && location->CompletionRoutine)
                holder.RoutineSet = true;
    }
    if (major == IRP_MJ_POWER)
        record->PowerHolders.push_back({target->Driver, target->Object, level});
}

/*
 * The dispatch routine at `level` has returned: with the status of the
 * request if it completed it there (a caller that does not wait reads the
 * return), and, for a power IRP it passed down without a completion routine
 * that could still call it, having called PoStartNextPowerIrp.
 */
void CheckDispatchReturn(PIRP irp, IrpRecord* record, DeviceRecord* device, int level,
                         NTSTATUS status, const std::string& who) {
    const IrpRecord::Level& seen = record->Levels[level];
    if (seen.CompletedHere && status != STATUS_PENDING && status != seen.CompletedStatus)
        Fault(
            "dispatch return differs from completion: %s completed the IRP with 0x%08x but "
            "returned 0x%08x",
            who.c_str(), static_cast<unsigned>(seen.CompletedStatus),
            static_cast<unsigned>(status));
    if (!record->PassedDownBy.count(device->Object)) return;
    for (IrpRecord::PowerHolder& holder : record->PowerHolders)
        if (holder.Device == device->Object && holder.Level == level && !holder.Started &&
            !holder.RoutineSet && !holder.Reported)
            ReportPowerNotStarted(irp, record, holder, "go down from its dispatch routine");
}

/*
 * IofCompleteRequest at `holder`'s location: who completed the IRP and with
 * what, and the Plug and Play and power requests that a driver above the
 * bus must not fail or keep from the drivers below.
 */
void CheckCompletion(PIRP irp, IrpRecord* record, DeviceRecord* holder) {
    PIO_STACK_LOCATION location = irp->Tail.Overlay.CurrentStackLocation;
    IrpRecord::Level& level = record->Levels[irp->CurrentLocation];
    level.CompletedHere = true;
    level.CompletedStatus = irp->IoStatus.Status;
    record->CompletedBy = holder ? holder->Driver : CurrentDriver();
    if (!holder) return;
    if (location->MajorFunction == IRP_MJ_PNP) CheckPnpCompletion(irp, record, holder, location);
    if (location->MajorFunction == IRP_MJ_POWER) CheckPowerCompletion(irp, holder, location);
}

void CheckLevelLeft(PIRP irp, IrpRecord* record, int level, UCHAR major) {
    if (major != IRP_MJ_POWER) return;
    for (IrpRecord::PowerHolder& holder : record->PowerHolders)
        if (holder.Level == level && !holder.Started && !holder.Reported)
            ReportPowerNotStarted(irp, record, holder, "complete past its level");
}

/*
 * The IRP is complete at the top: a request sent to a stack whose hardware
 * was gone must have ended as kAfterSurpriseRemoval says, and the driver
 * that completed it answers for it (one the bus answered was reported as it
 * reached the bus).
 */
void CheckFinished(PIRP irp, IrpRecord* record) {
    const AfterSurpriseRemoval* rule = SurpriseRule(record->Major);
    if (!record->HardwareGone || !rule || (record->CompletedBy && record->CompletedBy->Bus)) return;
    NTSTATUS status = irp->IoStatus.Status;
    std::string request = Format("IRP %p (%s)", static_cast<void*>(irp),
                                 IrpName(record->Major, record->Minor).c_str());
    if (NT_SUCCESS(status) && !rule->MaySucceed)
        Fault(
            "after surprise removal: %s completed %s with success (0x%08x) on a stack whose "
            "hardware is gone; it must refuse new requests",
            DriverName(record->CompletedBy).c_str(), request.c_str(),
            static_cast<unsigned>(status));
    else if (!NT_SUCCESS(status) && rule->MustSucceed &&
             !Excepted(record->CompletedBy, record->Major))
        Fault(
            "after surprise removal: %s failed %s with 0x%08x; cleanup and close must succeed so "
            "that handles can be closed",
            DriverName(record->CompletedBy).c_str(), request.c_str(),
            static_cast<unsigned>(status));
}

/*
 * PoStartNextPowerIrp counts for the driver whose level the IRP is at: the
 * dispatch routine's, or the completion routine's it set there.
 */
void NotePowerIrpStarted(PIRP irp, IrpRecord* record) {
    int level = irp->CurrentLocation;
    PDEVICE_OBJECT device = irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
    DriverRecord* caller = CurrentDriver();
    for (auto holder = record->PowerHolders.rbegin(); holder != record->PowerHolders.rend();
         ++holder) {
        if (holder->Level == level && (holder->Device == device || holder->Driver == caller)) {
            holder->Started = true;
            return;
        }
    }
}

/*
 * The Plug and Play manager stops a stack only after every driver agreed
 * to the query-stop just before (with nothing that changes the state in
 * between); a stop out of the blue is what no driver is written for.
 */
void CheckPnpSequence(PDEVICE_OBJECT pdo, UCHAR minor) {
    DeviceRecord* physical = FindDevice(pdo);
    if (!physical || !physical->Physical || minor != IRP_MN_STOP_DEVICE || physical->StopAgreed)
        return;
    Fault(
        "stop without agreement: IRP_MN_STOP_DEVICE sent to the stack of %s without a successful "
        "IRP_MN_QUERY_STOP_DEVICE just before it (StopDevice sends the query first)",
        DeviceName(pdo).c_str());
}

void NotePnpOutcome(PDEVICE_OBJECT pdo, UCHAR minor, const IrpResult& result) {
    DeviceRecord* physical = FindDevice(pdo);
    if (!physical || !physical->Physical) return;
    if (ChangesState(minor))
        physical->StopAgreed =
            minor == IRP_MN_QUERY_STOP_DEVICE && result.Completed && NT_SUCCESS(result.Status);
    if (minor == IRP_MN_SURPRISE_REMOVAL && result.Completed) physical->HardwareGone = true;
    if (minor == IRP_MN_REMOVE_DEVICE) physical->HardwareGone = false;
}

/*
 * After one driver's AddDevice: the devices it attached take their role
 * and must look like the device below as their role requires.
 */
void CheckAddedDevices(PDEVICE_OBJECT before, StackRole role) {
    for (PDEVICE_OBJECT device = before->AttachedDevice; device; device = device->AttachedDevice) {
        DeviceRecord* record = FindDevice(device);
        DeviceRecord* lower = record ? FindDevice(record->AttachedTo) : nullptr;
        if (!record || !lower) continue;
        record->Role = role;
        CheckBuffering(record, lower);
        CheckPowerFlags(record, lower);
        CheckFilterLooks(record, lower);
    }
}

/*
 * A name on a device above the bus's, or a second name in the stack, is a
 * way in that the I/O manager checks against that device's own security,
 * and an open with a path behind the name against none at all, unless the
 * device on top carries FILE_DEVICE_SECURE_OPEN.
 */
void CheckStackNames(PDEVICE_OBJECT pdo) {
    std::vector<std::string> named;
    bool namedAbove = false;
    PDEVICE_OBJECT top = pdo;
    for (PDEVICE_OBJECT device = pdo; device; device = device->AttachedDevice) {
        top = device;
        DeviceRecord* record = FindDevice(device);
        if (!record || record->Name.empty()) continue;
        named.push_back(DeviceName(device) + " " + Narrow(record->Name));
        namedAbove = namedAbove || device != pdo;
    }
    if ((!namedAbove && named.size() < 2) || (top->Characteristics & FILE_DEVICE_SECURE_OPEN))
        return;
    std::string names;
    for (const std::string& name : named) names += (names.empty() ? "" : ", ") + name;
    Fault(
        "named device in a Plug and Play stack: %s named (%s) and the top, %s, lacks "
        "FILE_DEVICE_SECURE_OPEN; opens by those names escape the stack's security",
        named.size() > 1 ? "devices are" : "a device above the bus's is", names.c_str(),
        DeviceName(top).c_str());
}

/*
 * A surprise-removed device stays in its stack until the removal: its
 * driver detaches and deletes it only at IRP_MN_REMOVE_DEVICE, once every
 * handle has closed (PnpSurpriseRemove).
 */
void CheckRemovalCall(const char* function, PDEVICE_OBJECT device) {
    for (const DispatchFrame& frame : DispatchFrames()) {
        if (frame.Completion || frame.Major != IRP_MJ_PNP || frame.Minor != IRP_MN_SURPRISE_REMOVAL)
            continue;
        Fault(
            "PnpSurpriseRemove: %s called %s on %s while handling IRP_MN_SURPRISE_REMOVAL; detach "
            "and delete belong to IRP_MN_REMOVE_DEVICE",
            DriverName(CurrentDriver()).c_str(), function, DeviceName(device).c_str());
        return;
    }
}

/*
 * A device deleted while another request is still inside its dispatch
 * routine leaves that routine on a freed extension. The remove request's
 * own dispatch deletes the device at its end and does not count. A request
 * that has let removal go on may still be returning; it gets a moment.
 */
void WaitUntilIdle(std::unique_lock<std::mutex>& lock, PDEVICE_OBJECT device) {
    DeviceRecord* record = FindDevice(device);
    std::vector<ActiveDispatch> blocking = Blocking(record);
    if (blocking.empty()) return;
    if (!OnThisThread(blocking)) {
        K().DispatchLeft.wait_for(lock, kLeaveGrace, [record] { return Blocking(record).empty(); });
        blocking = Blocking(record);
        if (blocking.empty()) return;
    }
    std::string requests;
    for (const ActiveDispatch& active : blocking)
        requests +=
            Format("%sIRP %p (%s)", requests.empty() ? "" : ", ", static_cast<void*>(active.Irp),
                   IrpName(active.Major, active.Minor).c_str());
    Fault(
        "device deleted while busy: %s called IoDeleteDevice on %s while %s %s still inside its "
        "dispatch routine",
        DriverName(CurrentDriver()).c_str(), DeviceName(device).c_str(), requests.c_str(),
        blocking.size() > 1 ? "are" : "is");
}

/*
 * A power dispatch routine of a device without DO_POWER_PAGABLE may be
 * called at DISPATCH_LEVEL, so it must never block, even when it happens to
 * run at PASSIVE_LEVEL (at DISPATCH_LEVEL the IRQL check reports it).
 */
void CheckBlockingCall(const char* function) {
    const DispatchFrame* frame = InnermostDispatch();
    if (!frame || frame->Major != IRP_MJ_POWER || frame->PowerPagable ||
        ThreadIrql() != PASSIVE_LEVEL)
        return;
    Fault(
        "power dispatch blocks: %s called %s in its dispatch of IRP %p (%s) on a device without "
        "DO_POWER_PAGABLE, which the power manager may call at DISPATCH_LEVEL",
        DriverName(CurrentDriver()).c_str(), function, static_cast<void*>(frame->Irp),
        IrpName(frame->Major, frame->Minor).c_str());
}

/*
 * While a set-power request is being handled the paging device may be on
 * its way down: no routine that needs PASSIVE_LEVEL (PowerIrpDDis), and no
 * pageable code (PagedCodeAtPowerTrans).
 */
void CheckPassiveCall(const char* function, const char* pageable) {
    const DispatchFrame* frame = InnermostDispatch();
    if (!frame || frame->Major != IRP_MJ_POWER || frame->Minor != IRP_MN_SET_POWER) return;
    std::string request = Format("IRP %p (%s)", static_cast<void*>(frame->Irp),
                                 IrpName(frame->Major, frame->Minor).c_str());
    if (pageable)
        Fault(
            "PagedCodeAtPowerTrans: %s ran pageable routine %s while handling %s; set-power "
            "handling must stay in resident code",
            DriverName(CurrentDriver()).c_str(), pageable, request.c_str());
    else
        Fault(
            "PowerIrpDDis: %s called %s while handling %s; set-power handling must not call "
            "routines that need PASSIVE_LEVEL",
            DriverName(CurrentDriver()).c_str(), function, request.c_str());
}

}  // namespace detail

bool PendingBusByDefault() {
    static const bool pending = detail::PendingBusFromEnvironment();
    return pending;
}

}  // namespace host_kernel
