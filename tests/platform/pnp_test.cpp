// The Plug and Play manager: the order in which drivers are added, the
// request sequences of start, stop, removal and surprise removal, how power
// requests arrive, device interfaces from registration to opening, and
// device names and the paths that open through them.
#include "fixtures.h"

#include <string>

using namespace host_kernel;

namespace {

class PnpTest : public StackTest {};

TEST_F(PnpTest, DriversAreAddedLowerFiltersFunctionUpperFilters) {
    TestDriverOptions filter;
    filter.Filter = true;
    TestDriver lf1("lf1", filter), lf2("lf2", filter), fn("fn"), uf1("uf1", filter),
        uf2("uf2", filter);
    PDEVICE_OBJECT pdo = CreatePhysicalDevice();
    StackSpec layout;
    layout.LowerFilters = {lf1.Driver(), lf2.Driver()};
    layout.Function = fn.Driver();
    layout.UpperFilters = {uf1.Driver(), uf2.Driver()};
    ASSERT_EQ(STATUS_SUCCESS, BuildDeviceStack(pdo, layout));
    std::vector<PDEVICE_OBJECT> stack = DeviceStack(pdo);
    const TestDriver* order[] = {&lf1, &lf2, &fn, &uf1, &uf2};
    ASSERT_EQ(6u, stack.size());
    for (size_t i = 0; i < 5; i++) EXPECT_EQ(order[i]->Device(pdo), stack[i + 1]) << i;
    // Each device's lower one comes referenced; the dereference must find it so.
    for (size_t i = 1; i < stack.size(); i++) {
        PDEVICE_OBJECT lower = IoGetLowerDeviceObject(stack[i]);
        EXPECT_EQ(stack[i - 1], lower) << i;
        ObDereferenceObject(lower);
    }
    EXPECT_EQ(nullptr, IoGetLowerDeviceObject(pdo));
    EXPECT_EQ(STATUS_SUCCESS, StartDevice(pdo));
    for (const TestDriver* driver : order)
        EXPECT_EQ(1u, driver->SeenCount(IRP_MJ_PNP, IRP_MN_START_DEVICE));
}

TEST_F(PnpTest, FailedAddDeviceRemovesWhatWasAdded) {
    TestDriverOptions failing;
    failing.AddDeviceStatus = STATUS_INSUFFICIENT_RESOURCES;
    TestDriver fn("fn"), upper("upper", failing);
    PDEVICE_OBJECT pdo = CreatePhysicalDevice();
    StackSpec layout;
    layout.Function = fn.Driver();
    layout.UpperFilters = {upper.Driver()};
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, BuildDeviceStack(pdo, layout));
    EXPECT_EQ(1u, fn.SeenCount(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE));
    EXPECT_EQ(nullptr, pdo->AttachedDevice);
    EXPECT_EQ(1u, LiveDevices());
}

using Sequence = NTSTATUS (*)(PDEVICE_OBJECT);

struct SequenceCase {
    const char* Name;
    Sequence First;
    Sequence Then;      // optional second sequence
    int VetoMinor;      // -1: nobody vetoes
    NTSTATUS Expected;  // of the last sequence
    std::vector<UCHAR> Seen;
};

const SequenceCase kSequences[] = {
    {"stop",
     StopDevice,
     nullptr,
     -1,
     STATUS_SUCCESS,
     {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE}},
    {"stop vetoed",
     StopDevice,
     nullptr,
     IRP_MN_QUERY_STOP_DEVICE,
     STATUS_DEVICE_BUSY,
     {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE}},
    {"remove",
     RemoveDevice,
     nullptr,
     -1,
     STATUS_SUCCESS,
     {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE}},
    {"remove vetoed",
     RemoveDevice,
     nullptr,
     IRP_MN_QUERY_REMOVE_DEVICE,
     STATUS_DEVICE_BUSY,
     {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE}},
    {"surprise removal",
     SurpriseRemoveDevice,
     RemoveDevice,
     -1,
     STATUS_SUCCESS,
     {IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}},
};

