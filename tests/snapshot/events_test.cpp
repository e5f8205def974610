// The application's two events: registration and re-registration with good,
// bad and wrong-type handles (all or nothing), release, and which event a
// trigger report reaches with events switched on and off.
#include "snapshot_fixture.h"

using namespace host_kernel;
using namespace tessip_test;

namespace {

enum class Kind { Good, Null, Unused, WrongType, KernelHandle };

const char* KindName(Kind kind) {
    switch (kind) {
    case Kind::Good:
        return "good";
    case Kind::Null:
        return "NULL";
    case Kind::Unused:
        return "unused";
    case Kind::WrongType:
        return "file";
    case Kind::KernelHandle:
        return "kernel";
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

// Handle 0 NULL is a release; every other pair registers both or neither.
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
            if (kind == Kind::Good) {
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

}  // namespace
