// The call-down path: IofCallDriver (and PoCallDriver, the same path for
// power IRPs) handing an IRP to the next device's dispatch routine, with the
// checks on the way down (not an IRP, freed, completed, no stack location
// left, a location passed down without being set up) and on the way back
// (a dispatch routine that changed the IRQL, returned inside a critical
// region or returned without completing or pending). The routines running
// on each thread and the requests inside each device's dispatch routine are
// kept here for the Plug and Play and power rules (pnp_rules.cpp), which
// this path calls; so is the observer of every request passed to a device.
#include "kernel_internal.h"

namespace host_kernel {
namespace detail {

namespace {

thread_local std::vector<DispatchFrame> t_frames;
// Set by PoCallDriver for the IofCallDriver it makes, so that a power IRP
// passed with IoCallDriver is told apart.
thread_local bool t_viaPoCallDriver = false;

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

}  // namespace

FrameScope::FrameScope(const DispatchFrame& frame) {
    t_frames.push_back(frame);
}

FrameScope::~FrameScope() {
    t_frames.pop_back();
}

const std::vector<DispatchFrame>& DispatchFrames() {
    return t_frames;
}

}  // namespace detail
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
        if (location->MajorFunction == UNSET_MAJOR) {
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

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PIO_STACK_LOCATION next = Irp->Tail.Overlay.CurrentStackLocation - 1;
    if (Irp->CurrentLocation > 1 && next->MajorFunction != IRP_MJ_POWER &&
        next->MajorFunction != UNSET_MAJOR)
        Fault("PoCallDriver with %s, which is not a power IRP", Describe(Irp, next).c_str());
    t_viaPoCallDriver = true;
    return IofCallDriver(DeviceObject, Irp);
}

}  // extern "C"

namespace host_kernel {

void SetRequestObserver(std::function<void(const std::string&)> observer) {
    std::lock_guard<std::mutex> guard(observerLock);
    requestObserver = std::move(observer);
}

}  // namespace host_kernel
