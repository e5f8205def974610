// The configurable test driver. Its state lives in a registry keyed by
// driver object so that dispatch routines (plain function pointers) find
// it, and so that it outlives the TestDriver handle a test holds until the
// kernel is reset.
#include "test_driver.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

namespace host_kernel {

struct TestDriver::State {
    std::string Name;
    TestDriverOptions Options;
    PDRIVER_OBJECT Driver = nullptr;
    mutable std::mutex Lock;
    std::map<std::pair<int, int>, Behavior> Behaviors;  // minor -1: every minor
    std::vector<SeenRequest> Seen;
    struct Held {
        PDEVICE_OBJECT Device;
        PIRP Irp;
        Behavior What;
    };
    std::deque<Held> HeldRequests;
    std::map<PDEVICE_OBJECT, PDEVICE_OBJECT> DeviceByPdo;
};

namespace {

using State = TestDriver::State;

struct Extension {
    PDEVICE_OBJECT Lower;
    PDEVICE_OBJECT Physical;
};

std::mutex g_registryLock;
std::map<PDRIVER_OBJECT, std::shared_ptr<State>> g_registry;
thread_local std::shared_ptr<State> t_loading;

std::shared_ptr<State> StateOf(PDRIVER_OBJECT driver) {
    std::lock_guard<std::mutex> guard(g_registryLock);
    auto found = g_registry.find(driver);
    return found == g_registry.end() ? nullptr : found->second;
}

// The characteristics a filter keeps of the device below.
constexpr ULONG kFilterKeeps = FILE_REMOVABLE_MEDIA | FILE_READ_ONLY_DEVICE | FILE_FLOPPY_DISKETTE |
                               FILE_WRITE_ONCE_MEDIA | FILE_DEVICE_SECURE_OPEN;

Extension* ExtensionOf(PDEVICE_OBJECT device) {
    return static_cast<Extension*>(device->DeviceExtension);
}

// The buffer a request's output goes to, by its buffering.
PVOID OutputBuffer(PIRP irp, PIO_STACK_LOCATION location, ULONG* length) {
    *length = 0;
    if (location->MajorFunction == IRP_MJ_READ) *length = location->Parameters.Read.Length;
    if (location->MajorFunction == IRP_MJ_DEVICE_CONTROL ||
        location->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
        *length = location->Parameters.DeviceIoControl.OutputBufferLength;
        ULONG method = METHOD_FROM_CTL_CODE(location->Parameters.DeviceIoControl.IoControlCode);
        if (method == METHOD_BUFFERED) return irp->AssociatedIrp.SystemBuffer;
        if (method == METHOD_NEITHER) return irp->UserBuffer;
    }
    if (irp->MdlAddress) return MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority);
    if (irp->Flags & IRP_BUFFERED_IO) return irp->AssociatedIrp.SystemBuffer;
    return irp->UserBuffer;
}

std::vector<UCHAR> InputBytes(PIRP irp, PIO_STACK_LOCATION location) {
    const void* source = nullptr;
    ULONG length = 0;
    if (location->MajorFunction == IRP_MJ_WRITE) {
        length = location->Parameters.Write.Length;
        if (irp->MdlAddress) {
            source = MmGetMdlVirtualAddress(irp->MdlAddress);
        } else if (irp->Flags & IRP_BUFFERED_IO) {
            source = irp->AssociatedIrp.SystemBuffer;
        } else {
            source = irp->UserBuffer;
        }
    } else if (location->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
        length = location->Parameters.DeviceIoControl.InputBufferLength;
        ULONG method = METHOD_FROM_CTL_CODE(location->Parameters.DeviceIoControl.IoControlCode);
        source = method == METHOD_NEITHER ? location->Parameters.DeviceIoControl.Type3InputBuffer
                                          : irp->AssociatedIrp.SystemBuffer;
    }
    if (!source || !length) return {};
    const UCHAR* bytes = static_cast<const UCHAR*>(source);
    return std::vector<UCHAR>(bytes, bytes + length);
}

void Fill(PIRP irp, const Behavior& behavior) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    if (!behavior.Data.empty()) {
        ULONG length;
        PVOID target = OutputBuffer(irp, location, &length);
        if (target)
            memcpy(target, behavior.Data.data(), std::min<size_t>(length, behavior.Data.size()));
    }
    irp->IoStatus.Status = behavior.Status;
    irp->IoStatus.Information = behavior.Information;
}