TEST_F(PnpTest, SequencesSendWindowsRequests) {
    for (const SequenceCase& c : kSequences) {
        SCOPED_TRACE(c.Name);
        Reset();
        TestDriverOptions filter;
        filter.Filter = true;
        TestDriver fn("fn"), top("top", filter);
        PDEVICE_OBJECT pdo = CreatePhysicalDevice();
        StackSpec layout;
        layout.Function = fn.Driver();
        layout.UpperFilters = {top.Driver()};
        ASSERT_EQ(STATUS_SUCCESS, BuildDeviceStack(pdo, layout));
        ASSERT_EQ(STATUS_SUCCESS, StartDevice(pdo));
        if (c.VetoMinor >= 0)
            fn.On(IRP_MJ_PNP, static_cast<UCHAR>(c.VetoMinor),
                  Behavior::Complete(STATUS_DEVICE_BUSY));
        top.ClearSeen();
        NTSTATUS status = c.First(pdo);
        if (c.Then) status = c.Then(pdo);
        EXPECT_EQ(c.Expected, status);
        std::vector<UCHAR> seen;
        for (const SeenRequest& request : top.Seen()) {
            seen.push_back(request.MinorFunction);
            EXPECT_EQ(PASSIVE_LEVEL, request.Irql);
            EXPECT_EQ(STATUS_NOT_SUPPORTED,
                      request.Status);  // as the Plug and Play manager presets it
        }
        EXPECT_EQ(c.Seen, seen);
        ReportFaults();
    }
}

TEST_F(PnpTest, PowerRequestsArriveAtTheIrqlTheTopDeviceAllows) {
    for (bool pageable : {true, false}) {
        SCOPED_TRACE(pageable ? "DO_POWER_PAGABLE" : "not pageable");
        Reset();
        PhysicalDeviceOptions physical;
        if (!pageable) physical.Flags = DO_BUFFERED_IO;
        Build(false, {}, physical);
        IrpResult result = SetDevicePower(pdo_, PowerDeviceD2);
        EXPECT_EQ(STATUS_SUCCESS, result.Status);
        ASSERT_EQ(1u, lower_->SeenCount(IRP_MJ_POWER, IRP_MN_SET_POWER));
        const SeenRequest seen = lower_->Seen().back();
        EXPECT_EQ(pageable ? PASSIVE_LEVEL : DISPATCH_LEVEL, seen.Irql);
        EXPECT_EQ(DevicePowerState, seen.Stack.Parameters.Power.Type);
        EXPECT_EQ(PowerDeviceD2, seen.Stack.Parameters.Power.State.DeviceState);
        EXPECT_EQ(STATUS_NOT_SUPPORTED, seen.Status);
        result = SetSystemPower(pdo_, PowerSystemSleeping3);
        EXPECT_EQ(SystemPowerState, lower_->Seen().back().Stack.Parameters.Power.Type);
        EXPECT_EQ(PowerSystemSleeping3,
                  lower_->Seen().back().Stack.Parameters.Power.State.SystemState);
        EXPECT_EQ(PowerActionSleep, lower_->Seen().back().Stack.Parameters.Power.ShutdownType);
        EXPECT_EQ(STATUS_SUCCESS, QueryDevicePower(pdo_, PowerDeviceD3).Status);
        EXPECT_EQ(IRP_MN_QUERY_POWER, lower_->Seen().back().MinorFunction);
        Shutdown();
        ReportFaults();
    }
}

