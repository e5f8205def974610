// Driver and device objects: loading and unloading drivers, creating,
// attaching, detaching and deleting devices, with the checks Driver
// Verifier makes on them (deleted while attached, deleted twice, devices
// left at unload).
#include "kernel_internal.h"

#include <cstdlib>

namespace host_kernel {
namespace detail {

NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT device, PIRP irp) {
    (void)device;
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

namespace {

std::u16string Widen(const std::string& text) {
    return std::u16string(text.begin(), text.end());
}

void SetString(UNICODE_STRING& target, std::u16string& storage) {
    target.Buffer = storage.data();
    target.Length = static_cast<USHORT>(storage.size() * sizeof(WCHAR));
    target.MaximumLength = static_cast<USHORT>(target.Length + sizeof(WCHAR));
}

size_t LiveDevicesOf(PDRIVER_OBJECT driver) {
    size_t count = 0;
    for (PDEVICE_OBJECT device = driver->DeviceObject; device; device = device->NextDevice) count++;
    return count;
}

}  // namespace

DriverRecord* FindDriverRecord(PDRIVER_OBJECT driver) {
    auto found = K().DriverByObject.find(driver);
    return found == K().DriverByObject.end() ? nullptr : found->second;
}

DeviceRecord* FindDevice(PDEVICE_OBJECT device) {
    auto found = K().Devices.find(device);
    return found == K().Devices.end() ? nullptr : found->second.get();
}

}  // namespace detail

using namespace detail;

void MarkTestDouble(PDRIVER_OBJECT driver) {
    std::lock_guard<std::mutex> guard(K().Lock);
    if (DriverRecord* record = FindDriverRecord(driver)) record->TestDouble = true;
}

PDRIVER_OBJECT LoadDriver(const char* name, PDRIVER_INITIALIZE entry, NTSTATUS* status) {
    DriverRecord* record;
    PDRIVER_OBJECT driver;
    std::u16string registryPath;
    {
        std::lock_guard<std::mutex> guard(K().Lock);
        auto owned = std::make_unique<DriverRecord>();
        record = owned.get();
        record->Name = name;
        record->DriverName = u"\\Driver\\" + Widen(name);
        record->ServiceKey = Widen(name);
        driver = static_cast<PDRIVER_OBJECT>(calloc(1, sizeof(DRIVER_OBJECT)));
        driver->Type = IO_TYPE_DRIVER;
        driver->Size = sizeof(DRIVER_OBJECT);
        driver->DriverExtension =
            static_cast<PDRIVER_EXTENSION>(calloc(1, sizeof(DRIVER_EXTENSION)));
        driver->DriverExtension->DriverObject = driver;
        SetString(driver->DriverName, record->DriverName);
        SetString(driver->DriverExtension->ServiceKeyName, record->ServiceKey);
        driver->DriverInit = entry;
        for (auto& dispatch : driver->MajorFunction) dispatch = InvalidDeviceRequest;
        record->Object = driver;
        K().DriverByObject[driver] = record;
        K().Drivers.push_back(std::move(owned));
    }
    registryPath = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + Widen(name);
    UNICODE_STRING path;
    SetString(path, registryPath);
    NTSTATUS result;
    {
        AtIrql passive(PASSIVE_LEVEL);
        ProcessScope system(SystemProcess());
        DriverScope scope(record);
        result = entry(driver, &path);
        if (ThreadIrql() != PASSIVE_LEVEL)
            Fault("DriverEntry of %s returned at IRQL %d", name, ThreadIrql());
    }
    if (status) *status = result;
    std::lock_guard<std::mutex> guard(K().Lock);
    for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; major++) {
        if (!driver->MajorFunction[major]) {
            Fault("DriverEntry of %s left MajorFunction[%s] NULL", name,
                  IrpName(static_cast<UCHAR>(major), 0).c_str());
            driver->MajorFunction[major] = InvalidDeviceRequest;
        }
    }
    if (!NT_SUCCESS(result)) {
        if (LiveDevicesOf(driver))
            Fault("DriverEntry of %s failed (0x%08x) and left device objects", name,
                  static_cast<unsigned>(result));
        record->Loaded = false;
        return nullptr;
    }
    return driver;
}

