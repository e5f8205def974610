// An IRP's life: allocation with its stack locations (by a driver, the
// kernel or the I/O manager), the record each IRP is found by, reuse, and
// freeing, with the checks on freeing and reusing one a lower driver still
// holds or that is not an IRP at all; and the kernel's wait for the IRPs it
// sends itself.
#include "kernel_internal.h"

#include <cstdlib>

namespace host_kernel {
namespace detail {

namespace {

PIO_STACK_LOCATION Locations(PIRP irp) {
    return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
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

}  // namespace

void MarkUnset(PIO_STACK_LOCATION location) {
    memset(location, 0, sizeof *location);
    location->MajorFunction = UNSET_MAJOR;
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
    std::chrono::seconds limit = pended ? HANG_LIMIT : std::chrono::seconds(0);
    bool completed = K().IrpDone.wait_for(lock, limit, [record] {
        return record->State == IrpState::Completed || record->State == IrpState::Freed;
    });
    lock.unlock();
    if (!completed && pended)
        Fault("hang: %s within %lld s", request().c_str(),
              static_cast<long long>(HANG_LIMIT.count()));
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

}  // extern "C"
