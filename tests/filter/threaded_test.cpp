// orvane's frame with requests that finish on other threads: a lower driver
// that pends and completes later from a kernel thread at DISPATCH_LEVEL, a
// power request held below while the filter still counts it, and removal
// that must wait for a request still inside the lower driver.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>

#include "orvane_stack.h"

namespace orvane_test {
namespace {

using namespace std::chrono_literals;

using host_kernel::WaitUntil;

// A one-shot gate a lower-driver handler can stop at, and the test can see it
// reach and then open.
class Gate {
public:
    void Arrive() {
        std::unique_lock<std::mutex> lock(mutex_);
        arrived_ = true;
        changed_.notify_all();
        changed_.wait(lock, [this] { return open_; });
    }
    bool WaitArrived(std::chrono::milliseconds limit = 5s) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, limit, [this] { return arrived_; });
    }
    void Open() {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool arrived_ = false;
    bool open_ = false;
};

// --- Start with a lower driver that pends -----------------------------------------------

TEST_F(OrvaneStack, StartWithAPendingLowerDriver) {
    struct Case {
        const char* name;
        std::optional<Behavior> start;
        std::optional<Behavior> capabilities;
        NTSTATUS status;
        FILTER_STATE state;
    };
    const Case cases[] = {
        {"start pends and succeeds", Behavior::Pend(STATUS_SUCCESS, 0, 5ms), std::nullopt,
         STATUS_SUCCESS, FilterStarted},
        {"start pends and fails", Behavior::Pend(STATUS_NO_SUCH_DEVICE, 0, 5ms),
         std::nullopt, STATUS_NO_SUCH_DEVICE, FilterStartFailed},
        {"capabilities query pends", std::nullopt, Behavior::Pend(STATUS_SUCCESS, 0, 5ms),
         STATUS_SUCCESS, FilterStarted},
        {"capabilities query pends and fails", std::nullopt,
         Behavior::Pend(STATUS_UNSUCCESSFUL, 0, 5ms), STATUS_UNSUCCESSFUL, FilterStartFailed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        lower_->Clear();
        lower_->ClearSeen();
        if (c.start) lower_->On(IRP_MJ_PNP, IRP_MN_START_DEVICE, *c.start);
        if (c.capabilities) lower_->On(IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES, *c.capabilities);
        ASSERT_EQ(Build(), STATUS_SUCCESS);

        const IrpResult r = host_kernel::SendPnp(pdo_, IRP_MN_START_DEVICE);

        // The filter waited for the lower driver and completed the request
        // itself, so the caller sees a request that did not pend.
        EXPECT_TRUE(r.Completed);
        EXPECT_EQ(r.Status, c.status);
        EXPECT_EQ(r.Returned, c.status);
        EXPECT_FALSE(r.PendingReturned);
        EXPECT_EQ(State(), c.state);
        EXPECT_EQ(Outstanding(), 0);
    }
}

// --- Pass-through of a pended request -------------------------------------------------

// A request the lower driver pends is no longer counted once it has left the
// filter's dispatch routine; its pending state reaches the caller.
TEST_F(OrvaneStack, PendedRequestsPassThroughUncounted) {
    BuildStarted();
    lower_->On(IRP_MJ_DEVICE_CONTROL, Behavior::Held(STATUS_SUCCESS, 24));

    std::optional<IrpResult> result;
    std::mutex resultMutex;
    host_kernel::StartThread([&] {
        IrpResult r = Send(IRP_MJ_DEVICE_CONTROL);
        std::lock_guard<std::mutex> lock(resultMutex);
        result = r;
    });
    ASSERT_TRUE(WaitUntil([&] { return lower_->HeldCount() == 1; }));
    EXPECT_EQ(Outstanding(), 0);

    ASSERT_TRUE(lower_->CompleteHeld());
    host_kernel::JoinThreads();

    std::lock_guard<std::mutex> lock(resultMutex);
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->Returned, STATUS_PENDING);
    EXPECT_TRUE(result->PendingReturned);
    EXPECT_EQ(result->Status, STATUS_SUCCESS);
    EXPECT_EQ(result->Information, 24u);
    EXPECT_EQ(Outstanding(), 0);
}

// --- Power held below ----------------------------------------------------------------

// A power request stays counted until its completion routine has run, so a
// removal in between cannot free the extension the routine still uses; the
// return to D0 is recorded only when the lower driver completes.
TEST_F(OrvaneStack, PowerRequestIsCountedUntilItCompletes) {
    BuildStarted();
    ASSERT_EQ(host_kernel::SetDevicePower(pdo_, PowerDeviceD3).Status, STATUS_SUCCESS);
    ASSERT_EQ(State(), FilterPoweredDown);
    lower_->On(IRP_MJ_POWER, IRP_MN_SET_POWER, Behavior::Held(STATUS_SUCCESS));

    std::optional<IrpResult> result;
    std::mutex resultMutex;
    host_kernel::StartThread([&] {
        IrpResult r = host_kernel::SetDevicePower(pdo_, PowerDeviceD0);
        std::lock_guard<std::mutex> lock(resultMutex);
        result = r;
    });
    ASSERT_TRUE(WaitUntil([&] { return lower_->HeldCount() == 1; }));
    EXPECT_EQ(Outstanding(), 1);
    EXPECT_EQ(State(), FilterPoweredDown);

    ASSERT_TRUE(lower_->CompleteHeld());
    host_kernel::JoinThreads();

    std::lock_guard<std::mutex> lock(resultMutex);
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->Status, STATUS_SUCCESS);
    EXPECT_EQ(State(), FilterStarted);
    EXPECT_EQ(Outstanding(), 0);
}

