// The snapshot exchange seen from its two sides: the flag table of the
// lifecycle, the three I/O controls across buffer lengths, and reads by each
// buffering method across destination sizes, including the inputs an
// application can get wrong.
#include "snapshot_fixture.h"

#include <algorithm>
#include <chrono>
#include <functional>
#include <optional>

using namespace host_kernel;
using namespace tessip_test;

namespace {

class ExchangeTest : public SnapshotTest {};

// A byte count whose copies span several pages and end mid-page.
const ULONG kByteCount = 3 * 4096 + 123;
const UCHAR kUntouched = 0xEE;

bool AllEqual(const std::vector<UCHAR>& bytes, size_t from, size_t to, UCHAR value) {
    return std::all_of(bytes.begin() + from, bytes.begin() + to,
                       [value](UCHAR b) { return b == value; });
}

// --- The flag table ---------------------------------------------------------------

struct FlagCase;

class FlagTableTest : public ExchangeTest {
  public:
    // Runs the case's event from `start` and returns the flags after it.
    Flags After(const FlagCase& c, const Flags& start);
    // What the events of the table do.
    using SnapshotTest::Control;
    using SnapshotTest::Deliver;
    using SnapshotTest::Read;
    using SnapshotTest::TakeRequest;
    using SnapshotTest::Trigger;
};

// A flag the event leaves as it was.
constexpr std::nullopt_t kKeep = std::nullopt;

struct FlagCase {
    const char* name;
    std::function<void(FlagTableTest&)> event;
    std::optional<ULONG> requested, eventsDisabled, ready;  // kKeep, or the value set
};

Flags FlagTableTest::After(const FlagCase& c, const Flags& start) {
    SetFlags(start);
    c.event(*this);
    return CurrentFlags();
}

TEST_F(FlagTableTest, EachEventChangesOnlyItsFlags) {
    AddStartedCamera();
    Describe(kByteCount);
    const FlagCase cases[] = {
        {"SNAPSHOT_CONTROL_REQUEST", [](FlagTableTest& t) { t.Control(SNAPSHOT_CONTROL_REQUEST); },
         1, kKeep, kKeep},
        {"SNAPSHOT_CONTROL_EVENTS_OFF",
         [](FlagTableTest& t) { t.Control(SNAPSHOT_CONTROL_EVENTS_OFF); }, kKeep, 1, 0},
        {"SNAPSHOT_CONTROL_EVENTS_ON",
         [](FlagTableTest& t) { t.Control(SNAPSHOT_CONTROL_EVENTS_ON); }, kKeep, 0, 0},
        {"SNAPSHOT_CONTROL_QUERY_READY",
         [](FlagTableTest& t) {
             ULONG ready;
             t.Control(SNAPSHOT_CONTROL_QUERY_READY, 4, 4, &ready);
         },
         kKeep, kKeep, kKeep},
        {"unknown sub-code 7", [](FlagTableTest& t) { t.Control(7); }, kKeep, kKeep, kKeep},
        {"TakeSnapshotRequest", [](FlagTableTest& t) { t.TakeRequest(); }, 0, kKeep, kKeep},
        {"SubmitSnapshot with a frame",
         [](FlagTableTest& t) { t.Deliver(MakeFrame(kByteCount, 1)); }, 0, kKeep, 1},
        {"SubmitSnapshot without a frame", [](FlagTableTest& t) { t.Trigger(1); }, 1, kKeep, kKeep},
        {"read",
         [](FlagTableTest& t) {
             std::vector<UCHAR> image(kByteCount);
             t.Read(image.data(), kByteCount);
         },
         kKeep, kKeep, 0},
        {"read into too small a destination",
         [](FlagTableTest& t) {
             std::vector<UCHAR> image(kByteCount - 1);
             t.Read(image.data(), kByteCount - 1);
         },
         kKeep, kKeep, kKeep},
    };

    const Flags starts[] = {{0, 0, 0}, {1, 1, 1}, {1, 0, 1}, {0, 1, 0}};
    for (const FlagCase& c : cases) {
        for (const Flags& start : starts) {
            SCOPED_TRACE(testing::Message() << c.name << " from " << start);
            const Flags expected{c.requested.value_or(start.Requested),
                                 c.eventsDisabled.value_or(start.EventsDisabled),
                                 c.ready.value_or(start.Ready)};
            EXPECT_EQ(After(c, start), expected);
        }
    }
}

TEST_F(ExchangeTest, TakeSnapshotRequestReportsARequestOnce) {
    AddStartedCamera();
    EXPECT_EQ(TakeRequest(), 0u);
    EXPECT_EQ(Control(SNAPSHOT_CONTROL_REQUEST).Status, STATUS_SUCCESS);
    EXPECT_EQ(TakeRequest(), 1u);
    EXPECT_EQ(TakeRequest(), 0u);

    // A trigger right after add-device (events off) still asks for one.
    Trigger(0);
    EXPECT_EQ(TakeRequest(), 1u);
    // A delivered frame answers a standing request.
    Trigger(1);
    Describe(16);
    Deliver(MakeFrame(16, 4));
    EXPECT_EQ(TakeRequest(), 0u);
}

TEST_F(ExchangeTest, TheWholeExchangeFromRequestToRead) {
    AddStartedCamera();
    Describe(kByteCount);
    EXPECT_EQ(Control(SNAPSHOT_CONTROL_EVENTS_ON).Status, STATUS_SUCCESS);
    EXPECT_EQ(Control(SNAPSHOT_CONTROL_REQUEST).Status, STATUS_SUCCESS);
    EXPECT_EQ(QueryReady(), 0u);
    ASSERT_EQ(TakeRequest(), 1u);
    Deliver(MakeFrame(kByteCount, 1));
    Deliver(MakeFrame(kByteCount, 2));  // replaces the unread first one
    EXPECT_EQ(QueryReady(), 1u);

    std::vector<UCHAR> image(kByteCount, kUntouched);
    IoResult read = Read(image.data(), kByteCount);
    EXPECT_EQ(read.Status, STATUS_SUCCESS);
    EXPECT_EQ(read.Information, kByteCount);
    EXPECT_TRUE(AllEqual(image, 0, kByteCount, 2));
    EXPECT_EQ(QueryReady(), 0u);

    // A read with nothing ready returns what the buffer holds.
    std::fill(image.begin(), image.end(), kUntouched);
    EXPECT_EQ(Read(image.data(), kByteCount).Status, STATUS_SUCCESS);
    EXPECT_TRUE(AllEqual(image, 0, kByteCount, 2));
    EXPECT_EQ(QueryReady(), 0u);
}

// A frame delivered after a read has copied the snapshot, but before the
// read has finished, must stay ready: the read clears only the readiness of
// the image it returned. A filter above tessip delivers that frame from its
// completion routine for the read, which runs inside tessip's completion of
// the request, after the copy.
NTSTATUS NTAPI DeliverNewerFrame(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto deliver = static_cast<std::function<void()>*>(context);
    (*deliver)();
    if (irp->PendingReturned) {
        IoMarkIrpPending(irp);
    }
    return STATUS_SUCCESS;  // continue completion
}

TEST_F(ExchangeTest, AFrameDeliveredWhileAReadFinishesStaysReady) {
    TestDriverOptions filterOptions;
    filterOptions.Filter = true;
    TestDriver above("above", filterOptions);
    ASSERT_EQ(AddCamera(DO_BUFFERED_IO | DO_POWER_PAGABLE, {}, {above.Driver()}), STATUS_SUCCESS);
    ASSERT_EQ(StartCamera(), STATUS_SUCCESS);
    OpenCamera();
    Describe(kByteCount);
    Deliver(MakeFrame(kByteCount, 1));

    std::vector<UCHAR> newer = MakeFrame(kByteCount, 2);
    std::function<void()> deliver = [&] { Deliver(newer); };
    PDEVICE_OBJECT tessip = Filter();
    above.On(IRP_MJ_READ, Behavior::Handler([&](PDEVICE_OBJECT, PIRP irp) {
                 IoCopyCurrentIrpStackLocationToNext(irp);
                 IoSetCompletionRoutine(irp, DeliverNewerFrame, &deliver, TRUE, TRUE, TRUE);
                 return IoCallDriver(tessip, irp);
             }));

    std::vector<UCHAR> image(kByteCount, kUntouched);
    ASSERT_EQ(Read(image.data(), kByteCount).Status, STATUS_SUCCESS);
    EXPECT_TRUE(AllEqual(image, 0, kByteCount, 1));
    EXPECT_EQ(QueryReady(), 1u);

    // Without a delivery during the read, the read clears it.
    above.Clear();
    ASSERT_EQ(Read(image.data(), kByteCount).Status, STATUS_SUCCESS);
    EXPECT_TRUE(AllEqual(image, 0, kByteCount, 2));
    EXPECT_EQ(QueryReady(), 0u);
}

TEST_F(ExchangeTest, NothingAfterAddDeviceAllocates) {
    AddStartedCamera();
    const unsigned pool = CallCount(Call::ExAllocatePoolWithTag);
    const unsigned mdls = CallCount(Call::IoAllocateMdl);
    const unsigned irps = CallCount(Call::IoAllocateIrp);

    HANDLE first = CreateEvent(app_, NotificationEvent, false);
    HANDLE second = CreateEvent(app_, NotificationEvent, false);
    ASSERT_EQ(SetEvents(first, second).Status, STATUS_SUCCESS);
    Control(SNAPSHOT_CONTROL_EVENTS_ON);
    Describe(SNAPSHOT_BUFFER_SIZE);
    Trigger(0);
    Trigger(1);
    ASSERT_EQ(TakeRequest(), 1u);
    Deliver(MakeFrame(SNAPSHOT_BUFFER_SIZE, 8));
    EXPECT_EQ(QueryReady(), 1u);
    std::vector<UCHAR> image(SNAPSHOT_BUFFER_SIZE);
    EXPECT_EQ(Read(image.data(), SNAPSHOT_BUFFER_SIZE).Status, STATUS_SUCCESS);
    Control(SNAPSHOT_CONTROL_EVENTS_OFF);
    ASSERT_EQ(SetEvents(nullptr, nullptr).Status, STATUS_SUCCESS);

    EXPECT_EQ(CallCount(Call::ExAllocatePoolWithTag), pool);
    EXPECT_EQ(CallCount(Call::IoAllocateMdl), mdls);
    EXPECT_EQ(CallCount(Call::IoAllocateIrp), irps);
    EXPECT_EQ(PoolUsage(SNAPSHOT_POOL_TAG).Blocks, 1u);
}

TEST_F(ExchangeTest, BeforeAnyImageInfoEveryCopyIsEmpty) {
    AddStartedCamera();
    Deliver(MakeFrame(16, 9));
    EXPECT_EQ(QueryReady(), 1u);

    // Even an empty snapshot needs somewhere to go.
    EXPECT_EQ(Read(nullptr, 0).Status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(QueryReady(), 1u);

    std::vector<UCHAR> image(16, kUntouched);
    IoResult read = Read(image.data(), 16);
    EXPECT_EQ(read.Status, STATUS_SUCCESS);
    EXPECT_EQ(read.Information, 0u);
    EXPECT_TRUE(AllEqual(image, 0, 16, kUntouched));
}

// --- I/O controls across buffer lengths ------------------------------------------

TEST_F(ExchangeTest, GetImageInfoAcrossOutputLengths) {
    AddStartedCamera();
    std::vector<UCHAR> info(64);

    // Before SetImageInfo: 40 zero bytes.
    std::fill(info.begin(), info.end(), kUntouched);
    IoResult first =
        DeviceIoControl(app_, file_, IOCTL_SNAPSHOT_GET_IMAGE_INFO, nullptr, 0, info.data(), 40);
    EXPECT_EQ(first.Status, STATUS_SUCCESS);
    EXPECT_TRUE(AllEqual(info, 0, 40, 0));

    Describe(kByteCount);
    SNAPSHOT_IMAGE_INFO expected = MakeImageInfo(kByteCount);
    for (ULONG length = 0; length <= 48; length++) {
        SCOPED_TRACE(testing::Message() << "output length " << length);
        std::fill(info.begin(), info.end(), kUntouched);
        IoResult result = DeviceIoControl(app_, file_, IOCTL_SNAPSHOT_GET_IMAGE_INFO, nullptr, 0,
                                          info.data(), length);
        if (length < 40) {
            EXPECT_EQ(result.Status, STATUS_BUFFER_TOO_SMALL);
            EXPECT_EQ(result.Information, 0u);
            EXPECT_TRUE(AllEqual(info, 0, info.size(), kUntouched));
        } else {
            EXPECT_EQ(result.Status, STATUS_SUCCESS);
            EXPECT_EQ(result.Information, 40u);
            EXPECT_EQ(memcmp(info.data(), &expected, 40), 0);
            EXPECT_TRUE(AllEqual(info, 40, info.size(), kUntouched));
        }
    }
}

TEST_F(ExchangeTest, ControlAcrossInputLengths) {
    AddStartedCamera();
    for (ULONG length = 0; length <= 8; length++) {
        SCOPED_TRACE(testing::Message() << "input length " << length);
        SetFlags({0, 1, 1});
        IoResult result = Control(SNAPSHOT_CONTROL_EVENTS_ON, length);
        if (length < sizeof(ULONG)) {
            EXPECT_EQ(result.Status, STATUS_INVALID_PARAMETER);
            EXPECT_EQ(CurrentFlags(), (Flags{0, 1, 1}));
        } else {
            EXPECT_EQ(result.Status, STATUS_SUCCESS);
            EXPECT_EQ(CurrentFlags(), (Flags{0, 0, 0}));
        }
        EXPECT_EQ(result.Information, 0u);
    }
}

TEST_F(ExchangeTest, QueryReadyAcrossOutputLengths) {
    AddStartedCamera();
    for (ULONG length = 0; length <= 8; length++) {
        SCOPED_TRACE(testing::Message() << "output length " << length);
        SetFlags({0, 1, 1});
        UCHAR output[8];
        memset(output, kUntouched, sizeof(output));
        IoResult result = Control(SNAPSHOT_CONTROL_QUERY_READY, sizeof(ULONG), length,
                                  reinterpret_cast<ULONG*>(output));
        if (length < sizeof(ULONG)) {
            EXPECT_EQ(result.Status, STATUS_BUFFER_TOO_SMALL);
            EXPECT_EQ(result.Information, 0u);
            EXPECT_TRUE(std::all_of(output, output + 8, [](UCHAR b) { return b == kUntouched; }));
        } else {
            EXPECT_EQ(result.Status, STATUS_SUCCESS);
            EXPECT_EQ(result.Information, sizeof(ULONG));
            ULONG ready;
            memcpy(&ready, output, sizeof(ready));
            EXPECT_EQ(ready, 1u);
            EXPECT_TRUE(
                std::all_of(output + 4, output + 8, [](UCHAR b) { return b == kUntouched; }));
        }
        EXPECT_EQ(CurrentFlags(), (Flags{0, 1, 1}));
    }
}

TEST_F(ExchangeTest, SetEventsAcrossInputLengths) {
    AddStartedCamera();
    HANDLE oldFirst = CreateEvent(app_, NotificationEvent, false);
    HANDLE oldSecond = CreateEvent(app_, NotificationEvent, false);
    HANDLE first = CreateEvent(app_, NotificationEvent, false);
    HANDLE second = CreateEvent(app_, NotificationEvent, false);

    for (ULONG length = 0; length <= 3 * sizeof(HANDLE); length++) {
        SCOPED_TRACE(testing::Message() << "input length " << length);
        ASSERT_EQ(SetEvents(oldFirst, oldSecond).Status, STATUS_SUCCESS);
        IoResult result = SetEvents(first, second, length);
        EXPECT_EQ(result.Information, 0u);
        if (length < 2 * sizeof(HANDLE)) {
            // Too short to hold both handles: the registered pair stays.
            EXPECT_EQ(result.Status, STATUS_INVALID_PARAMETER);
            EXPECT_EQ(Extension()->FirstEvent, ObjectFromHandle(app_, oldFirst));
            EXPECT_EQ(Extension()->SecondEvent, ObjectFromHandle(app_, oldSecond));
        } else {
            EXPECT_EQ(result.Status, STATUS_SUCCESS);
            EXPECT_EQ(Extension()->FirstEvent, ObjectFromHandle(app_, first));
            EXPECT_EQ(Extension()->SecondEvent, ObjectFromHandle(app_, second));
        }
    }
    EXPECT_EQ(SetEvents(nullptr, nullptr).Status, STATUS_SUCCESS);
}

TEST_F(ExchangeTest, OtherControlCodesGoDownWithAFreshStatusBlock) {
    AddStartedCamera();
    const ULONG code = CTL_CODE(FILE_DEVICE_SNAPSHOT, 0x819, METHOD_BUFFERED, FILE_ANY_ACCESS);
    bridge_->On(IRP_MJ_DEVICE_CONTROL, Behavior::Complete(STATUS_DEVICE_POWER_FAILURE));
    UCHAR input[4] = {};
    IoResult result = DeviceIoControl(app_, file_, code, input, sizeof(input), nullptr, 0);
    EXPECT_EQ(result.Status, STATUS_DEVICE_POWER_FAILURE);
    ASSERT_EQ(bridge_->SeenCount(IRP_MJ_DEVICE_CONTROL), 1u);
    EXPECT_EQ(bridge_->Seen().back().Status, STATUS_SUCCESS);
    EXPECT_EQ(bridge_->Seen().back().Information, 0u);
}

// --- Reads by buffering method and destination size ------------------------------

class ReadTest : public ExchangeTest, public testing::WithParamInterface<Method> {};

TEST_P(ReadTest, DestinationsSmallerThanTheSnapshotGetNothingAndKeepIt) {
    AddStartedCamera(GetParam().flags);
    Describe(kByteCount);
    Deliver(MakeFrame(kByteCount, 7));

    // Length 0 may come without any address at all; it is still too small.
    const ULONG lengths[] = {0, 1, kByteCount - 1, kByteCount, kByteCount + 1, kByteCount + 4096};
    for (ULONG length : lengths) {
        SCOPED_TRACE(testing::Message() << "destination " << length);
        SetFlags({0, 1, 1});
        std::vector<UCHAR> destination(length + 16, kUntouched);
        IoResult read = Read(destination.data(), length);
        if (length < kByteCount) {
            EXPECT_EQ(read.Status, STATUS_BUFFER_TOO_SMALL);
            EXPECT_EQ(read.Information, 0u);
            EXPECT_TRUE(AllEqual(destination, 0, destination.size(), kUntouched));
            EXPECT_EQ(CurrentFlags().Ready, 1u);  // still there for a proper read
        } else {
            EXPECT_EQ(read.Status, STATUS_SUCCESS);
            EXPECT_EQ(read.Information, kByteCount);
            EXPECT_TRUE(AllEqual(destination, 0, kByteCount, 7));
            EXPECT_TRUE(AllEqual(destination, kByteCount, destination.size(), kUntouched));
            EXPECT_EQ(CurrentFlags().Ready, 0u);
        }
    }
}

TEST_P(ReadTest, AFullSizeSnapshotArrivesWhole) {
    AddStartedCamera(GetParam().flags);
    Describe(SNAPSHOT_BUFFER_SIZE);
    std::vector<UCHAR> frame(SNAPSHOT_BUFFER_SIZE);
    for (size_t i = 0; i < frame.size(); i++) {
        frame[i] = UCHAR(i * 131 + (i >> 12));
    }
    Deliver(frame);
    std::vector<UCHAR> image(SNAPSHOT_BUFFER_SIZE, kUntouched);
    IoResult read = Read(image.data(), SNAPSHOT_BUFFER_SIZE);
    EXPECT_EQ(read.Status, STATUS_SUCCESS);
    EXPECT_EQ(read.Information, SNAPSHOT_BUFFER_SIZE);
    EXPECT_TRUE(image == frame);
}

// Fresh pool is filled with a pattern (0xCD) and the buffered path's system
// buffer is fresh pool as well: a read that handed out one byte more than a
// delivery wrote would show it, as would one byte of an older, longer frame.
TEST_P(ReadTest, OnlyBytesTheLastDeliveryWroteComeBack) {
    AddStartedCamera(GetParam().flags);
    const UCHAR* buffer = Extension()->SnapshotBuffer;
    EXPECT_TRUE(std::all_of(buffer, buffer + SNAPSHOT_BUFFER_SIZE, [](UCHAR b) { return b == 0; }));

    struct Step {
        const char* name;
        ULONG describe;       // ByteCount set before the delivery
        ULONG deliver;        // frame number delivered, 0: none
        ULONG describeAfter;  // ByteCount set between delivery and read
        ULONG expected;       // bytes the read returns, all of the last frame
        UCHAR frame;
    };
    const ULONG longer = kByteCount, shorter = kByteCount / 2;
    const Step steps[] = {
        {"before any delivery, with a ByteCount set", longer, 0, longer, 0, 0},
        {"a long frame", longer, 1, longer, longer, 1},
        {"a shorter frame after it", shorter, 2, shorter, shorter, 2},
        {"the ByteCount raised after the delivery", shorter, 3, SNAPSHOT_BUFFER_SIZE, shorter, 3},
        {"a delivery beyond the buffer is dropped", SNAPSHOT_BUFFER_SIZE + 1, 4, shorter, shorter,
         3},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        Describe(step.describe);
        if (step.deliver != 0) {
            // A frame that is not stored leaves the flags as they were too.
            SetFlags({1, 0, 0});
            Deliver(MakeFrame(step.describe, UCHAR(step.deliver)));
            EXPECT_EQ(CurrentFlags(),
                      (step.frame == step.deliver ? Flags{0, 0, 1} : Flags{1, 0, 0}));
        }
        Describe(step.describeAfter);
        std::vector<UCHAR> image(SNAPSHOT_BUFFER_SIZE, kUntouched);
        IoResult read = Read(image.data(), SNAPSHOT_BUFFER_SIZE);
        EXPECT_EQ(read.Status, STATUS_SUCCESS);
        EXPECT_EQ(read.Information, step.expected);
        EXPECT_TRUE(AllEqual(image, 0, step.expected, step.frame));
        EXPECT_TRUE(AllEqual(image, step.expected, image.size(), kUntouched));
    }
}

// Only memory the I/O manager prepared for the read is written. Pages whose
// MDL cannot be mapped are not written at all. The system buffer field is
// the read's memory on a request marked IRP_BUFFERED_IO, and on an unmarked
// one without an MDL to a device that does buffered I/O (not every I/O
// manager marks it); anywhere else it is not a buffer (on an associated
// request it is the master IRP) and is never written.
TEST_P(ReadTest, OnlyMemoryPreparedForTheReadIsWritten) {
    AddStartedCamera(GetParam().flags);
    const bool bufferedDevice = (GetParam().flags & DO_BUFFERED_IO) != 0;
    Describe(kByteCount);
    Deliver(MakeFrame(kByteCount, 5));

    struct Case {
        const char* name;
        bool unmappableMdl;
        ULONG irpFlags;
        NTSTATUS onBuffered, onDirect;  // by the device's buffering method
    };
    const Case cases[] = {
        {"unmappable pages", true, 0, STATUS_INSUFFICIENT_RESOURCES, STATUS_INSUFFICIENT_RESOURCES},
        {"unmappable pages, marked buffered", true, IRP_BUFFERED_IO, STATUS_SUCCESS,
         STATUS_SUCCESS},
        {"marked buffered", false, IRP_BUFFERED_IO, STATUS_SUCCESS, STATUS_SUCCESS},
        {"not marked", false, 0, STATUS_SUCCESS, STATUS_INSUFFICIENT_RESOURCES},
        {"an associated request", false, IRP_ASSOCIATED_IRP, STATUS_INSUFFICIENT_RESOURCES,
         STATUS_INSUFFICIENT_RESOURCES},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const NTSTATUS status = bufferedDevice ? c.onBuffered : c.onDirect;
        std::vector<UCHAR> pages(kByteCount, kUntouched), field(kByteCount, kUntouched);
        PMDL mdl = nullptr;
        if (c.unmappableMdl) {
            mdl = IoAllocateMdl(pages.data(), kByteCount, FALSE, FALSE, nullptr);
            MmProbeAndLockPages(mdl, KernelMode, IoWriteAccess);
            FailNext(Call::MmMapLockedPagesSpecifyCache);
        }
        IrpResult read = SendIrp(Filter(), IRP_MJ_READ, 0, [&](PIRP irp, PIO_STACK_LOCATION stack) {
            irp->MdlAddress = mdl;
            irp->AssociatedIrp.SystemBuffer = field.data();
            irp->Flags |= c.irpFlags;
            stack->Parameters.Read.Length = kByteCount;
        });
        if (mdl != nullptr) {
            ClearFailures();
            MmUnlockPages(mdl);
            IoFreeMdl(mdl);
        }

        EXPECT_EQ(read.Status, status);
        EXPECT_TRUE(AllEqual(pages, 0, kByteCount, kUntouched));
        EXPECT_TRUE(AllEqual(field, 0, kByteCount, status == STATUS_SUCCESS ? 5 : kUntouched));
        EXPECT_EQ(CurrentFlags().Ready, status == STATUS_SUCCESS ? 0u : 1u);
        SetFlags({0, 1, 1});
    }
}

INSTANTIATE_TEST_SUITE_P(Methods, ReadTest, testing::ValuesIn(kReadMethods), MethodName);

// --- Bounded waits ---------------------------------------------------------------

// What the application's requests do when the bridge driver's side never
// finishes (a delivery held mid-copy, a trigger report preempted mid-pulse)
// or another registration is under way: each gives up within its bound with
// STATUS_DEVICE_BUSY and changes nothing, and works again once the other
// side has finished.
TEST_F(ExchangeTest, RequestsThatMeetUnfinishedWorkGiveUpInTime) {
    AddStartedCamera();
    Describe(kByteCount);
    Deliver(MakeFrame(kByteCount, 8));
    HANDLE first = CreateEvent(app_, NotificationEvent, false);
    HANDLE second = CreateEvent(app_, NotificationEvent, false);
    ASSERT_EQ(SetEvents(first, second).Status, STATUS_SUCCESS);
    SNAPSHOT_EXTENSION* e = Extension();
    const PKEVENT registered[2] = {e->FirstEvent, e->SecondEvent};

    std::vector<UCHAR> image(kByteCount, kUntouched);
    struct Case {
        const char* name;
        std::function<void(bool)> unfinished;  // true: begin it, false: end it
        std::function<IoResult()> request;
    };
    const Case cases[] = {
        {"a read during a delivery that never ends",
         [&](bool on) {
             e->SnapshotSequence += 1;
             (void)on;
         },
         [&] { return Read(image.data(), kByteCount); }},
        {"a release during a pulse that never ends", [&](bool on) { e->EventUsers = on ? 1 : 0; },
         [&] { return SetEvents(nullptr, nullptr); }},
        {"a registration during a pulse that never ends",
         [&](bool on) { e->EventUsers = on ? 1 : 0; }, [&] { return SetEvents(first, second); }},
        {"a registration during another registration", [&](bool on) { e->EventsBusy = on ? 1 : 0; },
         [&] { return SetEvents(first, second); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::fill(image.begin(), image.end(), kUntouched);
        c.unfinished(true);
        auto started = std::chrono::steady_clock::now();
        IoResult refused = c.request();
        auto took = std::chrono::steady_clock::now() - started;
        EXPECT_EQ(refused.Status, STATUS_DEVICE_BUSY);
        EXPECT_EQ(refused.Information, 0u);
        EXPECT_LT(took, std::chrono::milliseconds(500));
        EXPECT_TRUE(AllEqual(image, 0, kByteCount, kUntouched));
        EXPECT_EQ(CurrentFlags().Ready, 1u);
        EXPECT_EQ(e->FirstEvent, registered[0]);
        EXPECT_EQ(e->SecondEvent, registered[1]);

        c.unfinished(false);
        EXPECT_EQ(c.request().Status, STATUS_SUCCESS);
        SetFlags({0, 1, 1});
        if (e->FirstEvent == nullptr) {
            ASSERT_EQ(SetEvents(first, second).Status, STATUS_SUCCESS);
        }
    }
    ASSERT_EQ(SetEvents(nullptr, nullptr).Status, STATUS_SUCCESS);
}

// --- Raw addresses (neither buffering) --------------------------------------------

// Nothing can catch a fault on an application's own address, so a user-mode
// read that brings only that is refused; a kernel-mode requester's address
// is its own responsibility and is served.
TEST_F(ExchangeTest, ARawAddressIsServedOnlyForAKernelModeRequester) {
    AddStartedCamera(DO_POWER_PAGABLE);
    Describe(kByteCount);
    Deliver(MakeFrame(kByteCount, 6));

    std::vector<UCHAR> image(kByteCount, kUntouched);
    IoResult user = Read(image.data(), kByteCount);
    EXPECT_EQ(user.Status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(user.Information, 0u);
    EXPECT_TRUE(AllEqual(image, 0, kByteCount, kUntouched));
    EXPECT_EQ(QueryReady(), 1u);

    IrpResult kernel = SendIrp(Filter(), IRP_MJ_READ, 0, [&](PIRP irp, PIO_STACK_LOCATION stack) {
        irp->UserBuffer = image.data();
        stack->Parameters.Read.Length = kByteCount;
    });
    EXPECT_EQ(kernel.Status, STATUS_SUCCESS);
    EXPECT_EQ(kernel.Information, kByteCount);
    EXPECT_TRUE(AllEqual(image, 0, kByteCount, 6));
    EXPECT_EQ(QueryReady(), 0u);
}

}  // namespace
