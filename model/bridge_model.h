// The bridge driver's side of the camera: what the camera's own function
// driver does with orvane and tessip.
//
// It asks the device stack for both interface records, serves orvane's
// commands through a BRIDGE_SERVICES table backed by the camera model (sensor
// bus, EEPROM, bridge registers, its own controls and registry values),
// probes and starts the sensor, steps auto exposure and auto white balance
// once per frame, and answers snapshot requests by delivering a rendered
// frame to tessip. Tests and the camera simulator share it.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "camera_model.h"
#include "host_kernel.h"
#include "sensor_records.h"
#include "snapshot.h"

namespace camera_model {


struct BridgeOptions {
    uint32_t RateLevel = 0;
    uint32_t TimingFlag = 0;
    bool EepromPresets = false;  // presets in the EEPROM rather than the registry
    uint32_t SnapshotWidth = 640;
    uint32_t SnapshotHeight = 480;
};

class BridgeModel {
  public:
    BridgeModel(CameraModel* camera, const BridgeOptions& options);
    BridgeModel(const BridgeModel&) = delete;
    BridgeModel& operator=(const BridgeModel&) = delete;

    // Queries the stack over `pdo` for both records. `snapshotFilter` is
    // tessip's device object, the first argument of its record's functions.
    bool Connect(PDEVICE_OBJECT pdo, PDEVICE_OBJECT snapshotFilter);

    // Probes the bus; on success the device record carries type and address.
    bool ProbeSensor();

    // One command through Command0; the block is returned for its values.
    SENSOR_COMMAND Command(int32_t code, uintptr_t value = 0, uintptr_t value2 = 0,
                           uintptr_t value3 = 0);

    // Calibration and frame sizes, clock, start-up sequence, the exposure
    // range: the order in which the bridge driver brings the sensor up.
    void StartSensor(uint32_t flickerMode, uint32_t preset);

    // One streamed frame: an auto-exposure and an auto-white-balance step,
    // then a snapshot delivery if one was asked for. Returns the statistics
    // of the frame as the camera produced it.
    FrameStatistics StepFrame();

    // A trigger report (a frame-less SubmitSnapshot): the camera asks for a
    // snapshot, and tessip pulses one of the application's events if they
    // are switched on. `kind` picks which.
    void ReportTrigger(uint32_t kind);

    int32_t& Control(uint32_t id) { return controls_[id]; }
    void SetRegistryValue(const std::u16string& name, uint32_t value) { registry_[name] = value; }
    const SENSOR_DEVICE& Device() const { return device_; }
    const FRAME_SIZES& FrameSizes() const { return frameSizes_; }
    unsigned SnapshotsDelivered() const { return snapshotsDelivered_; }
    // The frame the last snapshot delivery handed to tessip.
    const std::vector<uint8_t>& LastSnapshot() const { return frame_; }

    // The table's services, reached from the static entry points.
    SENSOR_STATUS BusWriteRead(uint32_t address, uint8_t writeLength, const uint8_t* write,
                               uint8_t readLength, uint8_t* read);
    SENSOR_STATUS BusWrite(uint32_t address, uint8_t length, const uint8_t* buffer);
    SENSOR_STATUS ReadEeprom(uint32_t offset, uint32_t length, uint32_t* bytes);
    SENSOR_STATUS ReadRegistryDword(const uint16_t* name, uint32_t* result, uint32_t fallback);
    int32_t ControlMax(uint32_t id) { return controlMax_[id]; }
    int32_t ControlMin(uint32_t id) { return controlMin_[id]; }
    void SetControlMax(uint32_t id, int32_t value) { controlMax_[id] = value; }
    FrameStatistics ReadFrameStats() const { return camera_->Statistics(); }
    CameraModel* Camera() { return camera_; }

  private:
    void ServeSnapshot();

    CameraModel* camera_;
    BridgeOptions options_;
    BRIDGE_SERVICES services_{};
    PROBE_SERVICES probe_{};
    SENSOR_DEVICE device_{};
    FRAME_SIZES frameSizes_{};
    SENSOR_CONTROL_INTERFACE sensor_{};
    SNAPSHOT_INTERFACE snapshot_{};
    PDEVICE_OBJECT snapshotFilter_ = nullptr;
    std::map<uint32_t, int32_t> controls_;
    std::map<uint32_t, int32_t> controlMax_;
    std::map<uint32_t, int32_t> controlMin_;
    std::map<std::u16string, uint32_t> registry_;
    std::vector<uint8_t> frame_;
    unsigned snapshotsDelivered_ = 0;
};

}  // namespace camera_model
