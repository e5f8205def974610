// Start-up and frame format: clock selection, frame sizes, the start-up
// sequence of bridge and sensor registers, and the two bits of the mode
// register that the bridge driver switches.
#include <stddef.h>

#include "bridge_calls.h"
#include "command_values.h"
#include "sensor_commands.h"
#include "sensor_register.h"
#include "sensor_steps.h"
#include "sensor_tuning.h"

namespace {

constexpr uint32_t kSensorWidth = 640;
constexpr uint32_t kSensorHeight = 480;
constexpr uint32_t kSmallPreviewWidth = 320;
constexpr uint32_t kSmallPreviewHeight = 240;

// Bridge chip registers programmed at start-up.
constexpr uint32_t kBridgeControlRegister = 15;
constexpr uint8_t kBridgeControlKeptBits = 0x80;  // the bridge driver's; read back and kept
constexpr uint8_t kBridgeControlFastTiming = 0x0B;
constexpr uint8_t kBridgeControlNormalTiming = 0x08;
constexpr uint32_t kBridgeStartRegister = 19;
constexpr uint8_t kBridgeStartValue = 0x0C;

constexpr uint32_t kModeBit14 = 0x4000;  // of SENSOR_MODE_REGISTER
constexpr uint32_t kModeBit15 = 0x8000;

struct SENSOR_REGISTER_VALUE {
    uint8_t Register;
    uint16_t Value;
};

// The sensor's start-up sequence, in three parts around the writes that
// depend on the timing and the preset. The order is the order the sensor
// needs.
//
// First, before the blanking:
constexpr SENSOR_REGISTER_VALUE kStartBeforeBlanking[] = {
    // Undocumented: pulsed high then low before anything else is written.
    {13, 1},
    {13, 0},
    // Undocumented.
    {1, 8},
    {2, 20},
    // The full sensor array.
    {SENSOR_WINDOW_HEIGHT_REGISTER, kSensorHeight},
    {SENSOR_WINDOW_WIDTH_REGISTER, kSensorWidth},
};

// Then, after the blanking and the clock control, before the white-balance
// preset:
constexpr SENSOR_REGISTER_VALUE kStartBeforePreset[] = {
    {7, 10},  // undocumented
};

// Last, after the preset:
constexpr SENSOR_REGISTER_VALUE kStartAfterPreset[] = {
    // Undocumented.
    {61, 0x068F},
    {52, 0x0100},
    {64, 0x01E0},
    // The mode register set between two writes of undocumented register 48.
    {48, 5},
    {SENSOR_MODE_REGISTER, 0x1100},
    {48, 2},
    // Undocumented.
    {64, 0x0520},
    {82, 0x0100},
    {98, 0x041A},
    {88, 0x0038},
    {89, 0x0723},
    // The gain of exposure index 0 (GainTable entry 0), replacing the
    // preset's green.
    {SENSOR_GLOBAL_GAIN_REGISTER, 0x0020},
};

struct SENSOR_BLANKING {
    uint16_t Horizontal;
    uint16_t Vertical;
};

// Blanking by timing, as [TimingFlag != 0][RateLevel != 0]. The horizontal
// blanking enters the row length that the shutter arithmetic divides by.
constexpr SENSOR_BLANKING kBlanking[2][2] = {
    // base rate   higher rates
    {{560, 30}, {248, 17}},  // standard timing
    {{96, 42}, {1, 1}},      // alternative timing
};

template <size_t N>
void WriteSensorRegisters(const SENSOR_COMMAND* command, const SENSOR_REGISTER_VALUE (&table)[N]) {
    for (const SENSOR_REGISTER_VALUE& entry : table) {
        WriteSensorRegister(command, entry.Register, entry.Value);
    }
}

// The alternative timing at rate level 2 and above runs the 48 MHz clock with
// divider 2 (command 0); bridge register 15 is told so.
bool FastTiming(const SENSOR_DEVICE* device) {
    return device->TimingFlag != 0 && device->RateLevel >= 2;
}

void SetModeBit(SENSOR_COMMAND* command, uint32_t bit) {
    uint32_t value = 0;
    ReadSensorRegister(command, SENSOR_MODE_REGISTER, &value);
    if (command->Value != 0) {
        value |= bit;
    } else {
        value &= ~bit;
    }
    WriteSensorRegister(command, SENSOR_MODE_REGISTER, value);
    command->Value = 0;
}

}  // namespace

