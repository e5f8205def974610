// Kernel-wide state: the fault log, thread context (IRQL, process, running
// driver), fault injection, kernel threads, and the orderly shutdown and
// reset between tests.
#include "kernel_internal.h"

#include <cstdio>
#include <cstdlib>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace host_kernel {
namespace detail {

Kernel &K() {
  static Kernel *kernel = new Kernel;  // never destroyed: threads may outlive main's statics
  return *kernel;
}

std::string VFormat(const char *format, va_list args) {
  char buffer[1024];
  vsnprintf(buffer, sizeof buffer, format, args);
  return buffer;
}

std::string Format(const char *format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = VFormat(format, args);
  va_end(args);
  return text;
}

namespace {
std::mutex &FaultLock() {
  static std::mutex *lock = new std::mutex;
  return *lock;
}
}  // namespace

void Fault(const char *format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = VFormat(format, args);
  va_end(args);
  std::function<void(const std::string &)> observer;
  {
    std::lock_guard<std::mutex> guard(FaultLock());
    K().Faults.push_back(text);
    observer = K().FaultObserver;
  }
  if (observer) observer(text);
}

namespace {
thread_local KIRQL t_irql = PASSIVE_LEVEL;
thread_local Process *t_process = nullptr;
thread_local std::vector<DriverRecord *> t_drivers;
}  // namespace

KIRQL &ThreadIrql() { return t_irql; }
Process *&ThreadProcess() { return t_process; }

Process *CurrentProcess() { return t_process ? t_process : SystemProcessLocked(); }

DriverRecord *CurrentDriver() { return t_drivers.empty() ? nullptr : t_drivers.back(); }

bool CheckIrql(KIRQL maximum, const char *function) {
  if (t_irql <= maximum) return true;
  Fault("IRQL check: %s called at IRQL %d (allowed up to %d)", function, t_irql, maximum);
  return false;
}

DriverScope::DriverScope(PDRIVER_OBJECT driver) {
  DriverRecord *record;
  {
    std::lock_guard<std::mutex> guard(K().Lock);
    record = FindDriverRecord(driver);
  }
  t_drivers.push_back(record);
}

DriverScope::DriverScope(DriverRecord *driver) { t_drivers.push_back(driver); }

DriverScope::~DriverScope() { t_drivers.pop_back(); }

ProcessScope::ProcessScope(Process *process) : old_(t_process) { t_process = process; }
ProcessScope::~ProcessScope() { t_process = old_; }

AtIrql::AtIrql(KIRQL irql) : old_(t_irql) { t_irql = irql; }
AtIrql::~AtIrql() { t_irql = old_; }

bool ShouldFail(Call call, NTSTATUS *status) {
  DriverRecord *driver = CurrentDriver();
  if (driver && driver->TestDouble) return false;
  std::lock_guard<std::mutex> guard(K().Lock);
  Kernel::Injection &injection = K().Injections[static_cast<int>(call)];
  injection.Calls++;
  injection.Makers.push_back(driver);
  bool fail = injection.Always;
  if (!fail && injection.Armed) {
    if (injection.Skip == 0) {
      injection.Armed = false;
      fail = true;
    } else {
      injection.Skip--;
    }
  }
  if (fail && status && injection.Status != 0) *status = injection.Status;
  return fail;
}

DriverRecord *FindDriverRecord(PDRIVER_OBJECT driver) {
  auto found = K().DriverByObject.find(driver);
  return found == K().DriverByObject.end() ? nullptr : found->second;
}

DeviceRecord *FindDevice(PDEVICE_OBJECT device) {
  auto found = K().Devices.find(device);
  return found == K().Devices.end() ? nullptr : found->second.get();
}

IrpRecord *FindIrp(PIRP irp) {
  auto found = K().Irps.find(irp);
  return found == K().Irps.end() ? nullptr : found->second.get();
}

std::string DriverName(const DriverRecord *driver) {
  return driver ? driver->Name : std::string("(no driver)");
}

std::string DeviceName(PDEVICE_OBJECT device) {
  DeviceRecord *record = FindDevice(device);
  if (!record) return Format("device %p", static_cast<void *>(device));
  return Format("%s device %p", DriverName(record->Driver).c_str(), static_cast<void *>(device));
}

std::string IrpName(UCHAR major, UCHAR minor) {
  static const char *const majors[] = {
      "IRP_MJ_CREATE", "IRP_MJ_CREATE_NAMED_PIPE", "IRP_MJ_CLOSE", "IRP_MJ_READ", "IRP_MJ_WRITE",
      "IRP_MJ_QUERY_INFORMATION", "IRP_MJ_SET_INFORMATION", "IRP_MJ_QUERY_EA", "IRP_MJ_SET_EA",
      "IRP_MJ_FLUSH_BUFFERS", "IRP_MJ_QUERY_VOLUME_INFORMATION",
      "IRP_MJ_SET_VOLUME_INFORMATION", "IRP_MJ_DIRECTORY_CONTROL",
      "IRP_MJ_FILE_SYSTEM_CONTROL", "IRP_MJ_DEVICE_CONTROL", "IRP_MJ_INTERNAL_DEVICE_CONTROL",
      "IRP_MJ_SHUTDOWN", "IRP_MJ_LOCK_CONTROL", "IRP_MJ_CLEANUP", "IRP_MJ_CREATE_MAILSLOT",
      "IRP_MJ_QUERY_SECURITY", "IRP_MJ_SET_SECURITY", "IRP_MJ_POWER", "IRP_MJ_SYSTEM_CONTROL",
      "IRP_MJ_DEVICE_CHANGE", "IRP_MJ_QUERY_QUOTA", "IRP_MJ_SET_QUOTA", "IRP_MJ_PNP"};
  static const char *const pnp[] = {
      "IRP_MN_START_DEVICE", "IRP_MN_QUERY_REMOVE_DEVICE", "IRP_MN_REMOVE_DEVICE",
      "IRP_MN_CANCEL_REMOVE_DEVICE", "IRP_MN_STOP_DEVICE", "IRP_MN_QUERY_STOP_DEVICE",
      "IRP_MN_CANCEL_STOP_DEVICE", "IRP_MN_QUERY_DEVICE_RELATIONS", "IRP_MN_QUERY_INTERFACE",
      "IRP_MN_QUERY_CAPABILITIES", "IRP_MN_QUERY_RESOURCES",
      "IRP_MN_QUERY_RESOURCE_REQUIREMENTS", "IRP_MN_QUERY_DEVICE_TEXT",
      "IRP_MN_FILTER_RESOURCE_REQUIREMENTS", "0x0e", "IRP_MN_READ_CONFIG",
      "IRP_MN_WRITE_CONFIG", "IRP_MN_EJECT", "IRP_MN_SET_LOCK", "IRP_MN_QUERY_ID",
      "IRP_MN_QUERY_PNP_DEVICE_STATE", "IRP_MN_QUERY_BUS_INFORMATION",
      "IRP_MN_DEVICE_USAGE_NOTIFICATION", "IRP_MN_SURPRISE_REMOVAL"};
  static const char *const power[] = {"IRP_MN_WAIT_WAKE", "IRP_MN_POWER_SEQUENCE",
                                      "IRP_MN_SET_POWER", "IRP_MN_QUERY_POWER"};
  if (major > IRP_MJ_MAXIMUM_FUNCTION) return Format("major function 0x%02x", major);
  std::string name = majors[major];
  if (major == IRP_MJ_PNP) {
    name += "/";
    name += minor < sizeof pnp / sizeof *pnp ? pnp[minor] : Format("0x%02x", minor);
  } else if (major == IRP_MJ_POWER) {
    name += "/";
    name += minor < sizeof power / sizeof *power ? power[minor] : Format("0x%02x", minor);
  }
  return name;
}

std::string TagName(ULONG tag) {
  std::string name;
  for (int i = 0; i < 4; i++) {
    char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
    name += (c >= 0x20 && c < 0x7F) ? c : '.';
  }
  return "'" + name + "'";
}

std::string Narrow(const std::u16string &text) {
  std::string out;
  for (char16_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out;
}

void Poison(const void *address, size_t size) {
#if defined(__SANITIZE_ADDRESS__)
  __asan_poison_memory_region(address, size);
#else
  (void)address;
  (void)size;
#endif
}

void Unpoison(const void *address, size_t size) {
#if defined(__SANITIZE_ADDRESS__)
  __asan_unpoison_memory_region(address, size);
#else
  (void)address;
  (void)size;
#endif
}

void AddResetHook(std::function<void()> hook) {
  std::lock_guard<std::mutex> guard(K().Lock);
  K().ResetHooks.push_back(std::move(hook));
}

void CheckLeaksOf(DriverRecord *driver) {
  std::lock_guard<std::mutex> guard(K().Lock);
  auto mine = [driver](DriverRecord *owner) { return driver == nullptr || owner == driver; };
  std::map<DriverRecord *, std::pair<size_t, std::string>> pool;
  for (auto &[block, info] : K().Pool) {
    if (info.Reported || !mine(info.Owner)) continue;
    info.Reported = true;
    auto &entry = pool[info.Owner];
    entry.first++;
    if (entry.first <= 4)
      entry.second += Format(" %s%s %zu bytes at %p;", info.Kind == BlockKind::String ? "string " : "",
                             TagName(info.Tag).c_str(), static_cast<size_t>(info.Size), block);
  }
  for (auto &[owner, entry] : pool)
    Fault("pool leak: %s left %zu pool block(s) allocated:%s", DriverName(owner).c_str(),
          entry.first, entry.second.c_str());
  for (auto &[body, object] : K().Objects) {
    if (object->Reported) continue;
    for (auto &[owner, count] : object->KernelReferences) {
      if (count <= 0 || !mine(owner)) continue;
      object->Reported = true;
      Fault("object reference leak: %s holds %ld reference(s) to %s object %p it never released",
            DriverName(owner).c_str(), static_cast<long>(count), object->Type->Name, body);
    }
  }
  for (auto &[irp, record] : K().Irps) {
    if (record->State == IrpState::Freed || !mine(record->Allocator)) continue;
    if (record->Origin == IrpOrigin::Driver) {
      Fault("IRP leak: %s allocated IRP %p with IoAllocateIrp and never freed it",
            DriverName(record->Allocator).c_str(), static_cast<void *>(irp));
      record->State = IrpState::Freed;
    } else if (driver == nullptr) {
      Fault("IRP leak: IRP %p sent by the %s was never completed", static_cast<void *>(irp),
            record->Origin == IrpOrigin::User ? "I/O manager" : "kernel");
      record->State = IrpState::Freed;
    }
  }
  for (auto &[mdl, record] : K().Mdls) {
    if (record.Reported || record.IoManager || !mine(record.Owner)) continue;
    record.Reported = true;
    Fault("MDL leak: %s allocated MDL %p with IoAllocateMdl and never freed it",
          DriverName(record.Owner).c_str(), static_cast<void *>(mdl));
  }
}

}  // namespace detail

using namespace detail;

std::vector<std::string> Faults() {
  std::lock_guard<std::mutex> guard(FaultLock());
  return K().Faults;
}

std::vector<std::string> TakeFaults() {
  std::lock_guard<std::mutex> guard(FaultLock());
  std::vector<std::string> faults;
  faults.swap(K().Faults);
  return faults;
}

void RecordFault(const std::string &message) { Fault("%s", message.c_str()); }

void SetFaultObserver(std::function<void(const std::string &)> observer) {
  std::lock_guard<std::mutex> guard(FaultLock());
  K().FaultObserver = std::move(observer);
}

const char *CallName(Call call) {
  switch (call) {
    case Call::IoCreateDevice: return "IoCreateDevice";
    case Call::IoAttachDeviceToDeviceStack: return "IoAttachDeviceToDeviceStack";
    case Call::ExAllocatePoolWithTag: return "ExAllocatePoolWithTag";
    case Call::IoAllocateIrp: return "IoAllocateIrp";
    case Call::IoAllocateMdl: return "IoAllocateMdl";
    case Call::IoRegisterDeviceInterface: return "IoRegisterDeviceInterface";
    case Call::IoSetDeviceInterfaceState: return "IoSetDeviceInterfaceState";
    case Call::ObReferenceObjectByHandle: return "ObReferenceObjectByHandle";
    case Call::MmMapLockedPagesSpecifyCache: return "MmMapLockedPagesSpecifyCache";
    case Call::Count: break;
  }
  return "?";
}

void FailNext(Call call, unsigned skip) { FailNext(call, 0, skip); }

void FailNext(Call call, NTSTATUS status, unsigned skip) {
  std::lock_guard<std::mutex> guard(K().Lock);
  Kernel::Injection &injection = K().Injections[static_cast<int>(call)];
  injection.Armed = true;
  injection.Skip = skip;
  injection.Status = status;
}

void FailAlways(Call call, bool fail) {
  std::lock_guard<std::mutex> guard(K().Lock);
  K().Injections[static_cast<int>(call)].Always = fail;
}

void ClearFailures() {
  std::lock_guard<std::mutex> guard(K().Lock);
  for (auto &injection : K().Injections) {
    unsigned calls = injection.Calls;
    std::vector<const DriverRecord *> makers = std::move(injection.Makers);
    injection = Kernel::Injection{};
    injection.Calls = calls;
    injection.Makers = std::move(makers);
  }
}

unsigned CallCount(Call call) {
  std::lock_guard<std::mutex> guard(K().Lock);
  return K().Injections[static_cast<int>(call)].Calls;
}

std::vector<std::string> CallDrivers(Call call) {
  std::lock_guard<std::mutex> guard(K().Lock);
  std::vector<std::string> names;
  for (const DriverRecord *driver : K().Injections[static_cast<int>(call)].Makers)
    names.push_back(driver ? driver->Name : std::string());
  return names;
}

KIRQL CurrentIrql() { return ThreadIrql(); }

IrqlScope::IrqlScope(KIRQL irql) { KeRaiseIrql(irql, &old_); }
IrqlScope::~IrqlScope() { KeLowerIrql(old_); }

void StartThread(std::function<void()> work) {
  std::lock_guard<std::mutex> guard(K().ThreadLock);
  K().Threads.emplace_back([work = std::move(work)] {
    ThreadIrql() = PASSIVE_LEVEL;
    ThreadProcess() = nullptr;
    work();
  });
}

void JoinThreads() {
  for (;;) {
    std::vector<std::thread> threads;
    {
      std::lock_guard<std::mutex> guard(K().ThreadLock);
      threads.swap(K().Threads);
    }
    if (threads.empty()) return;
    for (auto &thread : threads) thread.join();
  }
}

void CheckLeaks() { CheckLeaksOf(nullptr); }

void Shutdown() {
  std::vector<Process *> processes;
  {
    std::lock_guard<std::mutex> guard(K().Lock);
    for (auto &process : K().Processes)
      if (!process->System && !process->Terminated) processes.push_back(process.get());
  }
  for (Process *process : processes) TerminateProcess(process);
  RemoveAllStacks();
  std::vector<PDRIVER_OBJECT> drivers;
  {
    std::lock_guard<std::mutex> guard(K().Lock);
    for (auto &driver : K().Drivers)
      if (driver->Loaded && driver->Name != "HostBus") drivers.push_back(driver->Object);
  }
  for (auto it = drivers.rbegin(); it != drivers.rend(); ++it) UnloadDriver(*it);
  JoinThreads();
  CheckLeaks();
}

void Reset() {
  JoinThreads();
  std::vector<std::function<void()>> hooks;
  Kernel &k = K();
  {
    std::lock_guard<std::mutex> guard(k.Lock);
    hooks = k.ResetHooks;
    for (auto &[device, record] : k.Devices) {
      Unpoison(device, record->BlockSize);
      free(device);
    }
    k.Devices.clear();
    for (auto &[irp, record] : k.Irps) {
      Unpoison(irp, record->Size);
      free(irp);
    }
    k.Irps.clear();
    for (auto &[block, info] : k.Pool) free(block);
    k.Pool.clear();
    for (auto &[mdl, record] : k.Mdls) free(mdl);
    k.Mdls.clear();
    for (auto &[body, object] : k.Objects) free(body);
    k.Objects.clear();
    for (auto &driver : k.Drivers) {
      free(driver->Object->DriverExtension);
      free(driver->Object);
    }
    k.Drivers.clear();
    k.DriverByObject.clear();
    k.Interfaces.clear();
    k.Processes.clear();
    k.WaitLists.clear();
    k.PhysicalDevices.clear();
    k.NextInstance = 1;
    for (auto &injection : k.Injections) injection = Kernel::Injection{};
  }
  for (auto &hook : hooks) hook();
  {
    std::lock_guard<std::mutex> guard(FaultLock());
    k.Faults.clear();
  }
  ThreadIrql() = PASSIVE_LEVEL;
  ThreadProcess() = nullptr;
}

}  // namespace host_kernel

