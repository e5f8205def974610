// Remove locks as a driver uses them from its device extension: removal
// waits for every request still holding the lock and turns new ones away,
// and each misuse Driver Verifier would catch is reported naming the
// driver and the tag.
#include "fixtures.h"

#include <atomic>
#include <thread>

using namespace host_kernel;
using namespace std::chrono_literals;

namespace {

struct LockedExtension {
    ULONG Flags;  // the lock need not start the extension
    IO_REMOVE_LOCK Lock;
};

PVOID Tag(uintptr_t value) {
    return reinterpret_cast<PVOID>(value);
}

class RemoveLockTest : public StackTest {
  protected:
    void SetUp() override {
        StackTest::SetUp();
        driver_ = LoadDriver("locker", ProbeEntry);
    }

    // A new device of the driver's and the lock in its extension.
    PIO_REMOVE_LOCK NewLock(bool initialise) {
        DriverContext context(driver_);
        EXPECT_EQ(STATUS_SUCCESS, IoCreateDevice(driver_, sizeof(LockedExtension), nullptr,
                                                 FILE_DEVICE_UNKNOWN, 0, FALSE, &device_));
        PIO_REMOVE_LOCK lock = &static_cast<LockedExtension*>(device_->DeviceExtension)->Lock;
        if (initialise) IoInitializeRemoveLock(lock, 'kcoL', 0, 0);
        return lock;
    }

    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
};

// Each row plants one misuse as the driver, then the driver deletes the
// device; exactly the row's fault must follow.
struct PlantedFault {
    const char* Name;
    bool Initialised;
    void (*Plant)(PIO_REMOVE_LOCK lock);
    const char* Fault;
};

const PlantedFault kPlantedFaults[] = {
    {"acquired, never initialised", false,
     [](PIO_REMOVE_LOCK lock) { IoAcquireRemoveLock(lock, Tag(0xA1)); },
     "locker called IoAcquireRemoveLockEx with tag 0xa1 on a remove lock never initialised"},
    {"released with a tag that holds nothing", true,
     [](PIO_REMOVE_LOCK lock) {
         IoAcquireRemoveLock(lock, Tag(0xA1));
         IoReleaseRemoveLock(lock, Tag(0xB2));
         IoReleaseRemoveLock(lock, Tag(0xA1));
     },
     "locker released tag 0xb2, which holds no acquisition of remove lock"},
    {"released and waited for twice", true,
     [](PIO_REMOVE_LOCK lock) {
         IoAcquireRemoveLock(lock, Tag(0xA1));
         IoReleaseRemoveLockAndWait(lock, Tag(0xA1));
         IoReleaseRemoveLockAndWait(lock, Tag(0xA1));
     },
     "locker called IoReleaseRemoveLockAndWait twice (tag 0xa1)"},
    {"released and waited for, not acquired", true,
     [](PIO_REMOVE_LOCK lock) { IoReleaseRemoveLockAndWait(lock, Tag(0xA1)); },
     "locker called IoReleaseRemoveLockAndWait with tag 0xa1, which holds no acquisition"},
    {"device deleted while held", true,
     [](PIO_REMOVE_LOCK lock) { IoAcquireRemoveLock(lock, Tag(0xA1)); },
     "('Lock') still holds 1 acquisition(s) (tag 0xa1 x1); IoReleaseRemoveLockAndWait was never "
     "called"},
    {"initialised again while held", true,
     [](PIO_REMOVE_LOCK lock) {
         IoAcquireRemoveLock(lock, Tag(0xA1));
         IoInitializeRemoveLock(lock, 'kcoL', 0, 0);
     },
     "('Lock') again while it holds tag 0xa1 x1"},
    {"acquired above DISPATCH_LEVEL", true,
     [](PIO_REMOVE_LOCK lock) {
         {
             IrqlScope device(3);
             IoAcquireRemoveLock(lock, Tag(0xA1));
         }
         IoReleaseRemoveLock(lock, Tag(0xA1));
     },
     "locker called IoAcquireRemoveLockEx at IRQL 3 with tag 0xa1"},
    {"acquired after the wait returned", true,
     [](PIO_REMOVE_LOCK lock) {
         IoAcquireRemoveLock(lock, Tag(0xA1));
         IoReleaseRemoveLockAndWait(lock, Tag(0xA1));
         IoAcquireRemoveLock(lock, Tag(0xA2));
     },
     "with tag 0xa2 after IoReleaseRemoveLockAndWait returned"},
    {"released and waited for above PASSIVE_LEVEL", true,
     [](PIO_REMOVE_LOCK lock) {
         IoAcquireRemoveLock(lock, Tag(0xA1));
         IrqlScope apc(APC_LEVEL);
         IoReleaseRemoveLockAndWait(lock, Tag(0xA1));
     },
     "locker called IoReleaseRemoveLockAndWaitEx at IRQL 1 with tag 0xa1"},
};

TEST_F(RemoveLockTest, EachMisuseIsReportedNamingTheDriverAndTag) {
    for (const PlantedFault& c : kPlantedFaults) {
        SCOPED_TRACE(c.Name);
        PIO_REMOVE_LOCK lock = NewLock(c.Initialised);
        {
            DriverContext context(driver_);
            c.Plant(lock);
            IoDeleteDevice(device_);
        }
        EXPECT_EQ(1u, ExpectFault(c.Fault));
        ReportFaults();  // nothing else may have fired
    }
}

TEST_F(RemoveLockTest, RemovalWaitsForEveryAcquisitionAndTurnsNewOnesAway) {
    PIO_REMOVE_LOCK lock = NewLock(true);
    PVOID request = Tag(0x1), removal = Tag(0x2), late = Tag(0x3);
    EXPECT_EQ(STATUS_SUCCESS, IoAcquireRemoveLock(lock, request));
    EXPECT_EQ(STATUS_SUCCESS, IoAcquireRemoveLock(lock, request));
    IoReleaseRemoveLock(lock, request);
    EXPECT_EQ(STATUS_SUCCESS, IoAcquireRemoveLock(lock, removal));
    std::atomic<bool> removed{false};
    StartThread([&] {
        IoReleaseRemoveLockAndWait(lock, removal);
        removed = true;
    });
    // Removal has begun once an acquisition is refused, which takes nothing.
    ASSERT_TRUE(WaitUntil([&] {
        if (IoAcquireRemoveLock(lock, late) == STATUS_DELETE_PENDING) return true;
        IoReleaseRemoveLock(lock, late);
        return false;
    }));
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(removed);  // the request still holds the lock
    IoReleaseRemoveLock(lock, request);
    JoinThreads();
    EXPECT_TRUE(removed);
    // Once the wait has returned the device is being deleted: still turned
    // away, and now a misuse.
    EXPECT_EQ(STATUS_DELETE_PENDING, IoAcquireRemoveLock(lock, late));
    EXPECT_EQ(1u, ExpectFault("with tag 0x3 after IoReleaseRemoveLockAndWait returned"));
    IoDeleteDevice(device_);
}

// The removal's own dispatch deletes its device at its end; a device
// deleted while another request is still inside its dispatch routine
// leaves that routine on freed memory.
class BusyDeviceTest : public StackTest {};

TEST_F(BusyDeviceTest, DeletedWhileARequestIsInsideItsDispatchIsReported) {
    Build(false);
    ASSERT_EQ(STATUS_SUCCESS, StartDevice(pdo_));
    KEVENT release;
    KeInitializeEvent(&release, NotificationEvent, FALSE);
    std::atomic<bool> inside{false};
    lower_->On(IRP_MJ_DEVICE_CONTROL, Behavior::Handler([&](PDEVICE_OBJECT, PIRP irp) {
                   inside = true;
                   KeWaitForSingleObject(&release, Executive, KernelMode, FALSE, nullptr);
                   irp->IoStatus.Status = STATUS_SUCCESS;
                   IoCompleteRequest(irp, IO_NO_INCREMENT);
                   return STATUS_SUCCESS;
               }));
    PDEVICE_OBJECT device = LowerDevice();
    StartThread([device] { SendIrp(device, IRP_MJ_DEVICE_CONTROL, 0); });
    ASSERT_TRUE(WaitUntil([&] { return inside.load(); }));
    // The test driver's removal does not wait for its requests.
    EXPECT_EQ(STATUS_SUCCESS, RemoveDevice(pdo_));
    EXPECT_EQ(1u, ExpectFault("device deleted while busy: lower called IoDeleteDevice"));
    KeSetEvent(&release, IO_NO_INCREMENT, FALSE);
    JoinThreads();
}

}  // namespace
