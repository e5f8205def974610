#include "snapshot_fixture.h"

#include <ostream>

using namespace host_kernel;

namespace tessip_test {

SNAPSHOT_IMAGE_INFO MakeImageInfo(ULONG byteCount, UCHAR fill) {
    SNAPSHOT_IMAGE_INFO info;
    memset(&info, fill, sizeof(info));
    info.ByteCount = byteCount;
    return info;
}

std::vector<UCHAR> MakeFrame(ULONG byteCount, UCHAR number) {
    return std::vector<UCHAR>(byteCount, number);
}

const Method kReadMethods[2] = {
    {"buffered", DO_BUFFERED_IO | DO_POWER_PAGABLE},
    {"direct", DO_DIRECT_IO | DO_POWER_PAGABLE},
};

std::string MethodName(const testing::TestParamInfo<Method>& info) {
    return info.param.name;
}

std::ostream& operator<<(std::ostream& out, const Flags& flags) {
    return out << "{Requested " << flags.Requested << ", EventsDisabled " << flags.EventsDisabled
               << ", Ready " << flags.Ready << "}";
}

void SnapshotTest::SetUp() {
    KernelTest::SetUp();
    tessip_ = LoadDriver("tessip", TessipDriverEntry);
    ASSERT_NE(tessip_, nullptr);
    app_ = CreateProcess("still-image application");
}

NTSTATUS SnapshotTest::AddCamera(ULONG pdoFlags, const TestDriverOptions& bridgeOptions,
                                 const std::vector<PDRIVER_OBJECT>& above) {
    bridge_ = std::make_unique<TestDriver>("bridge", bridgeOptions);
    PhysicalDeviceOptions options;
    options.Flags = pdoFlags;
    pdo_ = CreatePhysicalDevice(options);

    StackSpec layout;
    layout.Function = bridge_->Driver();
    layout.UpperFilters = {tessip_};
    layout.UpperFilters.insert(layout.UpperFilters.end(), above.begin(), above.end());
    return BuildDeviceStack(pdo_, layout);
}

void SnapshotTest::AddStartedCamera(ULONG pdoFlags) {
    ASSERT_EQ(AddCamera(pdoFlags), STATUS_SUCCESS);
    ASSERT_EQ(StartCamera(), STATUS_SUCCESS);
    OpenCamera();
}

NTSTATUS SnapshotTest::StartCamera() {
    return StartDevice(pdo_);
}

void SnapshotTest::OpenCamera() {
    ASSERT_EQ(OpenDevice(app_, pdo_, &file_), STATUS_SUCCESS);
}

PDEVICE_OBJECT SnapshotTest::Filter() const {
    return DeviceOf(pdo_, tessip_);
}

SNAPSHOT_EXTENSION* SnapshotTest::Extension() const {
    return SnapshotExtension(Filter());
}

Flags SnapshotTest::CurrentFlags() const {
    const SNAPSHOT_EXTENSION* e = Extension();
    return {e->SnapshotRequested, e->EventsDisabled, e->SnapshotReady};
}

void SnapshotTest::SetFlags(const Flags& flags) {
    SNAPSHOT_EXTENSION* e = Extension();
    e->SnapshotRequested = flags.Requested;
    e->EventsDisabled = flags.EventsDisabled;
    e->SnapshotReady = flags.Ready;
}

std::u16string SnapshotTest::InterfaceLink() const {
    const UNICODE_STRING& name = Extension()->InterfaceName;
    if (name.Buffer == nullptr) {
        return {};
    }
    return std::u16string(name.Buffer, name.Length / sizeof(WCHAR));
}

SNAPSHOT_INTERFACE SnapshotTest::BridgeInterface() {
    SNAPSHOT_INTERFACE record{};
    IrpResult result =
        QueryInterface(pdo_, GUID_SNAPSHOT_INTERFACE, reinterpret_cast<PINTERFACE>(&record),
                       sizeof(record), SNAPSHOT_INTERFACE_VERSION);
    EXPECT_EQ(result.Status, STATUS_SUCCESS);
    return record;
}

// Queried at PASSIVE_LEVEL, before the callers raise the IRQL for the call.
const SNAPSHOT_INTERFACE& SnapshotTest::Bridge() {
    if (interface_.Size == 0) {
        interface_ = BridgeInterface();
    }
    return interface_;
}

void SnapshotTest::Describe(ULONG byteCount) {
    SNAPSHOT_IMAGE_INFO info = MakeImageInfo(byteCount);
    const SNAPSHOT_INTERFACE& bridge = Bridge();
    IrqlScope dispatch(DISPATCH_LEVEL);
    bridge.SetImageInfo(Filter(), &info);
}

void SnapshotTest::Deliver(const std::vector<UCHAR>& frame) {
    const SNAPSHOT_INTERFACE& bridge = Bridge();
    IrqlScope dispatch(DISPATCH_LEVEL);
    bridge.SubmitSnapshot(Filter(), const_cast<UCHAR*>(frame.data()), 0);
}

void SnapshotTest::Trigger(ULONG kind) {
    const SNAPSHOT_INTERFACE& bridge = Bridge();
    IrqlScope dispatch(DISPATCH_LEVEL);
    bridge.SubmitSnapshot(Filter(), nullptr, kind);
}

ULONG SnapshotTest::TakeRequest() {
    const SNAPSHOT_INTERFACE& bridge = Bridge();
    IrqlScope dispatch(DISPATCH_LEVEL);
    return bridge.TakeSnapshotRequest(Filter());
}

IoResult SnapshotTest::Control(ULONG code, ULONG inputLength, ULONG outputLength, ULONG* output) {
    UCHAR input[16] = {};
    memcpy(input, &code, sizeof(code));
    return DeviceIoControl(app_, file_, IOCTL_SNAPSHOT_CONTROL, input, inputLength, output,
                           outputLength);
}

ULONG SnapshotTest::QueryReady() {
    ULONG ready = 0xFFFFFFFF;
    IoResult result = Control(SNAPSHOT_CONTROL_QUERY_READY, sizeof(ULONG), sizeof(ready), &ready);
    EXPECT_EQ(result.Status, STATUS_SUCCESS);
    EXPECT_EQ(result.Information, sizeof(ULONG));
    return ready;
}

IoResult SnapshotTest::SetEvents(HANDLE first, HANDLE second, ULONG inputLength) {
    HANDLE handles[4] = {first, second, nullptr, nullptr};
    return DeviceIoControl(app_, file_, IOCTL_SNAPSHOT_SET_EVENTS, handles, inputLength, nullptr,
                           0);
}

IoResult SnapshotTest::Read(void* buffer, ULONG length) {
    return ReadFile(app_, file_, buffer, length);
}

}  // namespace tessip_test
