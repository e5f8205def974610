// Shared state of the user-mode kernel's modules. One mutex guards every
// table; no module holds it while calling into driver code, and waits on
// kernel objects sleep on condition variables tied to it. Each group of
// declarations below names the file that owns it.
#pragma once

#include "host_kernel.h"

#include <condition_variable>
#include <cstdarg>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

struct _OBJECT_TYPE {
    const char* Name;
};

namespace host_kernel {

namespace detail {
struct ObjectHeader;
}

struct Process {
    std::string Name;
    bool System = false;
    bool Terminated = false;
    uintptr_t NextHandle = 4;
    struct Entry {
        detail::ObjectHeader* Object;
        ACCESS_MASK Access;
    };
    std::map<uintptr_t, Entry> Handles;
};

namespace detail {

// Stack locations that no driver has set up carry this major function code,
// so passing one down unset is seen at IofCallDriver.
constexpr UCHAR UNSET_MAJOR = 0xFF;
// How long the kernel waits for a request or an event before it calls the
// wait a hang, records a fault and lets the test go on.
constexpr auto HANG_LIMIT = std::chrono::seconds(20);

struct DriverRecord {
    std::string Name;
    PDRIVER_OBJECT Object = nullptr;
    std::u16string DriverName;
    std::u16string ServiceKey;
    bool TestDouble = false;
    bool Bus = false;  // the test bus, which owns the physical devices
    bool Loaded = true;
};

// The part a device plays in its Plug and Play stack, known from the
// order BuildDeviceStack called AddDevice in; None for devices that are in
// no stack the kernel built. The rules on Plug and Play requests differ by
// role: the bus owns the physical device, filters must pass the state
// changes down, the function driver may finish a start itself.
enum class StackRole { None, Bus, LowerFilter, Function, UpperFilter };
const char* RoleName(StackRole role);

// A request inside a device's dispatch routine, on `Thread`.
struct ActiveDispatch {
    PIRP Irp = nullptr;
    UCHAR Major = 0;
    UCHAR Minor = 0;
    std::thread::id Thread;
};

struct DeviceRecord {
    PDEVICE_OBJECT Object = nullptr;
    DriverRecord* Driver = nullptr;
    PDEVICE_OBJECT AttachedTo = nullptr;  // the device this one sits on
    std::u16string Name;                  // \Device\..., empty when unnamed
    size_t BlockSize = 0;
    size_t ExtensionSize = 0;
    bool Deleted = false;
    bool Physical = false;
    StackRole Role = StackRole::None;
    std::vector<ActiveDispatch> InDispatch;
    // Physical devices: the bus's view.
    PhysicalDeviceOptions Options;
    std::string DeviceInstanceId;  // enumerator\device ID\instance ID, as Windows names it
    bool SurpriseRemoved = false;  // by SurpriseRemoveDevice: RemoveDevice skips the query
    // IRP_MN_SURPRISE_REMOVAL has completed on the stack (by whichever
    // sender) and IRP_MN_REMOVE_DEVICE has not yet come: the hardware is gone.
    bool HardwareGone = false;
    // The last state-changing Plug and Play request was a successful
    // IRP_MN_QUERY_STOP_DEVICE: only then may IRP_MN_STOP_DEVICE follow.
    bool StopAgreed = false;
    POWER_STATE DevicePower{};
};

enum class IrpOrigin { Driver, Kernel, User };
enum class IrpState { Active, Completing, Completed, Freed };

struct IrpRecord {
    PIRP Irp = nullptr;
    size_t Size = 0;  // of the IRP's block
    IrpOrigin Origin = IrpOrigin::Driver;
    IrpState State = IrpState::Active;
    DriverRecord* Allocator = nullptr;
    unsigned Generation = 0;
    // Per stack level (CurrentLocation value while a driver holds it): whether
    // completion has passed it and whether it was marked pending then.
    struct Level {
        bool Passed = false;           // completion has processed this level's location
        bool Pending = false;          // ... and found it marked pending
        bool Returned = false;         // the dispatch routine at this level has returned
        NTSTATUS Status = 0;           // ... with this status
        std::string Who;               // driver and request, for messages
        bool CompletedHere = false;    // IofCompleteRequest was called at this level
        NTSTATUS CompletedStatus = 0;  // ... with this IoStatus.Status
    };
    std::vector<Level> Levels;
    // Set when the IRP is first passed to a driver.
    bool Sent = false;
    UCHAR Major = 0;
    UCHAR Minor = 0;
    bool HardwareGone = false;              // sent to a stack whose hardware was surprise-removed
    DriverRecord* CompletedBy = nullptr;    // the driver that last called IofCompleteRequest
    std::set<PDEVICE_OBJECT> PassedDownBy;  // devices that passed it to the device below
    // Power IRPs: every driver that got the IRP owes a PoStartNextPowerIrp
    // while the IRP is at its level (in its dispatch routine or its
    // completion routine), before the IRP leaves that level.
    struct PowerHolder {
        DriverRecord* Driver = nullptr;
        PDEVICE_OBJECT Device = nullptr;
        int Level = 0;
        bool Started = false;     // PoStartNextPowerIrp called
        bool RoutineSet = false;  // passed down with a completion routine that may still call it
        bool Reported = false;
    };
    std::vector<PowerHolder> PowerHolders;
};

enum class BlockKind { Pool, String };

struct PoolBlock {
    SIZE_T Size = 0;
    ULONG Tag = 0;
    POOL_TYPE Type = NonPagedPool;
    DriverRecord* Owner = nullptr;
    BlockKind Kind = BlockKind::Pool;
    bool Reported = false;
};

struct MdlRecord {
    DriverRecord* Owner = nullptr;
    bool IoManager = false;
    bool Reported = false;
};

struct ObjectHeader {
    POBJECT_TYPE Type = nullptr;
    LONG_PTR PointerCount = 0;
    LONG_PTR HandleCount = 0;
    // References taken by kernel code (not handles), by the driver that was
    // running when each was taken.
    std::map<DriverRecord*, LONG_PTR> KernelReferences;
    PVOID Body = nullptr;
    bool Reported = false;
    // The process that created it (an event, a file it opened); nullptr for
    // the kernel's own objects.
    Process* Creator = nullptr;
};

struct InterfaceRecord {
    GUID Class{};
    std::u16string Name;
    std::u16string Reference;  // the reference string, without its backslash
    PDEVICE_OBJECT Physical = nullptr;
    bool Enabled = false;
};

// A remove lock, by the address of its IO_REMOVE_LOCK. Count includes the
// bias of one the lock starts with; Held counts acquisitions by tag.
struct RemoveLockRecord {
    DriverRecord* Owner = nullptr;  // the driver that initialised it
    ULONG AllocateTag = 0;
    LONG Count = 1;
    bool Removed = false;       // IoReleaseRemoveLockAndWait has been called
    bool WaitReturned = false;  // ... and has returned
    std::map<PVOID, LONG> Held;
};

struct Waiter {
    std::condition_variable Wake;
    bool Satisfied = false;
    // The event that released it: a wait on any of several events sits in
    // the wait list of each until one releases it.
    const DISPATCHER_HEADER* By = nullptr;
};

struct Kernel {
    std::mutex Lock;
    std::condition_variable IrpDone;       // an IRP reached the top of its stack
    std::condition_variable DispatchLeft;  // a dispatch routine returned

