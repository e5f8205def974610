// Events across threads: a wait really blocks until another thread
// signals, notification events release every waiter and stay signalled,
// synchronization events release one, a pulse releases only the waiters
// present, and time-outs expire.
#include "fixtures.h"

#include <atomic>
#include <chrono>
#include <thread>

using namespace host_kernel;
using namespace std::chrono_literals;

namespace {

class EventTest : public KernelTest {};

// Waits on `event` on kernel threads; `released` counts the waits that
// returned STATUS_SUCCESS.
void StartWaiters(PKEVENT event, int count, std::atomic<int>& released) {
    for (int i = 0; i < count; i++) {
        StartThread([event, &released] {
            LARGE_INTEGER timeout;
            timeout.QuadPart = -500LL * 10000;  // 500 ms, relative
            if (KeWaitForSingleObject(event, Executive, KernelMode, FALSE, &timeout) ==
                STATUS_SUCCESS)
                released++;
        });
    }
}

TEST_F(EventTest, WaitBlocksUntilAnotherThreadSignals) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::atomic<bool> done{false};
    StartThread([&] {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        done = true;
    });
    ASSERT_TRUE(WaitUntil([&] { return WaitingThreads(&event) == 1; }));
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(done);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    JoinThreads();
    EXPECT_TRUE(done);
    EXPECT_EQ(1, KeReadStateEvent(&event));
}

struct ReleaseCase {
    const char* Name;
    EVENT_TYPE Type;
    bool Pulse;    // KeSetEvent then KeClearEvent at once
    int Released;  // of three waiters
    LONG StateAfter;
};

const ReleaseCase kReleaseCases[] = {
    {"notification", NotificationEvent, false, 3, 1},
    {"synchronization", SynchronizationEvent, false, 1, 0},
    {"notification pulse", NotificationEvent, true, 3, 0},
    {"synchronization pulse", SynchronizationEvent, true, 1, 0},
};

TEST_F(EventTest, SignalReleasesWaitersByEventType) {
    for (const ReleaseCase& c : kReleaseCases) {
        SCOPED_TRACE(c.Name);
        KEVENT event;
        KeInitializeEvent(&event, c.Type, FALSE);
        std::atomic<int> released{0};
        StartWaiters(&event, 3, released);
        ASSERT_TRUE(WaitUntil([&] { return WaitingThreads(&event) == 3; }));
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
        if (c.Pulse) KeClearEvent(&event);
        JoinThreads();  // the others time out
        EXPECT_EQ(c.Released, released);
        EXPECT_EQ(c.StateAfter, KeReadStateEvent(&event));
    }
}

TEST_F(EventTest, PulseIsMissedByALaterWaiter) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    KeClearEvent(&event);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -20LL * 10000;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(STATUS_TIMEOUT,
              KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 15ms);
}

TEST_F(EventTest, SignalledSynchronizationEventSatisfiesOneWaitThenResets) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, TRUE);
    LARGE_INTEGER zero{};
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero));
    EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero));
    EXPECT_EQ(0, KeSetEvent(&event, IO_NO_INCREMENT, FALSE));
    EXPECT_EQ(1, KeResetEvent(&event));
}

TEST_F(EventTest, DriverSignalsAnApplicationEventAcrossThreads) {
    Process* app = CreateProcess("app");
    HANDLE handle = CreateEvent(app, SynchronizationEvent, false);
    PVOID object = nullptr;
    RunInProcess(app, [&] {
        ASSERT_EQ(STATUS_SUCCESS,
                  ObReferenceObjectByHandle(handle, EVENT_MODIFY_STATE, PlatformEventObjectType(),
                                            UserMode, &object, nullptr));
    });
    std::atomic<NTSTATUS> waited{STATUS_PENDING};
    StartThread([&] { waited = WaitForEvent(app, handle, 2000ms); });
    ASSERT_TRUE(WaitUntil([&] { return WaitingThreads(object) == 1; }));
    EXPECT_EQ(STATUS_PENDING, waited.load());
    {
        IrqlScope dispatch(DISPATCH_LEVEL);  // as a bridge callback would
        KeSetEvent(static_cast<PKEVENT>(object), IO_NO_INCREMENT, FALSE);
    }
    EXPECT_TRUE(WaitUntil([&] { return waited.load() != STATUS_PENDING; }));
    JoinThreads();
    EXPECT_EQ(STATUS_SUCCESS, waited.load());
    EXPECT_EQ(0, EventState(app, handle));
    ObDereferenceObject(object);
}

// An application waiting on either of two events, as for trigger events: a
// pulse of the second releases it with that index, and a synchronization
// event signalled while the released waiter may still be queued on it keeps
// its signal for the next wait.
TEST_F(EventTest, WaitOnAnyEventNamesTheReleasingEventAndTakesNoOtherSignal) {
    Process* app = CreateProcess("app");
    HANDLE synchronization = CreateEvent(app, SynchronizationEvent, false);
    HANDLE notification = CreateEvent(app, NotificationEvent, false);
    auto pulsed = static_cast<PKEVENT>(ObjectFromHandle(app, notification));
    std::atomic<NTSTATUS> waited{STATUS_PENDING};
    StartThread([&] { waited = WaitForAnyEvent(app, {synchronization, notification}, 2000ms); });
    ASSERT_TRUE(WaitUntil([&] { return WaitingThreads(pulsed) == 1; }));
    {
        IrqlScope dispatch(DISPATCH_LEVEL);
        KeSetEvent(pulsed, IO_NO_INCREMENT, FALSE);
        KeClearEvent(pulsed);
    }
    EXPECT_EQ(STATUS_SUCCESS, SetEvent(app, synchronization));
    JoinThreads();
    EXPECT_EQ(STATUS_WAIT_0 + 1, waited.load());
    EXPECT_EQ(STATUS_WAIT_0, WaitForAnyEvent(app, {synchronization, notification}, 0ms));
    EXPECT_EQ(STATUS_TIMEOUT, WaitForAnyEvent(app, {synchronization, notification}, 0ms));
    EXPECT_EQ(STATUS_INVALID_HANDLE, WaitForAnyEvent(app, {notification, UnusedHandle()}, 0ms));
}

TEST_F(EventTest, SpinLockExcludesAndRaisesIrql) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    long counter = 0;
    for (int t = 0; t < 4; t++) {
        StartThread([&] {
            for (int i = 0; i < 2000; i++) {
                KIRQL old;
                KeAcquireSpinLock(&lock, &old);
                EXPECT_EQ(DISPATCH_LEVEL, KeGetCurrentIrql());
                counter++;
                KeReleaseSpinLock(&lock, old);
            }
        });
    }
    JoinThreads();
    EXPECT_EQ(8000, counter);
    EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
}

TEST_F(EventTest, InterlockedOperationsAreAtomic) {
    LONG volatile count = 0;
    for (int t = 0; t < 4; t++) {
        StartThread([&] {
            for (int i = 0; i < 10000; i++) {
                InterlockedIncrement(&count);
                InterlockedDecrement(&count);
                InterlockedIncrement(&count);
            }
        });
    }
    JoinThreads();
    EXPECT_EQ(40000, count);
    EXPECT_EQ(40000, InterlockedExchange(&count, -1));
    EXPECT_EQ(-1, InterlockedCompareExchange(&count, 5, -1));
    EXPECT_EQ(5, count);
}

}  // namespace