// Command 0. The clock and divider feed the flicker periods of command 6.
void SelectClock(SENSOR_COMMAND* command) {
    const SENSOR_DEVICE* device = command->Device;
    SensorTuning.ClockControl = 0;
    uint32_t clock;
    uint32_t divider = 3;
    if (device->TimingFlag == 0) {
        clock = device->RateLevel == 0 ? 30 : 60;
    } else if (device->RateLevel == 0) {
        clock = 45;
    } else if (device->RateLevel == 1) {
        clock = 60;
    } else {
        clock = 48;
        divider = 2;
    }
    SensorTuning.SensorClock = clock;
    SensorTuning.ClockDivider = divider;
    command->Value = ZeroExtend(clock);
    command->Value2 = ZeroExtend(divider);
}

// Command 2. Only the low 16 bits of Value carry the requested width. A
// block without a FRAME_SIZES record is refused as the entry refuses one
// without a device record, before anything is loaded.
void LoadCalibrationAndFrameSizes(SENSOR_COMMAND* command) {
    FRAME_SIZES* sizes = reinterpret_cast<FRAME_SIZES*>(command->Value2);
    if (sizes == nullptr) {
        command->Status = SENSOR_STATUS_INVALID_PARAMETER;
        return;
    }
    LoadCalibration(command);

    const uint32_t requestedWidth = command->Value & 0xFFFF;
    const bool fullPreview = command->Device->TimingFlag != 0 && requestedWidth >= kSensorWidth;
    sizes->SensorWidth = kSensorWidth;
    sizes->SensorHeight = kSensorHeight;
    sizes->PreviewWidth = fullPreview ? kSensorWidth : kSmallPreviewWidth;
    sizes->PreviewHeight = fullPreview ? kSensorHeight : kSmallPreviewHeight;
    sizes->Reserved16 = 0;
    sizes->Reserved24 = 0;
}

// Command 3. Brings the sensor up for streaming; relies on commands 2 and 0
// having loaded the calibration and chosen the clock. The order of the bridge
// and sensor writes is the order the hardware needs. Answers with the preset
// in Value and -1, command 6's "no index", in Value2.
void StartSensor(SENSOR_COMMAND* command) {
    const SENSOR_DEVICE* device = command->Device;
    const uint32_t mode = Low32(command->Value);
    const int32_t preset = Low32Signed(command->Value2);
    // Without a clock chosen the timing stays as it was, and start-up goes on.
    SetFlickerMode(device, mode);

    // The same byte carries the start value out and register 15 back in, so a
    // bridge that does not answer the read leaves bit 7 clear.
    uint8_t bridgeByte = kBridgeStartValue;
    CallWriteBridgeReg(command, kBridgeStartRegister, bridgeByte);
    CallReadBridgeReg(command, kBridgeControlRegister, &bridgeByte);
    bridgeByte = static_cast<uint8_t>(
        (bridgeByte & kBridgeControlKeptBits) |
        (FastTiming(device) ? kBridgeControlFastTiming : kBridgeControlNormalTiming));
    CallWriteBridgeReg(command, kBridgeControlRegister, bridgeByte);

    const SENSOR_BLANKING& blanking = kBlanking[device->TimingFlag != 0][device->RateLevel != 0];
    WriteSensorRegisters(command, kStartBeforeBlanking);
    WriteSensorRegister(command, SENSOR_HORIZONTAL_BLANKING_REGISTER, blanking.Horizontal);
    WriteSensorRegister(command, SENSOR_VERTICAL_BLANKING_REGISTER, blanking.Vertical);
    WriteSensorRegister(command, SENSOR_CLOCK_CONTROL_REGISTER,
                        static_cast<uint16_t>(SensorTuning.ClockControl));
    WriteSensorRegisters(command, kStartBeforePreset);

    ProgramPreset(command, preset);

    WriteSensorRegisters(command, kStartAfterPreset);
    command->Value = SignExtend(preset);
    command->Value2 = SignExtend(-1);
}

// Command 8.
void SetRegister32Bit14(SENSOR_COMMAND* command) {
    SetModeBit(command, kModeBit14);
}

// Command 9.
void SetRegister32Bit15(SENSOR_COMMAND* command) {
    SetModeBit(command, kModeBit15);
}