// Completes a request as its driver would from its dispatch routine, a DPC
// or a worker; a power request lets the power manager go on first.
void CompleteAt(PDRIVER_OBJECT driver, PIRP irp, const Behavior& behavior, KIRQL irql) {
    DriverContext context(driver);
    KIRQL old = KeGetCurrentIrql();
    if (irql > old) KeRaiseIrql(irql, &old);
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER) PoStartNextPowerIrp(irp);
    Fill(irp, behavior);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    if (irql > old) KeLowerIrql(old);
}

void CompleteLater(PDEVICE_OBJECT device, PIRP irp, Behavior behavior) {
    StartThread([device, irp, behavior] {
        std::this_thread::sleep_for(behavior.Delay);
        CompleteAt(device->DriverObject, irp, behavior, behavior.CompletionIrql);
    });
}

NTSTATUS PassDown(PDEVICE_OBJECT device, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER) {
        PoStartNextPowerIrp(irp);
        return PoCallDriver(ExtensionOf(device)->Lower, irp);
    }
    return IoCallDriver(ExtensionOf(device)->Lower, irp);
}

NTSTATUS NTAPI SyncCompletion(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// What a well-behaved driver does with requests nobody configured.
NTSTATUS Default(State& state, PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    Extension* extension = ExtensionOf(device);
    if (location->MajorFunction == IRP_MJ_PNP) {
        switch (location->MinorFunction) {
        case IRP_MN_START_DEVICE: {
            KEVENT event;
            KeInitializeEvent(&event, NotificationEvent, FALSE);
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, SyncCompletion, &event, TRUE, TRUE, TRUE);
            if (IoCallDriver(extension->Lower, irp) == STATUS_PENDING)
                KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            NTSTATUS status = irp->IoStatus.Status;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return status;
        }
        case IRP_MN_REMOVE_DEVICE: {
            NTSTATUS status = PassDown(device, irp);
            {
                std::lock_guard<std::mutex> guard(state.Lock);
                state.DeviceByPdo.erase(extension->Physical);
            }
            IoDetachDevice(extension->Lower);
            IoDeleteDevice(device);
            return status;
        }
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
            irp->IoStatus.Status = STATUS_SUCCESS;
            return PassDown(device, irp);
        default:
            return PassDown(device, irp);
        }
    }
    if (location->MajorFunction == IRP_MJ_POWER) return PassDown(device, irp);
    if (state.Options.Filter) return PassDown(device, irp);
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    std::shared_ptr<State> state = StateOf(device->DriverObject);
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    SeenRequest seen;
    seen.Device = device;
    seen.Irp = irp;
    seen.MajorFunction = location->MajorFunction;
    seen.MinorFunction = location->MinorFunction;
    seen.Stack = *location;
    seen.Status = irp->IoStatus.Status;
    seen.Information = irp->IoStatus.Information;
    seen.Irql = KeGetCurrentIrql();
    seen.RequestorMode = irp->RequestorMode;
    seen.SystemBuffer = irp->AssociatedIrp.SystemBuffer;
    seen.UserBuffer = irp->UserBuffer;
    seen.MdlAddress = irp->MdlAddress;
    seen.Input = InputBytes(irp, location);
    std::optional<Behavior> behavior;
    {
        std::lock_guard<std::mutex> guard(state->Lock);
        state->Seen.push_back(seen);
        auto exact = state->Behaviors.find({location->MajorFunction, location->MinorFunction});
        auto any = state->Behaviors.find({location->MajorFunction, -1});
        if (exact != state->Behaviors.end()) {
            behavior = exact->second;
        } else if (any != state->Behaviors.end()) {
            behavior = any->second;
        }
    }
    if (!behavior) return Default(*state, device, irp);
    switch (behavior->Action) {
    case Behavior::Kind::Complete:
        CompleteAt(device->DriverObject, irp, *behavior,
                   behavior->Raise ? behavior->CompletionIrql : KeGetCurrentIrql());
        return behavior->Returned.value_or(behavior->Status);
    case Behavior::Kind::Pend:
        IoMarkIrpPending(irp);
        if (behavior->AtOnce) {
            CompleteAt(device->DriverObject, irp, *behavior, behavior->CompletionIrql);
        } else if (behavior->Hold) {
            std::lock_guard<std::mutex> guard(state->Lock);
            state->HeldRequests.push_back({device, irp, *behavior});
        } else {
            CompleteLater(device, irp, *behavior);
        }
        return STATUS_PENDING;
    case Behavior::Kind::PassDown:
        return PassDown(device, irp);
    case Behavior::Kind::Handler:
        return behavior->Run(device, irp);
    case Behavior::Kind::Observe:
        behavior->Look(device, irp);
        return Default(*state, device, irp);
    }
    return STATUS_INTERNAL_ERROR;
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    std::shared_ptr<State> state = StateOf(driver);
    if (!NT_SUCCESS(state->Options.AddDeviceStatus)) return state->Options.AddDeviceStatus;
    const TestDriverOptions& options = state->Options;
    PDEVICE_OBJECT device;
    NTSTATUS status = IoCreateDevice(driver, sizeof(Extension), nullptr,
                                     options.DeviceType.value_or(FILE_DEVICE_UNKNOWN),
                                     options.Characteristics, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    Extension* extension = ExtensionOf(device);
    extension->Physical = pdo;
    extension->Lower = IoAttachDeviceToDeviceStack(device, pdo);
    if (!extension->Lower) {
        IoDeleteDevice(device);
        return STATUS_UNSUCCESSFUL;
    }
    if (options.Filter && !options.DeviceType) device->DeviceType = extension->Lower->DeviceType;
    if (options.Filter) device->Characteristics |= extension->Lower->Characteristics & kFilterKeeps;
    device->Flags |= extension->Lower->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE);
    device->Flags &= ~state->Options.ClearFlags;
    device->Flags |= state->Options.SetFlags;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    std::lock_guard<std::mutex> guard(state->Lock);
    state->DeviceByPdo[pdo] = device;
    return STATUS_SUCCESS;
}

