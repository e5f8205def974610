// The application's two events: registration and re-registration with good,
// bad and wrong-type handles (all or nothing), release, and which event a
// trigger report reaches with events switched on and off.
#include "snapshot_fixture.h"

using namespace host_kernel;
using namespace tessip_test;

namespace {

enum class Kind { Good, Null, Unused, WrongType, KernelHandle, WaitOnly };

const char* KindName(Kind kind) {
    switch (kind) {
    case Kind::Good:
        return "good";
    case Kind::Null:
        return "null";
    case Kind::Unused:
        return "unused";
    case Kind::WrongType:
        return "file";
    case Kind::KernelHandle:
        return "kernel";
    case Kind::WaitOnly:
        return "SYNCHRONIZE only";
    }
    return "?";
}

class EventsTest : public SnapshotTest {
  protected:
    void SetUp() override {
        SnapshotTest::SetUp();
        AddStartedCamera();
    }

    HANDLE Make(Kind kind) {
        switch (kind) {
        case Kind::Good:
            return Keep(app_, CreateEvent(app_, NotificationEvent, false));
        case Kind::Null:
            return nullptr;
        case Kind::Unused:
            return UnusedHandle();
        case Kind::WrongType:
            return file_;
        case Kind::KernelHandle:
            return Keep(SystemProcess(), CreateEvent(SystemProcess(), NotificationEvent, false));
        case Kind::WaitOnly:
            // What a process may hold of another's event: enough to wait on
            // it, not to set it.
            return Keep(app_, CreateEvent(app_, NotificationEvent, false, SYNCHRONIZE));
        }
        return nullptr;
    }

    HANDLE Keep(Process* process, HANDLE handle) {
        made_.push_back({process, handle});
        return handle;
    }

    void CloseMade() {
        for (auto [process, handle] : made_) {
            CloseHandle(process, handle);
        }
        made_.clear();
    }

    std::vector<std::pair<Process*, HANDLE>> made_;

