// Completion: which completion routines run for which final status, what
// they see, where STATUS_MORE_PROCESSING_REQUIRED stops the walk, and what
// the stack-location operations leave for the lower driver.
#include "fixtures.h"

using namespace host_kernel;

namespace {

constexpr UCHAR S = SL_INVOKE_ON_SUCCESS, E = SL_INVOKE_ON_ERROR, C = SL_INVOKE_ON_CANCEL;

struct InvokeCase {
    NTSTATUS Status;
    bool Cancel;
    UCHAR Flags;
    bool Invoked;
};

const InvokeCase kInvokeCases[] = {
    {STATUS_SUCCESS, false, S, true},
    {STATUS_SUCCESS, false, E | C, false},
    {STATUS_OBJECT_NAME_EXISTS, false, S, true},  // informational counts as success
    {STATUS_UNSUCCESSFUL, false, E, true},
    {STATUS_UNSUCCESSFUL, false, S | C, false},
    {STATUS_BUFFER_OVERFLOW, false, E, true},  // a warning is not a success
    {STATUS_BUFFER_OVERFLOW, false, S, false},
    {STATUS_CANCELLED, true, C, true},
    {STATUS_CANCELLED, true, S, false},
    {STATUS_SUCCESS, true, C, true},  // cancel flag alone decides for ON_CANCEL
    {STATUS_CANCELLED, true, E, true},
    {STATUS_SUCCESS, false, 0, false},
};

class CompletionTest : public StackTest {};

TEST_F(CompletionTest, RoutineRunsByItsInvokeFlags) {
    Build();
    for (const InvokeCase& c : kInvokeCases) {
        SCOPED_TRACE(::testing::Message() << "status 0x" << std::hex << c.Status << " cancel "
                                          << c.Cancel << " flags 0x" << int(c.Flags));
        g_probe = ProbeConfig{};
        g_probe.InvokeFlags = c.Flags;
        g_probe.SetRoutine = c.Flags != 0;
        g_probe.SetCancel = c.Cancel;
        lower_->On(IRP_MJ_DEVICE_CONTROL, Behavior::Complete(c.Status, 3));
        IrpResult result = SendIrp(Top(), IRP_MJ_DEVICE_CONTROL, 0);
        EXPECT_EQ(c.Invoked ? 1 : 0, g_probe.Invoked);
        EXPECT_TRUE(result.Completed);
        EXPECT_EQ(c.Status, result.Status);
        EXPECT_EQ(3u, result.Information);
        EXPECT_EQ(c.Status, result.Returned);
    }
}

TEST_F(CompletionTest, RoutineGetsTheDeviceOfTheDriverThatSetIt) {
    Build();
    lower_->On(IRP_MJ_READ, Behavior::Complete(STATUS_SUCCESS));
    SendIrp(Top(), IRP_MJ_READ, 0);
    EXPECT_EQ(1, g_probe.Invoked);
    EXPECT_EQ(ProbeDevice(), g_probe.RoutineDevice);
    EXPECT_FALSE(g_probe.SawPendingReturned);
}

TEST_F(CompletionTest, CopyGivesTheLowerDriverTheParametersButNotTheRoutine) {
    Build();
    lower_->On(IRP_MJ_DEVICE_CONTROL, Behavior::Complete(STATUS_SUCCESS));
    SendIrp(Top(), IRP_MJ_DEVICE_CONTROL, 7, [](PIRP, PIO_STACK_LOCATION location) {
        location->Flags = 0x5A;
        location->Parameters.DeviceIoControl.IoControlCode = 0x81602058;
        location->Parameters.DeviceIoControl.InputBufferLength = 12;
    });
    ASSERT_EQ(1u, lower_->Seen().size());
    const SeenRequest seen = lower_->Seen()[0];
    EXPECT_EQ(IRP_MJ_DEVICE_CONTROL, seen.MajorFunction);
    EXPECT_EQ(7, seen.MinorFunction);
    EXPECT_EQ(0x5A, seen.Stack.Flags);
    EXPECT_EQ(0x81602058u, seen.Stack.Parameters.DeviceIoControl.IoControlCode);
    EXPECT_EQ(12u, seen.Stack.Parameters.DeviceIoControl.InputBufferLength);
    EXPECT_EQ(LowerDevice(), seen.Stack.DeviceObject);
    // The routine in the lower location is the probe's own, set after the copy.
    EXPECT_EQ(&ProbeCompletion, seen.Stack.CompletionRoutine);
    EXPECT_EQ(S | E | C, seen.Stack.Control);
}

TEST_F(CompletionTest, SkipHandsDownTheCallersLocationUnchanged) {
    Build();
    g_probe.How = ProbeConfig::Forward::Skip;
    lower_->On(IRP_MJ_DEVICE_CONTROL, Behavior::Complete(STATUS_UNSUCCESSFUL));
    IrpResult result =
        SendIrp(Top(), IRP_MJ_DEVICE_CONTROL, 0, [](PIRP, PIO_STACK_LOCATION location) {
            location->Parameters.DeviceIoControl.IoControlCode = 0x1234;
        });
    EXPECT_EQ(STATUS_UNSUCCESSFUL, result.Status);
    ASSERT_EQ(1u, lower_->Seen().size());
    EXPECT_EQ(0x1234u, lower_->Seen()[0].Stack.Parameters.DeviceIoControl.IoControlCode);
    EXPECT_EQ(nullptr, lower_->Seen()[0].Stack.CompletionRoutine);
    EXPECT_EQ(0, g_probe.Invoked);
}

// A driver's own IRP: the routine in the first location comes back with no
// device (there is no location above it), stops the walk, and the IRP is
// the allocator's again to read and free.
TEST_F(CompletionTest, MoreProcessingRequiredHandsTheIrpBackToItsAllocator) {
    Build(false);
    lower_->On(IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES, Behavior::Complete(STATUS_SUCCESS, 9));
    PIRP irp = IoAllocateIrp(LowerDevice()->StackSize, FALSE);
    ASSERT_NE(nullptr, irp);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
    g_probe.RoutineResult = STATUS_MORE_PROCESSING_REQUIRED;
    IoSetCompletionRoutine(irp, ProbeCompletion, nullptr, TRUE, TRUE, TRUE);
    EXPECT_EQ(STATUS_SUCCESS, IoCallDriver(LowerDevice(), irp));
    EXPECT_EQ(1, g_probe.Invoked);
    EXPECT_EQ(nullptr, g_probe.RoutineDevice);
    EXPECT_EQ(irp, g_probe.HeldIrp);
    EXPECT_EQ(STATUS_SUCCESS, irp->IoStatus.Status);
    EXPECT_EQ(9u, irp->IoStatus.Information);
    EXPECT_EQ(irp->StackCount + 1, irp->CurrentLocation);
    IoFreeIrp(irp);
    EXPECT_EQ(0u, LiveIrps());
}

TEST_F(CompletionTest, AttachGrowsTheStackOneLocationPerDevice) {
    Build();
    std::vector<PDEVICE_OBJECT> stack = DeviceStack(pdo_);
    ASSERT_EQ(3u, stack.size());
    EXPECT_EQ(pdo_, stack[0]);
    EXPECT_EQ(LowerDevice(), stack[1]);
    EXPECT_EQ(ProbeDevice(), stack[2]);
    for (size_t i = 0; i < stack.size(); i++)
        EXPECT_EQ(static_cast<CCHAR>(i + 1), stack[i]->StackSize);
    EXPECT_EQ(stack[1], pdo_->AttachedDevice);
    EXPECT_EQ(stack[2], stack[1]->AttachedDevice);
    EXPECT_EQ(nullptr, stack[2]->AttachedDevice);
}

}  // namespace
