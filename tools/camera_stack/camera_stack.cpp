#include "camera_stack.h"

#include "orvane_entry.h"
#include "tessip_entry.h"

namespace camera_stack {

CameraDrivers::CameraDrivers(const BRIDGE_CONFIGURATION& configuration)
    : configuration_(configuration),
      orvane_(host_kernel::LoadDriver("orvane", OrvaneDriverEntry)),
      bridge_(host_kernel::LoadDriver("bridge", BridgeDriverEntry)),
      tessip_(host_kernel::LoadDriver("tessip", TessipDriverEntry)) {}

void CameraDrivers::AddForeignFilters(const std::vector<PDRIVER_OBJECT>& above,
                                      const std::vector<PDRIVER_OBJECT>& below) {
    above_ = above;
    below_ = below;
}

NTSTATUS CameraDrivers::PlugIn(ULONG pdoFlags, PDEVICE_OBJECT* pdo) {
    host_kernel::PhysicalDeviceOptions options;
    options.Flags = pdoFlags;
    *pdo = host_kernel::CreatePhysicalDevice(options);
    BridgeHostConfigure(configuration_);
    host_kernel::StackSpec layout;
    layout.LowerFilters = below_;
    layout.LowerFilters.push_back(orvane_);
    layout.Function = bridge_;
    layout.UpperFilters = {tessip_};
    layout.UpperFilters.insert(layout.UpperFilters.end(), above_.begin(), above_.end());
    return host_kernel::BuildDeviceStack(*pdo, layout);
}

PDEVICE_OBJECT CameraDrivers::OrvaneDevice(PDEVICE_OBJECT pdo) const {
    return host_kernel::DeviceOf(pdo, orvane_);
}

PDEVICE_OBJECT CameraDrivers::BridgeDevice(PDEVICE_OBJECT pdo) const {
    return host_kernel::DeviceOf(pdo, bridge_);
}

PDEVICE_OBJECT CameraDrivers::TessipDevice(PDEVICE_OBJECT pdo) const {
    return host_kernel::DeviceOf(pdo, tessip_);
}

std::vector<uint8_t> CameraDrivers::LastDeliveredFrame(PDEVICE_OBJECT pdo) const {
    PDEVICE_OBJECT device = BridgeDevice(pdo);
    if (device == nullptr) return {};
    const BRIDGE_EXTENSION* extension = BridgeExtension(device);
    if (extension->FrameBuffer == nullptr) return {};
    return std::vector<uint8_t>(extension->FrameBuffer,
                                extension->FrameBuffer + extension->FrameBytes);
}

}  // namespace camera_stack
