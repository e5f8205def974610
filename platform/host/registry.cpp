// The registry as drivers see it here: none. No device has a parameters key,
// so a driver that reads one takes its defaults, and a key handle passed to
// the value and close routines cannot have come from this kernel: that is a
// driver bug, reported as a fault.
#include "kernel_internal.h"

namespace host_kernel {
namespace detail {

extern "C" {

NTSTATUS NTAPI IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG, ACCESS_MASK,
                                       PHANDLE DevInstRegKey) {
    CheckIrql(PASSIVE_LEVEL, "IoOpenDeviceRegistryKey");
    if (DeviceObject == nullptr || DevInstRegKey == nullptr) {
        Fault("IoOpenDeviceRegistryKey without a device object or a place for the handle");
        return STATUS_INVALID_PARAMETER;
    }
    *DevInstRegKey = nullptr;
    return STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING, KEY_VALUE_INFORMATION_CLASS,
                               PVOID, ULONG, PULONG) {
    CheckIrql(PASSIVE_LEVEL, "ZwQueryValueKey");
    Fault("ZwQueryValueKey on %p, which is not a key this kernel opened", KeyHandle);
    return STATUS_INVALID_HANDLE;
}

NTSTATUS NTAPI ZwClose(HANDLE Handle) {
    CheckIrql(PASSIVE_LEVEL, "ZwClose");
    Fault("ZwClose of %p, which is not a handle this kernel gave a driver", Handle);
    return STATUS_INVALID_HANDLE;
}

}  // extern "C"

}  // namespace detail
}  // namespace host_kernel
