// The test-facing side of the user-mode kernel: what a test uses to load
// drivers, build Plug and Play device stacks over a test bus, act as a
// user-mode process (handles, events, open/read/device control), inject
// failures into kernel calls and read the faults the kernel's checks found.
// Driver code never includes this; it sees only the WDM names (wdm.h).
#pragma once

#include <wdm.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace host_kernel {

// ---------------------------------------------------------------- faults --
// Every misuse the kernel detects (the Driver Verifier style checks) is
// recorded as a fault whose message names it, and the kernel carries on as
// safely as it can. host_kernel_gtest fails the test that recorded any.
std::vector<std::string> Faults();
std::vector<std::string> TakeFaults();  // returns and forgets them
void RecordFault(const std::string& message);
// Called for every fault as it is recorded (from whatever thread found it).
void SetFaultObserver(std::function<void(const std::string&)> observer);
// Called for every request a driver or the kernel passes to a device
// (IofCallDriver), before its dispatch routine runs, on the calling thread,
// with one line naming the IRP, its function and the driver that gets it.
// For tracing tools; an empty function stops it.
void SetRequestObserver(std::function<void(const std::string&)> observer);

// ------------------------------------------------------------- lifecycle --
// Orderly end: sends every device stack still present its removal, unloads
// every loaded driver, terminates every process, then checks for leaked
// pool blocks, object references, IRPs and MDLs (recorded as faults).
void Shutdown();
// Forgets all kernel state (no checks): drivers, devices, processes, pool,
// faults, injected failures. Joins the kernel's worker threads first.
void Reset();
// The leak checks of Shutdown on their own.
void CheckLeaks();

// ------------------------------------------------------- fault injection --
enum class Call {
    IoCreateDevice,
    IoAttachDeviceToDeviceStack,
    ExAllocatePoolWithTag,  // also ExAllocatePool
    IoAllocateIrp,
    IoAllocateMdl,
    IoRegisterDeviceInterface,
    IoSetDeviceInterfaceState,
    ObReferenceObjectByHandle,
    MmMapLockedPagesSpecifyCache,
    Count
};
const char* CallName(Call call);
// The (skip + 1)-th next call of `call` made by driver code fails: pointer
// results become nullptr, status results become `status` (or the call's usual
// failure: STATUS_INSUFFICIENT_RESOURCES, STATUS_INVALID_HANDLE for
// ObReferenceObjectByHandle). Calls the kernel makes for itself never fail.
void FailNext(Call call, unsigned skip = 0);
void FailNext(Call call, NTSTATUS status, unsigned skip);
void FailAlways(Call call, bool fail = true);
void ClearFailures();
// How many times driver code has made `call` since the last Reset.
unsigned CallCount(Call call);
// The driver (its LoadDriver name) that made each of those calls, in order,
// so that a test failing the n-th call knows whose it is.
std::vector<std::string> CallDrivers(Call call);

// ---------------------------------------------------------------- IRQL --
// Raises the calling thread's IRQL for the scope (KeRaiseIrql/KeLowerIrql).
class IrqlScope {
  public:
    explicit IrqlScope(KIRQL irql);
    ~IrqlScope();
    IrqlScope(const IrqlScope&) = delete;
    IrqlScope& operator=(const IrqlScope&) = delete;

  private:
    KIRQL old_;
};

// ---------------------------------------------------------------- threads --
// Runs `work` on a new kernel thread at PASSIVE_LEVEL; Reset and Shutdown
// join it. For tests that complete or send requests from another thread.
void StartThread(std::function<void()> work);
void JoinThreads();

// ---------------------------------------------------------- test doubles --
// What a driver written for tests, to stand in for another, needs beyond
// the WDM names.
//
// Marks a loaded driver as a test double: fault injection never fails its
// calls, and it may complete a request another driver holds.
void MarkTestDouble(PDRIVER_OBJECT driver);
// Runs `hook` at every Reset, after the kernel has forgotten its state.
void AddResetHook(std::function<void()> hook);
// For the scope, the kernel counts what the calling thread does as
// `driver`'s, as it would from the driver's DPC or worker thread: for a
// test double completing a request on a thread the kernel did not call it
// on.
class DriverContext {
  public:
    explicit DriverContext(PDRIVER_OBJECT driver);
    ~DriverContext();
    DriverContext(const DriverContext&) = delete;
    DriverContext& operator=(const DriverContext&) = delete;
};

