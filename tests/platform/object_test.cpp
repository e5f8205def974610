// The object manager: which handles ObReferenceObjectByHandle resolves for
// which caller, how references keep objects alive, and the misuse it
// reports.
#include "fixtures.h"

using namespace host_kernel;

namespace {

class ObjectTest : public StackTest {
  protected:
    void SetUp() override {
        StackTest::SetUp();
        app_ = CreateProcess("app");
        other_ = CreateProcess("other");
    }

    // ObReferenceObjectByHandle as a request from `caller` would make it.
    NTSTATUS Reference(Process* caller, HANDLE handle, ACCESS_MASK access, POBJECT_TYPE type,
                       KPROCESSOR_MODE mode, PVOID* object) {
        NTSTATUS status = STATUS_PENDING;
        RunInProcess(caller, [&] {
            status = ObReferenceObjectByHandle(handle, access, type, mode, object, nullptr);
        });
        return status;
    }

    Process* app_ = nullptr;
    Process* other_ = nullptr;
};

enum class Handle {
    AppEvent,
    AppEventSynchronizeOnly,
    ClosedEvent,
    Null,
    KernelEvent,
    OtherProcessEvent,
    AppFile
};

struct ReferenceCase {
    const char* Name;
    Handle Which;
    ACCESS_MASK Access;
    bool EventType;  // else no type
    KPROCESSOR_MODE Mode;
    NTSTATUS Expected;
    const char* Fault = nullptr;  // the handle check's report, if the call is a misuse
};

constexpr ACCESS_MASK kWait = SYNCHRONIZE;
constexpr char kKernelModeOnUserHandle[] = "of process app with KernelMode";

const ReferenceCase kReferenceCases[] = {
    {"own event, user mode", Handle::AppEvent, kWait, true, UserMode, STATUS_SUCCESS},
    {"own event, kernel mode", Handle::AppEvent, kWait, true, KernelMode, STATUS_SUCCESS,
     kKernelModeOnUserHandle},
    {"own event, any type", Handle::AppEvent, kWait, false, UserMode, STATUS_SUCCESS},
    {"own event, no access asked", Handle::AppEvent, 0, true, UserMode, STATUS_SUCCESS,
     "with UserMode and DesiredAccess 0"},
    {"closed handle", Handle::ClosedEvent, kWait, true, UserMode, STATUS_INVALID_HANDLE},
    {"NULL handle", Handle::Null, kWait, true, UserMode, STATUS_INVALID_HANDLE},
    {"kernel handle from user mode", Handle::KernelEvent, kWait, true, UserMode,
     STATUS_INVALID_HANDLE},
    {"kernel handle from kernel mode", Handle::KernelEvent, 0, true, KernelMode, STATUS_SUCCESS},
    {"another process's handle", Handle::OtherProcessEvent, kWait, true, UserMode,
     STATUS_INVALID_HANDLE},
    {"file handle as an event", Handle::AppFile, kWait, true, UserMode,
     STATUS_OBJECT_TYPE_MISMATCH},
    {"access not granted, user mode", Handle::AppEventSynchronizeOnly, EVENT_MODIFY_STATE, true,
     UserMode, STATUS_ACCESS_DENIED},
    {"access not granted, kernel mode", Handle::AppEventSynchronizeOnly, EVENT_MODIFY_STATE, true,
     KernelMode, STATUS_SUCCESS, kKernelModeOnUserHandle},
};

TEST_F(ObjectTest, ReferenceByHandleChecksHandleTypeAndAccess) {
    Build(false);
    ASSERT_EQ(STATUS_SUCCESS, StartDevice(pdo_));
    HANDLE appFile;
    ASSERT_EQ(STATUS_SUCCESS, OpenDevice(app_, pdo_, &appFile));
    HANDLE closed = CreateEvent(app_, NotificationEvent, false);
    CloseHandle(app_, closed);
    auto handleFor = [&](Handle which) -> HANDLE {
        switch (which) {
        case Handle::AppEvent:
            return CreateEvent(app_, NotificationEvent, false);
        case Handle::AppEventSynchronizeOnly:
            return CreateEvent(app_, NotificationEvent, false, SYNCHRONIZE);
        case Handle::ClosedEvent:
            return closed;
        case Handle::Null:
            return nullptr;
        case Handle::KernelEvent:
            return CreateEvent(SystemProcess(), NotificationEvent, false);
        case Handle::OtherProcessEvent: {
            // Make the other process's handle a value the app does not have.
            for (int i = 0; i < 8; i++) CreateEvent(other_, NotificationEvent, false);
            return CreateEvent(other_, NotificationEvent, false);
        }
        case Handle::AppFile:
            return appFile;
        }
        return nullptr;
    };
    for (const ReferenceCase& c : kReferenceCases) {
        SCOPED_TRACE(c.Name);
        HANDLE handle = handleFor(c.Which);
        PVOID object = reinterpret_cast<PVOID>(1);
        NTSTATUS status = Reference(app_, handle, c.Access,
                                    c.EventType ? *ExEventObjectType : nullptr, c.Mode, &object);
        EXPECT_EQ(c.Expected, status);
        if (c.Fault) {
            EXPECT_EQ(1u, ExpectFault(c.Fault));
        }
        ReportFaults();  // nothing else may have fired
        if (NT_SUCCESS(status)) {
            EXPECT_EQ(
                ObjectFromHandle(c.Which == Handle::KernelEvent ? SystemProcess() : app_, handle),
                object);
            ObDereferenceObject(object);
        } else {
            EXPECT_EQ(nullptr, object);
        }
    }
}

TEST_F(ObjectTest, HandleKindsDiffer) {
    HANDLE user = CreateEvent(app_, NotificationEvent, false);
    HANDLE kernel = CreateEvent(SystemProcess(), NotificationEvent, false);
    EXPECT_GT(reinterpret_cast<intptr_t>(user), 0);
    EXPECT_LT(reinterpret_cast<intptr_t>(kernel), 0);
    EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(user) % 4);
    EXPECT_EQ(nullptr, ObjectFromHandle(app_, UnusedHandle()));
    CloseHandle(SystemProcess(), kernel);
}

