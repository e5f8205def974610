// Dispatcher objects: events whose waits really block the calling thread
// until another thread signals, with Windows' release rules (a notification
// event releases every waiter present, a synchronization event exactly
// one), time-outs, spin locks and the IRQL rules for waiting.
#include "kernel_internal.h"

namespace host_kernel {
namespace detail {

bool IsEvent(const DISPATCHER_HEADER* header) {
    return (header->Type == NotificationEvent || header->Type == SynchronizationEvent) &&
           header->Size == sizeof(KEVENT) / sizeof(LONG) &&
           header->WaitListHead.Flink == &header->WaitListHead;
}

void InitializeEventHeader(PRKEVENT event, EVENT_TYPE type, bool signalled) {
    DISPATCHER_HEADER& header = event->Header;
    header.Type = static_cast<UCHAR>(type);
    header.Signalling = 0;
    header.Size = sizeof(KEVENT) / sizeof(LONG);
    header.Inserted = 0;
    header.SignalState = signalled ? 1 : 0;
    InitializeListHead(&header.WaitListHead);
}

namespace {

// A waiter on several events may already have been released by another one;
// it is then passed over, so that it neither takes a synchronization event's
// signal nor changes which event released it.
bool Release(Waiter* waiter, const DISPATCHER_HEADER* by) {
    if (waiter->Satisfied) return false;
    waiter->Satisfied = true;
    waiter->By = by;
    waiter->Wake.notify_one();
    return true;
}

void RemoveWaiter(const DISPATCHER_HEADER* header, const Waiter* waiter) {
    auto found = K().WaitLists.find(header);
    if (found == K().WaitLists.end()) return;
    auto& list = found->second;
    for (auto it = list.begin(); it != list.end();) it = *it == waiter ? list.erase(it) : it + 1;
    if (list.empty()) K().WaitLists.erase(found);
}

}  // namespace

LONG SignalEvent(PRKEVENT event) {
    DISPATCHER_HEADER& header = event->Header;
    LONG previous = header.SignalState;
    auto found = K().WaitLists.find(&header);
    std::deque<Waiter*>* waiters = found == K().WaitLists.end() ? nullptr : &found->second;
    if (header.Type == NotificationEvent) {
        header.SignalState = 1;
        if (waiters) {
            for (Waiter* waiter : *waiters) Release(waiter, &header);
            K().WaitLists.erase(found);
        }
        return previous;
    }
    // The released waiter consumes the signal: the event stays reset.
    bool consumed = false;
    while (waiters && !waiters->empty() && !consumed) {
        Waiter* waiter = waiters->front();
        waiters->pop_front();
        consumed = Release(waiter, &header);
    }
    if (waiters && waiters->empty()) K().WaitLists.erase(found);
    if (!consumed) header.SignalState = 1;
    return previous;
}

NTSTATUS WaitOnEvent(std::unique_lock<std::mutex>& lock, PRKEVENT event,
                     const std::chrono::steady_clock::time_point* deadline) {
    return WaitOnEvents(lock, &event, 1, deadline);
}

NTSTATUS WaitOnEvents(std::unique_lock<std::mutex>& lock, const PRKEVENT* events, size_t count,
                      const std::chrono::steady_clock::time_point* deadline) {
    for (size_t i = 0; i < count; i++) {
        DISPATCHER_HEADER& header = events[i]->Header;
        if (header.SignalState > 0) {
            if (header.Type == SynchronizationEvent) header.SignalState = 0;
            return static_cast<NTSTATUS>(STATUS_WAIT_0 + i);
        }
    }
    if (deadline && *deadline <= std::chrono::steady_clock::now()) return STATUS_TIMEOUT;
    Waiter waiter;
    for (size_t i = 0; i < count; i++) K().WaitLists[&events[i]->Header].push_back(&waiter);
    auto hang = std::chrono::steady_clock::now() + HANG_LIMIT;
    auto until = deadline && *deadline < hang ? *deadline : hang;
    while (!waiter.Satisfied) {
        if (waiter.Wake.wait_until(lock, until) == std::cv_status::timeout && !waiter.Satisfied)
            break;
    }
    for (size_t i = 0; i < count; i++) RemoveWaiter(&events[i]->Header, &waiter);
    if (waiter.Satisfied) {
        size_t index = 0;
        while (&events[index]->Header != waiter.By) index++;
        return static_cast<NTSTATUS>(STATUS_WAIT_0 + index);
    }
    if (!deadline || *deadline > hang) {
        lock.unlock();
        Fault("hang: a wait on event %p was not satisfied within %lld s",
              static_cast<void*>(events[0]),
              static_cast<long long>(
                  std::chrono::duration_cast<std::chrono::seconds>(HANG_LIMIT).count()));
        lock.lock();
    }
    return STATUS_TIMEOUT;
}

}  // namespace detail

size_t WaitingThreads(PVOID event) {
    std::lock_guard<std::mutex> guard(detail::K().Lock);
    auto found = detail::K().WaitLists.find(static_cast<const DISPATCHER_HEADER*>(event));
    return found == detail::K().WaitLists.end() ? 0 : found->second.size();
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace host_kernel

using namespace host_kernel;
using namespace host_kernel::detail;

namespace {

bool CheckEvent(PRKEVENT event, const char* function) {
    if (event && IsEvent(&event->Header)) return true;
    Fault(
        "%s on %p, which is not an initialised event (KeInitializeEvent missing, or the KEVENT "
        "was copied)",
        function, static_cast<void*>(event));
    return false;
}

// Windows time-outs: negative is relative, positive absolute (since 1601),
// both in 100 ns units.
std::chrono::steady_clock::time_point Deadline(const LARGE_INTEGER& timeout) {
    auto now = std::chrono::steady_clock::now();
    if (timeout.QuadPart <= 0) return now + std::chrono::nanoseconds(-timeout.QuadPart * 100);
    constexpr long long kEpochDifference = 116444736000000000LL;  // 1601 to 1970
    auto system = std::chrono::system_clock::now().time_since_epoch();
    long long nowUnits =
        std::chrono::duration_cast<std::chrono::nanoseconds>(system).count() / 100 +
        kEpochDifference;
    long long left = timeout.QuadPart - nowUnits;
    return now + std::chrono::nanoseconds(left > 0 ? left * 100 : 0);
}

}  // namespace

extern "C" {

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    std::lock_guard<std::mutex> guard(K().Lock);
    if (K().WaitLists.count(&Event->Header))
        Fault("KeInitializeEvent on event %p while threads wait on it", static_cast<void*>(Event));
    InitializeEventHeader(Event, Type, State != FALSE);
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
    (void)Increment;
    (void)Wait;
    CheckIrql(DISPATCH_LEVEL, "KeSetEvent");
    std::lock_guard<std::mutex> guard(K().Lock);
    if (!CheckEvent(Event, "KeSetEvent")) return 0;
    return SignalEvent(Event);
}

VOID NTAPI KeClearEvent(PRKEVENT Event) {
    CheckIrql(DISPATCH_LEVEL, "KeClearEvent");
    std::lock_guard<std::mutex> guard(K().Lock);
    if (!CheckEvent(Event, "KeClearEvent")) return;
    Event->Header.SignalState = 0;
}

LONG NTAPI KeResetEvent(PRKEVENT Event) {
    CheckIrql(DISPATCH_LEVEL, "KeResetEvent");
    std::lock_guard<std::mutex> guard(K().Lock);
    if (!CheckEvent(Event, "KeResetEvent")) return 0;
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
    std::lock_guard<std::mutex> guard(K().Lock);
    if (!CheckEvent(Event, "KeReadStateEvent")) return 0;
    return Event->Header.SignalState;
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                     KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                     PLARGE_INTEGER Timeout) {
    (void)WaitReason;
    (void)WaitMode;
    (void)Alertable;
    bool poll = Timeout && Timeout->QuadPart == 0;
    if (!poll) CheckBlockingCall("KeWaitForSingleObject");
    if (poll) {
        CheckIrql(DISPATCH_LEVEL, "KeWaitForSingleObject with a zero time-out");
    } else if (ThreadIrql() > PASSIVE_LEVEL) {
        Fault(
            "IRQL check: KeWaitForSingleObject %s at IRQL %d (a wait that can block must run at "
            "PASSIVE_LEVEL)",
            Timeout ? "with a time-out" : "without a time-out", ThreadIrql());
    }
    PRKEVENT event = static_cast<PRKEVENT>(Object);
    std::unique_lock<std::mutex> lock(K().Lock);
    if (!event || !IsEvent(&event->Header)) {
        lock.unlock();
        CheckEvent(event, "KeWaitForSingleObject");
        return STATUS_INVALID_PARAMETER;
    }
    if (Timeout) {
        auto deadline = Deadline(*Timeout);
        return WaitOnEvent(lock, event, &deadline);
    }
    return WaitOnEvent(lock, event, nullptr);
}

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                      PLARGE_INTEGER Interval) {
    (void)WaitMode;
    (void)Alertable;
    CheckIrql(APC_LEVEL, "KeDelayExecutionThread");
    CheckBlockingCall("KeDelayExecutionThread");
    std::this_thread::sleep_until(Deadline(*Interval));
    return STATUS_SUCCESS;
}

VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
    __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
}

VOID NTAPI KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql) {
    CheckIrql(DISPATCH_LEVEL, "KeAcquireSpinLock");
    KeRaiseIrql(DISPATCH_LEVEL, OldIrql);
    while (__atomic_exchange_n(SpinLock, 1, __ATOMIC_ACQUIRE) != 0) std::this_thread::yield();
}

VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    if (__atomic_exchange_n(SpinLock, 0, __ATOMIC_RELEASE) == 0)
        Fault("KeReleaseSpinLock of spin lock %p that is not held", static_cast<void*>(SpinLock));
    KeLowerIrql(NewIrql);
}

}  // extern "C"
