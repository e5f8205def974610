// The kernel's Driver Verifier style checks: each misuse is reported as a
// fault that names it, and a well-behaved run reports none.
#include "fixtures.h"

#include <gtest/gtest-spi.h>

using namespace host_kernel;

namespace {

class VerifierTest : public StackTest {};

NTSTATUS CompleteTwice(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS CompletePending(PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    irp->IoStatus.Status = STATUS_PENDING;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_PENDING;
}

NTSTATUS PendWithoutMark(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_PENDING;
}

NTSTATUS MarkButSucceed(PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS ReturnWithoutCompleting(PDEVICE_OBJECT, PIRP) {
    return STATUS_SUCCESS;
}

NTSTATUS ReturnOtherThanCompleted(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS LeaveIrqlRaised(PDEVICE_OBJECT, PIRP irp) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS StayInCriticalRegion(PDEVICE_OBJECT, PIRP irp) {
    KeEnterCriticalRegion();
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

struct DispatchFault {
    const char* Name;
    NTSTATUS (*Handler)(PDEVICE_OBJECT, PIRP);
    const char* Fault;
    bool Abandoned = false;  // the request is never completed
};

const DispatchFault kDispatchFaults[] = {
    {"complete twice", CompleteTwice, "IRP completed twice"},
    {"complete with STATUS_PENDING", CompletePending, "IRP completed with STATUS_PENDING"},
    {"pending without mark", PendWithoutMark, "pending without IoMarkIrpPending"},
    {"mark without pending", MarkButSucceed, "IoMarkIrpPending without STATUS_PENDING"},
    {"neither completed nor pended", ReturnWithoutCompleting, "not completed", true},
    {"return other than the completion's status", ReturnOtherThanCompleted,
     "completed the IRP with 0xc0000001 but returned 0x00000000"},
    {"IRQL left raised", LeaveIrqlRaised, "returned at IRQL 2, entered at 0"},
    {"critical region left entered", StayInCriticalRegion, "returned inside a critical region"},
};

TEST_F(VerifierTest, EachDispatchMisuseIsReportedByName) {
    Build(false);
    for (const DispatchFault& c : kDispatchFaults) {
        SCOPED_TRACE(c.Name);
        lower_->On(IRP_MJ_DEVICE_CONTROL, Behavior::Handler(c.Handler));
        SendIrp(LowerDevice(), IRP_MJ_DEVICE_CONTROL, 0);
        EXPECT_EQ(1u, ExpectFault(c.Fault));
        if (c.Abandoned) {
            CheckLeaks();
            EXPECT_EQ(1u, ExpectFault("was never completed"));
        }
        ReportFaults();  // nothing else may have fired
    }
}

TEST_F(VerifierTest, PassingDownAnUnsetStackLocationIsReported) {
    Build();
    g_probe.How = ProbeConfig::Forward::Unset;
    g_probe.SetRoutine = false;
    lower_->On(IRP_MJ_READ, Behavior::Complete(STATUS_SUCCESS));
    SendIrp(Top(), IRP_MJ_READ, 0);
    EXPECT_EQ(1u, ExpectFault("stack location not set up"));
    EXPECT_EQ(0u, lower_->SeenCount(IRP_MJ_READ));
    // The probe then returned without completing the request.
    EXPECT_EQ(1u, ExpectFault("not completed"));
    CheckLeaks();
    EXPECT_EQ(1u, ExpectFault("was never completed"));
}

TEST_F(VerifierTest, DriverIrpCompletedPastItsAllocatorIsReported) {
    Build(false);
    lower_->On(IRP_MJ_READ, Behavior::Complete(STATUS_SUCCESS));
    PIRP irp = IoAllocateIrp(LowerDevice()->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    IoCallDriver(LowerDevice(), irp);
    EXPECT_EQ(1u, ExpectFault("completed past its top stack location"));
    IoFreeIrp(irp);
}

TEST_F(VerifierTest, TooFewStackLocationsIsReported) {
    Build(false);
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    IoSetNextIrpStackLocation(irp);  // the caller used the only location itself
    EXPECT_EQ(STATUS_INVALID_PARAMETER, IoCallDriver(LowerDevice(), irp));
    EXPECT_EQ(1u, ExpectFault("no stack location left"));
    IoSkipCurrentIrpStackLocation(irp);
    IoFreeIrp(irp);
}

TEST_F(VerifierTest, IrpMisuseAfterFreeIsReported) {
    PIRP irp = IoAllocateIrp(2, FALSE);
    IoFreeIrp(irp);
    IoFreeIrp(irp);
    EXPECT_EQ(1u, ExpectFault("IRP freed twice"));
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_EQ(1u, ExpectFault("completed after it was freed"));
}

TEST_F(VerifierTest, LeakedDriverIrpIsReported) {
    IoAllocateIrp(2, FALSE);
    CheckLeaks();
    EXPECT_EQ(1u, ExpectFault("IRP leak"));
}

TEST_F(VerifierTest, BlockingWaitAbovePassiveIsReported) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    LARGE_INTEGER zero{};
    LARGE_INTEGER tenMs;
    tenMs.QuadPart = -100000;
    {
        IrqlScope apc(APC_LEVEL);
        EXPECT_EQ(STATUS_SUCCESS,
                  KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &tenMs));
        EXPECT_EQ(1u, ExpectFault("KeWaitForSingleObject with a time-out at IRQL 1"));
    }
    {
        IrqlScope dispatch(DISPATCH_LEVEL);
        EXPECT_EQ(STATUS_SUCCESS,
                  KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr));
        EXPECT_EQ(1u, ExpectFault("KeWaitForSingleObject without a time-out at IRQL 2"));
        // Polling with a zero time-out is allowed up to DISPATCH_LEVEL.
        EXPECT_EQ(STATUS_SUCCESS,
                  KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero));
        EXPECT_TRUE(Faults().empty());
    }
    {
        IrqlScope high(HIGH_LEVEL);
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero);
        EXPECT_EQ(1u, ExpectFault("zero time-out called at IRQL"));
    }
}

TEST_F(VerifierTest, CriticalRegionMisuseIsReported) {
    KeEnterCriticalRegion();
    {
        IrqlScope apc(APC_LEVEL);
        KeEnterCriticalRegion();
        KeLeaveCriticalRegion();
    }
    KeLeaveCriticalRegion();
    EXPECT_TRUE(Faults().empty());
    KeLeaveCriticalRegion();
    EXPECT_EQ(1u, ExpectFault("KeLeaveCriticalRegion without KeEnterCriticalRegion"));
    {
        IrqlScope dispatch(DISPATCH_LEVEL);
        KeEnterCriticalRegion();
    }
    KeLeaveCriticalRegion();
    EXPECT_EQ(1u, ExpectFault("KeEnterCriticalRegion called at IRQL 2"));
}

TEST_F(VerifierTest, WaitOnAnUninitialisedEventIsReported) {
    KEVENT event{};
    LARGE_INTEGER zero{};
    EXPECT_EQ(STATUS_INVALID_PARAMETER,
              KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero));
    EXPECT_EQ(1u, ExpectFault("not an initialised event"));
}