TEST_F(ObjectTest, ReferenceKeepsTheEventAfterItsHandleCloses) {
    HANDLE handle = CreateEvent(app_, SynchronizationEvent, false);
    PVOID object;
    ASSERT_EQ(STATUS_SUCCESS, Reference(app_, handle, EVENT_MODIFY_STATE, PlatformEventObjectType(),
                                        UserMode, &object));
    EXPECT_EQ(2, ReferenceCount(object));
    KeSetEvent(static_cast<PKEVENT>(object), IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(1, EventState(app_, handle));
    EXPECT_EQ(STATUS_SUCCESS, WaitForEvent(app_, handle, std::chrono::milliseconds(0)));
    EXPECT_EQ(0, EventState(app_, handle));  // the wait consumed the synchronization event
    EXPECT_EQ(STATUS_SUCCESS, CloseHandle(app_, handle));
    EXPECT_EQ(STATUS_INVALID_HANDLE, CloseHandle(app_, handle));
    EXPECT_EQ(1, ReferenceCount(object));
    KeSetEvent(static_cast<PKEVENT>(object), IO_NO_INCREMENT, FALSE);  // still a live event
    EXPECT_EQ(0, ObDereferenceObject(object));
    EXPECT_EQ(0, ReferenceCount(object));
    EXPECT_TRUE(Faults().empty());
}

TEST_F(ObjectTest, ReleasingAReferenceNobodyTookIsReported) {
    HANDLE handle = CreateEvent(app_, NotificationEvent, false);
    PVOID object;
    ASSERT_EQ(STATUS_SUCCESS,
              Reference(app_, handle, kWait, *ExEventObjectType, UserMode, &object));
    ObDereferenceObject(object);
    ObDereferenceObject(object);
    EXPECT_EQ(1u, ExpectFault("releases a reference nobody took"));
    EXPECT_EQ(1, ReferenceCount(object));  // the handle's reference survived
    CloseHandle(app_, handle);
    ObDereferenceObject(object);
    EXPECT_EQ(1u, ExpectFault("which is not an object"));
}

TEST_F(ObjectTest, ObjectTypeVariableItselfIsRejected) {
    HANDLE handle = CreateEvent(app_, NotificationEvent, false);
    PVOID object;
    // The DDK's declaration invites passing the variable's address.
    EXPECT_EQ(STATUS_OBJECT_TYPE_MISMATCH,
              Reference(app_, handle, 0, reinterpret_cast<POBJECT_TYPE>(ExEventObjectType),
                        UserMode, &object));
    EXPECT_EQ(1u, ExpectFault("which is not an object type"));
}

TEST_F(ObjectTest, ReferenceHeldAtUnloadIsReportedAgainstTheDriver) {
    Build(false);
    ASSERT_EQ(STATUS_SUCCESS, StartDevice(pdo_));
    HANDLE event = CreateEvent(app_, NotificationEvent, false);
    PVOID kept = nullptr;
    lower_->On(IRP_MJ_DEVICE_CONTROL, Behavior::Handler([&](PDEVICE_OBJECT, PIRP irp) {
                   HANDLE handle = *static_cast<HANDLE*>(irp->AssociatedIrp.SystemBuffer);
                   irp->IoStatus.Status = ObReferenceObjectByHandle(handle, EVENT_MODIFY_STATE,
                                                                    PlatformEventObjectType(),
                                                                    UserMode, &kept, nullptr);
                   irp->IoStatus.Information = 0;
                   NTSTATUS status = irp->IoStatus.Status;
                   IoCompleteRequest(irp, IO_NO_INCREMENT);
                   return status;
               }));
    HANDLE file;
    ASSERT_EQ(STATUS_SUCCESS, OpenDevice(app_, pdo_, &file));
    IoResult result =
        DeviceIoControl(app_, file, CTL_CODE(0x8160, 0x817, METHOD_BUFFERED, FILE_ANY_ACCESS),
                        &event, sizeof event, nullptr, 0);
    EXPECT_EQ(STATUS_SUCCESS, result.Status);
    ASSERT_NE(nullptr, kept);
    EXPECT_EQ(2, ReferenceCount(kept));  // the app's handle and the driver's reference
    EXPECT_EQ(STATUS_SUCCESS, CloseHandle(app_, file));
    EXPECT_EQ(STATUS_SUCCESS, RemoveDevice(pdo_));
    UnloadDriver(lower_->Driver());
    EXPECT_EQ(1u, ExpectFault("object reference leak: lower holds 1 reference(s) to Event object"));
}

// A driver that keeps a reference to a process's object after the process
// has ended is told so when it ends, naming the object's type, not only at
// its unload or at shutdown.
struct Outliving {
    const char* Name;
    bool File;  // the app's file handle, else an event of the app's
    const char* Fault;
};

const Outliving kOutliving[] = {
    {"event", false, "outlives its process: lower holds 1 reference(s) to Event object"},
    {"file", true, "outlives its process: lower holds 1 reference(s) to File object"},
};

TEST_F(ObjectTest, ReferenceOutlivingItsProcessIsReportedWhenItEnds) {
    for (const Outliving& row : kOutliving) {
        SCOPED_TRACE(row.Name);
        Reset();
        Process* app = CreateProcess("app");
        Build(false);
        ASSERT_EQ(STATUS_SUCCESS, StartDevice(pdo_));
        HANDLE file;
        ASSERT_EQ(STATUS_SUCCESS, OpenDevice(app, pdo_, &file));
        HANDLE target = row.File ? file : CreateEvent(app, NotificationEvent, false);
        POBJECT_TYPE type = row.File ? *IoFileObjectType : *ExEventObjectType;
        PVOID kept = nullptr;
        lower_->On(IRP_MJ_DEVICE_CONTROL, Behavior::Handler([&](PDEVICE_OBJECT, PIRP irp) {
                       HANDLE handle = *static_cast<HANDLE*>(irp->AssociatedIrp.SystemBuffer);
                       NTSTATUS status = ObReferenceObjectByHandle(handle, SYNCHRONIZE, type,
                                                                   UserMode, &kept, nullptr);
                       irp->IoStatus.Status = status;
                       IoCompleteRequest(irp, IO_NO_INCREMENT);
                       return status;
                   }));
        ASSERT_EQ(STATUS_SUCCESS,
                  DeviceIoControl(app, file, CTL_CODE(0x8160, 0x817, METHOD_BUFFERED, 0), &target,
                                  sizeof target, nullptr, 0)
                      .Status);
        TerminateProcess(app);
        EXPECT_EQ(1u, ExpectFault(row.Fault));
        ReportFaults();
        {
            DriverContext late(lower_->Driver());
            ObDereferenceObject(kept);
        }
        Shutdown();
        ReportFaults();  // reported once, not again at shutdown
    }
}

}  // namespace
