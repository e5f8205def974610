// What a user-mode caller sees: for each buffering (the device's flags for
// reads, the method bits for device controls), whether the driver
// completes at once or pends, and the status and Information it completes
// with, the status returned to the caller, Information, and which bytes
// reached the caller's buffer.
#include "fixtures.h"

#include <atomic>
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
size_t Delivered(const UCHAR *buffer, size_t size) {
  size_t count = 0;
  while (count < kData.size() && buffer[count] == kData[count]) count++;
  for (size_t i = count; i < size; i++)
    if (buffer[i] != kUntouched) return SIZE_MAX;
  return count;
}

struct IoCase {
  Buffering How;
  bool Pend;
  NTSTATUS Status;     // IoStatus.Status the driver completes with
  ULONG_PTR Information;
  NTSTATUS Returned;   // dispatch's return when completing at once
  // What the caller sees:
  NTSTATUS SeenStatus;
  size_t Delivered;
};

constexpr NTSTATUS OK = STATUS_SUCCESS, FAIL = STATUS_UNSUCCESSFUL, MORE = STATUS_BUFFER_OVERFLOW;
constexpr Buffering B = Buffering::Buffered, D = Buffering::Direct, N = Buffering::Neither;

const IoCase kReadCases[] = {
    // Buffered: only IoStatus.Information bytes come back, and only when the
    // final status is not an error.
    {B, false, OK, 8, OK, OK, 8},
    {B, false, OK, 3, OK, OK, 3},
    {B, false, OK, 0, OK, OK, 0},
    {B, false, MORE, 8, MORE, MORE, 8},
    {B, false, FAIL, 8, FAIL, FAIL, 0},
    {B, true, OK, 8, 0, OK, 8},
    {B, true, OK, 0, 0, OK, 0},
    {B, true, FAIL, 8, 0, FAIL, 0},
    // A synchronous dispatch's return is what the caller gets; the copy
    // follows IoStatus.
    {B, false, FAIL, 8, OK, OK, 0},
    {B, false, OK, 8, FAIL, FAIL, 8},
    // Direct and neither: the driver wrote the caller's memory itself.
    {D, false, OK, 8, OK, OK, 8},
    {D, false, OK, 0, OK, OK, 8},
    {D, false, FAIL, 0, FAIL, FAIL, 8},
    {D, true, OK, 8, 0, OK, 8},
    {N, false, OK, 0, OK, OK, 8},
    {N, true, FAIL, 0, 0, FAIL, 8},
};

class UserIoTest : public StackTest {
 protected:
  void Open(Buffering buffering) {
    Build(false, DeviceFlags(buffering));
    ASSERT_EQ(STATUS_SUCCESS, StartDevice(pdo_));
    app_ = CreateProcess("app");
    ASSERT_EQ(STATUS_SUCCESS, OpenDevice(app_, pdo_, &file_));
  }

  Behavior BehaviorFor(const IoCase &c) {
    Behavior behavior = c.Pend ? Behavior::Pend(c.Status, c.Information)
                               : Behavior::Complete(c.Status, c.Information);
    if (!c.Pend) behavior.Returned = c.Returned;
    behavior.Data = kData;
    return behavior;
  }

  Process *app_ = nullptr;
  HANDLE file_ = nullptr;
};

TEST_F(UserIoTest, ReadAsTheCallerSeesIt) {
  for (const IoCase &c : kReadCases) {
    SCOPED_TRACE(::testing::Message() << "buffering " << int(c.How) << " pend " << c.Pend
                                      << " status 0x" << std::hex << c.Status << " info "
                                      << c.Information << " returned 0x" << c.Returned);
    Reset();
    Open(c.How);
    lower_->On(IRP_MJ_READ, BehaviorFor(c));
    UCHAR buffer[16];
    memset(buffer, kUntouched, sizeof buffer);
    IoResult result = ReadFile(app_, file_, buffer, sizeof buffer);
    EXPECT_EQ(c.SeenStatus, result.Status);
    EXPECT_EQ(c.Information, result.Information);
    EXPECT_EQ(c.Pend, result.Pended);
    EXPECT_EQ(c.Delivered, Delivered(buffer, sizeof buffer));
    const SeenRequest seen = lower_->Seen().back();
    EXPECT_EQ(16u, seen.Stack.Parameters.Read.Length);
    EXPECT_EQ(c.How == B, seen.SystemBuffer != nullptr);
    EXPECT_EQ(c.How == D, seen.MdlAddress != nullptr);
    EXPECT_EQ(c.How != D, seen.UserBuffer == buffer);
    Shutdown();
    ReportFaults();
  }
}

