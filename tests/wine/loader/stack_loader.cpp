// stack_loader: a function driver for test machines whose Plug and Play
// manager loads only a device's function service and ignores its filter
// lists (Wine's). Installed as the device's function service there, it does
// what Windows' Plug and Play manager does when it builds a device stack:
// reads the device's LowerFilters and UpperFilters, loads the lower filters,
// the real function driver (named in this service's Parameters key as
// FunctionService) and the upper filters, and calls their add-device
// routines bottom-up over the physical device object. It attaches no device
// of its own, so every later request reaches the stack it built, top first.
//
// Once the stack is built it records it for the test program, which has no
// other way to see device objects: the device's parameters key gets
// StackDevices (REG_MULTI_SZ), one entry per device object bottom-up from
// the physical device, each its driver's name, then a space and the
// device's own name if it has one ("\Driver\orvane \Device\00000001",
// "\Driver\bridge"), or " (name unknown, <status>)" if the name query
// failed.
//
// It also gives Wine one ordering of Windows' (see HoldStack). Otherwise the
// drivers it loads run exactly as they would under Windows' own manager;
// none of them knows it was loaded this way.
#include "platform.h"

extern "C" {
NTKERNELAPI NTSTATUS NTAPI ObReferenceObjectByName(PUNICODE_STRING ObjectName, ULONG Attributes,
                                                   PACCESS_STATE AccessState,
                                                   ACCESS_MASK DesiredAccess,
                                                   POBJECT_TYPE ObjectType,
                                                   KPROCESSOR_MODE AccessMode, PVOID ParseContext,
                                                   PVOID* Object);
NTKERNELAPI NTSTATUS NTAPI ObQueryNameString(PVOID Object,
                                             POBJECT_NAME_INFORMATION ObjectNameInformation,
                                             ULONG Length, PULONG ReturnLength);
DRIVER_INITIALIZE DriverEntry;
}

namespace {

constexpr ULONG kLoaderTag = 'dLtS';
constexpr USHORT kMaxPath = 512;  // characters

// A counted path built in a fixed buffer; Append fails rather than truncate.
struct PathBuffer {
    WCHAR Text[kMaxPath];
    USHORT Length = 0;  // characters

    bool Append(const WCHAR* text, SIZE_T count) {
        if (Length + count >= kMaxPath) {
            return false;
        }
        RtlCopyMemory(Text + Length, text, count * sizeof(WCHAR));
        Length = static_cast<USHORT>(Length + count);
        Text[Length] = L'\0';
        return true;
    }
    bool Append(const WCHAR* text) { return Append(text, wcslen(text)); }

    UNICODE_STRING String() {
        UNICODE_STRING string;
        string.Buffer = Text;
        string.Length = static_cast<USHORT>(Length * sizeof(WCHAR));
        string.MaximumLength = sizeof(Text);
        return string;
    }
};

PathBuffer FunctionService;  // from this driver's Parameters key

// The device objects of the stacks built so far, each held by a reference
// until this driver unloads (see HoldStack). Add-device calls come one at a
// time.
constexpr ULONG kMaxHeldDevices = 64;
PDEVICE_OBJECT HeldDevices[kMaxHeldDevices];
ULONG HeldCount;

/*
 * ReadValue
 *
 * A registry value of the key at `path`, into pool the caller frees with
 * ExFreePoolWithTag. Multi-strings come back as written: NUL-separated
 * names ending in an empty one; the buffer gets two extra NULs so that a
 * value stored without its terminators still ends.
 */
PKEY_VALUE_PARTIAL_INFORMATION ReadValue(PathBuffer& path, const WCHAR* name) {
    UNICODE_STRING keyName = path.String();
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &keyName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               nullptr, nullptr);
    HANDLE key;
    if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes))) {
        return nullptr;
    }
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, name);
    ULONG needed = 0;
    ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, nullptr, 0, &needed);
    PKEY_VALUE_PARTIAL_INFORMATION value = nullptr;
    if (needed != 0) {
        ULONG size = needed + 2 * sizeof(WCHAR);
        value = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(
            ExAllocatePoolWithTag(PagedPool, size, kLoaderTag));
        if (value != nullptr) {
            RtlZeroMemory(value, size);
            if (!NT_SUCCESS(ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, value,
                                            needed, &needed))) {
                ExFreePoolWithTag(value, kLoaderTag);
                value = nullptr;
            }
        }
    }
    ZwClose(key);
    return value;
}

/*
 * QueryId
 *
 * Asks the physical device for one of its identifiers, as the Plug and
 * Play manager does to find the device's registry key. The answer is pool
 * the bus driver allocated and the caller frees with ExFreePool.
 */