// --------------------------------------------------------------- drivers --
// Creates the driver object for `name` and runs its entry routine at
// PASSIVE_LEVEL in the system process. Returns nullptr (and the status) when
// the entry routine fails. Several drivers live side by side.
PDRIVER_OBJECT LoadDriver(const char* name, PDRIVER_INITIALIZE entry, NTSTATUS* status = nullptr);
// Calls DriverUnload. A device object the driver still owns, a pool block
// it allocated or an object reference it took and did not release is a
// fault.
void UnloadDriver(PDRIVER_OBJECT driver);
PDRIVER_OBJECT FindDriver(const char* name);

// ------------------------------------------------- Plug and Play manager --
// Whether the test bus pends by default: HOST_KERNEL_PENDING_BUS=1 in the
// environment turns it on for a whole run (read once).
bool PendingBusByDefault();

struct PhysicalDeviceOptions {
    ULONG Flags = DO_BUFFERED_IO | DO_POWER_PAGABLE;
    DEVICE_TYPE DeviceType = FILE_DEVICE_UNKNOWN;
    ULONG Characteristics = FILE_AUTOGENERATED_DEVICE_NAME;
    // What the bus answers for the start request (the PDO's own part).
    NTSTATUS StartStatus = STATUS_SUCCESS;
    // What it answers set-power and query-power requests with: a failure is
    // the hardware's, which only the bus may report (filters and function
    // drivers must not fail a set-power request).
    NTSTATUS PowerStatus = STATUS_SUCCESS;
    // Answer to IRP_MN_QUERY_CAPABILITIES: success and these values.
    ULONG Address = 1;
    ULONG UINumber = 2;
    // The device's instance ID is HOSTBUS\<DeviceId>\<InstanceId>, and its
    // interfaces' symbolic link names are formed from it.
    const char* DeviceId = "CAMERA";
    const char* InstanceId = nullptr;  // default: a fresh number
    // The bus answers Plug and Play and power requests as a bus whose
    // hardware takes its time does: marked pending, STATUS_PENDING returned,
    // completed later from a kernel thread at DISPATCH_LEVEL.
    bool PendRequests = PendingBusByDefault();
};
// A physical device object owned by the test bus driver. It serves the
// Plug and Play and power requests that reach it as a bus driver does
// (requests it does not handle keep the status they came with; with
// PendRequests, later), succeeds create, cleanup and close, and refuses
// other requests with STATUS_INVALID_DEVICE_REQUEST.
PDEVICE_OBJECT CreatePhysicalDevice(const PhysicalDeviceOptions& options = {});
// Deletes a physical device object whose stack has been removed.
void DeletePhysicalDevice(PDEVICE_OBJECT pdo);

// Calls AddDevice of the lower filters, the function driver and the upper
// filters in that order (Windows' order), records each new device's role,
// and checks each new device object is initialised and takes what it must
// from the device below (buffering, power flags; a filter its type), and
// the finished stack's names. If one fails, the devices already added
// receive IRP_MN_REMOVE_DEVICE and the failure is returned.
struct StackSpec {
    std::vector<PDRIVER_OBJECT> LowerFilters;
    PDRIVER_OBJECT Function = nullptr;
    std::vector<PDRIVER_OBJECT> UpperFilters;
};
NTSTATUS BuildDeviceStack(PDEVICE_OBJECT pdo, const StackSpec& layout);
// The device objects attached over `pdo`, bottom (the PDO) first.
std::vector<PDEVICE_OBJECT> DeviceStack(PDEVICE_OBJECT pdo);
// The device object `driver` has in the stack over `pdo`, or nullptr.
PDEVICE_OBJECT DeviceOf(PDEVICE_OBJECT pdo, PDRIVER_OBJECT driver);

// Result of a request the kernel sent and waited for.
struct IrpResult {
    NTSTATUS Status = STATUS_PENDING;    // IoStatus.Status after completion
    ULONG_PTR Information = 0;           // IoStatus.Information
    NTSTATUS Returned = STATUS_PENDING;  // what the top driver's dispatch returned
    bool PendingReturned = false;        // the IRP's PendingReturned at the top
    bool Completed = false;              // false: not completed within the time-out
};
// Sends a Plug and Play request (status preset to STATUS_NOT_SUPPORTED as
// the Plug and Play manager does) to the top of the stack at PASSIVE_LEVEL
// and waits for its completion. IRP_MN_STOP_DEVICE is sent only after a
// successful IRP_MN_QUERY_STOP_DEVICE (a fault otherwise), as Windows does.
IrpResult SendPnp(PDEVICE_OBJECT pdo, UCHAR minor,
                  const std::function<void(PIO_STACK_LOCATION)>& setup = {});
