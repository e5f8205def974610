// A camera on the user-mode kernel's test bus, stacked as the Plug and Play
// manager stacks it: the bus's physical device object, the bridge driver's
// device as the function device, and orvane and tessip above it as upper
// filters, tessip on top where the application's requests arrive first.
//
// The bridge driver's WDM side is a test driver (its device, its part of
// every Plug and Play request); what it does with orvane and tessip is
// BridgeModel's. Tests and tools that plug cameras in and out share this.
#pragma once

#include "host_kernel.h"
#include "test_driver.h"

namespace camera_model {

class CameraDrivers {
  public:
    // Loads the bridge driver, orvane and tessip into the current kernel.
    CameraDrivers();
    CameraDrivers(const CameraDrivers&) = delete;
    CameraDrivers& operator=(const CameraDrivers&) = delete;

    PDRIVER_OBJECT Orvane() const { return orvane_; }
    PDRIVER_OBJECT Tessip() const { return tessip_; }
    host_kernel::TestDriver& Bridge() { return bridge_; }

    // Plugs a camera in: a new physical device with `pdoFlags` (the
    // buffering and power flags every device of the stack copies) and the
    // add-device sequence over it. Returns that sequence's status; `*pdo`
    // is the new physical device either way.
    NTSTATUS PlugIn(ULONG pdoFlags, PDEVICE_OBJECT* pdo);

    // Each filter's device in the stack over `pdo`, or NULL.
    PDEVICE_OBJECT OrvaneDevice(PDEVICE_OBJECT pdo) const;
    PDEVICE_OBJECT TessipDevice(PDEVICE_OBJECT pdo) const;

  private:
    host_kernel::TestDriver bridge_;
    PDRIVER_OBJECT orvane_;
    PDRIVER_OBJECT tessip_;
};

}  // namespace camera_model
