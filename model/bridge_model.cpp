#include "bridge_model.h"

#include <cstring>

namespace camera_model {

namespace {

constexpr SENSOR_STATUS kUnsuccessful = static_cast<SENSOR_STATUS>(0xC0000001u);
constexpr int32_t kExposureIndexMax = 90;

BridgeModel* Self(void* context) {
    return static_cast<BridgeModel*>(context);
}

// The BRIDGE_SERVICES entry points: the bridge driver's calling convention,
// the bridge model as context.
SENSOR_STATUS SENSOR_NTAPI BusWriteReadEntry(void* context, uint32_t address, uint8_t writeLength,
                                             uint8_t* write, uint8_t readLength, uint8_t* read) {
    return Self(context)->BusWriteRead(address, writeLength, write, readLength, read);
}

SENSOR_STATUS SENSOR_NTAPI BusWriteEntry(void* context, uint32_t address, uint8_t length,
                                         uint8_t* buffer) {
    return Self(context)->BusWrite(address, length, buffer);
}

SENSOR_STATUS SENSOR_NTAPI ReadEepromEntry(void* context, uint32_t offset, uint32_t length,
                                           uint32_t* bytes) {
    return Self(context)->ReadEeprom(offset, length, bytes);
}

SENSOR_STATUS SENSOR_NTAPI ReadBridgeRegEntry(void* context, uint32_t reg, uint8_t* value) {
    *value = Self(context)->Camera()->BridgeRegister(reg);
    return SENSOR_STATUS_SUCCESS;
}

SENSOR_STATUS SENSOR_NTAPI WriteBridgeRegEntry(void* context, uint32_t reg, uint8_t value) {
    Self(context)->Camera()->SetBridgeRegister(reg, value);
    return SENSOR_STATUS_SUCCESS;
}

int32_t SENSOR_NTAPI GetControlEntry(void* context, uint32_t id) {
    return Self(context)->Control(id);
}

int32_t SENSOR_NTAPI GetControlMaxEntry(void* context, uint32_t id) {
    return Self(context)->ControlMax(id);
}

int32_t SENSOR_NTAPI GetControlMinEntry(void* context, uint32_t id) {
    return Self(context)->ControlMin(id);
}

SENSOR_STATUS SENSOR_NTAPI SetControlEntry(void* context, uint32_t id, int32_t value) {
    Self(context)->Control(id) = value;
    return SENSOR_STATUS_SUCCESS;
}

SENSOR_STATUS SENSOR_NTAPI SetControlMaxEntry(void* context, uint32_t id, int32_t value) {
    Self(context)->SetControlMax(id, value);
    return SENSOR_STATUS_SUCCESS;
}

SENSOR_STATUS SENSOR_NTAPI ReadRegistryDwordEntry(void* context, const uint16_t* name, uint32_t,
                                                  uint32_t* result, uint32_t fallback) {
    return Self(context)->ReadRegistryDword(name, result, fallback);
}

SENSOR_STATUS SENSOR_NTAPI Service16Entry(void*, uint32_t) {
    return SENSOR_STATUS_SUCCESS;
}

SENSOR_STATUS SENSOR_NTAPI ReadFrameStatsEntry(void* context, uint32_t* stats) {
    *stats = Self(context)->ReadFrameStats().Packed();
    return SENSOR_STATUS_SUCCESS;
}

SENSOR_STATUS SENSOR_NTAPI Service19Entry(void*, void* scratch) {
    std::memset(scratch, 0, BRIDGE_SERVICE19_SCRATCH_BYTES);
    return SENSOR_STATUS_SUCCESS;
}

// The probe's bus table: the same sensor bus, seen through the two-entry
// interface the probe is given.
uint32_t SENSOR_NTAPI ProbeCheckAddressEntry(void*, uint32_t address) {
    return address == kSensorBusAddress ? 1 : 0;
}

uint32_t SENSOR_NTAPI ProbeWriteReadEntry(void* context, uint32_t address, uint32_t writeLength,
                                          uint8_t* write, uint32_t readLength, uint8_t* read,
                                          uint32_t) {
    if (writeLength != 1 || readLength != 2) {
        return 0;
    }
    return Self(context)->Camera()->SensorRead(address, write[0], read) ? 1 : 0;
}

}  // namespace

BridgeModel::BridgeModel(CameraModel* camera, const BridgeOptions& options)
    : camera_(camera), options_(options) {
    services_.BusWriteRead = BusWriteReadEntry;
    services_.BusWrite = BusWriteEntry;
    services_.ReadEeprom = ReadEepromEntry;
    services_.ReadBridgeReg = ReadBridgeRegEntry;
    services_.WriteBridgeReg = WriteBridgeRegEntry;
    services_.GetControl = GetControlEntry;
    services_.GetControlMax = GetControlMaxEntry;
    services_.GetControlMin = GetControlMinEntry;
    services_.SetControl = SetControlEntry;
    services_.SetControlMax = SetControlMaxEntry;
    services_.ReadRegistryDword = ReadRegistryDwordEntry;
    services_.Service16 = Service16Entry;
    services_.ReadFrameStats = ReadFrameStatsEntry;
    services_.Service19 = Service19Entry;
    probe_.ProbeCheckAddress = ProbeCheckAddressEntry;
    probe_.ProbeWriteRead = ProbeWriteReadEntry;

    device_.RateLevel = options.RateLevel;
    device_.TimingFlag = options.TimingFlag;
    device_.Flags = options.EepromPresets ? SENSOR_DEVICE_FLAG_EEPROM_PRESETS : 0;
    device_.RedOffset = 32;
    device_.BlueOffset = 32;

    controls_[BRIDGE_CONTROL_AUTO_MODE] = 1;
    controls_[BRIDGE_CONTROL_EXPOSURE_LIMIT] = 0;
    controls_[BRIDGE_CONTROL_EXPOSURE_INDEX] = 30;
    controls_[BRIDGE_CONTROL_LIMIT_OVERRIDE] = 0;
    controls_[BRIDGE_CONTROL_RED_BALANCE] = 32;
    controls_[BRIDGE_CONTROL_BLUE_BALANCE] = 32;
    controlMin_[BRIDGE_CONTROL_EXPOSURE_INDEX] = 0;
    controlMax_[BRIDGE_CONTROL_EXPOSURE_INDEX] = kExposureIndexMax;
    frame_.resize(size_t(options.SnapshotWidth) * options.SnapshotHeight * 3);
}

bool BridgeModel::Connect(PDEVICE_OBJECT pdo, PDEVICE_OBJECT snapshotFilter) {
    host_kernel::IrpResult sensor = host_kernel::QueryInterface(
        pdo, GUID_SENSOR_CONTROL_INTERFACE, reinterpret_cast<PINTERFACE>(&sensor_), sizeof(sensor_),
        SENSOR_CONTROL_INTERFACE_VERSION);
    host_kernel::IrpResult snapshot =
        host_kernel::QueryInterface(pdo, GUID_SNAPSHOT_INTERFACE,
                                    reinterpret_cast<PINTERFACE>(&snapshot_), sizeof(snapshot_),
                                    SNAPSHOT_INTERFACE_VERSION);
    if (!NT_SUCCESS(sensor.Status) || !NT_SUCCESS(snapshot.Status) || sensor_.Command0 == nullptr ||
        snapshot_.SubmitSnapshot == nullptr) {
        return false;
    }
    snapshotFilter_ = snapshotFilter;
    SNAPSHOT_IMAGE_INFO info{};
    info.ByteCount = static_cast<uint32_t>(frame_.size());
    snapshot_.SetImageInfo(snapshotFilter_, &info);
    return true;
}

bool BridgeModel::ProbeSensor() {
    uint32_t type = 0;
    uint32_t configuration = 0;
    const uint32_t found = sensor_.Probe0(this, &type, &configuration, &probe_);
    if (found == 0 || type != static_cast<uint32_t>(SENSOR_TYPE_DRIVEN)) {
        return false;
    }
    device_.SensorType = static_cast<int32_t>(type);
    device_.SensorAddress = found & 0xFF;
    return true;
}

SENSOR_COMMAND BridgeModel::Command(int32_t code, uintptr_t value, uintptr_t value2,
                                    uintptr_t value3) {
    SENSOR_COMMAND command{};
    command.Code = code;
    command.Value = value;
    command.Value2 = value2;
    command.Value3 = value3;
    command.Bridge = &services_;
    command.BridgeContext = this;
    command.Device = &device_;
    sensor_.Command0(&command);
    return command;
}

void BridgeModel::StartSensor(uint32_t flickerMode, uint32_t preset) {
    Command(SENSOR_CMD_LOAD_CALIBRATION, options_.SnapshotWidth,
            reinterpret_cast<uintptr_t>(&frameSizes_));
    Command(SENSOR_CMD_SELECT_CLOCK);
    Command(SENSOR_CMD_START_SENSOR, flickerMode, preset);
    Command(SENSOR_CMD_QUERY_RATE_VALUES);
    Command(SENSOR_CMD_LIMIT_EXPOSURE);
    Command(SENSOR_CMD_LOAD_BALANCE_CONTROLS, 1);
    Command(SENSOR_CMD_APPLY_EXPOSURE_INDEX, static_cast<uintptr_t>(controls_[BRIDGE_CONTROL_EXPOSURE_INDEX]));
}

FrameStatistics BridgeModel::StepFrame() {
    const FrameStatistics frame = camera_->Statistics();
    Command(SENSOR_CMD_AUTO_EXPOSURE_STEP);
    Command(SENSOR_CMD_AUTO_WHITE_BALANCE_STEP);
    ServeSnapshot();
    return frame;
}

void BridgeModel::ReportTrigger(uint32_t kind) {
    if (snapshotFilter_ != nullptr) {
        snapshot_.SubmitSnapshot(snapshotFilter_, nullptr, kind);
    }
}

void BridgeModel::ServeSnapshot() {
    if (snapshotFilter_ == nullptr || snapshot_.TakeSnapshotRequest(snapshotFilter_) == 0) {
        return;
    }
    frame_ = camera_->RenderRgb(options_.SnapshotWidth, options_.SnapshotHeight);
    snapshot_.SubmitSnapshot(snapshotFilter_, frame_.data(), 0);
    ++snapshotsDelivered_;
}

SENSOR_STATUS BridgeModel::BusWriteRead(uint32_t address, uint8_t writeLength,
                                        const uint8_t* write, uint8_t readLength, uint8_t* read) {
    if (writeLength != 1 || readLength != 2) {
        return kUnsuccessful;
    }
    return camera_->SensorRead(address, write[0], read) ? SENSOR_STATUS_SUCCESS : kUnsuccessful;
}

SENSOR_STATUS BridgeModel::BusWrite(uint32_t address, uint8_t length, const uint8_t* buffer) {
    if (length != 3) {
        return kUnsuccessful;
    }
    return camera_->SensorWrite(address, buffer) ? SENSOR_STATUS_SUCCESS : kUnsuccessful;
}

SENSOR_STATUS BridgeModel::ReadEeprom(uint32_t offset, uint32_t length, uint32_t* bytes) {
    uint32_t value = 0;
    for (uint32_t i = 0; i < length && i < 4; ++i) {
        value |= uint32_t(camera_->Eeprom(offset + i)) << (8 * i);
    }
    *bytes = value;
    return SENSOR_STATUS_SUCCESS;
}

SENSOR_STATUS BridgeModel::ReadRegistryDword(const uint16_t* name, uint32_t* result,
                                             uint32_t fallback) {
    std::u16string key;
    for (const uint16_t* p = name; *p != 0; ++p) {
        key.push_back(static_cast<char16_t>(*p));
    }
    auto it = registry_.find(key);
    *result = it == registry_.end() ? fallback : it->second;
    return SENSOR_STATUS_SUCCESS;
}

}  // namespace camera_model