void UnloadDriver(PDRIVER_OBJECT driver) {
    DriverRecord* record;
    {
        std::lock_guard<std::mutex> guard(K().Lock);
        record = FindDriverRecord(driver);
        if (!record || !record->Loaded) {
            Fault("UnloadDriver of %p, which is not a loaded driver", static_cast<void*>(driver));
            return;
        }
        size_t left = LiveDevicesOf(driver);
        if (left)
            Fault("unload: %s still has %zu device object(s) when unloaded", record->Name.c_str(),
                  left);
        if (!driver->DriverUnload)
            Fault("unload: %s has no DriverUnload routine", record->Name.c_str());
    }
    if (driver->DriverUnload) {
        AtIrql passive(PASSIVE_LEVEL);
        ProcessScope system(SystemProcess());
        DriverScope scope(record);
        driver->DriverUnload(driver);
        if (ThreadIrql() != PASSIVE_LEVEL)
            Fault("DriverUnload of %s returned at IRQL %d", record->Name.c_str(), ThreadIrql());
    }
    {
        std::lock_guard<std::mutex> guard(K().Lock);
        record->Loaded = false;
    }
    CheckLeaksOf(record);
}

PDRIVER_OBJECT FindDriver(const char* name) {
    std::lock_guard<std::mutex> guard(K().Lock);
    for (auto& driver : K().Drivers)
        if (driver->Loaded && driver->Name == name) return driver->Object;
    return nullptr;
}

size_t LiveDevices() {
    std::lock_guard<std::mutex> guard(K().Lock);
    size_t count = 0;
    for (auto& [device, record] : K().Devices)
        if (!record->Deleted) count++;
    return count;
}

}  // namespace host_kernel

using namespace host_kernel;
using namespace host_kernel::detail;

extern "C" {

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                              PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                              ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT* DeviceObject) {
    CheckIrql(PASSIVE_LEVEL, "IoCreateDevice");
    *DeviceObject = nullptr;
    NTSTATUS injected = STATUS_INSUFFICIENT_RESOURCES;
    if (ShouldFail(Call::IoCreateDevice, &injected)) return injected;
    constexpr size_t kHead = (sizeof(DEVICE_OBJECT) + sizeof(DEVOBJ_EXTENSION) + 15) & ~size_t(15);
    size_t size = kHead + DeviceExtensionSize;
    auto* block = static_cast<UCHAR*>(calloc(1, size));
    auto* device = reinterpret_cast<PDEVICE_OBJECT>(block);
    auto* extension = reinterpret_cast<PDEVOBJ_EXTENSION>(block + sizeof(DEVICE_OBJECT));
    std::lock_guard<std::mutex> guard(K().Lock);
    DriverRecord* driver = FindDriverRecord(DriverObject);
    if (!driver) {
        free(block);
        Fault("IoCreateDevice with %p, which is not a driver object",
              static_cast<void*>(DriverObject));
        return STATUS_INVALID_PARAMETER;
    }
    device->Type = IO_TYPE_DEVICE;
    device->Size = static_cast<USHORT>(size > 0xFFFF ? 0xFFFF : size);
    device->DriverObject = DriverObject;
    device->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = device;
    device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0) |
                    (DeviceName ? DO_DEVICE_HAS_NAME : 0);
    device->Characteristics = DeviceCharacteristics;
    device->DeviceExtension = DeviceExtensionSize ? block + kHead : nullptr;
    device->DeviceType = DeviceType;
    device->StackSize = 1;
    InitializeEventHeader(&device->DeviceLock, SynchronizationEvent, true);
    device->DeviceObjectExtension = extension;
    extension->Type = 13;
    extension->Size = sizeof(DEVOBJ_EXTENSION);
    extension->DeviceObject = device;
    auto record = std::make_unique<DeviceRecord>();
    record->Object = device;
    record->Driver = driver;
    record->BlockSize = size;
    record->ExtensionSize = DeviceExtensionSize;
    record->DevicePower.DeviceState = PowerDeviceD0;
    K().Devices[device] = std::move(record);
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

PDEVICE_OBJECT NTAPI IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject) {
    while (DeviceObject->AttachedDevice) DeviceObject = DeviceObject->AttachedDevice;
    return DeviceObject;
}

PDEVICE_OBJECT NTAPI IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
    PDEVICE_OBJECT top = IoGetAttachedDevice(DeviceObject);
    ObfReferenceObject(top);
    return top;
}

PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                                 PDEVICE_OBJECT TargetDevice) {
    CheckIrql(PASSIVE_LEVEL, "IoAttachDeviceToDeviceStack");
    if (ShouldFail(Call::IoAttachDeviceToDeviceStack)) return nullptr;
    std::lock_guard<std::mutex> guard(K().Lock);
    DeviceRecord* source = FindDevice(SourceDevice);
    DeviceRecord* target = FindDevice(TargetDevice);
    if (!source || source->Deleted || !target || target->Deleted) {
        Fault(
            "IoAttachDeviceToDeviceStack(%p, %p) with a deleted device or a pointer that is not a "
            "device object",
            static_cast<void*>(SourceDevice), static_cast<void*>(TargetDevice));
        return nullptr;
    }
    if (source->AttachedTo) {
        Fault("IoAttachDeviceToDeviceStack: %s is already attached to a stack",
              DeviceName(SourceDevice).c_str());
        return nullptr;
    }
    PDEVICE_OBJECT top = IoGetAttachedDevice(TargetDevice);
    if (top == SourceDevice) {
        Fault("IoAttachDeviceToDeviceStack: %s attached to itself",
              DeviceName(SourceDevice).c_str());
        return nullptr;
    }
    top->AttachedDevice = SourceDevice;
    source->AttachedTo = top;
    SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    if (top->AlignmentRequirement > SourceDevice->AlignmentRequirement)
        SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
    SourceDevice->SectorSize = top->SectorSize;
    return top;
}

VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
    CheckIrql(PASSIVE_LEVEL, "IoDetachDevice");
    std::lock_guard<std::mutex> guard(K().Lock);
    DeviceRecord* target = FindDevice(TargetDevice);
    if (!target) {
        Fault("IoDetachDevice of %p, which is not a device object",
              static_cast<void*>(TargetDevice));
        return;
    }
    PDEVICE_OBJECT above = TargetDevice->AttachedDevice;
    if (!above) {
        Fault("IoDetachDevice: nothing is attached to %s", DeviceName(TargetDevice).c_str());
        return;
    }
    if (DeviceRecord* record = FindDevice(above)) record->AttachedTo = nullptr;
    TargetDevice->AttachedDevice = nullptr;
}

VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
    CheckIrql(PASSIVE_LEVEL, "IoDeleteDevice");
    std::lock_guard<std::mutex> guard(K().Lock);
    DeviceRecord* record = FindDevice(DeviceObject);
    if (!record) {
        Fault("IoDeleteDevice of %p, which is not a device object",
              static_cast<void*>(DeviceObject));
        return;
    }
    if (record->Deleted) {
        Fault("IoDeleteDevice: %s deleted twice", DeviceName(DeviceObject).c_str());
        return;
    }
    // A device still attached above is normal at removal (the upper driver
    // detaches once the request comes back); one not detached from below is
    // the driver's fault.
    if (record->AttachedTo)
        Fault("IoDeleteDevice: %s deleted while still attached to %s (IoDetachDevice missing)",
              DeviceName(DeviceObject).c_str(), DeviceName(record->AttachedTo).c_str());
    PDRIVER_OBJECT driver = DeviceObject->DriverObject;
    for (PDEVICE_OBJECT* link = &driver->DeviceObject; *link; link = &(*link)->NextDevice) {
        if (*link == DeviceObject) {
            *link = DeviceObject->NextDevice;
            break;
        }
    }
    record->Deleted = true;
    // The object itself stays readable (as Windows keeps it while referenced)
    // for the driver above that still has to detach; the extension goes.
    if (record->AttachedTo) {
        if (record->AttachedTo->AttachedDevice == DeviceObject)
            record->AttachedTo->AttachedDevice = DeviceObject->AttachedDevice;
        if (DeviceObject->AttachedDevice) {
            if (DeviceRecord* above = FindDevice(DeviceObject->AttachedDevice))
                above->AttachedTo = record->AttachedTo;
        }
        record->AttachedTo = nullptr;
    }
    if (DeviceObject->DeviceExtension) {
        memset(DeviceObject->DeviceExtension, 0xDD, record->ExtensionSize);
        Poison(DeviceObject->DeviceExtension, record->ExtensionSize);
    }
}

BOOLEAN NTAPI IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion) {
    return MajorVersion < 6 || (MajorVersion == 6 && MinorVersion <= 0x30);
}

}  // extern "C"
