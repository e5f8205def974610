// The Win32 calls of windows.h and setupapi.h in this directory, each turned
// into the user-mode kernel's call in the thread's current process and
// finished the way kernel32 and setupapi finish it on Windows: the byte count
// from IoStatus.Information, FALSE and a mapped error for a failing status,
// the byte count still reported for a warning. A use that Windows would
// answer with a crash, or that this layer does not model (overlapped I/O,
// named events, waits for all), is recorded as a kernel fault so that the
// test or program that made it fails.
#include "host_win32.h"

#include <setupapi.h>

#include <chrono>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

using namespace host_kernel;

namespace host_win32 {
namespace {

thread_local Process* g_current = nullptr;
thread_local DWORD g_lastError = ERROR_SUCCESS;

struct StatusError {
    NTSTATUS Status;
    DWORD Error;
};

// RtlNtStatusToDosError's answers for the statuses that occur here.
constexpr StatusError kStatusErrors[] = {
    {STATUS_TIMEOUT, ERROR_TIMEOUT},
    {STATUS_PENDING, ERROR_IO_PENDING},
    {STATUS_BUFFER_OVERFLOW, ERROR_MORE_DATA},
    {STATUS_DEVICE_BUSY, ERROR_BUSY},
    {STATUS_NO_MORE_ENTRIES, ERROR_NO_MORE_ITEMS},
    {STATUS_UNSUCCESSFUL, ERROR_GEN_FAILURE},
    {STATUS_NOT_IMPLEMENTED, ERROR_INVALID_FUNCTION},
    {STATUS_INVALID_HANDLE, ERROR_INVALID_HANDLE},
    {STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
    {STATUS_NO_SUCH_DEVICE, ERROR_FILE_NOT_FOUND},
    {STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION},
    {STATUS_END_OF_FILE, ERROR_HANDLE_EOF},
    {STATUS_MORE_PROCESSING_REQUIRED, ERROR_MORE_DATA},
    {STATUS_NO_MEMORY, ERROR_NOT_ENOUGH_MEMORY},
    {STATUS_ACCESS_DENIED, ERROR_ACCESS_DENIED},
    {STATUS_BUFFER_TOO_SMALL, ERROR_INSUFFICIENT_BUFFER},
    {STATUS_OBJECT_TYPE_MISMATCH, ERROR_INVALID_HANDLE},
    {STATUS_OBJECT_NAME_INVALID, ERROR_INVALID_NAME},
    {STATUS_OBJECT_NAME_NOT_FOUND, ERROR_FILE_NOT_FOUND},
    {STATUS_OBJECT_NAME_COLLISION, ERROR_ALREADY_EXISTS},
    {STATUS_DELETE_PENDING, ERROR_ACCESS_DENIED},
    {STATUS_INSUFFICIENT_RESOURCES, ERROR_NO_SYSTEM_RESOURCES},
    {STATUS_DEVICE_NOT_CONNECTED, ERROR_DEVICE_NOT_CONNECTED},
    {STATUS_DEVICE_POWER_FAILURE, ERROR_NOT_READY},
    {STATUS_DEVICE_NOT_READY, ERROR_NOT_READY},
    {STATUS_IO_TIMEOUT, ERROR_SEM_TIMEOUT},
    {STATUS_NOT_SUPPORTED, ERROR_NOT_SUPPORTED},
    {STATUS_DEVICE_DOES_NOT_EXIST, ERROR_DEV_NOT_EXIST},
    {STATUS_INTERNAL_ERROR, ERROR_INTERNAL_ERROR},
    {STATUS_INVALID_USER_BUFFER, ERROR_INVALID_USER_BUFFER},
    {STATUS_INVALID_PARAMETER_1, ERROR_INVALID_PARAMETER},
    {STATUS_CANCELLED, ERROR_OPERATION_ABORTED},
    {STATUS_INVALID_DEVICE_STATE, ERROR_BAD_COMMAND},
    {STATUS_NOT_FOUND, ERROR_NOT_FOUND},
    {STATUS_DEVICE_REMOVED, ERROR_DEVICE_REMOVED},
};

BOOL Fail(DWORD error) {
    g_lastError = error;
    return FALSE;
}

BOOL FailWith(NTSTATUS status) {
    return Fail(Win32ErrorFromStatus(status));
}

void Misuse(const char* call, const std::string& what) {
    RecordFault(std::string(call) + ": " + what);
}

Process* ProcessFor(const char* call) {
    if (g_current == nullptr)
        Misuse(call, "called on a thread with no current process (host_win32::SetCurrentProcess)");
    return g_current;
}

// kernel32's ending of a synchronous request: Information is the byte count
// of a success and of a warning; an error reports none.
BOOL FinishIo(const IoResult& result, LPDWORD bytes) {
    if (NT_SUCCESS(result.Status)) {
        *bytes = static_cast<DWORD>(result.Information);
        return TRUE;
    }
    if (!NT_ERROR(result.Status)) *bytes = static_cast<DWORD>(result.Information);
    return FailWith(result.Status);
}

// The checks both kinds of request share; false when the call must fail.
bool SynchronousCall(const char* call, LPDWORD bytes, LPOVERLAPPED overlapped) {
    if (overlapped != nullptr) {
        Misuse(call, "an OVERLAPPED was passed; overlapped I/O is not modelled");
        Fail(ERROR_NOT_SUPPORTED);
        return false;
    }
    if (bytes == nullptr) {
        Misuse(call, "no byte count pointer without an OVERLAPPED (Windows writes through it)");
        Fail(ERROR_INVALID_PARAMETER);
        return false;
    }
    *bytes = 0;
    return true;
}

// --- device information sets -----------------------------------------------

struct InfoSet {
    GUID Class;
    std::vector<std::u16string> Links;  // the kernel's names, \??\...
};

std::mutex g_setsLock;
std::set<const void*> g_sets;

InfoSet* FindSet(HDEVINFO handle) {
    std::lock_guard<std::mutex> guard(g_setsLock);
    return g_sets.count(handle) != 0 ? static_cast<InfoSet*>(handle) : nullptr;
}

// The I/O manager's \??\ is the \\?\ of a Win32 device path.
const std::u16string kKernelPrefix = u"\\??\\";
const std::u16string kWin32Prefix = u"\\\\?\\";
const std::u16string kWin32DevicePrefix = u"\\\\.\\";

std::u16string Win32Path(const std::u16string& link) {
    if (link.compare(0, kKernelPrefix.size(), kKernelPrefix) != 0) return link;
    return kWin32Prefix + link.substr(kKernelPrefix.size());
}

// Empty for a name that is not a device path (there is no file system here).
std::u16string KernelLink(const std::u16string& path) {
    for (const std::u16string& prefix : {kWin32Prefix, kWin32DevicePrefix}) {
        if (path.compare(0, prefix.size(), prefix) == 0)
            return kKernelPrefix + path.substr(prefix.size());
    }
    return {};
}

// The interface a SetupDiEnumDeviceInterfaces result names, or nullptr.
const std::u16string* InterfaceOf(const InfoSet* set, const SP_DEVICE_INTERFACE_DATA* data) {
    if (data == nullptr || data->cbSize != sizeof(*data) || data->Reserved == 0 ||
        data->Reserved > set->Links.size())
        return nullptr;
    return &set->Links[data->Reserved - 1];
}

}  // namespace

void SetCurrentProcess(Process* process) {
    g_current = process;
}
Process* CurrentProcess() {
    return g_current;
}

DWORD Win32ErrorFromStatus(NTSTATUS status) {
    if (status == STATUS_SUCCESS) return ERROR_SUCCESS;
    for (const StatusError& entry : kStatusErrors)
        if (entry.Status == status) return entry.Error;
    return ERROR_MR_MID_NOT_FOUND;
}

size_t LiveDeviceInfoSets() {
    std::lock_guard<std::mutex> guard(g_setsLock);
    return g_sets.size();
}

}  // namespace host_win32

using namespace host_win32;

extern "C" {

DWORD WINAPI GetLastError(void) {
    return g_lastError;
}
void WINAPI SetLastError(DWORD dwErrCode) {
    g_lastError = dwErrCode;
}

HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    (void)dwShareMode;
    (void)lpSecurityAttributes;
    (void)hTemplateFile;
    Process* process = ProcessFor("CreateFileW");
    if (process == nullptr) {
        Fail(ERROR_INVALID_HANDLE);
        return INVALID_HANDLE_VALUE;
    }
    if (dwCreationDisposition != OPEN_EXISTING) {
        Misuse("CreateFileW", "a device is opened with OPEN_EXISTING");
        Fail(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) {
        Misuse("CreateFileW", "FILE_FLAG_OVERLAPPED; overlapped I/O is not modelled");
        Fail(ERROR_NOT_SUPPORTED);
        return INVALID_HANDLE_VALUE;
    }
    std::u16string link = lpFileName != nullptr ? KernelLink(lpFileName) : std::u16string();
    if (link.empty()) {
        Fail(lpFileName != nullptr ? ERROR_FILE_NOT_FOUND : ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    // kernel32 asks for these two on every open; the kernel maps the generic
    // rights to file rights.
    HANDLE handle = nullptr;
    NTSTATUS status =
        OpenDevice(process, link, &handle, dwDesiredAccess | SYNCHRONIZE | FILE_READ_ATTRIBUTES);
    if (!NT_SUCCESS(status)) {
        FailWith(status);
        return INVALID_HANDLE_VALUE;
    }
    SetLastError(ERROR_SUCCESS);
    return handle;
}

BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                            DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                            LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped) {
    Process* process = ProcessFor("DeviceIoControl");
    if (process == nullptr) return Fail(ERROR_INVALID_HANDLE);
    if (!SynchronousCall("DeviceIoControl", lpBytesReturned, lpOverlapped)) return FALSE;
    return FinishIo(host_kernel::DeviceIoControl(process, hDevice, dwIoControlCode, lpInBuffer,
                                                 nInBufferSize, lpOutBuffer, nOutBufferSize),
                    lpBytesReturned);
}

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                     LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
    Process* process = ProcessFor("ReadFile");
    if (process == nullptr) return Fail(ERROR_INVALID_HANDLE);
    if (!SynchronousCall("ReadFile", lpNumberOfBytesRead, lpOverlapped)) return FALSE;
    IoResult result = host_kernel::ReadFile(process, hFile, lpBuffer, nNumberOfBytesToRead);
    // A synchronous read at the end of a file succeeds with no bytes.
    if (result.Status == STATUS_END_OF_FILE) return TRUE;
    return FinishIo(result, lpNumberOfBytesRead);
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
    Process* process = ProcessFor("CloseHandle");
    if (process == nullptr) return Fail(ERROR_INVALID_HANDLE);
    NTSTATUS status = host_kernel::CloseHandle(process, hObject);
    return NT_SUCCESS(status) ? TRUE : FailWith(status);
}

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                           BOOL bInitialState, LPCWSTR lpName) {
    (void)lpEventAttributes;
    Process* process = ProcessFor("CreateEventW");
    if (process == nullptr) {
        Fail(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (lpName != nullptr) {
        Misuse("CreateEventW", "named events are not modelled");
        Fail(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    HANDLE event = host_kernel::CreateEvent(
        process, bManualReset ? NotificationEvent : SynchronizationEvent, bInitialState != FALSE);
    SetLastError(ERROR_SUCCESS);
    return event;
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    return WaitForMultipleObjects(1, &hHandle, FALSE, dwMilliseconds);
}

// INFINITE becomes 49 days, so a wait that is never satisfied ends in the
// kernel's hang fault rather than blocking a test for ever.
DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                                    DWORD dwMilliseconds) {
    Process* process = ProcessFor("WaitForMultipleObjects");
    if (process == nullptr) {
        Fail(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || lpHandles == nullptr) {
        Fail(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    if (bWaitAll && nCount > 1) {
        Misuse("WaitForMultipleObjects", "waits for all objects are not modelled");
        Fail(ERROR_NOT_SUPPORTED);
        return WAIT_FAILED;
    }
    NTSTATUS status = WaitForAnyEvent(process, std::vector<HANDLE>(lpHandles, lpHandles + nCount),
                                      std::chrono::milliseconds(dwMilliseconds));
    if (status == STATUS_TIMEOUT) return WAIT_TIMEOUT;
    if (status >= STATUS_WAIT_0 && static_cast<DWORD>(status) < nCount)
        return WAIT_OBJECT_0 + static_cast<DWORD>(status);
    FailWith(status);
    return WAIT_FAILED;
}

void WINAPI Sleep(DWORD dwMilliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
}

HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID* ClassGuid, PCWSTR Enumerator, HWND hwndParent,
                                     DWORD Flags) {
    (void)hwndParent;
    if (ClassGuid == nullptr || Enumerator != nullptr || !(Flags & DIGCF_DEVICEINTERFACE) ||
        (Flags & DIGCF_ALLCLASSES)) {
        Misuse("SetupDiGetClassDevsW",
               "only the interfaces of one class, without an enumerator, "
               "are modelled");
        Fail(ERROR_NOT_SUPPORTED);
        return INVALID_HANDLE_VALUE;
    }
    auto set = new InfoSet{*ClassGuid, EnumerateDeviceInterfaces(*ClassGuid)};
    std::lock_guard<std::mutex> guard(g_setsLock);
    g_sets.insert(set);
    return set;
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        const GUID* InterfaceClassGuid, DWORD MemberIndex,
                                        PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
    InfoSet* set = FindSet(DeviceInfoSet);
    if (set == nullptr) return Fail(ERROR_INVALID_HANDLE);
    if (DeviceInfoData != nullptr) {
        Misuse("SetupDiEnumDeviceInterfaces", "interfaces of one device element are not modelled");
        return Fail(ERROR_NOT_SUPPORTED);
    }
    if (InterfaceClassGuid == nullptr || DeviceInterfaceData == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    if (DeviceInterfaceData->cbSize != sizeof(*DeviceInterfaceData))
        return Fail(ERROR_INVALID_USER_BUFFER);
    if (!IsEqualGUID(InterfaceClassGuid, &set->Class) || MemberIndex >= set->Links.size())
        return Fail(ERROR_NO_MORE_ITEMS);
    DeviceInterfaceData->InterfaceClassGuid = *InterfaceClassGuid;
    DeviceInterfaceData->Flags = SPINT_ACTIVE;
    DeviceInterfaceData->Reserved = ULONG_PTR(MemberIndex) + 1;
    return TRUE;
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailW(
    HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
    PSP_DEVICE_INTERFACE_DETAIL_DATA_W DeviceInterfaceDetailData,
    DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize, PSP_DEVINFO_DATA DeviceInfoData) {
    InfoSet* set = FindSet(DeviceInfoSet);
    if (set == nullptr) return Fail(ERROR_INVALID_HANDLE);
    if (DeviceInfoData != nullptr) {
        Misuse("SetupDiGetDeviceInterfaceDetailW", "device element data is not modelled");
        return Fail(ERROR_NOT_SUPPORTED);
    }
    const std::u16string* link = InterfaceOf(set, DeviceInterfaceData);
    if (link == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    std::u16string path = Win32Path(*link);
    DWORD pathBytes = static_cast<DWORD>((path.size() + 1) * sizeof(WCHAR));
    DWORD needed = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + pathBytes;
    if (RequiredSize != nullptr) *RequiredSize = needed;
    if (DeviceInterfaceDetailData == nullptr) {
        return Fail(DeviceInterfaceDetailDataSize == 0 ? ERROR_INSUFFICIENT_BUFFER
                                                       : ERROR_INVALID_USER_BUFFER);
    }
    if (DeviceInterfaceDetailData->cbSize != sizeof(*DeviceInterfaceDetailData))
        return Fail(ERROR_INVALID_USER_BUFFER);
    if (DeviceInterfaceDetailDataSize < needed) return Fail(ERROR_INSUFFICIENT_BUFFER);
    memcpy(DeviceInterfaceDetailData->DevicePath, path.c_str(), pathBytes);
    return TRUE;
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
    std::lock_guard<std::mutex> guard(g_setsLock);
    if (g_sets.erase(DeviceInfoSet) == 0) return Fail(ERROR_INVALID_HANDLE);
    delete static_cast<InfoSet*>(DeviceInfoSet);
    return TRUE;
}

}  // extern "C"
