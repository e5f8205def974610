// Lifecycle: the one kernel all modules share, its orderly shutdown (every
// stack removed, every driver unloaded, then the leak checks) and the
// reset that forgets everything between tests.
#include "kernel_internal.h"

#include <cstdlib>

namespace host_kernel {
namespace detail {

Kernel& K() {
    static Kernel* kernel = new Kernel;  // never destroyed: threads may outlive main's statics
    return *kernel;
}

}  // namespace detail

using namespace detail;

void AddResetHook(std::function<void()> hook) {
    std::lock_guard<std::mutex> guard(K().Lock);
    K().ResetHooks.push_back(std::move(hook));
}

void Shutdown() {
    std::vector<Process*> processes;
    {
        std::lock_guard<std::mutex> guard(K().Lock);
        for (auto& process : K().Processes)
            if (!process->System && !process->Terminated) processes.push_back(process.get());
    }
    for (Process* process : processes) TerminateProcess(process);
    RemoveAllStacks();
    std::vector<PDRIVER_OBJECT> drivers;
    {
        std::lock_guard<std::mutex> guard(K().Lock);
        for (auto& driver : K().Drivers)
            if (driver->Loaded && !driver->Bus) drivers.push_back(driver->Object);
    }
    for (auto it = drivers.rbegin(); it != drivers.rend(); ++it) UnloadDriver(*it);
    JoinThreads();
    CheckLeaks();
}

void Reset() {
    JoinThreads();
    std::vector<std::function<void()>> hooks;
    Kernel& k = K();
    {
        std::lock_guard<std::mutex> guard(k.Lock);
        hooks = k.ResetHooks;
        for (auto& [device, record] : k.Devices) {
            Unpoison(device, record->BlockSize);
            free(device);
        }
        k.Devices.clear();
        for (auto& [irp, record] : k.Irps) {
            Unpoison(irp, record->Size);
            free(irp);
        }
        k.Irps.clear();
        for (auto& [block, info] : k.Pool) ReleasePoolMemory(block, info.Size);
        k.Pool.clear();
        for (auto& [mdl, record] : k.Mdls) free(mdl);
        k.Mdls.clear();
        for (auto& [body, object] : k.Objects) free(body);
        k.Objects.clear();
        for (auto& driver : k.Drivers) {
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
        k.NextDeviceNumber = 1;
        k.RemoveLocks.clear();
        for (auto& injection : k.Injections) injection = Kernel::Injection{};
    }
    for (auto& hook : hooks) hook();
    TakeFaults();  // forgotten
    ThreadIrql() = PASSIVE_LEVEL;
    ThreadProcess() = nullptr;
    ThreadCriticalRegions() = 0;
}

}  // namespace host_kernel