struct ControlCase {
  ULONG Method;
  bool Pend;
  NTSTATUS Status;
  ULONG_PTR Information;
  size_t Delivered;
};

const ControlCase kControlCases[] = {
    {METHOD_BUFFERED, false, OK, 8, 8},   {METHOD_BUFFERED, false, OK, 5, 5},
    {METHOD_BUFFERED, false, FAIL, 8, 0}, {METHOD_BUFFERED, true, OK, 8, 8},
    {METHOD_BUFFERED, true, MORE, 4, 4},  {METHOD_OUT_DIRECT, false, OK, 0, 8},
    {METHOD_OUT_DIRECT, true, FAIL, 0, 8}, {METHOD_IN_DIRECT, false, OK, 8, 8},
    {METHOD_NEITHER, false, OK, 0, 8},    {METHOD_NEITHER, true, OK, 8, 8},
};

TEST_F(UserIoTest, DeviceControlAsTheCallerSeesIt) {
  const UCHAR input[6] = {9, 8, 7, 6, 5, 4};
  for (const ControlCase &c : kControlCases) {
    SCOPED_TRACE(::testing::Message() << "method " << c.Method << " pend " << c.Pend << " status 0x"
                                      << std::hex << c.Status << " info " << c.Information);
    Reset();
    Open(Buffering::Buffered);  // device flags do not matter for device controls
    IoCase io{B, c.Pend, c.Status, c.Information, c.Status, c.Status, 0};
    lower_->On(IRP_MJ_DEVICE_CONTROL, BehaviorFor(io));
    UCHAR output[16];
    memset(output, kUntouched, sizeof output);
    ULONG code = CTL_CODE(0x8160, 0x900, c.Method, FILE_ANY_ACCESS);
    IoResult result = DeviceIoControl(app_, file_, code, input, sizeof input, output, sizeof output);
    EXPECT_EQ(c.Status, result.Status);
    EXPECT_EQ(c.Information, result.Information);
    EXPECT_EQ(c.Delivered, Delivered(output, sizeof output));
    const SeenRequest seen = lower_->Seen().back();
    EXPECT_EQ(std::vector<UCHAR>(input, input + sizeof input), seen.Input);
    EXPECT_EQ(code, seen.Stack.Parameters.DeviceIoControl.IoControlCode);
    EXPECT_EQ(6u, seen.Stack.Parameters.DeviceIoControl.InputBufferLength);
    EXPECT_EQ(16u, seen.Stack.Parameters.DeviceIoControl.OutputBufferLength);
    EXPECT_EQ(c.Method == METHOD_IN_DIRECT || c.Method == METHOD_OUT_DIRECT, seen.MdlAddress != nullptr);
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
  IoResult result = DeviceIoControl(app_, file_, CTL_CODE(0x22, 1, METHOD_BUFFERED, FILE_ANY_ACCESS),
                                    nullptr, 0, output, sizeof output);
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

TEST_F(UserIoTest, HandlesAreChecked) {
  Open(Buffering::Buffered);
  Process *other = CreateProcess("other");
  UCHAR buffer[4];
  EXPECT_EQ(STATUS_INVALID_HANDLE, ReadFile(other, file_, buffer, sizeof buffer).Status);
  HANDLE event = CreateEvent(app_, NotificationEvent, false);
  EXPECT_EQ(STATUS_INVALID_HANDLE, ReadFile(app_, event, buffer, sizeof buffer).Status);
  EXPECT_EQ(STATUS_SUCCESS, CloseHandle(app_, file_));
  EXPECT_EQ(STATUS_INVALID_HANDLE, ReadFile(app_, file_, buffer, sizeof buffer).Status);
  EXPECT_EQ(0u, lower_->SeenCount(IRP_MJ_READ));
}

}  // namespace
