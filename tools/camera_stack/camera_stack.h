// A camera on the user-mode kernel's test bus, stacked as the package
// installs it and the Plug and Play manager builds it: the bus's physical
// device object, orvane as a lower filter, the bridge driver's function
// device, and tessip as an upper filter on top, where the application's
// requests arrive first. Tests and tools that plug cameras in and out share
// this.
#pragma once

#include <cstdint>
#include <vector>

#include "bridge_host.h"
#include "host_kernel.h"

namespace camera_stack {

class CameraDrivers {
  public:
    // Loads orvane, the bridge driver and tessip into the current kernel;
    // cameras plugged in are brought up with `configuration`.
    explicit CameraDrivers(
        const BRIDGE_CONFIGURATION& configuration = BRIDGE_DEFAULT_CONFIGURATION);
    CameraDrivers(const CameraDrivers&) = delete;
    CameraDrivers& operator=(const CameraDrivers&) = delete;

    PDRIVER_OBJECT Orvane() const { return orvane_; }
    PDRIVER_OBJECT Bridge() const { return bridge_; }
    PDRIVER_OBJECT Tessip() const { return tessip_; }

    // Other drivers' filters on every camera plugged in from now on, as a
    // Windows machine may add them: `above` over tessip (class upper
    // filters, or device upper filters listed after tessip), bottom first,
    // and `below` under orvane, bottom first.
    void AddForeignFilters(const std::vector<PDRIVER_OBJECT>& above,
                           const std::vector<PDRIVER_OBJECT>& below);

    // Plugs a camera in: a new physical device with `pdoFlags` (the
    // buffering and power flags every device of the stack copies) and the
    // add-device sequence over it. Returns that sequence's status; `*pdo`
    // is the new physical device either way.
    NTSTATUS PlugIn(ULONG pdoFlags, PDEVICE_OBJECT* pdo);

    // Each driver's device in the stack over `pdo`, or null.
    PDEVICE_OBJECT OrvaneDevice(PDEVICE_OBJECT pdo) const;
    PDEVICE_OBJECT BridgeDevice(PDEVICE_OBJECT pdo) const;
    PDEVICE_OBJECT TessipDevice(PDEVICE_OBJECT pdo) const;

    // The last frame the bridge driver over `pdo` delivered to tessip, as
    // its frame buffer holds it (empty without a bridge device or buffer).
    // Host builds only: a Windows program compares SnapshotChecksum instead.
    std::vector<uint8_t> LastDeliveredFrame(PDEVICE_OBJECT pdo) const;

  private:
    BRIDGE_CONFIGURATION configuration_;
    PDRIVER_OBJECT orvane_;
    PDRIVER_OBJECT bridge_;
    PDRIVER_OBJECT tessip_;
    std::vector<PDRIVER_OBJECT> above_;
    std::vector<PDRIVER_OBJECT> below_;
};

}  // namespace camera_stack
