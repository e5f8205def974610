// Pool: every block remembers its size, tag, pool type and the driver that
// allocated it, so that leaks are found at unload and a block freed with
// the wrong function, the wrong tag, twice, or at too high an IRQL is
// reported. Also the Rtl string and memory helpers that use pool.
#include "kernel_internal.h"

#include <cstdlib>
#include <deque>

namespace host_kernel {
namespace detail {

namespace {
bool Paged(POOL_TYPE type) {
    return (type & 1) != 0 && type != NonPagedPoolNx;
}
// New blocks are filled so that code relying on uninitialised pool shows.
constexpr int kFreshFill = 0xCD;
}  // namespace

namespace {
// Blocks of a frame buffer's size are kept when freed and handed out again:
// a fresh mapping of megabytes costs a page fault per page, which for a
// fuzzer living hundreds of cameras' lives a second is most of its time.
// Large blocks are taken in whole steps of kKeptStep, so that blocks of
// nearby sizes share; a kept block, and the tail of a block beyond what was
// asked for, are poisoned, so a use after free or past the end is still seen.
constexpr size_t kKeptStep = 256 * 1024;
constexpr size_t kKeptBlocks = 8;
std::mutex g_keptLock;
// Never destroyed, so that the blocks stay reachable until the process ends.
std::deque<std::pair<size_t, PVOID>>& g_kept = *new std::deque<std::pair<size_t, PVOID>>;

size_t Capacity(size_t size) {
    return size < kKeptStep ? size : (size + kKeptStep - 1) / kKeptStep * kKeptStep;
}

PVOID TakeMemory(size_t size) {
    const size_t capacity = Capacity(size);
    PVOID block = nullptr;
    if (capacity >= kKeptStep) {
        std::lock_guard<std::mutex> guard(g_keptLock);
        for (auto it = g_kept.begin(); it != g_kept.end(); ++it) {
            if (it->first == capacity) {
                block = it->second;
                g_kept.erase(it);
                break;
            }
        }
    }
    if (block == nullptr) {
        block = malloc(capacity ? capacity : 1);
        if (block == nullptr) return nullptr;
        Poison(block, capacity);
    }
    Unpoison(block, size);
    return block;
}
}  // namespace

void ReleasePoolMemory(PVOID block, size_t size) {
    const size_t capacity = Capacity(size);
    if (capacity >= kKeptStep) {
        Poison(block, capacity);
        std::lock_guard<std::mutex> guard(g_keptLock);
        g_kept.emplace_back(capacity, block);
        if (g_kept.size() <= kKeptBlocks) return;
        block = g_kept.front().second;  // the one kept longest goes
        Unpoison(block, g_kept.front().first);
        g_kept.pop_front();
    }
    free(block);
}

PVOID AllocatePool(POOL_TYPE type, SIZE_T size, ULONG tag, DriverRecord* owner, BlockKind kind) {
    PVOID block = TakeMemory(size);
    if (!block) return nullptr;
    memset(block, kFreshFill, size);
    std::lock_guard<std::mutex> guard(K().Lock);
    PoolBlock& info = K().Pool[block];
    info = PoolBlock{};
    info.Size = size;
    info.Tag = tag;
    info.Type = type;
    info.Owner = owner;
    info.Kind = kind;
    return block;
}

void FreePoolBlock(PVOID block) {
    size_t size = 0;
    {
        std::lock_guard<std::mutex> guard(K().Lock);
        auto found = K().Pool.find(block);
        if (found != K().Pool.end()) size = found->second.Size;
        K().Pool.erase(block);
    }
    ReleasePoolMemory(block, size);
}

namespace {

// What a pointer handed to a pool-freeing routine really is, for the
// message when it is not a pool block.
std::string WhatIs(PVOID pointer) {
    if (FindIrp(static_cast<PIRP>(pointer))) return "an IRP (free it with IoFreeIrp)";
    if (K().Mdls.count(static_cast<PMDL>(pointer))) return "an MDL (free it with IoFreeMdl)";
    if (FindDevice(static_cast<PDEVICE_OBJECT>(pointer)))
        return "a device object (delete it with IoDeleteDevice)";
    if (K().Objects.count(pointer)) return "an object (release it with ObDereferenceObject)";
    return "not a pool block (never allocated, or already freed)";
}

void FreeChecked(PVOID block, const char* function, const ULONG* tag) {
    size_t size = 0;
    if (!block) {
        Fault("%s(NULL)", function);
        return;
    }
    {
        std::lock_guard<std::mutex> guard(K().Lock);
        auto found = K().Pool.find(block);
        if (found == K().Pool.end()) {
            Fault("wrong free: %s of %p, which is %s", function, block, WhatIs(block).c_str());
            return;
        }
        const PoolBlock& info = found->second;
        CheckIrql(Paged(info.Type) ? APC_LEVEL : DISPATCH_LEVEL, function);
        constexpr ULONG kProtected = 0x80000000;
        if (tag && (*tag & ~kProtected) != (info.Tag & ~kProtected))
            Fault("wrong free: %s of %p with tag %s, allocated with tag %s", function, block,
                  TagName(*tag).c_str(), TagName(info.Tag).c_str());
        size = info.Size;
        K().Pool.erase(found);
    }
    ReleasePoolMemory(block, size);
}

}  // namespace

}  // namespace detail

PoolStats PoolUsage(ULONG tag) {
    std::lock_guard<std::mutex> guard(detail::K().Lock);
    PoolStats stats;
    for (auto& [block, info] : detail::K().Pool) {
        if (tag && info.Tag != tag) continue;
        stats.Blocks++;
        stats.Bytes += info.Size;
    }
    return stats;
}

}  // namespace host_kernel