    std::vector<std::string> Faults;
    std::function<void(const std::string&)> FaultObserver;

    std::vector<std::unique_ptr<DriverRecord>> Drivers;
    std::unordered_map<PDRIVER_OBJECT, DriverRecord*> DriverByObject;
    std::unordered_map<PDEVICE_OBJECT, std::unique_ptr<DeviceRecord>> Devices;
    std::unordered_map<PIRP, std::unique_ptr<IrpRecord>> Irps;
    std::unordered_map<PVOID, PoolBlock> Pool;
    std::unordered_map<PMDL, MdlRecord> Mdls;
    std::unordered_map<PVOID, std::unique_ptr<ObjectHeader>> Objects;  // by body
    std::vector<std::unique_ptr<InterfaceRecord>> Interfaces;
    std::vector<std::unique_ptr<Process>> Processes;
    std::unordered_map<const DISPATCHER_HEADER*, std::deque<Waiter*>> WaitLists;
    std::vector<PDEVICE_OBJECT> PhysicalDevices;
    unsigned NextInstance = 1;
    unsigned NextDeviceNumber = 1;  // of autogenerated device names
    std::unordered_map<const IO_REMOVE_LOCK*, std::unique_ptr<RemoveLockRecord>> RemoveLocks;
    std::condition_variable RemoveLockReleased;

