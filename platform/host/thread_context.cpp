// Thread context: what the kernel knows about the thread its code runs on
// (the IRQL, the process whose system call it serves, the driver whose code
// is running, so that faults, fault injection and leaks name the right
// one, the critical regions it is in), the IRQL and critical-region
// routines drivers call, and the kernel's worker threads.
#include "kernel_internal.h"

namespace host_kernel {
namespace detail {

namespace {
thread_local KIRQL t_irql = PASSIVE_LEVEL;
thread_local Process* t_process = nullptr;
thread_local int t_criticalRegions = 0;
thread_local std::vector<DriverRecord*> t_drivers;

DriverRecord* RecordOf(PDRIVER_OBJECT driver) {
    std::lock_guard<std::mutex> guard(K().Lock);
    return FindDriverRecord(driver);
}
}  // namespace

KIRQL& ThreadIrql() {
    return t_irql;
}
Process*& ThreadProcess() {
    return t_process;
}
int& ThreadCriticalRegions() {
    return t_criticalRegions;
}

Process* CurrentProcess() {
    return t_process ? t_process : SystemProcessLocked();
}

DriverRecord* CurrentDriver() {
    return t_drivers.empty() ? nullptr : t_drivers.back();
}

bool CheckIrql(KIRQL maximum, const char* function) {
    if (maximum == PASSIVE_LEVEL) CheckPassiveCall(function);
    if (t_irql <= maximum) return true;
    Fault("IRQL check: %s called at IRQL %d (allowed up to %d)", function, t_irql, maximum);
    return false;
}

DriverScope::DriverScope(PDRIVER_OBJECT driver) {
    t_drivers.push_back(RecordOf(driver));
}

DriverScope::DriverScope(DriverRecord* driver) {
    t_drivers.push_back(driver);
}

DriverScope::~DriverScope() {
    t_drivers.pop_back();
}

ProcessScope::ProcessScope(Process* process) : old_(t_process) {
    t_process = process;
}
ProcessScope::~ProcessScope() {
    t_process = old_;
}

AtIrql::AtIrql(KIRQL irql) : old_(t_irql) {
    t_irql = irql;
}
AtIrql::~AtIrql() {
    t_irql = old_;
}

}  // namespace detail

using namespace detail;

KIRQL CurrentIrql() {
    return ThreadIrql();
}

IrqlScope::IrqlScope(KIRQL irql) {
    KeRaiseIrql(irql, &old_);
}
IrqlScope::~IrqlScope() {
    KeLowerIrql(old_);
}

DriverContext::DriverContext(PDRIVER_OBJECT driver) {
    t_drivers.push_back(RecordOf(driver));
}
DriverContext::~DriverContext() {
    t_drivers.pop_back();
}

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
        for (auto& thread : threads) thread.join();
    }
}

}  // namespace host_kernel

using namespace host_kernel::detail;

extern "C" {

VOID NTAPI HostKernelPagedCode(PCSTR Function) {
    CheckPassiveCall("PAGED_CODE", Function);
    if (ThreadIrql() > APC_LEVEL)
        Fault("PAGED_CODE: pageable routine %s called at IRQL %d", Function, ThreadIrql());
}

KIRQL NTAPI KeGetCurrentIrql(VOID) {
    return ThreadIrql();
}

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

// A count per thread, as the thread's KernelApcDisable is: a leave that
// finds none entered would re-enable APCs under a caller that relies on
// them being off, so it is refused as well as reported.
VOID NTAPI KeEnterCriticalRegion(VOID) {
    CheckIrql(APC_LEVEL, "KeEnterCriticalRegion");
    ThreadCriticalRegions()++;
}

VOID NTAPI KeLeaveCriticalRegion(VOID) {
    CheckIrql(APC_LEVEL, "KeLeaveCriticalRegion");
    if (ThreadCriticalRegions() == 0) {
        Fault("critical region: %s called KeLeaveCriticalRegion without KeEnterCriticalRegion",
              DriverName(CurrentDriver()).c_str());
        return;
    }
    ThreadCriticalRegions()--;
}

}  // extern "C"