TEST_F(PnpTest, BusAnswersCapabilitiesAndLeavesUnknownQueries) {
    PhysicalDeviceOptions physical;
    physical.Address = 7;
    physical.UINumber = 3;
    Build(true, {}, physical);
    DEVICE_CAPABILITIES caps;
    IrpResult result = QueryCapabilities(pdo_, &caps);
    EXPECT_EQ(STATUS_SUCCESS, result.Status);
    EXPECT_EQ(7u, caps.Address);
    EXPECT_EQ(3u, caps.UINumber);
    EXPECT_EQ(PowerDeviceD0, caps.DeviceState[PowerSystemWorking]);
    static const GUID kUnknown = {0x12345678, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
    INTERFACE iface{};
    result = QueryInterface(pdo_, kUnknown, &iface, sizeof iface, 1);
    EXPECT_EQ(STATUS_NOT_SUPPORTED, result.Status);
    ASSERT_EQ(1u, lower_->SeenCount(IRP_MJ_PNP, IRP_MN_QUERY_INTERFACE));
    EXPECT_EQ(&kUnknown, lower_->Seen().back().Stack.Parameters.QueryInterface.InterfaceType);
    EXPECT_EQ(&iface, lower_->Seen().back().Stack.Parameters.QueryInterface.Interface);
}

TEST_F(PnpTest, DeviceLeftInTheStackAtRemovalIsReported) {
    Build(false);
    lower_->On(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE, Behavior::PassDown());
    EXPECT_EQ(STATUS_SUCCESS, RemoveDevice(pdo_));
    EXPECT_EQ(1u, ExpectFault("was not deleted at IRP_MN_REMOVE_DEVICE"));
    lower_->Clear();
    EXPECT_EQ(STATUS_SUCCESS, RemoveDevice(pdo_));
}

TEST_F(PnpTest, StartFailureBelowReachesTheCaller) {
    PhysicalDeviceOptions physical;
    physical.StartStatus = STATUS_DEVICE_POWER_FAILURE;
    Build(true, {}, physical);
    EXPECT_EQ(STATUS_DEVICE_POWER_FAILURE, StartDevice(pdo_));
}

const GUID kCameraInterface = {
    0x6BDD1FC6, 0x810F, 0x11D0, {0xBE, 0xC7, 0x08, 0x00, 0x2B, 0xE2, 0x09, 0x2F}};

TEST_F(PnpTest, InterfacesAreFoundOnlyWhileEnabledAndOpenTheStack) {
    PhysicalDeviceOptions physical;
    physical.InstanceId = "0042";
    Build(false, {}, physical);
    ASSERT_EQ(STATUS_SUCCESS, StartDevice(pdo_));
    UNICODE_STRING name{};
    ASSERT_EQ(STATUS_SUCCESS, IoRegisterDeviceInterface(pdo_, &kCameraInterface, nullptr, &name));
    std::u16string link(name.Buffer, name.Length / sizeof(WCHAR));
    EXPECT_EQ(u"\\??\\HOSTBUS#CAMERA#0042#{6bdd1fc6-810f-11d0-bec7-08002be2092f}", link);
    EXPECT_EQ(name.Length + sizeof(WCHAR), name.MaximumLength);
    EXPECT_TRUE(EnumerateDeviceInterfaces(kCameraInterface).empty());

    Process* app = CreateProcess("app");
    HANDLE file;
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, OpenDevice(app, link, &file));
    EXPECT_EQ(STATUS_SUCCESS, IoSetDeviceInterfaceState(&name, TRUE));
    EXPECT_EQ(STATUS_OBJECT_NAME_EXISTS, IoSetDeviceInterfaceState(&name, TRUE));
    ASSERT_EQ(std::vector<std::u16string>{link}, EnumerateDeviceInterfaces(kCameraInterface));
    ASSERT_EQ(STATUS_SUCCESS, OpenDevice(app, link, &file));
    EXPECT_EQ(1u, lower_->SeenCount(IRP_MJ_CREATE));
    EXPECT_EQ(UserMode, lower_->Seen().back().RequestorMode);
    EXPECT_EQ(STATUS_SUCCESS, CloseHandle(app, file));
    EXPECT_EQ(1u, lower_->SeenCount(IRP_MJ_CLEANUP));
    EXPECT_EQ(1u, lower_->SeenCount(IRP_MJ_CLOSE));

    EXPECT_EQ(STATUS_SUCCESS, IoSetDeviceInterfaceState(&name, FALSE));
    EXPECT_FALSE(DeviceInterfaceEnabled(link));
    EXPECT_EQ(STATUS_SUCCESS, IoSetDeviceInterfaceState(&name, TRUE));
    EXPECT_EQ(STATUS_SUCCESS, RemoveDevice(pdo_));
    EXPECT_FALSE(DeviceInterfaceEnabled(link));  // removal disables what is left enabled
    EXPECT_EQ(1u, PoolUsage('rtSU').Blocks);
    RtlFreeUnicodeString(&name);
    EXPECT_EQ(0u, PoolUsage('rtSU').Blocks);
}

std::u16string FileNameSeen(const TestDriver& driver) {
    const UNICODE_STRING& name = driver.Seen().back().Stack.FileObject->FileName;
    return name.Length ? std::u16string(name.Buffer, name.Length / sizeof(WCHAR)) : u"";
}

