// Fault injection: a test makes one kernel call fail to drive a driver down
// its failure path; the kernel's own work and the test doubles are never
// hit.
#include "fixtures.h"

using namespace host_kernel;

namespace {

class InjectionTest : public StackTest {};

struct AddDeviceCase {
    Call Failing;
    NTSTATUS Expected;  // what BuildDeviceStack returns when the probe's call fails
};

// The probe filter returns IoCreateDevice's status, and STATUS_UNSUCCESSFUL
// when attaching fails; the test driver below it is never the one hit.
const AddDeviceCase kAddDeviceCases[] = {
    {Call::IoCreateDevice, STATUS_INSUFFICIENT_RESOURCES},
    {Call::IoAttachDeviceToDeviceStack, STATUS_UNSUCCESSFUL},
};

TEST_F(InjectionTest, FailedCallsDuringAddDeviceFailTheStack) {
    for (const AddDeviceCase& c : kAddDeviceCases) {
        SCOPED_TRACE(CallName(c.Failing));
        Reset();
        TestDriver lower("lower");
        PDRIVER_OBJECT probe = LoadDriver("probe", ProbeEntry);
        PDEVICE_OBJECT pdo = CreatePhysicalDevice();
        FailNext(c.Failing);
        StackSpec layout;
        layout.Function = lower.Driver();
        layout.UpperFilters = {probe};
        EXPECT_EQ(c.Expected, BuildDeviceStack(pdo, layout));
        EXPECT_EQ(nullptr, DeviceOf(pdo, probe));
        EXPECT_EQ(nullptr, lower.Device(pdo));  // removed again by the failed build
        EXPECT_EQ(1u, LiveDevices());
        EXPECT_EQ(1u, CallCount(c.Failing));
        Shutdown();
        ReportFaults();
    }
}

TEST_F(InjectionTest, PointerResultsBecomeNull) {
    FailNext(Call::ExAllocatePoolWithTag);
    EXPECT_EQ(nullptr, ExAllocatePoolWithTag(NonPagedPool, 16, 'tseT'));
    void* block = ExAllocatePoolWithTag(NonPagedPool, 16, 'tseT');
    EXPECT_NE(nullptr, block);
    ExFreePool(block);

    FailNext(Call::IoAllocateIrp);
    EXPECT_EQ(nullptr, IoAllocateIrp(2, FALSE));

    char buffer[32];
    FailNext(Call::IoAllocateMdl);
    EXPECT_EQ(nullptr, IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, nullptr));

    PMDL mdl = IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, nullptr);
    MmProbeAndLockPages(mdl, KernelMode, IoWriteAccess);
    FailNext(Call::MmMapLockedPagesSpecifyCache);
    EXPECT_EQ(nullptr, MmGetSystemAddressForMdlSafe(mdl, HighPagePriority));
    EXPECT_EQ(static_cast<PVOID>(buffer), MmGetSystemAddressForMdlSafe(mdl, HighPagePriority));
    EXPECT_EQ(static_cast<PVOID>(buffer), MmGetSystemAddressForMdlSafe(mdl, HighPagePriority));
    MmUnlockPages(mdl);
    IoFreeMdl(mdl);
}

TEST_F(InjectionTest, SkipCountPicksWhichCallFails) {
    FailNext(Call::ExAllocatePoolWithTag, 2);
    void* first = ExAllocatePoolWithTag(NonPagedPool, 1, 'tseT');
    void* second = ExAllocatePoolWithTag(NonPagedPool, 1, 'tseT');
    void* third = ExAllocatePoolWithTag(NonPagedPool, 1, 'tseT');
    void* fourth = ExAllocatePoolWithTag(NonPagedPool, 1, 'tseT');
    EXPECT_NE(nullptr, first);
    EXPECT_NE(nullptr, second);
    EXPECT_EQ(nullptr, third);
    EXPECT_NE(nullptr, fourth);
    EXPECT_EQ(4u, CallCount(Call::ExAllocatePoolWithTag));
    ExFreePool(first);
    ExFreePool(second);
    ExFreePool(fourth);
}

TEST_F(InjectionTest, FailAlwaysUntilCleared) {
    FailAlways(Call::IoAllocateIrp);
    EXPECT_EQ(nullptr, IoAllocateIrp(1, FALSE));
    EXPECT_EQ(nullptr, IoAllocateIrp(1, FALSE));
    ClearFailures();
    PIRP irp = IoAllocateIrp(1, FALSE);
    EXPECT_NE(nullptr, irp);
    IoFreeIrp(irp);
}

TEST_F(InjectionTest, StatusResultsTakeTheGivenOrUsualFailure) {
    PDEVICE_OBJECT pdo = CreatePhysicalDevice();
    static const GUID kClass = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
    UNICODE_STRING name{};
    FailNext(Call::IoRegisterDeviceInterface);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES,
              IoRegisterDeviceInterface(pdo, &kClass, nullptr, &name));
    EXPECT_EQ(nullptr, name.Buffer);
    ASSERT_EQ(STATUS_SUCCESS, IoRegisterDeviceInterface(pdo, &kClass, nullptr, &name));
    FailNext(Call::IoSetDeviceInterfaceState, STATUS_INVALID_DEVICE_STATE, 0);
    EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, IoSetDeviceInterfaceState(&name, TRUE));
    EXPECT_TRUE(EnumerateDeviceInterfaces(kClass).empty());
    RtlFreeUnicodeString(&name);

    Process* app = CreateProcess("app");
    HANDLE event = CreateEvent(app, NotificationEvent, false);
    PVOID object = nullptr;
    RunInProcess(app, [&] {
        FailNext(Call::ObReferenceObjectByHandle);
        EXPECT_EQ(STATUS_INVALID_HANDLE,
                  ObReferenceObjectByHandle(event, 0, PlatformEventObjectType(), UserMode, &object,
                                            nullptr));
        FailNext(Call::ObReferenceObjectByHandle, STATUS_ACCESS_DENIED, 0);
        EXPECT_EQ(STATUS_ACCESS_DENIED,
                  ObReferenceObjectByHandle(event, 0, PlatformEventObjectType(), UserMode, &object,
                                            nullptr));
    });
    EXPECT_EQ(nullptr, object);
}

}  // namespace
