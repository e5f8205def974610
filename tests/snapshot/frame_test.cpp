// tessip's driver frame in a camera stack: what add-device takes over and
// allocates, the Plug and Play state table, the still-image interface over
// the device's life, the synchronous start, removal, and the failure paths
// of add-device under fault injection.
#include "snapshot_fixture.h"

#include <algorithm>
#include <functional>

using namespace host_kernel;
using namespace tessip_test;

namespace {

class FrameTest : public SnapshotTest {};

// --- Add-device -------------------------------------------------------------

struct TakeOverCase {
    const char* name;
    ULONG pdoFlags;
    ULONG bridgeSet, bridgeClear;
    DEVICE_TYPE bridgeType;
    ULONG bridgeCharacteristics;
};

const TakeOverCase kTakeOverCases[] = {
    {"buffered", DO_BUFFERED_IO | DO_POWER_PAGABLE, 0, 0, FILE_DEVICE_UNKNOWN, 0},
    {"direct", DO_DIRECT_IO | DO_POWER_PAGABLE, 0, 0, FILE_DEVICE_KS, FILE_DEVICE_SECURE_OPEN},
    {"neither", DO_POWER_PAGABLE, 0, 0, FILE_DEVICE_KS, 0},
    {"inrush", DO_BUFFERED_IO, DO_POWER_INRUSH, 0, FILE_DEVICE_UNKNOWN, 0},
    {"unmasked flags stay below", DO_BUFFERED_IO,
     DO_EXCLUSIVE | DO_VERIFY_VOLUME | DO_BUS_ENUMERATED_DEVICE, 0, FILE_DEVICE_KS,
     FILE_CHARACTERISTIC_PNP_DEVICE},
};

TEST_F(FrameTest, AddDeviceLooksLikeTheDeviceBelow) {
    const ULONG mask = DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE | DO_POWER_INRUSH;
    for (const TakeOverCase& c : kTakeOverCases) {
        SCOPED_TRACE(c.name);
        TestDriverOptions bridge;
        bridge.SetFlags = c.bridgeSet;
        bridge.ClearFlags = c.bridgeClear;
        bridge.DeviceType = c.bridgeType;
        bridge.Characteristics = c.bridgeCharacteristics;
        ASSERT_EQ(AddCamera(c.pdoFlags, bridge), STATUS_SUCCESS);

        PDEVICE_OBJECT lower = bridge_->Device(pdo_);
        PDEVICE_OBJECT filter = Filter();
        ASSERT_NE(filter, nullptr);
        EXPECT_EQ(filter->Flags & mask, lower->Flags & mask);
        EXPECT_EQ(filter->Flags & (DO_EXCLUSIVE | DO_VERIFY_VOLUME | DO_BUS_ENUMERATED_DEVICE), 0u);
        EXPECT_EQ(filter->Flags & DO_DEVICE_INITIALIZING, 0u);
        EXPECT_EQ(filter->DeviceType, c.bridgeType);
        EXPECT_EQ(filter->Characteristics, c.bridgeCharacteristics);
        EXPECT_EQ(Extension()->LowerDevice, lower);
        EXPECT_EQ(Extension()->PhysicalDevice, pdo_);
        EXPECT_EQ(Extension()->Self, filter);

        EXPECT_EQ(RemoveDevice(pdo_), STATUS_SUCCESS);
        DeletePhysicalDevice(pdo_);
        bridge_.reset();
    }
}

TEST_F(FrameTest, AddDeviceTakesTheSnapshotBufferAndEnablesTheImageInterface) {
    ASSERT_EQ(AddCamera(), STATUS_SUCCESS);

    PoolStats pool = PoolUsage(SNAPSHOT_POOL_TAG);
    EXPECT_EQ(pool.Blocks, 1u);
    EXPECT_EQ(pool.Bytes, SIZE_T(2457600));
    ULONG tag = SNAPSHOT_POOL_TAG;
    EXPECT_EQ(memcmp(&tag, "ParC", 4), 0);  // as the pool shows it
    EXPECT_NE(Extension()->SnapshotBuffer, nullptr);

    const SNAPSHOT_EXTENSION* e = Extension();
    EXPECT_EQ(e->PnpState, ULONG(NotStarted));
    EXPECT_EQ(e->PreviousPnpState, ULONG(NotStarted));
    EXPECT_EQ(CurrentFlags(), (Flags{0, 1, 0}));
    EXPECT_EQ(e->FirstEvent, nullptr);
    EXPECT_EQ(e->SecondEvent, nullptr);
    const SNAPSHOT_IMAGE_INFO zero{};
    EXPECT_EQ(memcmp(&e->ImageInfo, &zero, sizeof(zero)), 0);

    // Registered on the camera's PDO and enabled before any start.
    std::u16string link = InterfaceLink();
    ASSERT_FALSE(link.empty());
    EXPECT_TRUE(DeviceInterfaceEnabled(link));
    std::vector<std::u16string> found = EnumerateDeviceInterfaces(GUID_DEVINTERFACE_IMAGE);
    EXPECT_NE(std::find(found.begin(), found.end(), link), found.end());
}

TEST_F(FrameTest, TheApplicationFindsAndOpensTheCameraByItsImageInterface) {
    ASSERT_EQ(AddCamera(), STATUS_SUCCESS);
    std::vector<std::u16string> found = EnumerateDeviceInterfaces(GUID_DEVINTERFACE_IMAGE);
    ASSERT_EQ(found.size(), 1u);
    HANDLE file = nullptr;
    ASSERT_EQ(OpenDevice(app_, found[0], &file), STATUS_SUCCESS);
    // Create went through tessip to the bridge driver, which decides.
    EXPECT_EQ(bridge_->SeenCount(IRP_MJ_CREATE), 1u);
    EXPECT_EQ(CloseHandle(app_, file), STATUS_SUCCESS);
}

// --- Fault injection at add-device ----------------------------------------------

TEST_F(FrameTest, FailedDeviceCreationFailsAddDeviceWithItsStatus) {
    // Only tessip's calls fail: the test bus and the bridge stand-in are
    // test doubles.
    FailNext(Call::IoCreateDevice, STATUS_INSUFFICIENT_RESOURCES, 0);
    size_t before = LiveDevices();
    EXPECT_EQ(AddCamera(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(DeviceOf(pdo_, tessip_), nullptr);
    EXPECT_EQ(PoolUsage(SNAPSHOT_POOL_TAG).Blocks, 0u);
    EXPECT_EQ(LiveDevices(), before + 1);  // the PDO; the bridge stand-in was removed again
}

TEST_F(FrameTest, FailedAttachDeletesTheNewDeviceAndFailsUnsuccessful) {
    FailNext(Call::IoAttachDeviceToDeviceStack);
    size_t before = LiveDevices();
    EXPECT_EQ(AddCamera(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(DeviceOf(pdo_, tessip_), nullptr);
    EXPECT_EQ(PoolUsage(SNAPSHOT_POOL_TAG).Blocks, 0u);
    EXPECT_EQ(CallCount(Call::IoRegisterDeviceInterface), 0u);
    EXPECT_EQ(LiveDevices(), before + 1);
}

TEST_F(FrameTest, WithoutASnapshotBufferTheDeviceStillRunsAndRemovesCleanly) {
    FailAlways(Call::ExAllocatePoolWithTag);
    ASSERT_EQ(AddCamera(), STATUS_SUCCESS);
    ClearFailures();
    ASSERT_EQ(StartCamera(), STATUS_SUCCESS);
    OpenCamera();
    EXPECT_EQ(Extension()->SnapshotBuffer, nullptr);

    // Deliveries are ignored and reads fail; nothing touches the missing
    // buffer. A trigger report still asks for a snapshot.
    Describe(64);
    Deliver(MakeFrame(64, 1));
    EXPECT_EQ(CurrentFlags(), (Flags{0, 1, 0}));
    std::vector<UCHAR> destination(64, 0xEE);
    IoResult read = Read(destination.data(), 64);
    EXPECT_EQ(read.Status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(read.Information, 0u);
    EXPECT_EQ(std::count(destination.begin(), destination.end(), 0xEE), 64);
    Trigger(0);
    EXPECT_EQ(TakeRequest(), 1u);

    EXPECT_EQ(CloseHandle(app_, file_), STATUS_SUCCESS);
    EXPECT_EQ(RemoveDevice(pdo_), STATUS_SUCCESS);
    EXPECT_EQ(DeviceOf(pdo_, tessip_), nullptr);
}

TEST_F(FrameTest, WithoutAnInterfaceNameEveryDisableStepIsSkipped) {
    FailNext(Call::IoRegisterDeviceInterface);
    ASSERT_EQ(AddCamera(), STATUS_SUCCESS);
    EXPECT_TRUE(InterfaceLink().empty());
    EXPECT_TRUE(EnumerateDeviceInterfaces(GUID_DEVINTERFACE_IMAGE).empty());
    unsigned stateCalls = CallCount(Call::IoSetDeviceInterfaceState);

    ASSERT_EQ(StartCamera(), STATUS_SUCCESS);
    EXPECT_EQ(StopDevice(pdo_), STATUS_SUCCESS);
    EXPECT_EQ(SurpriseRemoveDevice(pdo_), STATUS_SUCCESS);
    EXPECT_EQ(SendPnp(pdo_, IRP_MN_REMOVE_DEVICE).Status, STATUS_SUCCESS);
    EXPECT_EQ(CallCount(Call::IoSetDeviceInterfaceState), stateCalls);
    EXPECT_EQ(DeviceOf(pdo_, tessip_), nullptr);
}

TEST_F(FrameTest, AFailedEnableLeavesTheNameForRemovalToFree) {
    FailNext(Call::IoSetDeviceInterfaceState);
    ASSERT_EQ(AddCamera(), STATUS_SUCCESS);
    std::u16string link = InterfaceLink();
    ASSERT_FALSE(link.empty());
    EXPECT_FALSE(DeviceInterfaceEnabled(link));
    EXPECT_EQ(RemoveDevice(pdo_), STATUS_SUCCESS);
}

// --- Plug and Play state table ------------------------------------------------

struct StateCase {
    const char* name;
    std::vector<UCHAR> minors;  // sent to a started camera, in order
    ULONG state, previous;
};

const StateCase kStateCases[] = {
    {"query stop", {IRP_MN_QUERY_STOP_DEVICE}, StopPending, Started},
    {"query stop, cancel", {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE}, Started, Started},
    {"cancel stop when started", {IRP_MN_CANCEL_STOP_DEVICE}, Started, NotStarted},
    {"query stop, stop", {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE}, StopPending, StopPending},
    {"stop, start",
     {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE, IRP_MN_START_DEVICE},
     Started,
     StopPending},
    {"query remove", {IRP_MN_QUERY_REMOVE_DEVICE}, RemovePending, Started},
    {"query remove, cancel",
     {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE},
     Started,
     Started},
    {"two query removes, one cancel",
     {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE},
     RemovePending,
     RemovePending},
    {"cancel remove when started", {IRP_MN_CANCEL_REMOVE_DEVICE}, Started, NotStarted},
    {"cancel stop while remove pending",
     {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_STOP_DEVICE},
     RemovePending,
     Started},
    {"surprise removal", {IRP_MN_SURPRISE_REMOVAL}, SurpriseRemoved, Started},
    {"unhandled minor", {IRP_MN_QUERY_CAPABILITIES}, Started, NotStarted},
};

TEST_F(FrameTest, PlugAndPlayStateTable) {
    for (const StateCase& c : kStateCases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(AddCamera(), STATUS_SUCCESS);
        ASSERT_EQ(StartCamera(), STATUS_SUCCESS);
        ASSERT_EQ(Extension()->PnpState, ULONG(Started));
        for (UCHAR minor : c.minors) {
            IrpResult result = SendPnp(pdo_, minor);
            EXPECT_TRUE(result.Completed);
        }
        EXPECT_EQ(Extension()->PnpState, c.state);
        EXPECT_EQ(Extension()->PreviousPnpState, c.previous);

        EXPECT_EQ(SendPnp(pdo_, IRP_MN_REMOVE_DEVICE).Completed, true);
        EXPECT_EQ(DeviceOf(pdo_, tessip_), nullptr);
        DeletePhysicalDevice(pdo_);
        bridge_.reset();
    }
}

// Which requests tessip answers for on their way down, and which go down
// with the status they came with (the Plug and Play manager's
// STATUS_NOT_SUPPORTED).
struct StatusDownCase {
    UCHAR minor;
    NTSTATUS statusBelow;
};

const StatusDownCase kStatusDownCases[] = {
    {IRP_MN_QUERY_STOP_DEVICE, STATUS_SUCCESS},
    {IRP_MN_CANCEL_STOP_DEVICE, STATUS_SUCCESS},
    {IRP_MN_QUERY_REMOVE_DEVICE, STATUS_SUCCESS},
    {IRP_MN_CANCEL_REMOVE_DEVICE, STATUS_SUCCESS},
    {IRP_MN_STOP_DEVICE, STATUS_SUCCESS},
    {IRP_MN_SURPRISE_REMOVAL, STATUS_SUCCESS},
    {IRP_MN_QUERY_CAPABILITIES, STATUS_NOT_SUPPORTED},
    {IRP_MN_QUERY_DEVICE_RELATIONS, STATUS_NOT_SUPPORTED},
};

TEST_F(FrameTest, StatusEachMinorFunctionCarriesDown) {
    for (const StatusDownCase& c : kStatusDownCases) {
        SCOPED_TRACE(testing::Message() << "minor " << int(c.minor));
        ASSERT_EQ(AddCamera(), STATUS_SUCCESS);
        ASSERT_EQ(StartCamera(), STATUS_SUCCESS);
        if (c.minor == IRP_MN_STOP_DEVICE) {
            SendPnp(pdo_, IRP_MN_QUERY_STOP_DEVICE);  // a stop comes only after its query
        }
        bridge_->ClearSeen();
        SendPnp(pdo_, c.minor);
        ASSERT_EQ(bridge_->SeenCount(IRP_MJ_PNP, c.minor), 1u);
        EXPECT_EQ(bridge_->Seen().back().Status, c.statusBelow);
        SendPnp(pdo_, IRP_MN_REMOVE_DEVICE);
        DeletePhysicalDevice(pdo_);
        bridge_.reset();
    }
}

// --- The interface query -------------------------------------------------------

TEST_F(FrameTest, InterfaceQueryFillsTheRecordAndLeavesTheHeaderFieldsAlone) {
    ASSERT_EQ(AddCamera(), STATUS_SUCCESS);
    SNAPSHOT_INTERFACE record;
    memset(&record, 0xCC, sizeof(record));
    PVOID sentinel = reinterpret_cast<PVOID>(uintptr_t(0x1234));
    record.Context = sentinel;

    for (int query = 0; query < 2; query++) {
        bridge_->ClearSeen();
        IrpResult result = QueryInterface(pdo_, GUID_SNAPSHOT_INTERFACE,
                                          reinterpret_cast<PINTERFACE>(&record), 1, 1);
        EXPECT_EQ(result.Status, STATUS_SUCCESS);
        ASSERT_EQ(bridge_->SeenCount(IRP_MJ_PNP, IRP_MN_QUERY_INTERFACE), 1u);
        EXPECT_EQ(bridge_->Seen().back().Status, STATUS_SUCCESS);
        EXPECT_EQ(record.Size, sizeof(SNAPSHOT_INTERFACE));
        EXPECT_EQ(record.Version, 100);
        EXPECT_EQ(record.Context, sentinel);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(record.InterfaceReference),
                  static_cast<uintptr_t>(0xCCCCCCCCCCCCCCCCull));
        EXPECT_EQ(reinterpret_cast<uintptr_t>(record.InterfaceDereference),
                  static_cast<uintptr_t>(0xCCCCCCCCCCCCCCCCull));
        EXPECT_EQ(record.SetImageInfo, &SetImageInfo);
        EXPECT_EQ(record.TakeSnapshotRequest, &TakeSnapshotRequest);
        EXPECT_EQ(record.SubmitSnapshot, &SubmitSnapshot);
    }
}

TEST_F(FrameTest, InterfaceQueryForAnotherGuidGoesDownUntouched) {
    ASSERT_EQ(AddCamera(), STATUS_SUCCESS);
    // Differs from GUID_SNAPSHOT_INTERFACE in the last byte only.
    GUID other = GUID_SNAPSHOT_INTERFACE;
    other.Data4[7] ^= 1;
    SNAPSHOT_INTERFACE record;
    memset(&record, 0xCC, sizeof(record));
    SNAPSHOT_INTERFACE untouched = record;

    QueryInterface(pdo_, other, reinterpret_cast<PINTERFACE>(&record), sizeof(record), 100);
    ASSERT_EQ(bridge_->SeenCount(IRP_MJ_PNP, IRP_MN_QUERY_INTERFACE), 1u);
    EXPECT_EQ(bridge_->Seen().back().Status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(memcmp(&record, &untouched, sizeof(record)), 0);
}

// --- Start ------------------------------------------------------------------------

struct StartCase {
    const char* name;
    Behavior lower;
    NTSTATUS expected;
    ULONG state;
};

TEST_F(FrameTest, StartIsCompletedWithTheLowerDriversFinalStatus) {
    const StartCase cases[] = {
        {"synchronous success", Behavior::PassDown(), STATUS_SUCCESS, Started},
        {"asynchronous success", Behavior::Pend(STATUS_SUCCESS), STATUS_SUCCESS, Started},
        {"synchronous failure", Behavior::Complete(STATUS_DEVICE_POWER_FAILURE),
         STATUS_DEVICE_POWER_FAILURE, NotStarted},
        {"asynchronous failure", Behavior::Pend(STATUS_DEVICE_POWER_FAILURE),
         STATUS_DEVICE_POWER_FAILURE, NotStarted},
    };
    for (const StartCase& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(AddCamera(), STATUS_SUCCESS);
        bridge_->On(IRP_MJ_PNP, IRP_MN_START_DEVICE, c.lower);
        IrpResult result = SendPnp(pdo_, IRP_MN_START_DEVICE);
        ASSERT_TRUE(result.Completed);
        EXPECT_EQ(result.Returned, c.expected);
        EXPECT_EQ(result.Status, c.expected);
        EXPECT_NE(result.Returned, STATUS_PENDING);
        EXPECT_EQ(Extension()->PnpState, c.state);
        SendPnp(pdo_, IRP_MN_REMOVE_DEVICE);
        DeletePhysicalDevice(pdo_);
        bridge_.reset();
    }
}

// --- The interface over the device's life ----------------------------------------

TEST_F(FrameTest, StopDisablesTheInterfaceAndARestartLeavesItDisabled) {
    ASSERT_EQ(AddCamera(), STATUS_SUCCESS);
    ASSERT_EQ(StartCamera(), STATUS_SUCCESS);
    std::u16string link = InterfaceLink();
    ASSERT_TRUE(DeviceInterfaceEnabled(link));

    ASSERT_EQ(StopDevice(pdo_), STATUS_SUCCESS);
    EXPECT_FALSE(DeviceInterfaceEnabled(link));
    EXPECT_EQ(InterfaceLink(), link);  // the name is kept for removal

    ASSERT_EQ(StartCamera(), STATUS_SUCCESS);
    EXPECT_EQ(Extension()->PnpState, ULONG(Started));
    EXPECT_FALSE(DeviceInterfaceEnabled(link));
    EXPECT_TRUE(EnumerateDeviceInterfaces(GUID_DEVINTERFACE_IMAGE).empty());
}

TEST_F(FrameTest, SurpriseRemovalDisablesTheInterfaceAndKeepsTheName) {
    ASSERT_EQ(AddCamera(), STATUS_SUCCESS);
    ASSERT_EQ(StartCamera(), STATUS_SUCCESS);
    std::u16string link = InterfaceLink();

    SendPnp(pdo_, IRP_MN_SURPRISE_REMOVAL);
    EXPECT_FALSE(DeviceInterfaceEnabled(link));
    EXPECT_EQ(InterfaceLink(), link);
}

// --- Removal ---------------------------------------------------------------------

TEST_F(FrameTest, RemovalGoesDownFirstThenFreesEverythingTheDeviceHeld) {
    AddStartedCamera();
    std::u16string link = InterfaceLink();
    HANDLE first = CreateEvent(app_, NotificationEvent, false);
    HANDLE second = CreateEvent(app_, NotificationEvent, false);
    ASSERT_EQ(SetEvents(first, second).Status, STATUS_SUCCESS);
    PVOID firstObject = ObjectFromHandle(app_, first);
    PVOID secondObject = ObjectFromHandle(app_, second);
    LONG_PTR firstHeld = ReferenceCount(firstObject);
    LONG_PTR secondHeld = ReferenceCount(secondObject);

    // The bridge driver handles its removal (as its default would: down to
    // the PDO, detach, delete) while the buffer still exists, and sees the
    // request's status as the Plug and Play manager set it.
    size_t blocksBelow = 0;
    PDEVICE_OBJECT pdo = pdo_;
    bridge_->On(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE,
                Behavior::Handler([&blocksBelow, pdo](PDEVICE_OBJECT device, PIRP irp) {
                    blocksBelow = PoolUsage(SNAPSHOT_POOL_TAG).Blocks;
                    IoCopyCurrentIrpStackLocationToNext(irp);
                    NTSTATUS status = IoCallDriver(pdo, irp);
                    IoDetachDevice(pdo);
                    IoDeleteDevice(device);
                    return status;
                }));
    // The handle the events came through stays open (as after a surprise
    // removal, an application may keep it), so only removal can let them go.
    IrpResult result = SendPnp(pdo_, IRP_MN_REMOVE_DEVICE);
    EXPECT_EQ(result.Returned, result.PendingReturned ? STATUS_PENDING : result.Status);
    EXPECT_EQ(blocksBelow, 1u);
    ASSERT_EQ(bridge_->SeenCount(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE), 1u);
    EXPECT_EQ(bridge_->Seen().back().Status, STATUS_NOT_SUPPORTED);

    EXPECT_EQ(PoolUsage(SNAPSHOT_POOL_TAG).Blocks, 0u);
    EXPECT_FALSE(DeviceInterfaceEnabled(link));
    EXPECT_EQ(DeviceOf(pdo_, tessip_), nullptr);
    // The application never released its events; removal did.
    EXPECT_EQ(ReferenceCount(firstObject), firstHeld - 1);
    EXPECT_EQ(ReferenceCount(secondObject), secondHeld - 1);
}

// --- Arrangements other than the test bench's -------------------------------------

// The bridge driver names tessip's device with every call. One that took the
// top of its stack for it would name another driver's device whenever a
// filter sits above tessip: that device's memory is not tessip's to touch.
TEST_F(FrameTest, SnapshotCallsOnAnotherDriversDeviceDoNothing) {
    AddStartedCamera();
    TestDriver other("other");
    PDEVICE_OBJECT foreign = nullptr;
    ASSERT_EQ(IoCreateDevice(other.Driver(), sizeof(SNAPSHOT_EXTENSION), nullptr,
                             FILE_DEVICE_UNKNOWN, 0, FALSE, &foreign),
              STATUS_SUCCESS);
    auto* bytes = static_cast<UCHAR*>(foreign->DeviceExtension);
    std::fill(bytes, bytes + sizeof(SNAPSHOT_EXTENSION), UCHAR(0xA5));
    const std::vector<UCHAR> before(bytes, bytes + sizeof(SNAPSHOT_EXTENSION));

    const SNAPSHOT_INTERFACE& bridge = Bridge();
    const SNAPSHOT_IMAGE_INFO info = MakeImageInfo(64);
    std::vector<UCHAR> frame = MakeFrame(64, 1);
    EXPECT_EQ(bridge.TakeSnapshotRequest(foreign), 0u);
    EXPECT_EQ(bridge.TakeSnapshotRequest(nullptr), 0u);
    bridge.SetImageInfo(foreign, &info);
    bridge.SubmitSnapshot(foreign, nullptr, 1);
    ASSERT_EQ(std::vector<UCHAR>(bytes, bytes + sizeof(SNAPSHOT_EXTENSION)), before);
    bridge.SubmitSnapshot(foreign, frame.data(), 0);
    EXPECT_EQ(std::vector<UCHAR>(bytes, bytes + sizeof(SNAPSHOT_EXTENSION)), before);
    // tessip's own device still answers.
    Control(SNAPSHOT_CONTROL_REQUEST);
    EXPECT_EQ(TakeRequest(), 1u);
    IoDeleteDevice(foreign);
}

// A surprise-removed camera is gone: no read or control is served and no new
// reference is taken, while the application can still close its handle.
TEST_F(FrameTest, AfterSurpriseRemovalOnlyClosesAreServed) {
    AddStartedCamera();
    HANDLE event = CreateEvent(app_, NotificationEvent, false);
    PVOID eventObject = ObjectFromHandle(app_, event);
    ASSERT_EQ(SurpriseRemoveDevice(pdo_), STATUS_SUCCESS);
    bridge_->ClearSeen();

    UCHAR buffer[64];
    ULONG ready = 0;
    const struct {
        const char* name;
        std::function<IoResult()> send;
    } requests[] = {
        {"read", [&] { return Read(buffer, sizeof(buffer)); }},
        {"image info",
         [&] {
             return DeviceIoControl(app_, file_, IOCTL_SNAPSHOT_GET_IMAGE_INFO, nullptr, 0, buffer,
                                    sizeof(SNAPSHOT_IMAGE_INFO));
         }},
        {"event registration", [&] { return SetEvents(event, event); }},
        {"snapshot request", [&] { return Control(SNAPSHOT_CONTROL_REQUEST); }},
        {"ready query",
         [&] {
             return Control(SNAPSHOT_CONTROL_QUERY_READY, sizeof(ULONG), sizeof(ready), &ready);
         }},
        {"another driver's control",
         [&] { return DeviceIoControl(app_, file_, 0x00220000, nullptr, 0, nullptr, 0); }},
    };
    for (const auto& request : requests) {
        SCOPED_TRACE(request.name);
        EXPECT_EQ(request.send().Status, STATUS_DELETE_PENDING);
    }
    EXPECT_EQ(bridge_->SeenCount(IRP_MJ_DEVICE_CONTROL), 0u);
    EXPECT_EQ(ReferenceCount(eventObject), 1);
    EXPECT_EQ(CloseHandle(app_, file_), STATUS_SUCCESS);
    CloseHandle(app_, event);
}

// --- Pass-through and power --------------------------------------------------------

TEST_F(FrameTest, RequestsTessipDoesNotServeCarryTheLowerResultBack) {
    ASSERT_EQ(AddCamera(), STATUS_SUCCESS);
    bridge_->On(IRP_MJ_CREATE, Behavior::Complete(STATUS_ACCESS_DENIED));
    HANDLE file = nullptr;
    EXPECT_EQ(OpenDevice(app_, pdo_, &file), STATUS_ACCESS_DENIED);

    bridge_->On(IRP_MJ_CREATE, Behavior::Complete(STATUS_SUCCESS));
    OpenCamera();
    bridge_->On(IRP_MJ_WRITE, Behavior::Pend(STATUS_DEVICE_POWER_FAILURE, 0));
    UCHAR data[8] = {};
    IoResult write = WriteFile(app_, file_, data, sizeof(data));
    EXPECT_EQ(write.Status, STATUS_DEVICE_POWER_FAILURE);
    EXPECT_EQ(bridge_->SeenCount(IRP_MJ_WRITE), 1u);
}

TEST_F(FrameTest, PowerRequestsGoDownWithTheirResultUnchanged) {
    ASSERT_EQ(AddCamera(), STATUS_SUCCESS);
    ASSERT_EQ(StartCamera(), STATUS_SUCCESS);
    EXPECT_EQ(SetDevicePower(pdo_, PowerDeviceD3).Status, STATUS_SUCCESS);
    EXPECT_EQ(bridge_->SeenCount(IRP_MJ_POWER, IRP_MN_SET_POWER), 1u);

    // A query may be refused below (a set-power request only by the bus).
    bridge_->On(IRP_MJ_POWER, IRP_MN_QUERY_POWER, Behavior::Complete(STATUS_DEVICE_POWER_FAILURE));
    IrpResult result = QueryDevicePower(pdo_, PowerDeviceD0);
    EXPECT_EQ(result.Status, STATUS_DEVICE_POWER_FAILURE);
}

}  // namespace