VOID NTAPI Unload(PDRIVER_OBJECT) {}

NTSTATUS NTAPI Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    {
        std::lock_guard<std::mutex> guard(g_registryLock);
        t_loading->Driver = driver;
        g_registry[driver] = t_loading;
    }
    for (auto& dispatch : driver->MajorFunction) dispatch = Dispatch;
    driver->DriverExtension->AddDevice = AddDevice;
    driver->DriverUnload = Unload;
    return STATUS_SUCCESS;
}

bool g_hooked = false;

}  // namespace

Behavior Behavior::Complete(NTSTATUS status, ULONG_PTR information) {
    Behavior behavior;
    behavior.Action = Kind::Complete;
    behavior.Status = status;
    behavior.Information = information;
    return behavior;
}

Behavior Behavior::CompleteAtDispatch(NTSTATUS status, ULONG_PTR information) {
    Behavior behavior = Complete(status, information);
    behavior.Raise = true;
    return behavior;
}

Behavior Behavior::Pend(NTSTATUS status, ULONG_PTR information, std::chrono::milliseconds delay) {
    Behavior behavior = Complete(status, information);
    behavior.Action = Kind::Pend;
    behavior.Delay = delay;
    return behavior;
}

Behavior Behavior::PendCompletedAtOnce(NTSTATUS status, ULONG_PTR information) {
    Behavior behavior = Pend(status, information);
    behavior.AtOnce = true;
    return behavior;
}

Behavior Behavior::Held(NTSTATUS status, ULONG_PTR information) {
    Behavior behavior = Pend(status, information);
    behavior.Hold = true;
    return behavior;
}

Behavior Behavior::PassDown() {
    Behavior behavior;
    behavior.Action = Kind::PassDown;
    return behavior;
}

Behavior Behavior::Handler(std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)> run) {
    Behavior behavior;
    behavior.Action = Kind::Handler;
    behavior.Run = std::move(run);
    return behavior;
}

Behavior Behavior::Observe(std::function<void(PDEVICE_OBJECT, PIRP)> look) {
    Behavior behavior;
    behavior.Action = Kind::Observe;
    behavior.Look = std::move(look);
    return behavior;
}

const std::vector<CompletionStyle>& CompletionStyles() {
    static const std::vector<CompletionStyle> styles = {
        {"at once", [](NTSTATUS s, ULONG_PTR i) { return Behavior::Complete(s, i); }, false, false},
        {"at once, at DISPATCH_LEVEL",
         [](NTSTATUS s, ULONG_PTR i) { return Behavior::CompleteAtDispatch(s, i); }, false, false},
        {"pended, completed before its dispatch routine returns",
         [](NTSTATUS s, ULONG_PTR i) { return Behavior::PendCompletedAtOnce(s, i); }, true, false},
        {"pended, completed from another thread at DISPATCH_LEVEL",
         [](NTSTATUS s, ULONG_PTR i) { return Behavior::Pend(s, i, std::chrono::milliseconds(2)); },
         true, false},
        {"pended, completed from another thread at PASSIVE_LEVEL",
         [](NTSTATUS s, ULONG_PTR i) {
             Behavior behavior = Behavior::Pend(s, i, std::chrono::milliseconds(2));
             behavior.CompletionIrql = PASSIVE_LEVEL;
             return behavior;
         },
         true, false},
        {"held, completed late", [](NTSTATUS s, ULONG_PTR i) { return Behavior::Held(s, i); }, true,
         true},
    };
    return styles;
}