PWCHAR QueryId(PDEVICE_OBJECT pdo, BUS_QUERY_ID_TYPE type) {
    KEVENT event;
    IO_STATUS_BLOCK status;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, pdo, nullptr, 0, nullptr, &event, &status);
    if (irp == nullptr) {
        return nullptr;
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MinorFunction = IRP_MN_QUERY_ID;
    stack->Parameters.QueryId.IdType = type;
    if (IoCallDriver(pdo, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    }
    return NT_SUCCESS(status.Status) ? reinterpret_cast<PWCHAR>(status.Information) : nullptr;
}

// \Registry\Machine\System\CurrentControlSet\Enum\<device id>\<instance id>
bool DeviceKeyPath(PDEVICE_OBJECT pdo, PathBuffer* path) {
    PWCHAR deviceId = QueryId(pdo, BusQueryDeviceID);
    PWCHAR instanceId = QueryId(pdo, BusQueryInstanceID);
    bool built = deviceId != nullptr && instanceId != nullptr &&
                 path->Append(L"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\") &&
                 path->Append(deviceId) && path->Append(L"\\") && path->Append(instanceId);
    if (deviceId != nullptr) {
        ExFreePool(deviceId);
    }
    if (instanceId != nullptr) {
        ExFreePool(instanceId);
    }
    return built;
}

/*
 * AddDeviceOf
 *
 * Loads the service's driver if it is not loaded yet and calls its
 * add-device routine over the physical device: the step Windows takes for
 * each driver of a stack, in stack order.
 */
NTSTATUS AddDeviceOf(const WCHAR* service, SIZE_T count, PDEVICE_OBJECT pdo) {
    PathBuffer registryPath;
    PathBuffer objectPath;
    if (!registryPath.Append(L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\") ||
        !registryPath.Append(service, count) || !objectPath.Append(L"\\Driver\\") ||
        !objectPath.Append(service, count)) {
        return STATUS_NAME_TOO_LONG;
    }
    UNICODE_STRING registryName = registryPath.String();
    NTSTATUS status = ZwLoadDriver(&registryName);
    if (!NT_SUCCESS(status) && status != STATUS_IMAGE_ALREADY_LOADED) {
        DbgPrint("stack_loader: loading %ws failed, %08lx\n", registryPath.Text, status);
        return status;
    }
    UNICODE_STRING objectName = objectPath.String();
    PDRIVER_OBJECT driver = nullptr;
    status = ObReferenceObjectByName(&objectName, OBJ_CASE_INSENSITIVE, nullptr, 0, nullptr,
                                     KernelMode, nullptr, reinterpret_cast<PVOID*>(&driver));
    if (!NT_SUCCESS(status)) {
        DbgPrint("stack_loader: no driver object %ws, %08lx\n", objectPath.Text, status);
        return status;
    }
    PDRIVER_ADD_DEVICE addDevice = driver->DriverExtension->AddDevice;
    status = addDevice != nullptr ? addDevice(driver, pdo) : STATUS_NOT_IMPLEMENTED;
    DbgPrint("stack_loader: add-device of %ws returned %08lx\n", objectPath.Text, status);
    ObDereferenceObject(driver);
    return status;
}

// Each name of a multi-string value in turn, stopping at the first failure.
NTSTATUS AddDevicesOf(PathBuffer& deviceKey, const WCHAR* valueName, PDEVICE_OBJECT pdo) {
    PKEY_VALUE_PARTIAL_INFORMATION value = ReadValue(deviceKey, valueName);
    if (value == nullptr) {
        return STATUS_SUCCESS;  // no filters of this kind
    }
    NTSTATUS status = STATUS_SUCCESS;
    if (value->Type == REG_MULTI_SZ || value->Type == REG_SZ) {
        const WCHAR* name = reinterpret_cast<const WCHAR*>(value->Data);
        const WCHAR* end = name + value->DataLength / sizeof(WCHAR);
        while (name < end && *name != L'\0' && NT_SUCCESS(status)) {
            SIZE_T count = wcslen(name);
            status = AddDeviceOf(name, count, pdo);
            name += count + 1;
        }
    }
    ExFreePoolWithTag(value, kLoaderTag);
    return status;
}

/*
 * DescribeDevice
 *
 * One entry of StackDevices, written at `at` with its terminating NUL;
 * `*next` receives the character after it. False if it does not fit before
 * `end`.
 */
bool DescribeDevice(PDEVICE_OBJECT device, WCHAR* at, const WCHAR* end, WCHAR** next) {
    const UNICODE_STRING& driver = device->DriverObject->DriverName;
    union {
        OBJECT_NAME_INFORMATION Info;
        UCHAR Bytes[sizeof(OBJECT_NAME_INFORMATION) + kMaxPath * sizeof(WCHAR)];
    } name;
    ULONG returned = 0;
    NTSTATUS status = ObQueryNameString(device, &name.Info, sizeof(name), &returned);
    WCHAR unknown[] = L"(name unknown, ########)";
    const WCHAR* suffix = nullptr;
    SIZE_T suffixCount = 0;
    if (!NT_SUCCESS(status)) {
        WCHAR* digits = unknown + wcslen(unknown) - 1;
        for (ULONG value = static_cast<ULONG>(status); *--digits == L'#'; value >>= 4) {
            *digits = L"0123456789abcdef"[value & 0xF];
        }
        suffix = unknown;
        suffixCount = wcslen(unknown);
    } else if (name.Info.Name.Length != 0) {
        suffix = name.Info.Name.Buffer;
        suffixCount = name.Info.Name.Length / sizeof(WCHAR);
    }
    SIZE_T driverCount = driver.Length / sizeof(WCHAR);
    SIZE_T count = driverCount + (suffix != nullptr ? 1 + suffixCount : 0);
    if (at + count + 1 > end) {
        return false;
    }
    RtlCopyMemory(at, driver.Buffer, driverCount * sizeof(WCHAR));
    at += driverCount;
    if (suffix != nullptr) {
        *at++ = L' ';
        RtlCopyMemory(at, suffix, suffixCount * sizeof(WCHAR));
        at += suffixCount;
    }
    *at++ = L'\0';
    *next = at;
    return true;
}

/*
 * RecordStack
 *
 * StackDevices in the device's parameters key, walking up from the
 * physical device through each device attached above it.
 */
void RecordStack(PDEVICE_OBJECT pdo) {
    constexpr SIZE_T kCapacity = 4 * kMaxPath;
    auto* list = static_cast<WCHAR*>(
        ExAllocatePoolWithTag(PagedPool, kCapacity * sizeof(WCHAR), kLoaderTag));
    if (list == nullptr) {
        return;
    }
    WCHAR* at = list;
    bool whole = true;
    for (PDEVICE_OBJECT device = pdo; device != nullptr && whole; device = device->AttachedDevice) {
        whole = DescribeDevice(device, at, list + kCapacity - 1, &at);
    }
    *at++ = L'\0';
    HANDLE key;
    if (whole &&
        NT_SUCCESS(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_WRITE, &key))) {
        UNICODE_STRING valueName;
        RtlInitUnicodeString(&valueName, L"StackDevices");
        ZwSetValueKey(key, &valueName, 0, REG_MULTI_SZ, list,
                      static_cast<ULONG>((at - list) * sizeof(WCHAR)));
        ZwClose(key);
    }
    ExFreePoolWithTag(list, kLoaderTag);
}

/*
 * HoldStack
 *
 * Windows keeps a deleted device object while a device is still attached
 * above it, until that one detaches; Wine frees it at once. Every driver of
 * the stack removes itself the usual way (the request down first, then
 * detach from the device below, then delete its own), so under Wine each
 * detach would write into the device object the driver below has just
 * freed, and a large one (the bridge driver's) may be unmapped by then. A
 * reference on each device object of the stack, dropped only when this
 * driver unloads, restores Windows' order.
 */
void HoldStack(PDEVICE_OBJECT pdo) {
    for (PDEVICE_OBJECT device = pdo->AttachedDevice;
         device != nullptr && HeldCount < kMaxHeldDevices; device = device->AttachedDevice) {
        ObReferenceObject(device);
        HeldDevices[HeldCount++] = device;
    }
}

NTSTATUS NTAPI LoaderAddDevice(PDRIVER_OBJECT, PDEVICE_OBJECT pdo) {
    PathBuffer deviceKey;
    if (!DeviceKeyPath(pdo, &deviceKey)) {
        return STATUS_UNSUCCESSFUL;
    }
    NTSTATUS status = AddDevicesOf(deviceKey, L"LowerFilters", pdo);
    if (NT_SUCCESS(status)) {
        status = AddDeviceOf(FunctionService.Text, FunctionService.Length, pdo);
    }
    if (NT_SUCCESS(status)) {
        status = AddDevicesOf(deviceKey, L"UpperFilters", pdo);
    }
    RecordStack(pdo);
    HoldStack(pdo);
    return status;
}

VOID NTAPI LoaderUnload(PDRIVER_OBJECT) {
    for (ULONG i = 0; i < HeldCount; ++i) {
        ObDereferenceObject(HeldDevices[i]);
    }
    HeldCount = 0;
}

}  // namespace

extern "C" CODE_SEG("INIT")
NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    PathBuffer parameters;
    if (!parameters.Append(RegistryPath->Buffer, RegistryPath->Length / sizeof(WCHAR)) ||
        !parameters.Append(L"\\Parameters")) {
        return STATUS_NAME_TOO_LONG;
    }
    PKEY_VALUE_PARTIAL_INFORMATION value = ReadValue(parameters, L"FunctionService");
    if (value == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    bool named = value->Type == REG_SZ &&
                 FunctionService.Append(reinterpret_cast<const WCHAR*>(value->Data),
                                        wcslen(reinterpret_cast<const WCHAR*>(value->Data)));
    ExFreePoolWithTag(value, kLoaderTag);
    if (!named) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    DriverObject->DriverExtension->AddDevice = LoaderAddDevice;
    DriverObject->DriverUnload = LoaderUnload;
    return STATUS_SUCCESS;
}