using namespace host_kernel;
using namespace host_kernel::detail;

extern "C" {

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    CheckIrql(Paged(PoolType) ? APC_LEVEL : DISPATCH_LEVEL, "ExAllocatePoolWithTag");
    if (ShouldFail(Call::ExAllocatePoolWithTag)) return nullptr;
    return AllocatePool(PoolType, NumberOfBytes, Tag, CurrentDriver(), BlockKind::Pool);
}

PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
    return ExAllocatePoolWithTag(PoolType, NumberOfBytes, 'enoN');
}

VOID NTAPI ExFreePool(PVOID P) {
    FreeChecked(P, "ExFreePool", nullptr);
}

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) {
    if (Tag == 0) {
        FreeChecked(P, "ExFreePoolWithTag", nullptr);
    } else {
        FreeChecked(P, "ExFreePoolWithTag", &Tag);
    }
}

SIZE_T NTAPI RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length) {
    const UCHAR* a = static_cast<const UCHAR*>(Source1);
    const UCHAR* b = static_cast<const UCHAR*>(Source2);
    SIZE_T same = 0;
    while (same < Length && a[same] == b[same]) same++;
    return same;
}

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    if (!SourceString) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        DestinationString->Buffer = nullptr;
        return;
    }
    size_t length = 0;
    while (SourceString[length]) length++;
    DestinationString->Length = static_cast<USHORT>(length * sizeof(WCHAR));
    DestinationString->MaximumLength = static_cast<USHORT>((length + 1) * sizeof(WCHAR));
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
    CheckIrql(PASSIVE_LEVEL, "RtlFreeUnicodeString");
    if (!UnicodeString) {
        Fault("RtlFreeUnicodeString(NULL)");
        return;
    }
    PVOID buffer = UnicodeString->Buffer;
    if (buffer) {
        bool known;
        {
            std::lock_guard<std::mutex> guard(K().Lock);
            known = K().Pool.count(buffer) != 0;
        }
        if (!known) {
            Fault(
                "wrong free: RtlFreeUnicodeString of a buffer the kernel did not allocate (%p): a "
                "string from RtlInitUnicodeString, or one already freed",
                buffer);
        } else {
            FreePoolBlock(buffer);
        }
    }
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                    BOOLEAN CaseInSensitive) {
    if (String1->Length != String2->Length) return FALSE;
    for (USHORT i = 0; i < String1->Length / sizeof(WCHAR); i++) {
        WCHAR a = String1->Buffer[i], b = String2->Buffer[i];
        if (CaseInSensitive) {
            if (a >= u'a' && a <= u'z') a = static_cast<WCHAR>(a - 32);
            if (b >= u'a' && b <= u'z') b = static_cast<WCHAR>(b - 32);
        }
        if (a != b) return FALSE;
    }
    return TRUE;
}

}  // extern "C"
