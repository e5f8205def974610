// passthrough: a filter with nothing of its own to do, installed by the Wine
// proof above tessip, where another vendor's filter sits on real machines
// (the camera's upper filters are often more than tessip alone). It passes
// every request down unchanged, so the drivers below must work exactly as
// they do without it.
//
// Its device extension is all sentinel: filled with a known pattern at
// add-device and compared after the start, on the requests an application
// sends and after the removal. A driver below that takes this device for one of its own (the
// top of the stack is not necessarily tessip's or the bridge driver's device)
// writes its fields into that extension, and the filter sees it. The
// filter keeps everything it needs in a table of its own, never in the
// extension, so that such a write cannot derail the filter itself. The
// extension is larger than tessip's, the device it is most likely taken
// for, so that such writes land inside it rather than past its end.
//
// What it saw goes to the debugger and into this service's Parameters key,
// where the test program reads it (REG_DWORD counts, kept across devices):
//   Attached      devices attached by add-device
//   Intact        devices removed with the extension as it was written
//   Overwritten   devices whose extension was found changed (counted once)
//   OverwrittenAt offset of the first changed byte last found
#include "platform.h"

extern "C" {
DRIVER_INITIALIZE DriverEntry;
}

namespace {

constexpr ULONG kSentinelBytes = 256;
constexpr ULONG kMaxDevices = 8;  // cameras at once
constexpr USHORT kMaxPath = 512;  // characters

// Text, so that it reads as itself in a memory dump; no byte of it is zero.
const char kSentinelText[] = "passthrough sentinel ";

UCHAR SentinelByte(ULONG offset) {
    return static_cast<UCHAR>(kSentinelText[offset % (sizeof(kSentinelText) - 1)]);
}

struct Filter {
    PDEVICE_OBJECT Self;  // nullptr while the slot is free
    PDEVICE_OBJECT Lower;
    bool Reported;  // a change to the extension was counted
};

Filter Filters[kMaxDevices];

WCHAR ParametersPath[kMaxPath];
USHORT ParametersLength;  // characters

Filter* FindFilter(PDEVICE_OBJECT device) {
    for (Filter& filter : Filters) {
        if (filter.Self == device) {
            return &filter;
        }
    }
    return nullptr;
}

// A free slot, taken for `device` in one interlocked step so that the table
// needs no lock.
Filter* ClaimFilter(PDEVICE_OBJECT device) {
    for (Filter& filter : Filters) {
        if (InterlockedCompareExchangePointer(reinterpret_cast<PVOID volatile*>(&filter.Self),
                                              device, nullptr) == nullptr) {
            filter.Lower = nullptr;
            filter.Reported = false;
            return &filter;
        }
    }
    return nullptr;
}

void ReleaseFilter(Filter* filter) {
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&filter->Self), nullptr);
}

/*
 * AddToValue
 *
 * Adds `delta` to a REG_DWORD of the Parameters key (0 when absent), or
 * sets it when `replace`. Only from requests that arrive at PASSIVE_LEVEL:
 * create, device control, read and Plug and Play.
 */
void AddToValue(const WCHAR* name, ULONG delta, bool replace) {
    UNICODE_STRING keyName;
    keyName.Buffer = ParametersPath;
    keyName.Length = static_cast<USHORT>(ParametersLength * sizeof(WCHAR));
    keyName.MaximumLength = sizeof(ParametersPath);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &keyName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               nullptr, nullptr);
    HANDLE key;
    if (!NT_SUCCESS(ZwCreateKey(&key, KEY_READ | KEY_WRITE, &attributes, 0, nullptr,
                                REG_OPTION_NON_VOLATILE, nullptr))) {
        DbgPrint("passthrough: cannot open %ws\n", ParametersPath);
        return;
    }
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, name);
    ULONG value = 0;
    if (!replace) {
        UCHAR buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(ULONG)] = {};
        auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
        ULONG got = 0;
        if (NT_SUCCESS(ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, info,
                                       sizeof(buffer), &got)) &&
            info->Type == REG_DWORD && info->DataLength == sizeof(ULONG)) {
            RtlCopyMemory(&value, info->Data, sizeof(value));
        }
    }
    value += delta;
    ZwSetValueKey(key, &valueName, 0, REG_DWORD, &value, sizeof(value));
    ZwClose(key);
}

/*
 * SentinelIntact
 *
 * Compares the extension with the pattern. The first change found on a
 * device is reported once, with where it was seen; the device stays
 * counted as overwritten whatever later checks find.
 */
bool SentinelIntact(PDEVICE_OBJECT device, Filter* filter, const char* when) {
    const UCHAR* bytes = static_cast<const UCHAR*>(device->DeviceExtension);
    ULONG offset = 0;
    while (offset < kSentinelBytes && bytes[offset] == SentinelByte(offset)) {
        ++offset;
    }
    if (offset == kSentinelBytes) {
        return !filter->Reported;
    }
    if (!filter->Reported) {
        filter->Reported = true;
        DbgPrint(
            "passthrough: device %p: its extension was written by another driver: byte %lu "
            "is %02x, not %02x (found at %s)\n",
            device, offset, bytes[offset], SentinelByte(offset), when);
        AddToValue(L"Overwritten", 1, false);
        AddToValue(L"OverwrittenAt", offset, true);
    }
    return false;
}

