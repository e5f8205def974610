// What a user-mode caller sees: for each buffering (the device's flags for
// reads, the method bits for device controls), whether the driver
// completes at once or pends, and the status and Information it completes
// with, the status returned to the caller, Information, and which bytes
// reached the caller's buffer; and which requests a handle's access lets
// through to the driver at all.
#include "fixtures.h"

#include <atomic>
#include <optional>
#include <string>
#include <thread>

using namespace host_kernel;
using namespace std::chrono_literals;

namespace {

enum class Buffering { Buffered, Direct, Neither };

TestDriverOptions DeviceFlags(Buffering buffering) {
    TestDriverOptions options;
    options.ClearFlags = DO_BUFFERED_IO | DO_DIRECT_IO;
    if (buffering == Buffering::Buffered) options.SetFlags = DO_BUFFERED_IO;
    if (buffering == Buffering::Direct) options.SetFlags = DO_DIRECT_IO;
    return options;
}

const std::vector<UCHAR> kData = {1, 2, 3, 4, 5, 6, 7, 8};
constexpr UCHAR kUntouched = 0xEE;

// Bytes of kData at the start of `buffer`; the rest must be untouched.
size_t Delivered(const UCHAR* buffer, size_t size) {
    size_t count = 0;
    while (count < kData.size() && buffer[count] == kData[count]) count++;
    for (size_t i = count; i < size; i++)
        if (buffer[i] != kUntouched) return SIZE_MAX;
    return count;
}

const char* Name(Buffering buffering) {
    switch (buffering) {
    case Buffering::Buffered:
        return "buffered";
    case Buffering::Direct:
        return "direct";
    case Buffering::Neither:
        return "neither";
    }
    return "?";
}

const char* MethodName(ULONG method) {
    switch (method) {
    case METHOD_BUFFERED:
        return "METHOD_BUFFERED";
    case METHOD_IN_DIRECT:
        return "METHOD_IN_DIRECT";
    case METHOD_OUT_DIRECT:
        return "METHOD_OUT_DIRECT";
    case METHOD_NEITHER:
        return "METHOD_NEITHER";
    }
    return "?";
}

std::string StatusName(NTSTATUS status) {
    switch (status) {
    case STATUS_SUCCESS:
        return "STATUS_SUCCESS";
    case STATUS_UNSUCCESSFUL:
        return "STATUS_UNSUCCESSFUL";
    case STATUS_BUFFER_OVERFLOW:
        return "STATUS_BUFFER_OVERFLOW";
    }
    return (::testing::Message() << "0x" << std::hex << ULONG(status)).GetString();
}

// How the lower driver finishes the request: in the dispatch routine, or
// pended and completed later. Either way it writes kData into the request's
// output buffer first.
struct Completion {
    bool Pends = false;
    NTSTATUS Status = STATUS_SUCCESS;  // IoStatus.Status
    ULONG_PTR Information = 0;         // IoStatus.Information
    // What a dispatch routine completing at once returns, where it is not Status.
    std::optional<NTSTATUS> Returned = std::nullopt;
};

std::string Describe(const Completion& c) {
    std::string text =
        std::string(c.Pends ? "pended, completed with " : "completed at once with ") +
        StatusName(c.Status) + ", Information " + std::to_string(c.Information);
    if (c.Returned) text += ", dispatch returning " + StatusName(*c.Returned);
    return text;
}

// A buffered read: the I/O manager copies the system buffer back, so what
// reaches the caller depends on how the request completed.
struct BufferedRead {
    Completion Driver;
    NTSTATUS SeenStatus;  // what the caller is told
    size_t Delivered;     // bytes of kData in the caller's buffer
};

const BufferedRead kBufferedReads[] = {
    // Only IoStatus.Information bytes come back, and only when the final
    // status is not an error.
    {.Driver = {.Status = STATUS_SUCCESS, .Information = 8},
     .SeenStatus = STATUS_SUCCESS,
     .Delivered = 8},
    {.Driver = {.Status = STATUS_SUCCESS, .Information = 3},
     .SeenStatus = STATUS_SUCCESS,
     .Delivered = 3},
    {.Driver = {.Status = STATUS_SUCCESS, .Information = 0},
     .SeenStatus = STATUS_SUCCESS,
     .Delivered = 0},
    {.Driver = {.Status = STATUS_BUFFER_OVERFLOW, .Information = 8},
     .SeenStatus = STATUS_BUFFER_OVERFLOW,
     .Delivered = 8},
    {.Driver = {.Status = STATUS_UNSUCCESSFUL, .Information = 8},
     .SeenStatus = STATUS_UNSUCCESSFUL,
     .Delivered = 0},
    {.Driver = {.Pends = true, .Status = STATUS_SUCCESS, .Information = 8},
     .SeenStatus = STATUS_SUCCESS,
     .Delivered = 8},
    {.Driver = {.Pends = true, .Status = STATUS_SUCCESS, .Information = 0},
     .SeenStatus = STATUS_SUCCESS,
     .Delivered = 0},
    {.Driver = {.Pends = true, .Status = STATUS_UNSUCCESSFUL, .Information = 8},
     .SeenStatus = STATUS_UNSUCCESSFUL,
     .Delivered = 0},
    // A synchronous dispatch's return is what the caller gets; the copy
    // follows IoStatus. A return that differs from the completion is the
    // driver's fault, reported.
    {.Driver = {.Status = STATUS_UNSUCCESSFUL, .Information = 8, .Returned = STATUS_SUCCESS},
     .SeenStatus = STATUS_SUCCESS,
     .Delivered = 0},
    {.Driver = {.Status = STATUS_SUCCESS, .Information = 8, .Returned = STATUS_UNSUCCESSFUL},
     .SeenStatus = STATUS_UNSUCCESSFUL,
     .Delivered = 8},
};

// Direct and neither reads: the driver writes the caller's memory itself, so
// all of kData is there whatever the completion, and the caller is told the
// status the driver completed with. Crossed with both bufferings.
const Buffering kUnbuffered[] = {Buffering::Direct, Buffering::Neither};
const Completion kUnbufferedCompletions[] = {
    {.Status = STATUS_SUCCESS, .Information = 8},
    {.Status = STATUS_SUCCESS, .Information = 0},
    {.Status = STATUS_UNSUCCESSFUL, .Information = 0},
    {.Pends = true, .Status = STATUS_SUCCESS, .Information = 8},
    {.Pends = true, .Status = STATUS_UNSUCCESSFUL, .Information = 0},
};

class UserIoTest : public StackTest {
  protected:
    void Open(Buffering buffering, ACCESS_MASK access = FILE_ALL_ACCESS) {
        Build(false, DeviceFlags(buffering));
        ASSERT_EQ(STATUS_SUCCESS, StartDevice(pdo_));
        app_ = CreateProcess("app");
        ASSERT_EQ(STATUS_SUCCESS, OpenDevice(app_, pdo_, &file_, access));
    }

