// The snapshot exchange seen from its two sides: the flag table of the
// lifecycle, the three I/O controls across buffer lengths, and reads by each
// buffering method across destination sizes, including the inputs an
// application can get wrong.
#include "snapshot_fixture.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <functional>

using namespace host_kernel;
using namespace tessip_test;

namespace {

class ExchangeTest : public SnapshotTest {};

// A byte count whose copies span several pages and end mid-page.
const ULONG kByteCount = 3 * 4096 + 123;
const UCHAR kUntouched = 0xEE;

bool AllEqual(const std::vector<UCHAR>& bytes, size_t from, size_t to, UCHAR value)
{
    return std::all_of(bytes.begin() + from, bytes.begin() + to,
                       [value](UCHAR b) { return b == value; });
}

// --- The flag table ---------------------------------------------------------------

const int kKeep = -1;

struct FlagCase {
    const char* name;
    std::function<void(SnapshotTest&)> event;
    int requested, eventsDisabled, ready;  // kKeep: left as it was
};

class FlagTableTest : public ExchangeTest {
 public:
    // Runs `event` from `start` and returns the flags after it.
    Flags After(const FlagCase& c, const Flags& start)
    {
        SetFlags(start);
        c.event(*this);
        return CurrentFlags();
    }
    using SnapshotTest::Control;
    using SnapshotTest::Deliver;
    using SnapshotTest::Read;
    using SnapshotTest::TakeRequest;
    using SnapshotTest::Trigger;
};

TEST_F(FlagTableTest, EachEventChangesOnlyItsFlags)
{
    AddStartedCamera();
    Describe(kByteCount);
    const FlagCase cases[] = {
        {"SNAPSHOT_CONTROL_REQUEST",
         [](SnapshotTest& t) { static_cast<FlagTableTest&>(t).Control(SNAPSHOT_CONTROL_REQUEST); },
         1, kKeep, kKeep},
        {"SNAPSHOT_CONTROL_EVENTS_OFF",
         [](SnapshotTest& t) { static_cast<FlagTableTest&>(t).Control(SNAPSHOT_CONTROL_EVENTS_OFF); },
         kKeep, 1, 0},
        {"SNAPSHOT_CONTROL_EVENTS_ON",
         [](SnapshotTest& t) { static_cast<FlagTableTest&>(t).Control(SNAPSHOT_CONTROL_EVENTS_ON); },
         kKeep, 0, 0},
        {"SNAPSHOT_CONTROL_QUERY_READY",
         [](SnapshotTest& t) {
             ULONG ready;
             static_cast<FlagTableTest&>(t).Control(SNAPSHOT_CONTROL_QUERY_READY, 4, 4, &ready);
         },
         kKeep, kKeep, kKeep},
        {"unknown sub-code 7",
         [](SnapshotTest& t) { static_cast<FlagTableTest&>(t).Control(7); }, kKeep, kKeep, kKeep},
        {"TakeSnapshotRequest",
         [](SnapshotTest& t) { static_cast<FlagTableTest&>(t).TakeRequest(); }, 0, kKeep, kKeep},
        {"SubmitSnapshot with a frame",
         [](SnapshotTest& t) { static_cast<FlagTableTest&>(t).Deliver(MakeFrame(kByteCount, 1)); },
         0, kKeep, 1},
        {"SubmitSnapshot without a frame",
         [](SnapshotTest& t) { static_cast<FlagTableTest&>(t).Trigger(1); }, 1, kKeep, kKeep},
        {"read",
         [](SnapshotTest& t) {
             std::vector<UCHAR> image(kByteCount);
             static_cast<FlagTableTest&>(t).Read(image.data(), kByteCount);
         },
         kKeep, kKeep, 0},
        {"read into too small a destination",
         [](SnapshotTest& t) {
             std::vector<UCHAR> image(kByteCount - 1);
             static_cast<FlagTableTest&>(t).Read(image.data(), kByteCount - 1);
         },
         kKeep, kKeep, kKeep},
    };

    const Flags starts[] = {{0, 0, 0}, {1, 1, 1}, {1, 0, 1}, {0, 1, 0}};
    for (const FlagCase& c : cases) {
        for (const Flags& start : starts) {
            SCOPED_TRACE(testing::Message() << c.name << " from " << start);
            Flags expected{c.requested == kKeep ? start.Requested : ULONG(c.requested),
                           c.eventsDisabled == kKeep ? start.EventsDisabled : ULONG(c.eventsDisabled),
                           c.ready == kKeep ? start.Ready : ULONG(c.ready)};
            EXPECT_EQ(After(c, start), expected);
        }
    }
}

TEST_F(ExchangeTest, TakeSnapshotRequestReportsARequestOnce)
{
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

TEST_F(ExchangeTest, TheWholeExchangeFromRequestToRead)
{
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
NTSTATUS NTAPI DeliverNewerFrame(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto deliver = static_cast<std::function<void()>*>(context);
    (*deliver)();
    if (irp->PendingReturned) {
        IoMarkIrpPending(irp);
    }
    return STATUS_SUCCESS;  // continue completion
}

TEST_F(ExchangeTest, AFrameDeliveredWhileAReadFinishesStaysReady)
{
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

TEST_F(ExchangeTest, NothingAfterAddDeviceAllocates)
{
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

TEST_F(ExchangeTest, BeforeAnyImageInfoEveryCopyIsEmpty)
{
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

TEST_F(ExchangeTest, GetImageInfoAcrossOutputLengths)
{
    AddStartedCamera();
    std::vector<UCHAR> info(64);

    // Before SetImageInfo: 40 zero bytes.
    std::fill(info.begin(), info.end(), kUntouched);
    IoResult first = DeviceIoControl(app_, file_, IOCTL_SNAPSHOT_GET_IMAGE_INFO, nullptr, 0,
                                     info.data(), 40);
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

TEST_F(ExchangeTest, ControlAcrossInputLengths)
{
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

TEST_F(ExchangeTest, QueryReadyAcrossOutputLengths)
{
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
            EXPECT_TRUE(std::all_of(output + 4, output + 8, [](UCHAR b) { return b == kUntouched; }));
        }
        EXPECT_EQ(CurrentFlags(), (Flags{0, 1, 1}));
    }
}

TEST_F(ExchangeTest, SetEventsAcrossInputLengths)
{
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

TEST_F(ExchangeTest, OtherControlCodesGoDownWithAFreshStatusBlock)
{
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

struct Method {
    const char* name;
    ULONG flags;
};

const Method kMethods[] = {
    {"buffered", DO_BUFFERED_IO | DO_POWER_PAGABLE},
    {"direct", DO_DIRECT_IO | DO_POWER_PAGABLE},
    {"neither", DO_POWER_PAGABLE},
};

class ReadTest : public ExchangeTest, public testing::WithParamInterface<Method> {};

TEST_P(ReadTest, DestinationsSmallerThanTheSnapshotGetNothingAndKeepIt)
{
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

TEST_P(ReadTest, AFullSizeSnapshotArrivesWhole)
{
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

TEST_P(ReadTest, AByteCountBeyondTheBufferMovesNothing)
{
    AddStartedCamera(GetParam().flags);
    Describe(kByteCount);
    Deliver(MakeFrame(kByteCount, 3));
    SetFlags({1, 0, 0});

    // The delivery is dropped whole: flags and the previous snapshot stay.
    Describe(SNAPSHOT_BUFFER_SIZE + 1);
    Deliver(MakeFrame(SNAPSHOT_BUFFER_SIZE + 1, 9));
    EXPECT_EQ(CurrentFlags(), (Flags{1, 0, 0}));

    // The read fails without copying, however large the destination.
    SetFlags({0, 0, 1});
    std::vector<UCHAR> destination(SNAPSHOT_BUFFER_SIZE + 16, kUntouched);
    IoResult read = Read(destination.data(), ULONG(destination.size()));
    EXPECT_EQ(read.Status, STATUS_INVALID_BUFFER_SIZE);
    EXPECT_EQ(read.Information, 0u);
    EXPECT_TRUE(AllEqual(destination, 0, destination.size(), kUntouched));
    EXPECT_EQ(CurrentFlags().Ready, 1u);

    Describe(kByteCount);
    std::vector<UCHAR> image(kByteCount, kUntouched);
    EXPECT_EQ(Read(image.data(), kByteCount).Status, STATUS_SUCCESS);
    EXPECT_TRUE(AllEqual(image, 0, kByteCount, 3));
}

INSTANTIATE_TEST_SUITE_P(Methods, ReadTest, testing::ValuesIn(kMethods),
                         [](const testing::TestParamInfo<Method>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(ExchangeTest, AFailedMappingOfTheCallersPagesKeepsTheSnapshot)
{
    AddStartedCamera(DO_DIRECT_IO | DO_POWER_PAGABLE);
    Describe(kByteCount);
    Deliver(MakeFrame(kByteCount, 5));
    FailNext(Call::MmMapLockedPagesSpecifyCache);
    std::vector<UCHAR> image(kByteCount, kUntouched);
    IoResult read = Read(image.data(), kByteCount);
    if (CallCount(Call::MmMapLockedPagesSpecifyCache) == 0) {
        ClearFailures();
        GTEST_SKIP() << "the I/O manager hands over MDLs already mapped";
    }
    EXPECT_EQ(read.Status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(AllEqual(image, 0, kByteCount, kUntouched));
    EXPECT_EQ(QueryReady(), 1u);
    EXPECT_EQ(Read(image.data(), kByteCount).Status, STATUS_SUCCESS);
    EXPECT_TRUE(AllEqual(image, 0, kByteCount, 5));
}

// --- Raw user buffers (neither buffering) ----------------------------------------

// Pages the test maps and protects itself: [0] writable, [1] as asked.
class UserPages {
 public:
    explicit UserPages(int secondProtection)
    {
        page_ = size_t(sysconf(_SC_PAGESIZE));
        base_ = static_cast<UCHAR*>(
            mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        memset(base_, kUntouched, 2 * page_);
        mprotect(base_ + page_, page_, secondProtection);
    }
    ~UserPages() { munmap(base_, 2 * page_); }
    UCHAR* Base() const { return base_; }
    size_t Page() const { return page_; }

 private:
    UCHAR* base_;
    size_t page_;
};

TEST_F(ExchangeTest, ARawUserBufferIsWrittenOnlyWhenAllOfItIsWritable)
{
    AddStartedCamera(DO_POWER_PAGABLE);
    const ULONG byteCount = 256;
    Describe(byteCount);
    Deliver(MakeFrame(byteCount, 6));

    struct Case {
        const char* name;
        int protection;  // of the second page
        size_t offset;   // of the destination from the first page's start
        bool served;
    };
    UserPages probe(PROT_READ);
    const size_t page = probe.Page();
    const Case cases[] = {
        {"inside the writable page", PROT_READ, 0, true},
        {"ending at the writable page's end", PROT_READ, page - byteCount, true},
        {"running into a read-only page", PROT_READ, page - byteCount / 2, false},
        {"running into an inaccessible page", PROT_NONE, page - 1, false},
        {"inside a read-only page", PROT_READ, page + 16, false},
        {"across two writable pages", PROT_READ | PROT_WRITE, page - byteCount / 2, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UserPages pages(c.protection);
        SetFlags({0, 1, 1});
        IoResult read = Read(pages.Base() + c.offset, byteCount);
        if (c.served) {
            EXPECT_EQ(read.Status, STATUS_SUCCESS);
            EXPECT_EQ(pages.Base()[c.offset], 6);
            EXPECT_EQ(pages.Base()[c.offset + byteCount - 1], 6);
            EXPECT_EQ(CurrentFlags().Ready, 0u);
        } else {
            EXPECT_EQ(read.Status, STATUS_INVALID_USER_BUFFER);
            EXPECT_EQ(read.Information, 0u);
            if (c.offset < page) {
                EXPECT_EQ(pages.Base()[c.offset], kUntouched);
                EXPECT_EQ(pages.Base()[page - 1], kUntouched);
            }
            EXPECT_EQ(CurrentFlags().Ready, 1u);
        }
    }
}

TEST_F(ExchangeTest, ARawUserAddressThatIsNotMappedIsRefused)
{
    AddStartedCamera(DO_POWER_PAGABLE);
    Describe(64);
    Deliver(MakeFrame(64, 6));
    void* unmapped = reinterpret_cast<void*>(uintptr_t(0x1000));
    EXPECT_EQ(Read(unmapped, 64).Status, STATUS_INVALID_USER_BUFFER);
    // The end of the address space wraps: refused, not copied.
    void* top = reinterpret_cast<void*>(~uintptr_t(0) - 15);
    EXPECT_EQ(Read(top, 64).Status, STATUS_INVALID_USER_BUFFER);
    EXPECT_EQ(QueryReady(), 1u);
}

}  // namespace