using namespace host_kernel;
using namespace host_kernel::detail;

extern "C" {

VOID NTAPI HostKernelAssertFailed(PCSTR Expression, PCSTR File, ULONG Line) {
  Fault("ASSERT failed: %s (%s:%u)", Expression, File, Line);
}

VOID NTAPI HostKernelPagedCode(PCSTR Function) {
  if (ThreadIrql() > APC_LEVEL)
    Fault("PAGED_CODE: pageable routine %s called at IRQL %d", Function, ThreadIrql());
}

ULONG DbgPrint(PCSTR Format, ...) {
  if (getenv("HOST_KERNEL_DBGPRINT")) {
    va_list args;
    va_start(args, Format);
    vfprintf(stderr, Format, args);
    va_end(args);
  }
  return 0;
}

KIRQL NTAPI KeGetCurrentIrql(VOID) { return ThreadIrql(); }

VOID NTAPI KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
  *OldIrql = ThreadIrql();
  if (NewIrql < ThreadIrql())
    Fault("KeRaiseIrql to IRQL %d below the current IRQL %d", NewIrql, ThreadIrql());
  ThreadIrql() = NewIrql;
}

VOID NTAPI KeLowerIrql(KIRQL NewIrql) {
  if (NewIrql > ThreadIrql())
    Fault("KeLowerIrql to IRQL %d above the current IRQL %d", NewIrql, ThreadIrql());
  ThreadIrql() = NewIrql;
}

KIRQL NTAPI KeRaiseIrqlToDpcLevel(VOID) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  return old;
}

}  // extern "C"