TEST_F(VerifierTest, PagedCodeAboveApcLevelIsReported) {
    PAGED_CODE();
    {
        IrqlScope apc(APC_LEVEL);
        PAGED_CODE();
    }
    EXPECT_TRUE(Faults().empty());
    IrqlScope dispatch(DISPATCH_LEVEL);
    PAGED_CODE();
    EXPECT_EQ(1u, ExpectFault("PAGED_CODE: pageable routine"));
}

TEST_F(VerifierTest, PassiveOnlyCallsAtDispatchLevelAreReported) {
    PDRIVER_OBJECT driver = LoadDriver("plain", ProbeEntry);
    PDEVICE_OBJECT device;
    {
        IrqlScope dispatch(DISPATCH_LEVEL);
        ASSERT_EQ(STATUS_SUCCESS,
                  IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device));
        EXPECT_EQ(1u, ExpectFault("IoCreateDevice called at IRQL 2"));
        void* paged = ExAllocatePoolWithTag(PagedPool, 8, 'tseT');
        EXPECT_EQ(1u, ExpectFault("ExAllocatePoolWithTag called at IRQL 2"));
        void* nonPaged = ExAllocatePoolWithTag(NonPagedPool, 8, 'tseT');
        EXPECT_TRUE(Faults().empty());
        ExFreePool(nonPaged);
        ExFreePool(paged);
        EXPECT_EQ(1u, ExpectFault("ExFreePool called at IRQL 2"));
    }
    IoDeleteDevice(device);
}

TEST_F(VerifierTest, DeviceDeletedWhileAttachedOrTwiceIsReported) {
    PDRIVER_OBJECT driver = LoadDriver("plain", ProbeEntry);
    PDEVICE_OBJECT lower, upper;
    ASSERT_EQ(STATUS_SUCCESS,
              IoCreateDevice(driver, 16, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &lower));
    ASSERT_EQ(STATUS_SUCCESS,
              IoCreateDevice(driver, 16, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &upper));
    EXPECT_EQ(lower, IoAttachDeviceToDeviceStack(upper, lower));
    IoDeleteDevice(lower);  // at removal the lower device goes first: fine
    EXPECT_TRUE(Faults().empty());
    IoDeleteDevice(upper);
    EXPECT_EQ(1u, ExpectFault("deleted while still attached to plain device"));
    IoDeleteDevice(upper);
    EXPECT_EQ(1u, ExpectFault("deleted twice"));

    PDEVICE_OBJECT a, b;
    IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &a);
    IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &b);
    IoAttachDeviceToDeviceStack(b, a);
    IoDetachDevice(a);
    IoDetachDevice(a);
    EXPECT_EQ(1u, ExpectFault("nothing is attached"));
    IoDeleteDevice(b);
    IoDeleteDevice(a);
}

