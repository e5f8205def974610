// Remove locks: counted as Windows counts them (a bias of one that
// removal drops, acquisitions refused once removal has begun, the remover
// waiting for the rest to drain) and checked as Driver Verifier checks
// them: acquisitions are tracked by tag, so a release with a tag that
// holds none is seen where it happens rather than as a count that drains
// too early, a second release-and-wait and an acquisition after the wait
// has returned (the device is being deleted) are misuse, and a device
// deleted while its lock is still held is a leak.
#include "kernel_internal.h"

namespace host_kernel {
namespace detail {

namespace {

// The driver a message names: the one whose code is running, or the one
// that set the lock up when the test itself is calling.
std::string Caller(const RemoveLockRecord* record) {
    DriverRecord* driver = CurrentDriver();
    return DriverName(driver || !record ? driver : record->Owner);
}

std::string LockName(const IO_REMOVE_LOCK* lock, const RemoveLockRecord& record) {
    return Format("remove lock %p (%s)", static_cast<const void*>(lock),
                  TagName(record.AllocateTag).c_str());
}

// The acquisitions still held, by tag, for messages (the first few).
std::string HeldTags(const RemoveLockRecord& record) {
    std::string text;
    size_t shown = 0;
    for (const auto& [tag, count] : record.Held) {
        if (shown++ == 4) return text + ", ...";
        text += Format("%stag %p x%ld", text.empty() ? "" : ", ", tag, static_cast<long>(count));
    }
    return text;
}

LONG Outstanding(const RemoveLockRecord& record) {
    LONG count = 0;
    for (const auto& [tag, held] : record.Held) count += held;
    return count;
}

// Drivers must not read the lock's fields, but a debugger would: they
// follow the record.
void Mirror(PIO_REMOVE_LOCK lock, const RemoveLockRecord& record) {
    __atomic_store_n(&lock->Common.Removed, record.Removed, __ATOMIC_RELAXED);
    __atomic_store_n(&lock->Common.IoCount, record.Count, __ATOMIC_RELAXED);
}

// The IRQL check of the kernel's other calls, naming the lock and tag too.
void CheckLockIrql(KIRQL maximum, const char* function, PIO_REMOVE_LOCK lock, PVOID tag) {
    if (ThreadIrql() <= maximum) return;
    Fault("IRQL check: %s called %s at IRQL %d with tag %p on remove lock %p (allowed up to %d)",
          Caller(nullptr).c_str(), function, ThreadIrql(), tag, static_cast<void*>(lock), maximum);
}

// Lock held. Returns nullptr, after a fault naming the call, for a lock never set up.
RemoveLockRecord* LockRecord(PIO_REMOVE_LOCK lock, PVOID tag, const char* function) {
    auto found = K().RemoveLocks.find(lock);
    if (found != K().RemoveLocks.end()) return found->second.get();
    Fault(
        "remove lock: %s called %s with tag %p on a remove lock never initialised (%p: "
        "IoInitializeRemoveLock missing, or its device was deleted)",
        Caller(nullptr).c_str(), function, tag, static_cast<void*>(lock));
    return nullptr;
}

// Drops one acquisition made with `tag`; false, dropping nothing, when the
// tag holds none. The remover is woken when the last one goes.
bool DropAcquisition(PIO_REMOVE_LOCK lock, RemoveLockRecord& record, PVOID tag) {
    auto held = record.Held.find(tag);
    if (held == record.Held.end()) return false;
    if (--held->second == 0) record.Held.erase(held);
    record.Count--;
    Mirror(lock, record);
    if (record.Count == 0) K().RemoveLockReleased.notify_all();
    return true;
}

// Waits, bounded like every wait of the kernel, until every acquisition is
// released; the record may go meanwhile (the device deleted regardless).
void WaitForDrain(std::unique_lock<std::mutex>& guard, PIO_REMOVE_LOCK lock) {
    auto drained = [lock] {
        auto found = K().RemoveLocks.find(lock);
        return found == K().RemoveLocks.end() || found->second->Count <= 0;
    };
    if (K().RemoveLockReleased.wait_for(guard, HANG_LIMIT, drained)) return;
    const RemoveLockRecord& record = *K().RemoveLocks[lock];
    Fault("hang: IoReleaseRemoveLockAndWait by %s on %s still waits after %lld s for %s",
          Caller(&record).c_str(), LockName(lock, record).c_str(),
          static_cast<long long>(HANG_LIMIT.count()), HeldTags(record).c_str());
}

}  // namespace

void ForgetRemoveLocksIn(PDEVICE_OBJECT device, const DeviceRecord& record) {
    auto* begin = static_cast<const UCHAR*>(device->DeviceExtension);
    if (!begin) return;
    const UCHAR* end = begin + record.ExtensionSize;
    for (auto it = K().RemoveLocks.begin(); it != K().RemoveLocks.end();) {
        auto* at = reinterpret_cast<const UCHAR*>(it->first);
        if (at < begin || at + sizeof(IO_REMOVE_LOCK) > end) {
            ++it;
            continue;
        }
        const RemoveLockRecord& lock = *it->second;
        if (Outstanding(lock) > 0)
            Fault("remove lock leak: %s deleted while %s still holds %ld acquisition(s) (%s)%s",
                  DeviceName(device).c_str(), LockName(it->first, lock).c_str(),
                  static_cast<long>(Outstanding(lock)), HeldTags(lock).c_str(),
                  lock.Removed ? "" : "; IoReleaseRemoveLockAndWait was never called");
        it = K().RemoveLocks.erase(it);
    }
    K().RemoveLockReleased.notify_all();
}

}  // namespace detail
}  // namespace host_kernel

