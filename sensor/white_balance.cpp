// White-balance presets and calibration: the per-camera presets and options
// loaded from the EEPROM or the registry, preset selection on the sensor's
// colour gains, the user's balance values, and the bridge chip's colour gains
// written and the sensor's read back.
#include <stddef.h>

#include "bridge_calls.h"
#include "command_values.h"
#include "sensor_commands.h"
#include "sensor_register.h"
#include "sensor_steps.h"
#include "sensor_tuning.h"

namespace {

// A registry value name as the bridge driver's registry service takes it:
// UTF-16, zero terminated, handed over with its byte length including the
// terminator. Built at compile time, so it sits in constant data.
template <size_t N>
struct REGISTRY_NAME {
    uint16_t Text[N];
};

template <size_t N>
constexpr REGISTRY_NAME<N> MakeRegistryName(const char16_t (&text)[N]) {
    REGISTRY_NAME<N> name{};
    for (size_t i = 0; i < N; ++i) {
        name.Text[i] = static_cast<uint16_t>(text[i]);
    }
    return name;
}

constexpr auto kFluorescentName = MakeRegistryName(u"MicFluorRGB");
constexpr auto kIncandescentName = MakeRegistryName(u"MicIncndRGB");
constexpr auto kNaturalLightName = MakeRegistryName(u"MicNaturRGB");
constexpr auto kRatioName = MakeRegistryName(u"MIC0360_RG_BG_Ratio");
constexpr auto kExtraClockName = MakeRegistryName(u"MIC0360_USE_Extra_Clock");
constexpr auto kDarkHigherFpsName = MakeRegistryName(u"Use_Dark_Higher_fps");

static_assert(sizeof(kFluorescentName.Text) == 24);
static_assert(sizeof(kIncandescentName.Text) == 24);
static_assert(sizeof(kNaturalLightName.Text) == 24);
static_assert(sizeof(kRatioName.Text) == 40);
static_assert(sizeof(kExtraClockName.Text) == 48);
static_assert(sizeof(kDarkHigherFpsName.Text) == 40);

template <size_t N>
void ReadRegistryValue(const SENSOR_COMMAND* command, const REGISTRY_NAME<N>& name,
                       uint32_t* result, uint32_t defaultValue) {
    CallReadRegistryDword(command, name.Text, sizeof(name.Text), result, defaultValue);
}

constexpr uint32_t kPresetCount = 3;
constexpr uint32_t kEepromPresetOffset[kPresetCount] = {67, 70, 73};
constexpr uint32_t kEepromPresetBytes = 3;

// Presets used when the camera carries none of its own.
constexpr uint32_t kFallbackPreset = 0x242430;
constexpr uint32_t kBaseRatePreset = 0x4A50ED;
constexpr uint32_t kDefaultRatio = 0x8080;

constexpr uint32_t kExposureMaxDarkHigherFps = 70;
constexpr uint32_t kExposureMaxNormal = 90;

constexpr uint32_t kChannelRed = 1;
constexpr uint32_t kChannelGreen = 2;
constexpr uint32_t kChannelBlue = 4;
constexpr uint32_t kLargestBridgeGain = 63;
// The bridge colour-gain writes are throttled: after each write the next
// three requests are dropped.
constexpr uint8_t kBalanceCountAfterWrite = 255;
constexpr uint8_t kBalanceCallsDropped = 2;

// The user's balance values are centred on this; at it, the colour loop aims
// at the calibrated ratio.
constexpr int32_t kBalanceCentre = 32;

uint32_t CalibratedRedRatio() {
    return (SensorTuning.RatioCalib >> 8) & 0xFF;
}

uint32_t CalibratedBlueRatio() {
    return SensorTuning.RatioCalib & 0xFF;
}

// The user's balance, centred on kBalanceCentre, moves the colour loop's
// target away from the calibrated ratio by as much. The arithmetic is
// unsigned, as the ratios are.
void ApplyRedBalance(SENSOR_DEVICE* device, int32_t value) {
    device->RedOffset = value;
    SensorTuning.RedRatio =
        static_cast<uint32_t>(value) - static_cast<uint32_t>(kBalanceCentre) + CalibratedRedRatio();
}

void ApplyBlueBalance(SENSOR_DEVICE* device, int32_t value) {
    device->BlueOffset = value;
    SensorTuning.BlueRatio = static_cast<uint32_t>(value) - static_cast<uint32_t>(kBalanceCentre) +
                             CalibratedBlueRatio();
}

void LoadEepromPresets(const SENSOR_COMMAND* command, uint32_t presets[kPresetCount]) {
    for (uint32_t p = 0; p < kPresetCount; ++p) {
        presets[p] = 0;
        CallReadEeprom(command, kEepromPresetOffset[p], kEepromPresetBytes, &presets[p]);
        // A blank EEPROM, or a read that delivered nothing, still yields a
        // usable preset.
        if (presets[p] == 0) {
            presets[p] = kFallbackPreset;
        }
    }
}

// A stored value of 0 is taken as it is: only a missing value gets the default.
void LoadRegistryPresets(const SENSOR_COMMAND* command, uint32_t presets[kPresetCount]) {
    const uint32_t fallback = command->Device->RateLevel != 0 ? kFallbackPreset : kBaseRatePreset;
    presets[0] = 0;
    ReadRegistryValue(command, kFluorescentName, &presets[0], fallback);
    presets[1] = 0;
    ReadRegistryValue(command, kIncandescentName, &presets[1], fallback);
    presets[2] = 0;
    ReadRegistryValue(command, kNaturalLightName, &presets[2], fallback);
}

// Channel number to bridge colour-gain register; 0 for an unknown channel.
uint32_t BridgeGainRegister(uint32_t channel) {
    switch (channel) {
    case kChannelRed:
        return BRIDGE_RED_GAIN_REGISTER;
    case kChannelGreen:
        return BRIDGE_GREEN_GAIN_REGISTER;
    case kChannelBlue:
        return BRIDGE_BLUE_GAIN_REGISTER;
    default:
        return 0;
    }
}

// Command 18's write, throttled (see RestartBalanceGainThrottle); a request
// for an unknown channel still counts.
void WriteBridgeGain(const SENSOR_COMMAND* command, uint32_t channel, uint32_t gain) {
    SensorTuning.BalanceCallCount = static_cast<uint8_t>(SensorTuning.BalanceCallCount + 1);
    if (SensorTuning.BalanceCallCount <= kBalanceCallsDropped) {
        return;
    }
    SensorTuning.BalanceCallCount = kBalanceCountAfterWrite;

    const uint32_t reg = BridgeGainRegister(channel);
    if (reg == 0) {
        return;
    }
    if (gain > kLargestBridgeGain) {
        gain = kLargestBridgeGain;
    }
    CallWriteBridgeReg(command, reg, static_cast<uint8_t>(gain));
}

// Channel number to the sensor register that holds its gain; 0 when unknown.
uint8_t SensorGainRegister(uint32_t channel) {
    switch (channel) {
    case kChannelRed:
        return SENSOR_RED_REGISTER;
    case kChannelGreen:
        return SENSOR_GREEN1_REGISTER;
    case kChannelBlue:
        return SENSOR_BLUE_REGISTER;
    default:
        return 0;
    }
}

}  // namespace

