#include "camera_stack.h"

#include "orvane_entry.h"
#include "tessip_entry.h"

namespace camera_model {

CameraDrivers::CameraDrivers()
    : bridge_("bridge"),
      orvane_(host_kernel::LoadDriver("orvane", OrvaneDriverEntry)),
      tessip_(host_kernel::LoadDriver("tessip", TessipDriverEntry)) {}

NTSTATUS CameraDrivers::PlugIn(ULONG pdoFlags, PDEVICE_OBJECT* pdo) {
    host_kernel::PhysicalDeviceOptions options;
    options.Flags = pdoFlags;
    *pdo = host_kernel::CreatePhysicalDevice(options);
    host_kernel::StackSpec layout;
    layout.Function = bridge_.Driver();
    layout.UpperFilters = {orvane_, tessip_};
    return host_kernel::BuildDeviceStack(*pdo, layout);
}

PDEVICE_OBJECT CameraDrivers::OrvaneDevice(PDEVICE_OBJECT pdo) const {
    return host_kernel::DeviceOf(pdo, orvane_);
}

PDEVICE_OBJECT CameraDrivers::TessipDevice(PDEVICE_OBJECT pdo) const {
    return host_kernel::DeviceOf(pdo, tessip_);
}

}  // namespace camera_model