    static Behavior BehaviorFor(const Completion& c) {
        Behavior behavior = c.Pends ? Behavior::Pend(c.Status, c.Information)
                                    : Behavior::Complete(c.Status, c.Information);
        if (!c.Pends && c.Returned) behavior.Returned = c.Returned;
        behavior.Data = kData;
        return behavior;
    }

    // One read of 16 bytes on a fresh stack of the given buffering.
    void ExpectRead(Buffering how, const Completion& driver, NTSTATUS seenStatus,
                    size_t delivered) {
        Reset();
        Open(how);
        lower_->On(IRP_MJ_READ, BehaviorFor(driver));
        UCHAR buffer[16];
        memset(buffer, kUntouched, sizeof buffer);
        IoResult result = ReadFile(app_, file_, buffer, sizeof buffer);
        EXPECT_EQ(seenStatus, result.Status);
        EXPECT_EQ(driver.Information, result.Information);
        EXPECT_EQ(driver.Pends, result.Pended);
        EXPECT_EQ(delivered, Delivered(buffer, sizeof buffer));
        const SeenRequest seen = lower_->Seen().back();
        EXPECT_EQ(16u, seen.Stack.Parameters.Read.Length);
        EXPECT_EQ(how == Buffering::Buffered, seen.SystemBuffer != nullptr);
        EXPECT_EQ(how == Buffering::Direct, seen.MdlAddress != nullptr);
        EXPECT_EQ(how != Buffering::Direct, seen.UserBuffer == buffer);
        if (driver.Returned && *driver.Returned != driver.Status) {
            EXPECT_EQ(1u, ExpectFault("dispatch return differs from completion"));
        }
        Shutdown();
        ReportFaults();
    }