IrpResult SendThrough(TestDriver& lower, const CompletionStyle& style,
                      const std::function<IrpResult()>& send,
                      const std::function<void()>& whileHeld) {
    if (!style.Held) return send();
    const size_t heldBefore = lower.HeldCount();
    std::mutex lock;
    IrpResult result;
    bool returned = false;
    StartThread([&] {
        IrpResult r = send();
        std::lock_guard<std::mutex> guard(lock);
        result = r;
        returned = true;
    });
    if (WaitUntil([&] { return lower.HeldCount() > heldBefore; })) {
        if (whileHeld) whileHeld();
        std::lock_guard<std::mutex> guard(lock);
        if (returned)
            RecordFault("SendThrough: the request returned while the lower driver held it");
    } else {
        RecordFault("SendThrough: the request never reached the lower driver's hold");
    }
    lower.CompleteHeld();
    JoinThreads();
    return result;
}

TestDriver::TestDriver(const char* name, const TestDriverOptions& options)
    : state_(std::make_shared<State>()) {
    {
        std::lock_guard<std::mutex> guard(g_registryLock);
        if (!g_hooked) {
            g_hooked = true;
            AddResetHook([] {
                std::lock_guard<std::mutex> registryGuard(g_registryLock);
                g_registry.clear();
            });
        }
    }
    state_->Name = name;
    state_->Options = options;
    t_loading = state_;
    PDRIVER_OBJECT driver = LoadDriver(name, Entry);
    t_loading.reset();
    MarkTestDouble(driver);
}

PDRIVER_OBJECT TestDriver::Driver() const {
    return state_->Driver;
}

PDEVICE_OBJECT TestDriver::Device(PDEVICE_OBJECT pdo) const {
    std::lock_guard<std::mutex> guard(state_->Lock);
    auto found = state_->DeviceByPdo.find(pdo);
    return found == state_->DeviceByPdo.end() ? nullptr : found->second;
}

void TestDriver::On(UCHAR major, const Behavior& behavior) {
    std::lock_guard<std::mutex> guard(state_->Lock);
    state_->Behaviors[{major, -1}] = behavior;
}

void TestDriver::On(UCHAR major, UCHAR minor, const Behavior& behavior) {
    std::lock_guard<std::mutex> guard(state_->Lock);
    state_->Behaviors[{major, minor}] = behavior;
}

NTSTATUS TestDriver::ServeDefault(PDEVICE_OBJECT device, PIRP irp) {
    return Default(*StateOf(device->DriverObject), device, irp);
}

void TestDriver::Clear() {
    std::lock_guard<std::mutex> guard(state_->Lock);
    state_->Behaviors.clear();
}

std::vector<SeenRequest> TestDriver::Seen() const {
    std::lock_guard<std::mutex> guard(state_->Lock);
    return state_->Seen;
}

size_t TestDriver::SeenCount(UCHAR major) const {
    std::lock_guard<std::mutex> guard(state_->Lock);
    return std::count_if(state_->Seen.begin(), state_->Seen.end(),
                         [major](const SeenRequest& seen) { return seen.MajorFunction == major; });
}

size_t TestDriver::SeenCount(UCHAR major, UCHAR minor) const {
    std::lock_guard<std::mutex> guard(state_->Lock);
    return std::count_if(state_->Seen.begin(), state_->Seen.end(), [=](const SeenRequest& seen) {
        return seen.MajorFunction == major && seen.MinorFunction == minor;
    });
}

void TestDriver::ClearSeen() {
    std::lock_guard<std::mutex> guard(state_->Lock);
    state_->Seen.clear();
}

size_t TestDriver::HeldCount() const {
    std::lock_guard<std::mutex> guard(state_->Lock);
    return state_->HeldRequests.size();
}

bool TestDriver::CompleteHeld() {
    State::Held held;
    {
        std::lock_guard<std::mutex> guard(state_->Lock);
        if (state_->HeldRequests.empty()) return false;
        held = state_->HeldRequests.front();
        state_->HeldRequests.pop_front();
    }
    CompleteAt(state_->Driver, held.Irp, held.What, DISPATCH_LEVEL);
    return true;
}

bool TestDriver::CompleteHeld(NTSTATUS status, ULONG_PTR information) {
    {
        std::lock_guard<std::mutex> guard(state_->Lock);
        if (state_->HeldRequests.empty()) return false;
        state_->HeldRequests.front().What.Status = status;
        state_->HeldRequests.front().What.Information = information;
    }
    return CompleteHeld();
}

}  // namespace host_kernel