NTSTATUS PassDown(Filter* filter, PIRP Irp) {
    IoCopyCurrentIrpStackLocationToNext(Irp);
    return IoCallDriver(filter->Lower, Irp);
}

// Create, device control and read, the requests of an application, reach
// the top of the stack at PASSIVE_LEVEL: each is a moment to look.
NTSTATUS NTAPI DispatchWatched(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    Filter* filter = FindFilter(DeviceObject);
    SentinelIntact(DeviceObject, filter, "a request from an application");
    return PassDown(filter, Irp);
}

// Everything else may come at raised IRQL, where the registry is out of
// reach; it only goes down.
NTSTATUS NTAPI DispatchPassThrough(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return PassDown(FindFilter(DeviceObject), Irp);
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PoStartNextPowerIrp(Irp);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    return PoCallDriver(FindFilter(DeviceObject)->Lower, Irp);
}

NTSTATUS NTAPI StartCompletion(PDEVICE_OBJECT, PIRP, PVOID Context) {
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

/*
 * StartDevice
 *
 * Waits for the drivers below and looks at the extension before completing:
 * the bridge driver's bring-up, inside its start, is where a driver below
 * first reaches for a device of the stack.
 */
NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject, Filter* filter, PIRP Irp) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, StartCompletion, &event, TRUE, TRUE, TRUE);
    if (IoCallDriver(filter->Lower, Irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    }
    NTSTATUS status = Irp->IoStatus.Status;
    SentinelIntact(DeviceObject, filter, "start");
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

// Looks once more after the drivers below have done their removal, the last
// moment one of them could reach for this device, then goes.
NTSTATUS RemoveDevice(PDEVICE_OBJECT DeviceObject, Filter* filter, PIRP Irp) {
    PDEVICE_OBJECT lower = filter->Lower;
    NTSTATUS status = PassDown(filter, Irp);
    if (SentinelIntact(DeviceObject, filter, "removal")) {
        AddToValue(L"Intact", 1, false);
    }
    IoDetachDevice(lower);
    ReleaseFilter(filter);
    IoDeleteDevice(DeviceObject);
    return status;
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    Filter* filter = FindFilter(DeviceObject);
    switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
        return StartDevice(DeviceObject, filter, Irp);
    case IRP_MN_REMOVE_DEVICE:
        return RemoveDevice(DeviceObject, filter, Irp);
    default:
        SentinelIntact(DeviceObject, filter, "a Plug and Play request");
        return PassDown(filter, Irp);
    }
}

/*
 * AddDevice
 *
 * An unnamed device that looks like the one below it to the I/O manager,
 * which builds requests by the top device's type and flags.
 */
NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(DriverObject, kSentinelBytes, nullptr, FILE_DEVICE_UNKNOWN, 0,
                                     FALSE, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    Filter* filter = ClaimFilter(device);
    if (filter == nullptr) {
        IoDeleteDevice(device);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    UCHAR* bytes = static_cast<UCHAR*>(device->DeviceExtension);
    for (ULONG offset = 0; offset < kSentinelBytes; ++offset) {
        bytes[offset] = SentinelByte(offset);
    }

    PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(device, PhysicalDeviceObject);
    if (lower == nullptr) {
        ReleaseFilter(filter);
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    filter->Lower = lower;
    device->Flags |= lower->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE);
    device->DeviceType = lower->DeviceType;
    device->Characteristics = lower->Characteristics;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    AddToValue(L"Attached", 1, false);
    return STATUS_SUCCESS;
}

VOID NTAPI Unload(PDRIVER_OBJECT) {}

}  // namespace

extern "C" CODE_SEG("INIT")
NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    static const WCHAR kParameters[] = L"\\Parameters";
    const USHORT length = static_cast<USHORT>(RegistryPath->Length / sizeof(WCHAR));
    if (length + ARRAYSIZE(kParameters) > kMaxPath) {
        return STATUS_NAME_TOO_LONG;
    }
    RtlCopyMemory(ParametersPath, RegistryPath->Buffer, RegistryPath->Length);
    RtlCopyMemory(ParametersPath + length, kParameters, sizeof(kParameters));
    ParametersLength = static_cast<USHORT>(length + ARRAYSIZE(kParameters) - 1);

    for (ULONG major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
        DriverObject->MajorFunction[major] = DispatchPassThrough;
    }
    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchWatched;
    DriverObject->MajorFunction[IRP_MJ_READ] = DispatchWatched;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchWatched;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    DriverObject->DriverExtension->AddDevice = AddDevice;
    DriverObject->DriverUnload = Unload;
    return STATUS_SUCCESS;
}