// Sends any request built by `setup` to `target` itself (not the top of
// its stack) at `irql` and waits. For tests of one driver's dispatch.
IrpResult SendIrp(PDEVICE_OBJECT target, UCHAR major, UCHAR minor,
                  const std::function<void(PIRP, PIO_STACK_LOCATION)>& setup = {},
                  NTSTATUS initialStatus = STATUS_NOT_SUPPORTED, KIRQL irql = PASSIVE_LEVEL);

// The sequences of Windows' Plug and Play manager. Each returns the status
// of the request that decided the outcome.
NTSTATUS StartDevice(PDEVICE_OBJECT pdo);
NTSTATUS StopDevice(PDEVICE_OBJECT pdo);    // QUERY_STOP, then STOP or CANCEL_STOP
NTSTATUS RemoveDevice(PDEVICE_OBJECT pdo);  // QUERY_REMOVE, then REMOVE or CANCEL_REMOVE
// IRP_MN_SURPRISE_REMOVAL only; Windows sends IRP_MN_REMOVE_DEVICE later
// (after the last handle closes): RemoveDevice then sends it without a query.
NTSTATUS SurpriseRemoveDevice(PDEVICE_OBJECT pdo);
// After REMOVE_DEVICE every device object above the PDO must have been
// detached and deleted by its driver (a fault otherwise) and the device's
// interfaces are disabled, as Windows does. A failed start is not followed
// by a removal here (Windows would remove the stack): tests look at the
// state a failed start leaves, then call RemoveDevice.
IrpResult QueryInterface(PDEVICE_OBJECT pdo, const GUID& type, PINTERFACE iface, USHORT size,
                         USHORT version);
// Fills `caps` as the Plug and Play manager prepares it (zero, Size,
// Version 1, Address and UINumber 0xFFFFFFFF) and sends the query.
IrpResult QueryCapabilities(PDEVICE_OBJECT pdo, PDEVICE_CAPABILITIES caps);

// Power requests, sent as the power manager does: at PASSIVE_LEVEL when the
// top device has DO_POWER_PAGABLE, otherwise at DISPATCH_LEVEL.
IrpResult SetDevicePower(PDEVICE_OBJECT pdo, DEVICE_POWER_STATE state);
IrpResult SetSystemPower(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state,
                         POWER_ACTION action = PowerActionSleep);
IrpResult QueryDevicePower(PDEVICE_OBJECT pdo, DEVICE_POWER_STATE state);
IrpResult QuerySystemPower(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state,
                           POWER_ACTION action = PowerActionSleep);

// ----------------------------------------------- processes and handles --
// A user-mode process: a handle table. Requests a test issues "from" a
// process run on the calling thread in that process's context at
// PASSIVE_LEVEL with RequestorMode UserMode, so ObReferenceObjectByHandle
// resolves handles in that table.
struct Process;
Process* CreateProcess(const char* name);
// Closes every handle of the process (open files get cleanup and close).
void TerminateProcess(Process* process);
// The system process: its handles are kernel handles, which UserMode
// lookups refuse.
Process* SystemProcess();

// Runs `work` on the calling thread at PASSIVE_LEVEL in the process's
// context, as a system call of that process would run kernel code.
void RunInProcess(Process* process, const std::function<void()>& work);

HANDLE CreateEvent(Process* process, EVENT_TYPE type, bool signalled,
                   ACCESS_MASK access = EVENT_ALL_ACCESS);
NTSTATUS SetEvent(Process* process, HANDLE event);
NTSTATUS ResetEvent(Process* process, HANDLE event);
// STATUS_SUCCESS when signalled (a synchronization event is reset by the
// wait), STATUS_TIMEOUT otherwise.
NTSTATUS WaitForEvent(Process* process, HANDLE event, std::chrono::milliseconds timeout);
// Waits until any of `events` is signalled: STATUS_WAIT_0 + the index of the
// event that released the wait (the first signalled one if several are
// already), STATUS_TIMEOUT, or STATUS_INVALID_HANDLE if one is not an event.
NTSTATUS WaitForAnyEvent(Process* process, const std::vector<HANDLE>& events,
                         std::chrono::milliseconds timeout);