TEST_F(PnpTest, NamedDevicesOpenByPathWithTheRestAsFileName) {
    PhysicalDeviceOptions physical;
    physical.InstanceId = "0042";
    Build(false, {}, physical);
    ASSERT_EQ(STATUS_SUCCESS, StartDevice(pdo_));
    // The bus asks for an autogenerated name; the test driver for none.
    EXPECT_EQ(u"\\Device\\00000001", DeviceObjectName(pdo_));
    EXPECT_TRUE(pdo_->Flags & DO_DEVICE_HAS_NAME);
    EXPECT_EQ(u"", DeviceObjectName(LowerDevice()));
    EXPECT_FALSE(LowerDevice()->Flags & DO_DEVICE_HAS_NAME);
    UNICODE_STRING reference, link{};
    RtlInitUnicodeString(&reference, u"still");
    ASSERT_EQ(STATUS_SUCCESS,
              IoRegisterDeviceInterface(pdo_, &kCameraInterface, &reference, &link));
    ASSERT_EQ(STATUS_SUCCESS, IoSetDeviceInterfaceState(&link, TRUE));
    const std::u16string linkName(link.Buffer, link.Length / sizeof(WCHAR));
    RtlFreeUnicodeString(&link);

    // Every path reaches the top of the stack with what follows the name.
    const struct {
        std::u16string Path;
        std::u16string FileName;
    } opens[] = {
        {u"\\Device\\00000001", u""},
        {u"\\device\\00000001\\x\\y", u"\\x\\y"},
        {linkName, u"\\still"},
        {linkName + u"\\x", u"\\still\\x"},
    };
    Process* app = CreateProcess("app");
    for (const auto& open : opens) {
        SCOPED_TRACE(&open - opens);
        HANDLE file = nullptr;
        ASSERT_EQ(STATUS_SUCCESS, open.Path[1] == u'?' ? OpenDevice(app, open.Path, &file)
                                                       : OpenDeviceByName(app, open.Path, &file));
        EXPECT_EQ(open.FileName, FileNameSeen(*lower_));
        EXPECT_EQ(STATUS_SUCCESS, CloseHandle(app, file));
    }
    for (const char16_t* missing : {u"\\Device\\00000002", u"\\Device\\", u"\\Driver\\lower"}) {
        HANDLE file;
        EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, OpenDeviceByName(app, missing, &file));
    }

    // A name is the device's until it is deleted.
    PDRIVER_OBJECT plain = LoadDriver("plain", ProbeEntry);
    UNICODE_STRING given;
    RtlInitUnicodeString(&given, u"\\Device\\HostCamera");
    PDEVICE_OBJECT named, again;
    ASSERT_EQ(STATUS_SUCCESS,
              IoCreateDevice(plain, 0, &given, FILE_DEVICE_UNKNOWN, 0, FALSE, &named));
    EXPECT_EQ(u"\\Device\\HostCamera", DeviceObjectName(named));
    EXPECT_TRUE(named->Flags & DO_DEVICE_HAS_NAME);
    EXPECT_EQ(STATUS_OBJECT_NAME_COLLISION,
              IoCreateDevice(plain, 0, &given, FILE_DEVICE_UNKNOWN, 0, FALSE, &again));
    IoDeleteDevice(named);
    ASSERT_EQ(STATUS_SUCCESS,
              IoCreateDevice(plain, 0, &given, FILE_DEVICE_UNKNOWN, 0, FALSE, &again));
    IoDeleteDevice(again);
}

TEST_F(PnpTest, InterfaceNameNotFreedIsALeak) {
    PDEVICE_OBJECT pdo = CreatePhysicalDevice();
    UNICODE_STRING name;
    ASSERT_EQ(STATUS_SUCCESS, IoRegisterDeviceInterface(pdo, &kCameraInterface, nullptr, &name));
    CheckLeaks();
    EXPECT_EQ(1u,
              ExpectFault("pool leak: (no driver) left 1 pool block(s) allocated: string 'UStr'"));
}

TEST_F(PnpTest, InterfaceOnADeviceThatIsNotPhysicalIsRefused) {
    Build(false);
    UNICODE_STRING name{};
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST,
              IoRegisterDeviceInterface(LowerDevice(), &kCameraInterface, nullptr, &name));
    EXPECT_EQ(1u, ExpectFault("which is not a physical device object"));
    EXPECT_EQ(nullptr, name.Buffer);
}

NTSTATUS NTAPI FailingEntry(PDRIVER_OBJECT, PUNICODE_STRING path) {
    // The registry path names the service.
    std::u16string text(path->Buffer, path->Length / sizeof(WCHAR));
    return text.ends_with(u"\\Services\\failing") ? STATUS_DEVICE_DOES_NOT_EXIST : STATUS_SUCCESS;
}

TEST_F(PnpTest, FailedDriverEntryLoadsNothing) {
    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_EQ(nullptr, LoadDriver("failing", FailingEntry, &status));
    EXPECT_EQ(STATUS_DEVICE_DOES_NOT_EXIST, status);
    EXPECT_EQ(nullptr, FindDriver("failing"));
}

}  // namespace
