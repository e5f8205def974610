// The Win32 layer as an application sees it: how a driver's completion of a
// device control or read comes back (the BOOL, GetLastError and the byte
// count, with Windows' error numbers written out), SetupAPI's interface list
// with the record sizes setupapi.dll insists on, and a call made on a thread
// with no current process.
#include "fixtures.h"
#include "host_win32.h"

#include <setupapi.h>

#include <string>
#include <vector>

using namespace host_kernel;

namespace {

const GUID kImageClass = {
    0x6BDD1FC6, 0x810F, 0x11D0, {0xBE, 0xC7, 0x08, 0x00, 0x2B, 0xE2, 0x09, 0x2F}};
const DWORD kAnyControl = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr DWORD kUntouched = 0xDEAD;  // the last error a success leaves alone

class Win32Test : public StackTest {
  protected:
    void SetUp() override {
        StackTest::SetUp();
        Build(false);
        ASSERT_EQ(STATUS_SUCCESS, StartDevice(pdo_));
        ASSERT_EQ(STATUS_SUCCESS, IoRegisterDeviceInterface(pdo_, &kImageClass, nullptr, &name_));
        ASSERT_EQ(STATUS_SUCCESS, IoSetDeviceInterfaceState(&name_, TRUE));
        host_win32::SetCurrentProcess(CreateProcess("app"));
    }
    void TearDown() override {
        host_win32::SetCurrentProcess(nullptr);
        RtlFreeUnicodeString(&name_);
        StackTest::TearDown();
    }

    // The interface's path as SetupAPI gives it.
    std::u16string Path() const {
        return u"\\\\?\\" + std::u16string(name_.Buffer + 4, name_.Length / sizeof(WCHAR) - 4);
    }
    HANDLE Open(const std::u16string& path) {
        return CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    }