TEST_F(VerifierTest, FreeingWithTheWrongFunctionIsReported) {
    PIRP irp = IoAllocateIrp(1, FALSE);
    ExFreePool(irp);
    EXPECT_EQ(1u, ExpectFault("which is an IRP (free it with IoFreeIrp)"));
    IoFreeIrp(irp);

    void* block = ExAllocatePoolWithTag(NonPagedPool, 16, 'CraP');
    IoFreeIrp(static_cast<PIRP>(block));
    EXPECT_EQ(1u, ExpectFault("IoFreeIrp of"));
    ExFreePoolWithTag(block, 'xxxx');
    EXPECT_EQ(1u, ExpectFault("with tag 'xxxx', allocated with tag 'ParC'"));
    ExFreePool(block);
    EXPECT_EQ(1u, ExpectFault("not a pool block"));

    UNICODE_STRING constant;
    RtlInitUnicodeString(&constant, u"\\Device\\Camera");
    RtlFreeUnicodeString(&constant);
    EXPECT_EQ(1u, ExpectFault("RtlFreeUnicodeString of a buffer the kernel did not allocate"));
    EXPECT_EQ(nullptr, constant.Buffer);

    PMDL mdl = IoAllocateMdl(block, 16, FALSE, FALSE, nullptr);
    ExFreePool(mdl);
    EXPECT_EQ(1u, ExpectFault("an MDL (free it with IoFreeMdl)"));
    IoFreeMdl(mdl);
    IoFreeMdl(mdl);
    EXPECT_EQ(1u, ExpectFault("IoFreeMdl of"));
}

NTSTATUS NTAPI LeakyEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
    ProbeEntry(driver, path);
    ExAllocatePoolWithTag(NonPagedPool, 100, 'kaeL');
    return STATUS_SUCCESS;
}

TEST_F(VerifierTest, PoolLeftAtUnloadIsReportedWithItsTag) {
    PDRIVER_OBJECT driver = LoadDriver("leaky", LeakyEntry);
    UnloadDriver(driver);
    EXPECT_EQ(1u, ExpectFault("pool leak: leaky left 1 pool block(s) allocated: 'Leak' 100 bytes"));
    CheckLeaks();  // reported once, not again at the end
    EXPECT_TRUE(Faults().empty());
}

NTSTATUS NTAPI DeviceLeftEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
    ProbeEntry(driver, path);
    PDEVICE_OBJECT device;
    return IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
}

TEST_F(VerifierTest, DeviceLeftAtUnloadIsReported) {
    PDRIVER_OBJECT driver = LoadDriver("keeper", DeviceLeftEntry);
    UnloadDriver(driver);
    EXPECT_EQ(1u, ExpectFault("keeper still has 1 device object(s) when unloaded"));
}

// Whether the bus answers at once or pends and completes later from
// another thread, a well-behaved stack's life is clean, and every sender
// of the kernel's waits for the answer.
TEST_F(VerifierTest, CleanStackLifeReportsNothing) {
    for (bool pending : {false, true}) {
        SCOPED_TRACE(pending ? "bus pends" : "bus answers at once");
        Reset();
        g_probe = ProbeConfig{};
        PhysicalDeviceOptions physical;
        physical.PendRequests = pending;
        Build(true, {}, physical);
        EXPECT_EQ(STATUS_SUCCESS, StartDevice(pdo_));
        lower_->On(IRP_MJ_DEVICE_CONTROL, Behavior::Complete(STATUS_SUCCESS, 4));
        EXPECT_EQ(STATUS_SUCCESS, SendIrp(Top(), IRP_MJ_DEVICE_CONTROL, 0).Status);
        IrpResult power = SetDevicePower(pdo_, PowerDeviceD3);
        EXPECT_EQ(STATUS_SUCCESS, power.Status);
        EXPECT_EQ(pending, power.PendingReturned);
        EXPECT_EQ(STATUS_SUCCESS, SetDevicePower(pdo_, PowerDeviceD0).Status);
        EXPECT_EQ(STATUS_SUCCESS, SetSystemPower(pdo_, PowerSystemWorking).Status);
        DEVICE_CAPABILITIES caps;
        EXPECT_EQ(STATUS_SUCCESS, QueryCapabilities(pdo_, &caps).Status);
        EXPECT_EQ(1u, caps.Address);
        INTERFACE iface{};
        EXPECT_TRUE(QueryInterface(pdo_, GUID{}, &iface, sizeof iface, 1).Completed);
        EXPECT_EQ(STATUS_SUCCESS, StopDevice(pdo_));
        EXPECT_EQ(STATUS_SUCCESS, StartDevice(pdo_));
        EXPECT_EQ(STATUS_SUCCESS, RemoveDevice(pdo_));
        UnloadDriver(probe_);
        UnloadDriver(lower_->Driver());
        CheckLeaks();
        EXPECT_TRUE(Faults().empty());
        EXPECT_EQ(1u, LiveDevices());  // only the physical device remains
    }
}

TEST_F(VerifierTest, FaultsFailTheTestThatCausedThem) {
    RecordFault("IRP completed twice: example");
    EXPECT_NONFATAL_FAILURE(KernelTest::ReportFaults(), "kernel fault: IRP completed twice");
    EXPECT_TRUE(Faults().empty());
}

}  // namespace