// Part of command 2. Presets are 0xRRGGBB; in the EEPROM their bytes are
// stored blue first, which the bridge delivers as the low byte.
void LoadCalibration(SENSOR_COMMAND* command) {
    SENSOR_DEVICE* device = command->Device;
    uint32_t presets[kPresetCount];
    if (device->Flags & SENSOR_DEVICE_FLAG_EEPROM_PRESETS) {
        LoadEepromPresets(command, presets);
    } else {
        LoadRegistryPresets(command, presets);
    }
    for (uint32_t p = 0; p < kPresetCount; ++p) {
        device->PresetRgb[p][0] = (presets[p] >> 16) & 0xFF;
        device->PresetRgb[p][1] = (presets[p] >> 8) & 0xFF;
        device->PresetRgb[p][2] = presets[p] & 0xFF;
    }
    SensorTuning.AwbGreen = device->PresetRgb[0][1];

    ReadRegistryValue(command, kRatioName, &SensorTuning.RatioCalib, kDefaultRatio);
    SensorTuning.ExtraClock = 0;
    SensorTuning.RedRatio = CalibratedRedRatio();
    SensorTuning.BlueRatio = CalibratedBlueRatio();

    uint32_t extraClock = 0;
    ReadRegistryValue(command, kExtraClockName, &extraClock, 0);
    if (extraClock == 1) {
        SensorTuning.ExtraClock = 1;
    }

    ReadRegistryValue(command, kDarkHigherFpsName, &SensorTuning.DarkHigherFps, 0);
    SensorTuning.ExposureMaxConfigured =
        SensorTuning.DarkHigherFps != 0 ? kExposureMaxDarkHigherFps : kExposureMaxNormal;
}