    UNICODE_STRING name_{};
};

struct CompletionCase {
    const char* Name;
    bool Read;  // ReadFile; otherwise DeviceIoControl
    bool Pend;
    NTSTATUS Status;  // what the driver completes with
    ULONG_PTR Information;
    BOOL Result;  // what the caller sees
    DWORD Error;
    DWORD Bytes;
};

const CompletionCase kCompletionCases[] = {
    {"control_success", false, false, STATUS_SUCCESS, 4, TRUE, kUntouched, 4},
    {"control_pended_success", false, true, STATUS_SUCCESS, 4, TRUE, kUntouched, 4},
    {"control_buffer_too_small", false, false, STATUS_BUFFER_TOO_SMALL, 0, FALSE, 122, 0},
    {"control_invalid_parameter", false, false, STATUS_INVALID_PARAMETER, 0, FALSE, 87, 0},
    {"control_device_busy_warning", false, false, STATUS_DEVICE_BUSY, 2, FALSE, 170, 2},
    {"control_buffer_overflow_warning", false, false, STATUS_BUFFER_OVERFLOW, 8, FALSE, 234, 8},
    {"control_invalid_device_request", false, false, STATUS_INVALID_DEVICE_REQUEST, 0, FALSE, 1, 0},
    {"control_not_implemented", false, true, STATUS_NOT_IMPLEMENTED, 0, FALSE, 1, 0},
    {"control_insufficient_resources", false, false, STATUS_INSUFFICIENT_RESOURCES, 0, FALSE, 1450,
     0},
    {"control_invalid_handle", false, false, STATUS_INVALID_HANDLE, 0, FALSE, 6, 0},
    {"control_object_type_mismatch", false, false, STATUS_OBJECT_TYPE_MISMATCH, 0, FALSE, 6, 0},
    {"control_no_such_device", false, false, STATUS_NO_SUCH_DEVICE, 0, FALSE, 2, 0},
    {"control_unsuccessful", false, false, STATUS_UNSUCCESSFUL, 0, FALSE, 31, 0},
    {"control_error_with_information", false, false, STATUS_UNSUCCESSFUL, 8, FALSE, 31, 0},
    {"read_success", true, false, STATUS_SUCCESS, 8, TRUE, kUntouched, 8},
    {"read_end_of_file", true, false, STATUS_END_OF_FILE, 0, TRUE, kUntouched, 0},
    {"read_invalid_device_request", true, true, STATUS_INVALID_DEVICE_REQUEST, 0, FALSE, 1, 0},
};

class CompletionTest : public Win32Test, public testing::WithParamInterface<CompletionCase> {};

TEST_P(CompletionTest, ReachesTheCallerAsOnWindows) {
    const CompletionCase& c = GetParam();
    lower_->On(c.Read ? IRP_MJ_READ : IRP_MJ_DEVICE_CONTROL,
               c.Pend ? Behavior::Pend(c.Status, c.Information)
                      : Behavior::Complete(c.Status, c.Information));
    HANDLE file = Open(Path());
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    UCHAR buffer[16] = {};
    DWORD bytes = 0xFFFF;
    SetLastError(kUntouched);
    BOOL result = c.Read ? ReadFile(file, buffer, sizeof buffer, &bytes, nullptr)
                         : DeviceIoControl(file, kAnyControl, buffer, 4, buffer, sizeof buffer,
                                           &bytes, nullptr);
    EXPECT_EQ(c.Result, result);
    EXPECT_EQ(c.Error, GetLastError());
    EXPECT_EQ(c.Bytes, bytes);
    EXPECT_TRUE(CloseHandle(file));
}

INSTANTIATE_TEST_SUITE_P(Statuses, CompletionTest, testing::ValuesIn(kCompletionCases),
                         [](const testing::TestParamInfo<CompletionCase>& info) {
                             return std::string(info.param.Name);
                         });

TEST_F(Win32Test, SetupApiListsTheInterfaceWithWindowsRecordSizes) {
    EXPECT_EQ(sizeof(void*) == 8 ? 8u : 6u, sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W));
    HDEVINFO set =
        SetupDiGetClassDevsW(&kImageClass, nullptr, nullptr, DIGCF_DEVICEINTERFACE | DIGCF_PRESENT);
    ASSERT_NE(INVALID_HANDLE_VALUE, set);
    SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = sizeof(data) + 4;
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &kImageClass, 0, &data));
    EXPECT_EQ(1784u, GetLastError());  // ERROR_INVALID_USER_BUFFER
    data.cbSize = sizeof(data);
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &kImageClass, 0, &data));
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &kImageClass, 1, &data));
    EXPECT_EQ(259u, GetLastError());  // ERROR_NO_MORE_ITEMS

    DWORD needed = 0;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &needed, nullptr));
    EXPECT_EQ(122u, GetLastError());
    const std::u16string path = Path();
    EXPECT_EQ(sizeof(DWORD) + (path.size() + 1) * sizeof(WCHAR), needed);
    std::vector<ULONG_PTR> storage(needed / sizeof(ULONG_PTR) + 1);
    auto detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(storage.data());
    detail->cbSize = needed;  // the size of the whole record: refused on Windows too
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &data, detail, needed, nullptr, nullptr));
    EXPECT_EQ(1784u, GetLastError());
    detail->cbSize = sizeof(*detail);
    EXPECT_FALSE(
        SetupDiGetDeviceInterfaceDetailW(set, &data, detail, needed - 2, nullptr, nullptr));
    EXPECT_EQ(122u, GetLastError());
    ASSERT_TRUE(SetupDiGetDeviceInterfaceDetailW(set, &data, detail, needed, nullptr, nullptr));
    EXPECT_EQ(path, detail->DevicePath);
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_EQ(6u, GetLastError());
    EXPECT_EQ(0u, host_win32::LiveDeviceInfoSets());

    // Both Win32 spellings open the device; after removal the path opens nothing.
    for (const std::u16string& spelling : {path, u"\\\\.\\" + path.substr(4)}) {
        HANDLE file = Open(spelling);
        ASSERT_NE(INVALID_HANDLE_VALUE, file);
        EXPECT_TRUE(CloseHandle(file));
    }
    ASSERT_EQ(STATUS_SUCCESS, RemoveDevice(pdo_));
    EXPECT_EQ(INVALID_HANDLE_VALUE, Open(path));
    EXPECT_EQ(2u, GetLastError());  // ERROR_FILE_NOT_FOUND
}

TEST_F(Win32Test, HandleKeepsTheAccessItWasOpenedWith) {
    HANDLE file = Open(Path());  // GENERIC_READ
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    const DWORD write = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_WRITE_ACCESS);
    const DWORD read = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_READ_ACCESS);
    DWORD bytes;
    EXPECT_FALSE(DeviceIoControl(file, write, nullptr, 0, nullptr, 0, &bytes, nullptr));
    EXPECT_EQ(5u, GetLastError());  // ERROR_ACCESS_DENIED
    EXPECT_EQ(0u, lower_->SeenCount(IRP_MJ_DEVICE_CONTROL));
    EXPECT_TRUE(DeviceIoControl(file, read, nullptr, 0, nullptr, 0, &bytes, nullptr));
    EXPECT_TRUE(CloseHandle(file));
}

TEST_F(Win32Test, CallWithNoCurrentProcessIsAFault) {
    host_win32::SetCurrentProcess(nullptr);
    EXPECT_EQ(nullptr, CreateEventW(nullptr, TRUE, FALSE, nullptr));
    EXPECT_EQ(6u, GetLastError());
    EXPECT_EQ(1u, ExpectFault("no current process"));
}

}  // namespace