    Process* app_ = nullptr;
    HANDLE file_ = nullptr;
};

TEST_F(UserIoTest, BufferedReadAsTheCallerSeesIt) {
    for (const BufferedRead& c : kBufferedReads) {
        SCOPED_TRACE("buffered, " + Describe(c.Driver));
        ExpectRead(Buffering::Buffered, c.Driver, c.SeenStatus, c.Delivered);
    }
}

TEST_F(UserIoTest, UnbufferedReadAsTheCallerSeesIt) {
    for (Buffering how : kUnbuffered) {
        for (const Completion& driver : kUnbufferedCompletions) {
            SCOPED_TRACE(std::string(Name(how)) + ", " + Describe(driver));
            ExpectRead(how, driver, driver.Status, kData.size());
        }
    }
}

// Device controls on a buffered device (the device's flags do not matter for
// them; the method bits of the code do). The dispatch routine returns the
// status it completes with, which is what the caller is told.
struct Control {
    ULONG Method;
    Completion Driver;
    size_t Delivered;  // bytes of kData in the caller's output buffer
};

const Control kControls[] = {
    // The system buffer is copied back as far as Information, unless the
    // status is an error.
    {.Method = METHOD_BUFFERED,
     .Driver = {.Status = STATUS_SUCCESS, .Information = 8},
     .Delivered = 8},
    {.Method = METHOD_BUFFERED,
     .Driver = {.Status = STATUS_SUCCESS, .Information = 5},
     .Delivered = 5},
    {.Method = METHOD_BUFFERED,
     .Driver = {.Status = STATUS_UNSUCCESSFUL, .Information = 8},
     .Delivered = 0},
    {.Method = METHOD_BUFFERED,
     .Driver = {.Pends = true, .Status = STATUS_SUCCESS, .Information = 8},
     .Delivered = 8},
    {.Method = METHOD_BUFFERED,
     .Driver = {.Pends = true, .Status = STATUS_BUFFER_OVERFLOW, .Information = 4},
     .Delivered = 4},
    // The driver wrote the caller's output buffer itself, through the MDL or
    // the user address.
    {.Method = METHOD_OUT_DIRECT,
     .Driver = {.Status = STATUS_SUCCESS, .Information = 0},
     .Delivered = 8},
    {.Method = METHOD_OUT_DIRECT,
     .Driver = {.Pends = true, .Status = STATUS_UNSUCCESSFUL, .Information = 0},
     .Delivered = 8},
    {.Method = METHOD_IN_DIRECT,
     .Driver = {.Status = STATUS_SUCCESS, .Information = 8},
     .Delivered = 8},
    {.Method = METHOD_NEITHER,
     .Driver = {.Status = STATUS_SUCCESS, .Information = 0},
     .Delivered = 8},
    {.Method = METHOD_NEITHER,
     .Driver = {.Pends = true, .Status = STATUS_SUCCESS, .Information = 8},
     .Delivered = 8},
};

TEST_F(UserIoTest, DeviceControlAsTheCallerSeesIt) {
    const UCHAR input[6] = {9, 8, 7, 6, 5, 4};
    for (const Control& c : kControls) {
        SCOPED_TRACE(std::string(MethodName(c.Method)) + ", " + Describe(c.Driver));
        Reset();
        Open(Buffering::Buffered);
        lower_->On(IRP_MJ_DEVICE_CONTROL, BehaviorFor(c.Driver));
        UCHAR output[16];
        memset(output, kUntouched, sizeof output);
        ULONG code = CTL_CODE(0x8160, 0x900, c.Method, FILE_ANY_ACCESS);
        IoResult result =
            DeviceIoControl(app_, file_, code, input, sizeof input, output, sizeof output);
        EXPECT_EQ(c.Driver.Status, result.Status);
        EXPECT_EQ(c.Driver.Information, result.Information);
        EXPECT_EQ(c.Delivered, Delivered(output, sizeof output));
        const SeenRequest seen = lower_->Seen().back();
        EXPECT_EQ(std::vector<UCHAR>(input, input + sizeof input), seen.Input);
        EXPECT_EQ(code, seen.Stack.Parameters.DeviceIoControl.IoControlCode);
        EXPECT_EQ(6u, seen.Stack.Parameters.DeviceIoControl.InputBufferLength);
        EXPECT_EQ(16u, seen.Stack.Parameters.DeviceIoControl.OutputBufferLength);
        EXPECT_EQ(c.Method == METHOD_IN_DIRECT || c.Method == METHOD_OUT_DIRECT,
                  seen.MdlAddress != nullptr);
        Shutdown();
        ReportFaults();
    }
}

TEST_F(UserIoTest, InformationBeyondTheBufferIsReportedAndClipped) {
    Open(Buffering::Buffered);
    Behavior behavior = Behavior::Complete(STATUS_SUCCESS, 64);
    behavior.Data = kData;
    lower_->On(IRP_MJ_DEVICE_CONTROL, behavior);
    UCHAR output[16];
    memset(output, kUntouched, sizeof output);
    IoResult result =
        DeviceIoControl(app_, file_, CTL_CODE(0x22, 1, METHOD_BUFFERED, FILE_ANY_ACCESS), nullptr,
                        0, output, sizeof output);
    EXPECT_EQ(STATUS_SUCCESS, result.Status);
    EXPECT_EQ(1u, ExpectFault("buffer overrun"));
    EXPECT_EQ(0, memcmp(output, kData.data(), kData.size()));
    // The unfilled rest of the system buffer came too.
    EXPECT_EQ(SIZE_MAX, Delivered(output, sizeof output));
}

TEST_F(UserIoTest, CallerWaitsForARequestCompletedFromAnotherThread) {
    Open(Buffering::Buffered);
    lower_->On(IRP_MJ_READ, Behavior::Held(STATUS_SUCCESS, 2));
    std::atomic<bool> done{false};
    IoResult result;
    UCHAR buffer[4];
    StartThread([&] {
        result = ReadFile(app_, file_, buffer, sizeof buffer);
        done = true;
    });
    ASSERT_TRUE(WaitUntil([&] { return lower_->HeldCount() == 1; }));
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(done);
    EXPECT_TRUE(lower_->CompleteHeld(STATUS_END_OF_FILE, 0));
    JoinThreads();
    EXPECT_TRUE(done);
    EXPECT_TRUE(result.Pended);
    EXPECT_EQ(STATUS_END_OF_FILE, result.Status);
}

// Per access asked for at open, which requests reach the driver: device
// controls whose code asks FILE_ANY_ACCESS, FILE_READ_ACCESS,
// FILE_WRITE_ACCESS or both (the code's access bits, 0 to 3), then a read
// and a write. The others are refused with STATUS_ACCESS_DENIED unseen.
struct AccessRow {
    const char* Name;
    ACCESS_MASK Access;
    bool Reaches[6];
};

const AccessRow kAccessRows[] = {
    {"SYNCHRONIZE only", SYNCHRONIZE, {true, false, false, false, false, false}},
    {"GENERIC_READ", GENERIC_READ, {true, true, false, false, true, false}},
    {"GENERIC_WRITE", GENERIC_WRITE, {true, false, true, false, false, true}},
    {"GENERIC_READ | GENERIC_WRITE",
     GENERIC_READ | GENERIC_WRITE,
     {true, true, true, true, true, true}},
    {"GENERIC_ALL", GENERIC_ALL, {true, true, true, true, true, true}},
    {"FILE_READ_DATA", FILE_READ_DATA, {true, true, false, false, true, false}},
    {"FILE_WRITE_DATA", FILE_WRITE_DATA, {true, false, true, false, false, true}},
    {"FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES",
     FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
     {true, false, false, false, false, false}},
};

TEST_F(UserIoTest, RequestsTheHandleIsNotOpenedForAreRefused) {
    for (const AccessRow& row : kAccessRows) {
        SCOPED_TRACE(row.Name);
        Reset();
        Open(Buffering::Buffered, row.Access);
        UCHAR buffer[4] = {};
        for (ULONG request = 0; request < 6; request++) {
            SCOPED_TRACE(request);
            size_t seen = lower_->Seen().size();
            IoResult result =
                request < 4
                    ? DeviceIoControl(app_, file_, CTL_CODE(0x22, 0x900, METHOD_BUFFERED, request),
                                      buffer, sizeof buffer, buffer, sizeof buffer)
                : request == 4 ? ReadFile(app_, file_, buffer, sizeof buffer)
                               : WriteFile(app_, file_, buffer, sizeof buffer);
            EXPECT_EQ(row.Reaches[request] ? STATUS_SUCCESS : STATUS_ACCESS_DENIED, result.Status);
            EXPECT_EQ(seen + (row.Reaches[request] ? 1 : 0), lower_->Seen().size());
        }
        Shutdown();
        ReportFaults();
    }
}

TEST_F(UserIoTest, HandlesAreChecked) {
    Open(Buffering::Buffered);
    Process* other = CreateProcess("other");
    UCHAR buffer[4];
    EXPECT_EQ(STATUS_INVALID_HANDLE, ReadFile(other, file_, buffer, sizeof buffer).Status);
    HANDLE event = CreateEvent(app_, NotificationEvent, false);
    EXPECT_EQ(STATUS_INVALID_HANDLE, ReadFile(app_, event, buffer, sizeof buffer).Status);
    EXPECT_EQ(STATUS_SUCCESS, CloseHandle(app_, file_));
    EXPECT_EQ(STATUS_INVALID_HANDLE, ReadFile(app_, file_, buffer, sizeof buffer).Status);
    EXPECT_EQ(0u, lower_->SeenCount(IRP_MJ_READ));
}

}  // namespace