    // Fault injection.
    struct Injection {
        unsigned Skip = 0;
        bool Armed = false;
        bool Always = false;
        NTSTATUS Status = 0;
        unsigned Calls = 0;
        std::vector<const DriverRecord*> Makers;  // the driver of each of those calls
    };
    Injection Injections[static_cast<int>(Call::Count)];

    std::mutex ThreadLock;
    std::vector<std::thread> Threads;
    std::vector<std::function<void()>> ResetHooks;
};

// The one kernel (lifecycle.cpp).
Kernel& K();

// Faults (faults.cpp). Safe with or without the kernel lock held.
void Fault(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string VFormat(const char* format, va_list args);

// Thread context (thread_context.cpp): IRQL, process, the driver whose code
// is running, critical regions entered.
KIRQL& ThreadIrql();
int& ThreadCriticalRegions();
Process*& ThreadProcess();
Process* CurrentProcess();  // the thread's process, or the system process (lock held)
Process* SystemProcessLocked();
DriverRecord* CurrentDriver();
bool CheckIrql(KIRQL maximum, const char* function);

class DriverScope {
  public:
    explicit DriverScope(PDRIVER_OBJECT driver);
    explicit DriverScope(DriverRecord* driver);
    ~DriverScope();
    DriverScope(const DriverScope&) = delete;
    DriverScope& operator=(const DriverScope&) = delete;
};

class ProcessScope {
  public:
    explicit ProcessScope(Process* process);
    ~ProcessScope();
    ProcessScope(const ProcessScope&) = delete;
    ProcessScope& operator=(const ProcessScope&) = delete;

  private:
    Process* old_;
};

// Sets the IRQL for a scope without the KeRaiseIrql ordering checks.
class AtIrql {
  public:
    explicit AtIrql(KIRQL irql);
    ~AtIrql();
    AtIrql(const AtIrql&) = delete;
    AtIrql& operator=(const AtIrql&) = delete;

  private:
    KIRQL old_;
};

// Fault injection (injection.cpp): true if this call made by driver code
// must fail.
bool ShouldFail(Call call, NTSTATUS* status = nullptr);

// Lookups (kernel lock held): drivers and devices in io_devices.cpp, IRPs
// in io_irp.cpp.
DriverRecord* FindDriverRecord(PDRIVER_OBJECT driver);
DeviceRecord* FindDevice(PDEVICE_OBJECT device);
IrpRecord* FindIrp(PIRP irp);
// The live device of that name (case-insensitive), or nullptr.
PDEVICE_OBJECT NamedDevice(const std::u16string& name);

// Names in fault messages (names.cpp; kernel lock held for DeviceName).
std::string DriverName(const DriverRecord* driver);
std::string DeviceName(PDEVICE_OBJECT device);
std::string IrpName(UCHAR major, UCHAR minor);
// An IRP as fault messages name it, with the function codes `location` carries.
std::string Describe(PIRP irp, PIO_STACK_LOCATION location);
std::string TagName(ULONG tag);
std::string Narrow(const std::u16string& text);
// Object names compare as Windows compares them: case-insensitive.
bool SameName(const std::u16string& a, const std::u16string& b);

// Pool used by the kernel itself (pool.cpp; never injected, owner as given).
PVOID AllocatePool(POOL_TYPE type, SIZE_T size, ULONG tag, DriverRecord* owner, BlockKind kind);
void FreePoolBlock(PVOID block);  // kernel lock NOT held
// Gives a block's memory back, kept for reuse when it is large.
void ReleasePoolMemory(PVOID block, size_t size);

// IRPs built by the kernel (io_irp.cpp).
PIRP AllocateIrp(CCHAR stackSize, IrpOrigin origin, DriverRecord* allocator);
void ReleaseIrp(PIRP irp);  // marks freed; memory kept until Reset
// Waits until the IRP has been completed past its top location: not at all
// when its dispatch did not pend (it must be complete already), up to the
// hang limit when it did, recording a hang fault that names `request` (a
// phrase ending in "not completed", built only then).
bool WaitForIrp(PIRP irp, bool pended, const std::function<std::string()>& request);
// Clears a stack location to the state no driver has set up (UNSET_MAJOR).
void MarkUnset(PIO_STACK_LOCATION location);

// Completion (io_completion.cpp): the pending check on a level whose
// dispatch routine has returned and whose location completion has passed,
// made by whichever of the two comes second (lock held).
void CheckPendingReturn(const IrpRecord::Level& level);

// The dispatch and completion routines running on the calling thread,
// innermost last (io_call.cpp): what a driver is handling when it calls the
// kernel, for the rules that depend on it.
struct DispatchFrame {
    PIRP Irp = nullptr;
    PDEVICE_OBJECT Device = nullptr;
    PIO_STACK_LOCATION Location = nullptr;  // the device's own stack location
    UCHAR Major = 0;
    UCHAR Minor = 0;
    bool PowerPagable = true;  // the device had DO_POWER_PAGABLE when called
    bool Completion = false;   // a completion routine, not a dispatch routine
};
const std::vector<DispatchFrame>& DispatchFrames();
// Keeps a routine on the thread's frame list while it runs.
class FrameScope {
  public:
    explicit FrameScope(const DispatchFrame& frame);
    ~FrameScope();
    FrameScope(const FrameScope&) = delete;
    FrameScope& operator=(const FrameScope&) = delete;
};

// MDLs built by the I/O manager (mdl.cpp).
PMDL AllocateMdl(PVOID address, ULONG length, bool ioManager, DriverRecord* owner);
void ReleaseMdl(PMDL mdl);

// Objects (objects.cpp).
extern _OBJECT_TYPE EventType;
extern _OBJECT_TYPE FileType;
ObjectHeader* CreateObject(POBJECT_TYPE type, SIZE_T bodySize);  // lock held
ObjectHeader* FindObject(PVOID body);                            // lock held
// Drops one reference; deletes the object (running its type's close
// action outside the lock) when none remain. Lock NOT held.
void DereferenceObject(ObjectHeader* object);
HANDLE InsertHandle(Process* process, ObjectHeader* object, ACCESS_MASK access);  // lock held
// The object a handle of `process` (or a kernel handle) names and the access
// it grants, or nullptr (lock held).
ObjectHeader* ResolveHandle(Process* process, HANDLE handle, ACCESS_MASK* granted);
// IRP_MJ_CLOSE if the open succeeded, then the file name's buffer goes;
// lock NOT held.
void CloseFileObject(PFILE_OBJECT file);
void CleanupFileObject(PFILE_OBJECT file);  // IRP_MJ_CLEANUP, lock NOT held

// Events on the dispatcher lock (dispatcher.cpp).
bool IsEvent(const DISPATCHER_HEADER* header);
// Fills in an event's dispatcher header; every KEVENT the kernel or a
// driver sets up goes through here so IsEvent recognises it.
void InitializeEventHeader(PRKEVENT event, EVENT_TYPE type, bool signalled);
LONG SignalEvent(PRKEVENT event);  // lock held
NTSTATUS WaitOnEvent(std::unique_lock<std::mutex>& lock, PRKEVENT event,
                     const std::chrono::steady_clock::time_point* deadline);
// Waits until any of `count` events is signalled; STATUS_WAIT_0 + its index.
NTSTATUS WaitOnEvents(std::unique_lock<std::mutex>& lock, const PRKEVENT* events, size_t count,
                      const std::chrono::steady_clock::time_point* deadline);

// Plug and Play (the managers in pnp_manager.cpp, the test bus in
// pnp_bus.cpp, interfaces in io_interfaces.cpp, the refusing dispatch
// routine in io_devices.cpp).
void RemoveAllStacks();
void DisableInterfacesOf(PDEVICE_OBJECT physical);
// The physical device behind a symbolic link name, or nullptr; a path that
// goes on past the name leaves the rest (with the interface's reference
// string in front, as Windows passes it) in `fileName`.
PDEVICE_OBJECT InterfaceDevice(const std::u16string& path, bool* enabled, std::u16string* fileName);
PDRIVER_OBJECT BusDriver();
// The record of a physical device of the test bus, or nullptr (lock held).
DeviceRecord* PhysicalRecord(PDEVICE_OBJECT pdo);
NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT device, PIRP irp);

// The Plug and Play and power rules (pnp_rules.cpp). Lock held unless
// said otherwise.
//
// IofCallDriver, before the dispatch routine runs (the IRP's location is
// already the target's, `level` its index): how it was passed, and by whom.
void CheckPassed(PIRP irp, IrpRecord* record, DeviceRecord* target, int level,
                 bool viaPoCallDriver);
// IofCallDriver, after the dispatch routine at `level` returned `status`.
void CheckDispatchReturn(PIRP irp, IrpRecord* record, DeviceRecord* device, int level,
                         NTSTATUS status, const std::string& who);
// IofCompleteRequest, as `holder`'s driver completes the IRP at its location.
void CheckCompletion(PIRP irp, IrpRecord* record, DeviceRecord* holder);
// Completion has passed `level`, whose location carried `major`.
void CheckLevelLeft(PIRP irp, IrpRecord* record, int level, UCHAR major);
// The IRP is complete past its top location.
void CheckFinished(PIRP irp, IrpRecord* record);
void NotePowerIrpStarted(PIRP irp, IrpRecord* record);
// The Plug and Play manager's sequence: before and after a request it sends.
void CheckPnpSequence(PDEVICE_OBJECT pdo, UCHAR minor);
void NotePnpOutcome(PDEVICE_OBJECT pdo, UCHAR minor, const IrpResult& result);
// BuildDeviceStack: the devices `driver`'s AddDevice attached above
// `before` take `role`; then the stack as a whole.
void CheckAddedDevices(PDEVICE_OBJECT before, StackRole role);
void CheckStackNames(PDEVICE_OBJECT pdo);
// IoDetachDevice and IoDeleteDevice.
void CheckRemovalCall(const char* function, PDEVICE_OBJECT device);
// IoDeleteDevice: waits briefly for requests still inside the device's
// dispatch routine (other than the removal deleting it) to leave, and
// reports those that do not.
void WaitUntilIdle(std::unique_lock<std::mutex>& lock, PDEVICE_OBJECT device);
// Calls that may block, and calls allowed at PASSIVE_LEVEL only (and
// PAGED_CODE), checked against the power request the thread is handling.
// Lock not needed.
void CheckBlockingCall(const char* function);
void CheckPassiveCall(const char* function, const char* pageable = nullptr);
// Whether the test bus pends every request by default (HOST_KERNEL_PENDING_BUS=1).
bool PendingBusFromEnvironment();

// References taken by drivers on objects of a process that has ended
// (leaks.cpp; lock NOT held).
void CheckReferencesOutlive(Process* process);

// Memory the kernel keeps after a driver let go of it (freed IRPs, deleted
// devices) so that later misuse is seen, not undefined: poisoned under
// AddressSanitizer, released at Reset (poison.cpp).
void Poison(const void* address, size_t size);
void Unpoison(const void* address, size_t size);

// Remove locks (remove_lock.cpp; lock held): the records of locks inside
// a device's extension are checked for acquisitions still held and
// forgotten when the device is deleted.
void ForgetRemoveLocksIn(PDEVICE_OBJECT device, const DeviceRecord& record);

// Leak checks for one driver (leaks.cpp; nullptr: everything not yet
// reported).
void CheckLeaksOf(DriverRecord* driver);

}  // namespace detail
}  // namespace host_kernel
