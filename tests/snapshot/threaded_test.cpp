// tessip with its parties on different threads: trigger pulses seen by
// waiting application threads, frame deliveries racing reads, trigger
// reports racing the release of the events they signal, registrations
// racing each other and releases, and a lower driver that finishes
// requests in every way a lower driver may. Run under
// ThreadSanitizer (label "threaded") as well as in the plain builds.
#include "snapshot_fixture.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

using namespace host_kernel;
using namespace tessip_test;
using namespace std::chrono_literals;

namespace {

class ThreadedTest : public SnapshotTest {};

using host_kernel::CompletionStyle;
using host_kernel::CompletionStyles;
using host_kernel::SendThrough;

// --- Trigger pulses -------------------------------------------------------------

struct PulseCase {
    const char* name;
    bool eventsOn;
    ULONG kind;
    bool firstReleased, secondReleased;
};

const PulseCase kPulseCases[] = {
    {"events off, kind 0", false, 0, false, false},
    {"events off, kind 1", false, 1, false, false},
    {"events on, kind 0", true, 0, false, true},
    {"events on, kind 1", true, 1, true, false},
    {"events on, kind 0xFFFFFFFF", true, 0xFFFFFFFF, true, false},
};

TEST_F(ThreadedTest, APulseReleasesThreadsAlreadyWaitingAndNoLaterOne) {
    AddStartedCamera();
    for (const PulseCase& c : kPulseCases) {
        SCOPED_TRACE(c.name);
        HANDLE first = CreateEvent(app_, NotificationEvent, false);
        HANDLE second = CreateEvent(app_, NotificationEvent, false);
        ASSERT_EQ(SetEvents(first, second).Status, STATUS_SUCCESS);
        ASSERT_EQ(
            Control(c.eventsOn ? SNAPSHOT_CONTROL_EVENTS_ON : SNAPSHOT_CONTROL_EVENTS_OFF).Status,
            STATUS_SUCCESS);

        std::atomic<NTSTATUS> firstWait{STATUS_PENDING}, secondWait{STATUS_PENDING};
        StartThread([&] { firstWait = WaitForEvent(app_, first, 300ms); });
        StartThread([&] { secondWait = WaitForEvent(app_, second, 300ms); });
        ASSERT_TRUE(WaitUntil([&] {
            return WaitingThreads(ObjectFromHandle(app_, first)) == 1 &&
                   WaitingThreads(ObjectFromHandle(app_, second)) == 1;
        }));
        Trigger(c.kind);
        JoinThreads();

        EXPECT_EQ(firstWait.load(), c.firstReleased ? STATUS_SUCCESS : STATUS_TIMEOUT);
        EXPECT_EQ(secondWait.load(), c.secondReleased ? STATUS_SUCCESS : STATUS_TIMEOUT);
        // Pulsed, not left set: a thread that waits afterwards sees nothing.
        EXPECT_EQ(EventState(app_, first), 0);
        EXPECT_EQ(EventState(app_, second), 0);
        EXPECT_EQ(WaitForEvent(app_, first, 20ms), STATUS_TIMEOUT);
        EXPECT_EQ(WaitForEvent(app_, second, 20ms), STATUS_TIMEOUT);
        // The request stands either way.
        EXPECT_EQ(TakeRequest(), 1u);

        ASSERT_EQ(SetEvents(nullptr, nullptr).Status, STATUS_SUCCESS);
        CloseHandle(app_, first);
        CloseHandle(app_, second);
    }
}

TEST_F(ThreadedTest, APulseOfAReleasedEventSignalsNothing) {
    AddStartedCamera();
    HANDLE first = CreateEvent(app_, NotificationEvent, false);
    HANDLE second = CreateEvent(app_, NotificationEvent, false);
    ASSERT_EQ(SetEvents(first, second).Status, STATUS_SUCCESS);
    ASSERT_EQ(Control(SNAPSHOT_CONTROL_EVENTS_ON).Status, STATUS_SUCCESS);
    ASSERT_EQ(SetEvents(nullptr, nullptr).Status, STATUS_SUCCESS);

    std::atomic<NTSTATUS> wait{STATUS_PENDING};
    StartThread([&] { wait = WaitForEvent(app_, first, 300ms); });
    ASSERT_TRUE(WaitUntil([&] { return WaitingThreads(ObjectFromHandle(app_, first)) == 1; }));
    Trigger(1);
    JoinThreads();
    EXPECT_EQ(wait.load(), STATUS_TIMEOUT);
    EXPECT_EQ(TakeRequest(), 1u);
}

// --- Deliveries racing reads -------------------------------------------------------

class RaceTest : public ThreadedTest, public testing::WithParamInterface<Method> {};

// The bridge driver delivers two alternating frames, far faster than any
// camera, while the application reads. Every read that reports success must
// hold one frame whole; a read overlapped by deliveries on every attempt may
// report STATUS_DEVICE_BUSY, but never a mixture.
TEST_P(RaceTest, AReadNeverReportsATornImage) {
    AddStartedCamera(GetParam().flags);
    const ULONG byteCount = 256 * 1024;
    Describe(byteCount);
    SNAPSHOT_INTERFACE bridge = BridgeInterface();
    PDEVICE_OBJECT filter = Filter();
    const std::vector<UCHAR> frames[2] = {MakeFrame(byteCount, 0x11), MakeFrame(byteCount, 0x22)};
    bridge.SubmitSnapshot(filter, const_cast<UCHAR*>(frames[0].data()), 0);

    std::atomic<bool> stop{false};
    std::atomic<unsigned> delivered{0};
    StartThread([&] {
        IrqlScope dispatch(DISPATCH_LEVEL);
        // Bursts of back-to-back frames with short pauses: reads collide with
        // deliveries often, yet a read that keeps retrying gets a quiet moment.
        for (unsigned n = 0; !stop.load(std::memory_order_relaxed); n++) {
            bridge.SubmitSnapshot(filter, const_cast<UCHAR*>(frames[n & 1].data()), 0);
            delivered.fetch_add(1, std::memory_order_relaxed);
            if (n % 4 == 3) {
                std::this_thread::sleep_for(300us);
            }
        }
    });

    unsigned whole = 0, busy = 0, torn = 0;
    std::vector<UCHAR> image(byteCount);
    for (int i = 0; i < 300; i++) {
        IoResult read = Read(image.data(), byteCount);
        if (read.Status == STATUS_DEVICE_BUSY) {
            busy++;
            continue;
        }
        ASSERT_EQ(read.Status, STATUS_SUCCESS);
        ASSERT_EQ(read.Information, byteCount);
        UCHAR value = image[0];
        bool uniform =
            std::all_of(image.begin(), image.end(), [value](UCHAR b) { return b == value; });
        if (!uniform || (value != 0x11 && value != 0x22)) {
            torn++;
        } else {
            whole++;
        }
    }
    stop = true;
    JoinThreads();

    EXPECT_EQ(torn, 0u);
    EXPECT_GT(whole, 0u);
    EXPECT_GT(delivered.load(), 0u);
    RecordProperty("busy", int(busy));
}

INSTANTIATE_TEST_SUITE_P(Methods, RaceTest, testing::ValuesIn(kReadMethods), MethodName);

// --- Trigger reports racing the release of their events ----------------------------

// The application drops its handles and then releases the events while the
// bridge driver keeps reporting triggers: the release must not free an event
// a report is still signalling (AddressSanitizer / ThreadSanitizer see it).
TEST_F(ThreadedTest, ReleasingEventsWhileTriggersArriveIsSafe) {
    AddStartedCamera();
    ASSERT_EQ(Control(SNAPSHOT_CONTROL_EVENTS_ON).Status, STATUS_SUCCESS);
    SNAPSHOT_INTERFACE bridge = BridgeInterface();
    PDEVICE_OBJECT filter = Filter();

    std::atomic<bool> stop{false};
    StartThread([&] {
        IrqlScope dispatch(DISPATCH_LEVEL);
        for (ULONG n = 0; !stop.load(std::memory_order_relaxed); n++) {
            bridge.SubmitSnapshot(filter, nullptr, n & 1);
        }
    });
    // The reporter stops however the loop below ends, before the fixture
    // removes the camera under it.
    struct StopReporter {
        std::atomic<bool>& stop;
        ~StopReporter() {
            stop = true;
            JoinThreads();
        }
    } stopReporter{stop};
    // A report can still be signalling the old pair when tessip's bounded
    // wait runs out, which a loaded machine makes likely: it answers busy
    // and changes nothing, and the application asks again.
    const auto setEvents = [&](HANDLE first, HANDLE second) {
        NTSTATUS status = STATUS_DEVICE_BUSY;
        for (int attempt = 0; attempt < 1000 && status == STATUS_DEVICE_BUSY; attempt++) {
            status = SetEvents(first, second).Status;
        }
        return status;
    };
    for (int i = 0; i < 300; i++) {
        HANDLE first = CreateEvent(app_, NotificationEvent, false);
        HANDLE second = CreateEvent(app_, SynchronizationEvent, false);
        ASSERT_EQ(setEvents(first, second), STATUS_SUCCESS);
        CloseHandle(app_, first);
        CloseHandle(app_, second);
        ASSERT_EQ(setEvents(nullptr, nullptr), STATUS_SUCCESS);
    }
}

// --- Registrations racing registrations and releases ------------------------------

// Two application threads send IOCTL_SNAPSHOT_SET_EVENTS at the same moment,
// each with its own pair, or one of them a release. Each request either
// takes effect whole or is refused as busy; afterwards the registered pair
// is one request's pair (or none), and every event holds exactly its handle
// plus the reference of its registration, so no reference was lost.
TEST_F(ThreadedTest, RacingRegistrationsKeepOnePairAndEveryReference) {
    AddStartedCamera();
    unsigned busy = 0;
    for (int round = 0; round < 400; round++) {
        SCOPED_TRACE(testing::Message() << "round " << round);
        const bool withRelease = round % 2 == 1;
        HANDLE handles[2][2];
        PVOID objects[2][2];
        for (int t = 0; t < 2; t++) {
            for (int e = 0; e < 2; e++) {
                handles[t][e] = CreateEvent(app_, NotificationEvent, false);
                objects[t][e] = ObjectFromHandle(app_, handles[t][e]);
            }
        }
        if (withRelease) {
            ASSERT_EQ(SetEvents(handles[1][0], handles[1][1]).Status, STATUS_SUCCESS);
        }

        std::atomic<int> ready{0};
        NTSTATUS status[2];
        for (int t = 0; t < 2; t++) {
            StartThread([&, t] {
                ready.fetch_add(1);
                while (ready.load() < 2) {}
                bool release = withRelease && t == 1;
                status[t] = release ? SetEvents(nullptr, nullptr).Status
                                    : SetEvents(handles[t][0], handles[t][1]).Status;
            });
        }
        JoinThreads();

        for (int t = 0; t < 2; t++) {
            ASSERT_TRUE(status[t] == STATUS_SUCCESS || status[t] == STATUS_DEVICE_BUSY)
                << status[t];
            busy += status[t] == STATUS_DEVICE_BUSY;
        }
        PVOID registered[2] = {Extension()->FirstEvent, Extension()->SecondEvent};
        bool onePair = (registered[0] == nullptr && registered[1] == nullptr) ||
                       (registered[0] == objects[0][0] && registered[1] == objects[0][1]) ||
                       (registered[0] == objects[1][0] && registered[1] == objects[1][1]);
        EXPECT_TRUE(onePair);
        for (int t = 0; t < 2; t++) {
            for (int e = 0; e < 2; e++) {
                EXPECT_EQ(ReferenceCount(objects[t][e]), 1 + (registered[e] == objects[t][e]));
            }
        }

        ASSERT_EQ(SetEvents(nullptr, nullptr).Status, STATUS_SUCCESS);
        for (auto& pair : handles) {
            CloseHandle(app_, pair[0]);
            CloseHandle(app_, pair[1]);
        }
    }
    RecordProperty("busy", int(busy));
}

// --- The lower driver finishing requests however it may ----------------------------

// Whichever way the bridge driver finishes a request (at once, at
// DISPATCH_LEVEL, pended and completed from anywhere, or held until late),
// tessip completes the start itself with the final status and never as
// pending, and carries every request it passes down back unchanged, its
// pending state included. Power requests arrive at PASSIVE_LEVEL on a
// power-pageable stack and at DISPATCH_LEVEL on one that is not.
TEST_F(ThreadedTest, WhicheverWayTheLowerDriverFinishesTessipAnswersAlike) {
    for (ULONG flags : {ULONG(DO_BUFFERED_IO | DO_POWER_PAGABLE), ULONG(DO_BUFFERED_IO)}) {
        for (const CompletionStyle& style : CompletionStyles()) {
            for (NTSTATUS status : {STATUS_SUCCESS, STATUS_DEVICE_NOT_READY}) {
                SCOPED_TRACE(testing::Message() << "flags 0x" << std::hex << flags << ", status 0x"
                                                << status << std::dec << ", " << style.Name);
                ASSERT_EQ(AddCamera(flags), STATUS_SUCCESS);

                bridge_->On(IRP_MJ_PNP, IRP_MN_START_DEVICE, style.Make(status, 0));
                IrpResult start = SendThrough(
                    *bridge_, style, [&] { return SendPnp(pdo_, IRP_MN_START_DEVICE); },
                    [&] {
                        std::this_thread::sleep_for(20ms);
                        EXPECT_EQ(Extension()->PnpState, ULONG(NotStarted));
                    });
                EXPECT_TRUE(start.Completed);
                EXPECT_EQ(start.Status, status);
                EXPECT_EQ(start.Returned, status);
                EXPECT_FALSE(start.PendingReturned);
                EXPECT_EQ(Extension()->PnpState, ULONG(NT_SUCCESS(status) ? Started : NotStarted));

                DEVICE_CAPABILITIES capabilities;
                const struct {
                    const char* name;
                    UCHAR major, minor;
                    std::function<IrpResult()> send;
                } passed[] = {
                    {"device set-power", IRP_MJ_POWER, IRP_MN_SET_POWER,
                     [&] { return SetDevicePower(pdo_, PowerDeviceD3); }},
                    {"system query-power", IRP_MJ_POWER, IRP_MN_QUERY_POWER,
                     [&] { return QuerySystemPower(pdo_, PowerSystemSleeping3); }},
                    {"capabilities query", IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES,
                     [&] { return QueryCapabilities(pdo_, &capabilities); }},
                    {"internal device control", IRP_MJ_INTERNAL_DEVICE_CONTROL, 0,
                     [&] { return SendIrp(Filter(), IRP_MJ_INTERNAL_DEVICE_CONTROL, 0); }},
                };
                for (const auto& request : passed) {
                    SCOPED_TRACE(request.name);
                    if (request.minor == IRP_MN_SET_POWER && !NT_SUCCESS(status)) {
                        continue;  // only the bus may fail a set-power request
                    }
                    bridge_->On(request.major, request.minor, style.Make(status, 7));
                    IrpResult r = SendThrough(*bridge_, style, request.send);
                    EXPECT_TRUE(r.Completed);
                    EXPECT_EQ(r.Status, status);
                    EXPECT_EQ(r.Information, 7u);
                    EXPECT_EQ(r.Returned, style.Pends ? STATUS_PENDING : status);
                    EXPECT_EQ(r.PendingReturned, style.Pends);
                }

                bridge_->Clear();
                EXPECT_TRUE(SendPnp(pdo_, IRP_MN_REMOVE_DEVICE).Completed);
                EXPECT_EQ(Filter(), nullptr);
                DeletePhysicalDevice(pdo_);
                bridge_.reset();
            }
        }
    }
}

// --- Removal under load ---------------------------------------------------------

// Another driver holding tessip's device may still be inside a read, pausing
// between its attempts, when the camera is removed. Removal waits for it:
// neither the snapshot buffer nor the extension goes while a request runs.
NTSTATUS NTAPI NoteCompleted(PDEVICE_OBJECT, PIRP, PVOID context) {
    static_cast<std::atomic<bool>*>(context)->store(true);
    return STATUS_SUCCESS;  // completion goes on
}

TEST_F(ThreadedTest, RemovalWaitsForAKernelModeReadStillInsideTessip) {
    AddStartedCamera();
    ASSERT_EQ(CloseHandle(app_, file_), STATUS_SUCCESS);
    // Every attempt of the read meets a delivery under way, so it pauses
    // between attempts and gives up busy.
    __atomic_store_n(&Extension()->SnapshotSequence, 1u, __ATOMIC_SEQ_CST);

    // The read holds tessip's remove lock for its few pauses only: the lock's
    // bias and the read make its count 2. A read that ends before this
    // thread has seen it inside is sent again. The sender's completion
    // routine tells when tessip completed it, which tessip does before it
    // lets go of the lock.
    PDEVICE_OBJECT filter = Filter();
    volatile LONG* held = &Extension()->RemoveLock.Common.IoCount;
    std::atomic<bool> done{false};
    NTSTATUS status = STATUS_PENDING;
    bool inside = false;
    for (int attempt = 0; attempt < 50 && !inside; attempt++) {
        done = false;
        StartThread([&] {
            status = SendIrp(filter, IRP_MJ_READ, 0, [&done](PIRP, PIO_STACK_LOCATION location) {
                         location->Parameters.Read.Length = 64;
                         location->CompletionRoutine = NoteCompleted;
                         location->Context = &done;
                         location->Control |= SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR;
                     }).Status;
        });
        while (!inside && !done.load()) {
            inside = __atomic_load_n(held, __ATOMIC_SEQ_CST) == 2;
        }
        if (!inside) {
            JoinThreads();
        }
    }
    ASSERT_TRUE(inside);

    EXPECT_EQ(RemoveDevice(pdo_), STATUS_SUCCESS);
    EXPECT_TRUE(done) << "the removal finished while a read was still inside tessip";
    JoinThreads();
    EXPECT_EQ(status, STATUS_DEVICE_BUSY);
}

}  // namespace