// SignalState of the event, or -1 for a bad handle.
LONG EventState(Process* process, HANDLE event);
// Closes a handle; for a file, IRP_MJ_CLEANUP goes down when its last
// handle closes and IRP_MJ_CLOSE when its last reference goes.
NTSTATUS CloseHandle(Process* process, HANDLE handle);
// The object behind a handle (no reference taken), or nullptr.
PVOID ObjectFromHandle(Process* process, HANDLE handle);
// Current reference count of an object (handles count as references).
LONG_PTR ReferenceCount(PVOID object);
// A handle value that is not open in any process.
HANDLE UnusedHandle();

// ---------------------------------------- device interfaces and user I/O --
// Symbolic link names of the enabled interfaces of a class.
std::vector<std::u16string> EnumerateDeviceInterfaces(const GUID& interfaceClass);
bool DeviceInterfaceEnabled(const std::u16string& symbolicLink);

// Opens a device interface (IRP_MJ_CREATE to the top of the device's
// stack). What follows the interface's name (`\rest`) reaches the driver
// as the file object's FileName, behind the reference string if the
// interface has one. The handle grants `desiredAccess`, generic rights
// mapped to file rights; reads need FILE_READ_DATA, writes FILE_WRITE_DATA
// and device controls what their code's access bits ask, or the request is
// refused with STATUS_ACCESS_DENIED before any driver sees it.
NTSTATUS OpenDevice(Process* process, const std::u16string& symbolicLink, HANDLE* handle,
                    ACCESS_MASK desiredAccess = FILE_ALL_ACCESS);
// Opens the stack over `pdo` directly, as if by one of its interfaces.
NTSTATUS OpenDevice(Process* process, PDEVICE_OBJECT pdo, HANDLE* handle,
                    ACCESS_MASK desiredAccess = FILE_ALL_ACCESS);
// Opens `\Device\NAME` or `\Device\NAME\rest` as the I/O manager does: the
// create goes to the top of the stack the named device is in, with FileName
// `\rest` (empty without). STATUS_OBJECT_NAME_NOT_FOUND when no device has
// that name.
NTSTATUS OpenDeviceByName(Process* process, const std::u16string& path, HANDLE* handle,
                          ACCESS_MASK desiredAccess = FILE_ALL_ACCESS);
// The name a device was created with (IoCreateDevice's DeviceName, or the
// `\Device\NNNNNNNN` of FILE_AUTOGENERATED_DEVICE_NAME); empty when unnamed.
std::u16string DeviceObjectName(PDEVICE_OBJECT device);

// What the user-mode caller sees: the status the system service returns
// (the dispatch's return, or the final status after waiting when the
// driver pended) and the IO_STATUS_BLOCK's Information. Buffered output is
// copied back only when the status is not an error.
struct IoResult {
    NTSTATUS Status = STATUS_PENDING;
    ULONG_PTR Information = 0;
    NTSTATUS DispatchStatus = STATUS_PENDING;  // what the top dispatch returned
    bool Pended = false;                       // the caller had to wait
};
// Buffered, direct or neither by the top device's DO_BUFFERED_IO / DO_DIRECT_IO.
IoResult ReadFile(Process* process, HANDLE file, void* buffer, ULONG length, LONGLONG offset = 0);
IoResult WriteFile(Process* process, HANDLE file, const void* buffer, ULONG length,
                   LONGLONG offset = 0);
// Buffered, in/out direct or neither by the code's method bits.
IoResult DeviceIoControl(Process* process, HANDLE file, ULONG code, const void* input,
                         ULONG inputLength, void* output, ULONG outputLength);

// -------------------------------------------------------- accounting --
struct PoolStats {
    size_t Blocks = 0;
    SIZE_T Bytes = 0;
};
PoolStats PoolUsage(ULONG tag = 0);  // tag 0: every tag
size_t LiveIrps();                   // allocated and not yet freed
size_t LiveDevices();                // device objects not deleted

// Current IRQL of the calling thread.
KIRQL CurrentIrql();
// Threads blocked in a wait on this event (a KEVENT or an event object),
// for tests that must know a thread has reached its wait.
size_t WaitingThreads(PVOID event);
// Polls `condition` until it holds or `limit` passes; returns whether it held.
bool WaitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds limit = std::chrono::milliseconds(5000));

}  // namespace host_kernel
