// Fault injection: a test arms a kernel call to fail once (after some
// successful calls) or always, and the call, when driver code makes it,
// fails as it can on Windows. Every call driver code makes is counted with
// the driver that made it. Calls of the kernel itself and of test doubles
// never fail.
#include "kernel_internal.h"

namespace host_kernel {
namespace detail {

bool ShouldFail(Call call, NTSTATUS* status) {
    DriverRecord* driver = CurrentDriver();
    if (driver && driver->TestDouble) return false;
    std::lock_guard<std::mutex> guard(K().Lock);
    Kernel::Injection& injection = K().Injections[static_cast<int>(call)];
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

}  // namespace detail

using namespace detail;

const char* CallName(Call call) {
    switch (call) {
    case Call::IoCreateDevice:
        return "IoCreateDevice";
    case Call::IoAttachDeviceToDeviceStack:
        return "IoAttachDeviceToDeviceStack";
    case Call::ExAllocatePoolWithTag:
        return "ExAllocatePoolWithTag";
    case Call::IoAllocateIrp:
        return "IoAllocateIrp";
    case Call::IoAllocateMdl:
        return "IoAllocateMdl";
    case Call::IoRegisterDeviceInterface:
        return "IoRegisterDeviceInterface";
    case Call::IoSetDeviceInterfaceState:
        return "IoSetDeviceInterfaceState";
    case Call::ObReferenceObjectByHandle:
        return "ObReferenceObjectByHandle";
    case Call::MmMapLockedPagesSpecifyCache:
        return "MmMapLockedPagesSpecifyCache";
    case Call::Count:
        break;
    }
    return "?";
}

void FailNext(Call call, unsigned skip) {
    FailNext(call, 0, skip);
}

void FailNext(Call call, NTSTATUS status, unsigned skip) {
    std::lock_guard<std::mutex> guard(K().Lock);
    Kernel::Injection& injection = K().Injections[static_cast<int>(call)];
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
    for (auto& injection : K().Injections) {
        unsigned calls = injection.Calls;
        std::vector<const DriverRecord*> makers = std::move(injection.Makers);
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
    for (const DriverRecord* driver : K().Injections[static_cast<int>(call)].Makers)
        names.push_back(driver ? driver->Name : std::string());
    return names;
}

}  // namespace host_kernel