using namespace host_kernel;
using namespace host_kernel::detail;

extern "C" {

VOID NTAPI IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG AllocateTag, ULONG MaxLockedMinutes,
                                    ULONG HighWatermark, ULONG RemlockSize) {
    (void)MaxLockedMinutes;
    (void)HighWatermark;
    CheckIrql(PASSIVE_LEVEL, "IoInitializeRemoveLockEx");
    if (RemlockSize != sizeof(IO_REMOVE_LOCK))
        Fault("remove lock: %s initialised %p with RemlockSize %lu (sizeof(IO_REMOVE_LOCK) is %zu)",
              Caller(nullptr).c_str(), static_cast<void*>(Lock),
              static_cast<unsigned long>(RemlockSize), sizeof(IO_REMOVE_LOCK));
    std::lock_guard<std::mutex> guard(K().Lock);
    auto& slot = K().RemoveLocks[Lock];
    if (slot && Outstanding(*slot) > 0)
        Fault("remove lock: %s initialised %s again while it holds %s", Caller(slot.get()).c_str(),
              LockName(Lock, *slot).c_str(), HeldTags(*slot).c_str());
    slot = std::make_unique<RemoveLockRecord>();
    slot->Owner = CurrentDriver();
    slot->AllocateTag = AllocateTag;
    memset(Lock, 0, sizeof *Lock);
    InitializeEventHeader(&Lock->Common.RemoveEvent, NotificationEvent, false);
    Mirror(Lock, *slot);
}

NTSTATUS NTAPI IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, PCSTR File, ULONG Line,
                                     ULONG RemlockSize) {
    (void)File;
    (void)Line;
    (void)RemlockSize;
    CheckLockIrql(DISPATCH_LEVEL, "IoAcquireRemoveLockEx", RemoveLock, Tag);
    std::lock_guard<std::mutex> guard(K().Lock);
    RemoveLockRecord* record = LockRecord(RemoveLock, Tag, "IoAcquireRemoveLockEx");
    // A request racing removal is normal: it is turned away, nothing taken.
    // Once the remover's wait has returned, though, the device is on its way
    // to IoDeleteDevice and nothing may touch its extension any more.
    if (record && record->WaitReturned)
        Fault(
            "remove lock: %s acquired %s with tag %p after IoReleaseRemoveLockAndWait returned "
            "(the device is being deleted)",
            Caller(record).c_str(), LockName(RemoveLock, *record).c_str(), Tag);
    if (!record || record->Removed) return STATUS_DELETE_PENDING;
    record->Held[Tag]++;
    record->Count++;
    Mirror(RemoveLock, *record);
    return STATUS_SUCCESS;
}

VOID NTAPI IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
    (void)RemlockSize;
    CheckLockIrql(DISPATCH_LEVEL, "IoReleaseRemoveLockEx", RemoveLock, Tag);
    std::lock_guard<std::mutex> guard(K().Lock);
    RemoveLockRecord* record = LockRecord(RemoveLock, Tag, "IoReleaseRemoveLockEx");
    if (record && !DropAcquisition(RemoveLock, *record, Tag))
        Fault(
            "remove lock: %s released tag %p, which holds no acquisition of %s "
            "(IoReleaseRemoveLock without a matching IoAcquireRemoveLock)",
            Caller(record).c_str(), Tag, LockName(RemoveLock, *record).c_str());
}

// The caller's own acquisition and the bias go, then the wait for every
// other one. A caller that holds none is reported but removal still goes
// ahead: the driver is about to delete its device either way.
VOID NTAPI IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
    (void)RemlockSize;
    CheckLockIrql(PASSIVE_LEVEL, "IoReleaseRemoveLockAndWaitEx", RemoveLock, Tag);
    std::unique_lock<std::mutex> guard(K().Lock);
    RemoveLockRecord* record = LockRecord(RemoveLock, Tag, "IoReleaseRemoveLockAndWaitEx");
    if (!record) return;
    if (record->Removed) {
        Fault("remove lock: %s called IoReleaseRemoveLockAndWait twice (tag %p) on %s",
              Caller(record).c_str(), Tag, LockName(RemoveLock, *record).c_str());
        return;
    }
    record->Removed = true;
    if (!DropAcquisition(RemoveLock, *record, Tag))
        Fault(
            "remove lock: %s called IoReleaseRemoveLockAndWait with tag %p, which holds no "
            "acquisition of %s (the lock must be acquired before it is released and waited for)",
            Caller(record).c_str(), Tag, LockName(RemoveLock, *record).c_str());
    record->Count--;
    Mirror(RemoveLock, *record);
    WaitForDrain(guard, RemoveLock);
    auto found = K().RemoveLocks.find(RemoveLock);
    if (found != K().RemoveLocks.end()) found->second->WaitReturned = true;
}

}  // extern "C"