// uintptr_t, as command 4's whole value field is the number; start-up's
// int32_t converts to it sign-extended, so a negative number is unknown.
void ProgramPreset(const SENSOR_COMMAND* command, uintptr_t preset) {
    SENSOR_DEVICE* device = command->Device;
    if (preset < kPresetCount) {
        const uint32_t* rgb = device->PresetRgb[preset];
        device->WbRed = rgb[0] & 0xFF;
        device->WbGreen = rgb[1] & 0xFF;
        device->WbBlue = rgb[2] & 0xFF;
    }
    // The colour loop starts again from the preset.
    SensorTuning.AwbRed = device->WbRed;
    SensorTuning.AwbBlue = device->WbBlue;

    WriteSensorRegister(command, SENSOR_GREEN1_REGISTER, device->WbGreen);
    WriteSensorRegister(command, SENSOR_GREEN2_REGISTER, device->WbGreen);
    WriteSensorRegister(command, SENSOR_GLOBAL_GAIN_REGISTER, device->WbGreen);
    WriteSensorRegister(command, SENSOR_BLUE_REGISTER, device->WbBlue);
    WriteSensorRegister(command, SENSOR_RED_REGISTER, device->WbRed);
}

// Command 4. An unknown preset number rewrites the sensor from the balance
// already in force.
void SelectPreset(SENSOR_COMMAND* command) {
    ProgramPreset(command, command->Value);
}

// Command 16. With a non-zero Value the user's red and blue balance come from
// bridge controls 21 and 22 and become the colour loop's ratios; with zero,
// the two controls named in Value2 and Value3 go to the bridge's red and blue
// gains through the throttled write of command 18. Answers with the blue
// balance in Value, or with the blue channel and its control's value in Value
// and Value2.
void LoadBalanceControls(SENSOR_COMMAND* command) {
    if (command->Value != 0) {
        const int32_t red = CallGetControl(command, BRIDGE_CONTROL_RED_BALANCE);
        ApplyRedBalance(command->Device, red);
        const int32_t blue = CallGetControl(command, BRIDGE_CONTROL_BLUE_BALANCE);
        ApplyBlueBalance(command->Device, blue);
        command->Value = SignExtend(blue);
        return;
    }
    const uint32_t redControl = Low32(command->Value2);
    const uint32_t blueControl = Low32(command->Value3);
    // Taken unsigned, as command 18 takes its gain: a negative one clamps high.
    const int32_t redGain = CallGetControl(command, redControl);
    WriteBridgeGain(command, kChannelRed, static_cast<uint32_t>(redGain));
    const int32_t blueGain = CallGetControl(command, blueControl);
    WriteBridgeGain(command, kChannelBlue, static_cast<uint32_t>(blueGain));
    command->Value = kChannelBlue;
    command->Value2 = SignExtend(blueGain);
}

// Part of command 5: the first two requests of command 18 after it are
// dropped, then one write goes through in every four requests.
void RestartBalanceGainThrottle() {
    SensorTuning.BalanceCallCount = 0;
}

// Command 18: Value names the channel, Value2 the gain.
void WriteBalanceGain(SENSOR_COMMAND* command) {
    WriteBridgeGain(command, Low32(command->Value), Low32(command->Value2));
}

// Command 19. A register value of 128 or more is reported as 2v - 256, the
// scale on which the bridge driver shows it. An unknown channel reads nothing
// and leaves Value as the caller set it.
void ReadSensorGain(SENSOR_COMMAND* command) {
    const uint8_t reg = SensorGainRegister(Low32(command->Value));
    if (reg == 0) {
        return;
    }
    uint32_t gain = 0;
    ReadSensorRegister(command, reg, &gain);
    if (gain >= 128) {
        gain = 2 * gain - 256;
    }
    command->Value = ZeroExtend(gain);
}

// Command 20.
void SetRedBalance(SENSOR_COMMAND* command) {
    ApplyRedBalance(command->Device, Low32Signed(command->Value));
}

// Command 21.
void SetBlueBalance(SENSOR_COMMAND* command) {
    ApplyBlueBalance(command->Device, Low32Signed(command->Value));
}