    PVOID Object(HANDLE handle) { return handle ? ObjectFromHandle(app_, handle) : nullptr; }
};

struct RegistrationCase {
    Kind first, second;
    NTSTATUS status;
};

// A null first handle is a release; every other pair registers both or
// neither.
const RegistrationCase kRegistrationCases[] = {
    {Kind::Good, Kind::Good, STATUS_SUCCESS},
    {Kind::Null, Kind::Good, STATUS_SUCCESS},
    {Kind::Null, Kind::Unused, STATUS_SUCCESS},
    {Kind::Unused, Kind::Good, STATUS_INVALID_HANDLE},
    {Kind::Good, Kind::Unused, STATUS_INVALID_HANDLE},
    {Kind::Good, Kind::Null, STATUS_INVALID_HANDLE},
    {Kind::WrongType, Kind::Good, STATUS_OBJECT_TYPE_MISMATCH},
    {Kind::Good, Kind::WrongType, STATUS_OBJECT_TYPE_MISMATCH},
    {Kind::KernelHandle, Kind::Good, STATUS_INVALID_HANDLE},
    {Kind::Good, Kind::KernelHandle, STATUS_INVALID_HANDLE},
    {Kind::WaitOnly, Kind::Good, STATUS_ACCESS_DENIED},
    {Kind::Good, Kind::WaitOnly, STATUS_ACCESS_DENIED},
};

TEST_F(EventsTest, RegistrationIsAllOrNothingAndAlwaysDropsTheOldPair) {
    for (const RegistrationCase& c : kRegistrationCases) {
        SCOPED_TRACE(testing::Message() << KindName(c.first) << ", " << KindName(c.second));
        HANDLE oldFirst = Make(Kind::Good);
        HANDLE oldSecond = Make(Kind::Good);
        ASSERT_EQ(SetEvents(oldFirst, oldSecond).Status, STATUS_SUCCESS);
        EXPECT_EQ(ReferenceCount(Object(oldFirst)), 2);
        EXPECT_EQ(ReferenceCount(Object(oldSecond)), 2);

        HANDLE first = Make(c.first);
        HANDLE second = Make(c.second);
        IoResult result = SetEvents(first, second);
        EXPECT_EQ(result.Status, c.status);

        // The old pair is let go whatever happens to the new one.
        EXPECT_EQ(ReferenceCount(Object(oldFirst)), 1);
        EXPECT_EQ(ReferenceCount(Object(oldSecond)), 1);

        const bool registered = c.status == STATUS_SUCCESS && c.first != Kind::Null;
        EXPECT_EQ(Extension()->FirstEvent, registered ? Object(first) : nullptr);
        EXPECT_EQ(Extension()->SecondEvent, registered ? Object(second) : nullptr);
        // A failed pair leaves no reference behind on the handle that worked.
        for (auto [handle, kind] : {std::pair{first, c.first}, std::pair{second, c.second}}) {
            if (kind == Kind::Good || kind == Kind::WaitOnly) {
                EXPECT_EQ(ReferenceCount(Object(handle)), registered ? 2 : 1);
            }
        }

        EXPECT_EQ(SetEvents(nullptr, nullptr).Status, STATUS_SUCCESS);
        CloseMade();
    }
}

TEST_F(EventsTest, RegisteringTheSamePairAgainHoldsOneReferenceEach) {
    HANDLE first = Make(Kind::Good);
    HANDLE second = Make(Kind::Good);
    for (int i = 0; i < 3; i++) {
        ASSERT_EQ(SetEvents(first, second).Status, STATUS_SUCCESS);
    }
    EXPECT_EQ(ReferenceCount(Object(first)), 2);
    EXPECT_EQ(ReferenceCount(Object(second)), 2);
}

TEST_F(EventsTest, ReleasingWithNothingHeldSucceeds) {
    EXPECT_EQ(SetEvents(nullptr, nullptr).Status, STATUS_SUCCESS);
    EXPECT_EQ(SetEvents(nullptr, UnusedHandle()).Status, STATUS_SUCCESS);
    EXPECT_EQ(Extension()->FirstEvent, nullptr);
    EXPECT_EQ(Extension()->SecondEvent, nullptr);
}

TEST_F(EventsTest, EventsOutliveTheApplicationsHandlesUntilReleased) {
    HANDLE first = Make(Kind::Good);
    HANDLE second = Make(Kind::Good);
    ASSERT_EQ(SetEvents(first, second).Status, STATUS_SUCCESS);
    PVOID firstObject = Object(first);
    CloseHandle(app_, first);
    CloseHandle(app_, second);
    EXPECT_EQ(ReferenceCount(firstObject), 1);  // tessip's own

    ASSERT_EQ(Control(SNAPSHOT_CONTROL_EVENTS_ON).Status, STATUS_SUCCESS);
    Trigger(1);  // signals an event nobody can wait on any more: harmless
    Trigger(0);
    EXPECT_EQ(SetEvents(nullptr, nullptr).Status, STATUS_SUCCESS);
}

// One pair of events per camera, whoever opened it: a second application
// can release the first one's pair or replace it with its own, since tessip
// knows no owner. It cannot make tessip hold or pulse an event through a
// handle of the first one's (handles resolve in the caller's own table),
// and the events it drops are only unreferenced, never signalled.
TEST_F(EventsTest, ASecondOpenerReplacesThePairButOnlyWithItsOwnEvents) {
    HANDLE first = Make(Kind::Good);
    HANDLE second = Make(Kind::Good);
    ASSERT_EQ(SetEvents(first, second).Status, STATUS_SUCCESS);

    Process* other = CreateProcess("second application");
    HANDLE otherFile = nullptr;
    ASSERT_EQ(OpenDevice(other, pdo_, &otherFile), STATUS_SUCCESS);
    HANDLE pair[2] = {first, second};  // values of the first application's table
    EXPECT_NE(
        DeviceIoControl(other, otherFile, IOCTL_SNAPSHOT_SET_EVENTS, pair, sizeof(pair), nullptr, 0)
            .Status,
        STATUS_SUCCESS);

    HANDLE own = CreateEvent(other, NotificationEvent, false);
    HANDLE ownPair[2] = {own, own};
    ASSERT_EQ(DeviceIoControl(other, otherFile, IOCTL_SNAPSHOT_SET_EVENTS, ownPair, sizeof(ownPair),
                              nullptr, 0)
                  .Status,
              STATUS_SUCCESS);
    EXPECT_EQ(ReferenceCount(Object(first)), 1);
    EXPECT_EQ(ReferenceCount(Object(second)), 1);
    EXPECT_EQ(Extension()->FirstEvent, ObjectFromHandle(other, own));

    ASSERT_EQ(Control(SNAPSHOT_CONTROL_EVENTS_ON).Status, STATUS_SUCCESS);
    Trigger(1);
    EXPECT_EQ(EventState(app_, first), 0);
    HANDLE release[2] = {nullptr, nullptr};
    EXPECT_EQ(DeviceIoControl(other, otherFile, IOCTL_SNAPSHOT_SET_EVENTS, release, sizeof(release),
                              nullptr, 0)
                  .Status,
              STATUS_SUCCESS);
    EXPECT_EQ(Extension()->FirstEvent, nullptr);
    CloseHandle(other, own);
    CloseHandle(other, otherFile);
}

// An application that exits, or closes the handle it registered through,
// can no longer release its events: the references go with that handle's
// cleanup, not at the camera's removal. Another handle's cleanup keeps them.
TEST_F(EventsTest, ThePairGoesWithTheHandleItWasRegisteredThrough) {
    HANDLE first = Make(Kind::Good);
    HANDLE second = Make(Kind::Good);
    ASSERT_EQ(SetEvents(first, second).Status, STATUS_SUCCESS);

    HANDLE other = nullptr;
    ASSERT_EQ(OpenDevice(app_, pdo_, &other), STATUS_SUCCESS);
    ASSERT_EQ(CloseHandle(app_, other), STATUS_SUCCESS);
    EXPECT_EQ(ReferenceCount(Object(first)), 2);

    ASSERT_EQ(CloseHandle(app_, file_), STATUS_SUCCESS);
    file_ = nullptr;
    EXPECT_EQ(ReferenceCount(Object(first)), 1);
    EXPECT_EQ(ReferenceCount(Object(second)), 1);
    EXPECT_EQ(Extension()->FirstEvent, nullptr);
}

}  // namespace
