// Memory descriptor lists. There is one address space here, so an MDL's
// system mapping is the described buffer itself; what is modelled is the
// life of an MDL (allocated, locked, mapped, unlocked, freed) and the
// misuse of it.
#include "kernel_internal.h"

#include <cstdlib>

namespace host_kernel {
namespace detail {

PMDL AllocateMdl(PVOID address, ULONG length, bool ioManager, DriverRecord* owner) {
    ULONG pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(address, length);
    size_t size = sizeof(MDL) + pages * sizeof(PFN_NUMBER);
    auto mdl = static_cast<PMDL>(calloc(1, size));
    mdl->Size = static_cast<CSHORT>(size > 0x7FFF ? 0x7FFF : size);
    mdl->StartVa = PAGE_ALIGN(address);
    mdl->ByteOffset = BYTE_OFFSET(address);
    mdl->ByteCount = length;
    std::lock_guard<std::mutex> guard(K().Lock);
    MdlRecord& record = K().Mdls[mdl];
    record.Owner = owner;
    record.IoManager = ioManager;
    return mdl;
}

void ReleaseMdl(PMDL mdl) {
    {
        std::lock_guard<std::mutex> guard(K().Lock);
        K().Mdls.erase(mdl);
    }
    free(mdl);
}

}  // namespace detail
}  // namespace host_kernel

using namespace host_kernel;
using namespace host_kernel::detail;

namespace {

bool KnownMdl(PMDL mdl, const char* function) {
    std::lock_guard<std::mutex> guard(K().Lock);
    if (mdl && K().Mdls.count(mdl)) return true;
    Fault("%s of %p, which is not an MDL (or was already freed)", function,
          static_cast<void*>(mdl));
    return false;
}

}  // namespace

extern "C" {

PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer,
                         BOOLEAN ChargeQuota, PIRP Irp) {
    (void)ChargeQuota;
    CheckIrql(DISPATCH_LEVEL, "IoAllocateMdl");
    if (ShouldFail(Call::IoAllocateMdl)) return nullptr;
    PMDL mdl = AllocateMdl(VirtualAddress, Length, false, CurrentDriver());
    if (Irp) {
        if (!SecondaryBuffer) {
            Irp->MdlAddress = mdl;
        } else {
            PMDL* link = &Irp->MdlAddress;
            while (*link) link = &(*link)->Next;
            *link = mdl;
        }
    }
    return mdl;
}

VOID NTAPI IoFreeMdl(PMDL Mdl) {
    CheckIrql(DISPATCH_LEVEL, "IoFreeMdl");
    {
        std::lock_guard<std::mutex> guard(K().Lock);
        auto found = K().Mdls.find(Mdl);
        if (found == K().Mdls.end()) {
            Fault("wrong free: IoFreeMdl of %p, which is not an MDL (or was already freed)",
                  static_cast<void*>(Mdl));
            return;
        }
        if (found->second.IoManager) {
            Fault(
                "wrong free: IoFreeMdl of MDL %p, which the I/O manager built for a request and "
                "frees "
                "itself",
                static_cast<void*>(Mdl));
            return;
        }
        if (Mdl->MdlFlags & MDL_PAGES_LOCKED)
            Fault("IoFreeMdl of MDL %p whose pages are still locked (MmUnlockPages missing)",
                  static_cast<void*>(Mdl));
    }
    ReleaseMdl(Mdl);
}

VOID NTAPI MmBuildMdlForNonPagedPool(PMDLX MemoryDescriptorList) {
    if (!KnownMdl(MemoryDescriptorList, "MmBuildMdlForNonPagedPool")) return;
    MemoryDescriptorList->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
    MemoryDescriptorList->MappedSystemVa = MmGetMdlVirtualAddress(MemoryDescriptorList);
}

VOID NTAPI MmProbeAndLockPages(PMDLX MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                               LOCK_OPERATION Operation) {
    (void)AccessMode;
    CheckIrql(APC_LEVEL, "MmProbeAndLockPages");
    if (!KnownMdl(MemoryDescriptorList, "MmProbeAndLockPages")) return;
    if (MemoryDescriptorList->MdlFlags & MDL_PAGES_LOCKED)
        Fault("MmProbeAndLockPages of MDL %p whose pages are already locked",
              static_cast<void*>(MemoryDescriptorList));
    MemoryDescriptorList->MdlFlags |= MDL_PAGES_LOCKED;
    if (Operation != IoReadAccess) MemoryDescriptorList->MdlFlags |= MDL_WRITE_OPERATION;
}

VOID NTAPI MmUnlockPages(PMDLX MemoryDescriptorList) {
    CheckIrql(DISPATCH_LEVEL, "MmUnlockPages");
    if (!KnownMdl(MemoryDescriptorList, "MmUnlockPages")) return;
    if (!(MemoryDescriptorList->MdlFlags & MDL_PAGES_LOCKED))
        Fault("MmUnlockPages of MDL %p whose pages are not locked",
              static_cast<void*>(MemoryDescriptorList));
    MemoryDescriptorList->MdlFlags &=
        static_cast<CSHORT>(~(MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA | MDL_WRITE_OPERATION));
    MemoryDescriptorList->MappedSystemVa = nullptr;
}

PVOID NTAPI MmMapLockedPagesSpecifyCache(PMDLX MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                         MEMORY_CACHING_TYPE CacheType, PVOID BaseAddress,
                                         ULONG BugCheckOnFailure, MM_PAGE_PRIORITY Priority) {
    (void)CacheType;
    (void)BaseAddress;
    (void)Priority;
    if (AccessMode != KernelMode) {
        Fault("MmMapLockedPagesSpecifyCache into user mode is not supported here");
        return nullptr;
    }
    CheckIrql(DISPATCH_LEVEL, "MmMapLockedPagesSpecifyCache");
    if (!KnownMdl(MemoryDescriptorList, "MmMapLockedPagesSpecifyCache")) return nullptr;
    PMDL mdl = MemoryDescriptorList;
    if (!(mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL))) {
        Fault("MmMapLockedPagesSpecifyCache of MDL %p whose pages are not locked",
              static_cast<void*>(mdl));
        return nullptr;
    }
    if (mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) {
        Fault(
            "MmMapLockedPagesSpecifyCache of MDL %p, which is already mapped (use "
            "MmGetSystemAddressForMdlSafe)",
            static_cast<void*>(mdl));
        return mdl->MappedSystemVa;
    }
    if (ShouldFail(Call::MmMapLockedPagesSpecifyCache)) {
        if (BugCheckOnFailure)
            Fault(
                "MmMapLockedPagesSpecifyCache failed with BugCheckOnFailure set: the system would "
                "stop");
        return nullptr;
    }
    mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    mdl->MappedSystemVa = MmGetMdlVirtualAddress(mdl);
    return mdl->MappedSystemVa;
}

VOID NTAPI MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList) {
    if (!KnownMdl(MemoryDescriptorList, "MmUnmapLockedPages")) return;
    if (!(MemoryDescriptorList->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) ||
        MemoryDescriptorList->MappedSystemVa != BaseAddress)
        Fault("MmUnmapLockedPages of %p, which is not MDL %p's mapping", BaseAddress,
              static_cast<void*>(MemoryDescriptorList));
    MemoryDescriptorList->MdlFlags &= static_cast<CSHORT>(~MDL_MAPPED_TO_SYSTEM_VA);
    MemoryDescriptorList->MappedSystemVa = nullptr;
}

}  // extern "C"