TEST_F(OrvaneStack, PowerRequestsThatPendBelow) {
    struct Case {
        FILTER_STATE from;
        DEVICE_POWER_STATE target;
        NTSTATUS status;
        FILTER_STATE to;
    };
    const Case cases[] = {
        {FilterStarted, PowerDeviceD3, STATUS_SUCCESS, FilterPoweredDown},
        {FilterPoweredDown, PowerDeviceD0, STATUS_SUCCESS, FilterStarted},
        {FilterPoweredDown, PowerDeviceD0, STATUS_UNSUCCESSFUL, FilterPoweredDown},
    };
    BuildStarted();
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "state " << c.from << " to D" << c.target - 1);
        lower_->On(IRP_MJ_POWER, IRP_MN_SET_POWER, Behavior::Pend(c.status, 0, 5ms));
        ForceState(c.from);

        const IrpResult r = host_kernel::SetDevicePower(pdo_, c.target);

        EXPECT_TRUE(r.Completed);
        EXPECT_EQ(r.Returned, STATUS_PENDING);
        EXPECT_TRUE(r.PendingReturned);
        EXPECT_EQ(r.Status, c.status);
        EXPECT_EQ(State(), c.to);
        EXPECT_EQ(Outstanding(), 0);
    }
    lower_->Clear();
    ForceState(FilterStarted);
}

// --- Removal waits ---------------------------------------------------------------------

// A request still inside the lower driver's dispatch routine is counted; the
// remove request goes down but the filter device stays until that request
// has left, and only then is detached and deleted.
TEST_F(OrvaneStack, RemovalWaitsForARequestInsideTheLowerDriver) {
    BuildStarted();
    Gate gate;
    lower_->On(IRP_MJ_DEVICE_CONTROL, Behavior::Handler([&gate](PDEVICE_OBJECT, PIRP irp) {
        gate.Arrive();
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }));

    // Whatever fails below, the handler must not stay blocked.
    struct OpenOnExit {
        Gate& gate;
        ~OpenOnExit() { gate.Open(); }
    } openOnExit{gate};

    std::atomic<bool> ioDone{false};
    std::atomic<bool> removeDone{false};
    std::atomic<NTSTATUS> ioStatus{STATUS_PENDING};
    std::atomic<NTSTATUS> removeStatus{STATUS_PENDING};
    host_kernel::StartThread([&] {
        ioStatus = Send(IRP_MJ_DEVICE_CONTROL).Status;
        ioDone = true;
    });
    ASSERT_TRUE(gate.WaitArrived());
    EXPECT_EQ(Outstanding(), 1);

    PDEVICE_OBJECT filter = filter_;
    host_kernel::StartThread([&] {
        removeStatus = host_kernel::SendPnp(pdo_, IRP_MN_REMOVE_DEVICE).Status;
        removeDone = true;
    });
    // The remove goes down, then blocks on the removal event (or, wrongly,
    // finishes without waiting).
    PKEVENT removeEvent = &Extension()->RemoveEvent;
    ASSERT_TRUE(WaitUntil(
        [&] { return removeDone || host_kernel::WaitingThreads(removeEvent) == 1; }));
    const bool removedEarly = removeDone;
    ASSERT_FALSE(removedEarly) << "removal deleted the device under a request in flight";
    EXPECT_EQ(lower_->SeenCount(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE), 1u);
    EXPECT_FALSE(ioDone);
    // The lower driver has already left the stack; orvane's device is
    // still there, attached to it, with the count at -1 + 1.
    EXPECT_EQ(Outstanding(), 0);
    EXPECT_EQ(orvane_->DeviceObject, filter);
    EXPECT_EQ(Extension()->LowerDevice->AttachedDevice, filter);
    EXPECT_EQ(KeReadStateEvent(&Extension()->RemoveEvent), 0);

    gate.Open();
    host_kernel::JoinThreads();

    EXPECT_TRUE(ioDone);
    EXPECT_TRUE(removeDone);
    EXPECT_EQ(ioStatus, STATUS_SUCCESS);
    EXPECT_EQ(removeStatus, STATUS_SUCCESS);
    EXPECT_EQ(orvane_->DeviceObject, nullptr);
}

}  // namespace
}  // namespace orvane_test
