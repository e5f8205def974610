// SENSOR_TUNING: orvane's one record of tuning state, shared by every camera
// the loaded driver serves. It holds the two closed loops (auto exposure, auto
// white balance), the exposure timing derived from clock and anti-flicker mode,
// the calibration read from EEPROM or registry, the gain table and the shadow of
// sensor registers 0 to 13.
//
// No lock guards it: the bridge driver issues commands one at a time and each
// runs to completion on the caller's thread. It is constant-initialised (no
// static constructor) and only a reload of the driver restores the initial
// values.
#pragma once

#include <stdint.h>

constexpr uint32_t SENSOR_GAIN_TABLE_ENTRIES = 56;
constexpr uint32_t SENSOR_SHADOW_REGISTERS = 14;

struct SENSOR_TUNING {
    uint32_t AwbRed;
    uint32_t AwbBlue;
    uint32_t RedRatio;
    uint32_t GreenRatio;
    uint32_t BlueRatio;
    uint16_t GainTable[SENSOR_GAIN_TABLE_ENTRIES];
    int32_t AeDarkCount;
    int32_t AeBrightCount;
    int32_t AwbRedLowCount;
    int32_t AwbRedHighCount;
    int32_t AwbBlueLowCount;
    int32_t AwbBlueHighCount;
    uint8_t BalanceCallCount;
    uint32_t RatioCalib;
    uint32_t ExtraClock;
    uint32_t AwbGreen;
    uint16_t ShutterRows;
    uint32_t DarkHigherFps;
    uint32_t ExposureMaxConfigured;
    uint32_t AwbFrameCount;
    uint32_t AwbSumRed;
    uint32_t AwbSumGreen;
    uint32_t AwbSumBlue;
    int32_t AeFrameCount;
    int32_t AeLumaSum;
    uint16_t SensorShadow[SENSOR_SHADOW_REGISTERS];
    int32_t AutoExposureLimit;
    uint32_t ExposureMax;
    uint32_t ExposureStep;
    uint32_t ExposureBase;
    uint32_t ClockControl;
    uint32_t ClockDivider;
    uint32_t SensorClock;
};

// Sensor gain codes: five groups, each a base plus 3 per position. The bases
// add the bits 0x080, 0x100, 0x200 and 0x400 one after another to 0x020.
#define SENSOR_GAIN_GROUP10(base)                                                      \
    (base), (base) + 3, (base) + 6, (base) + 9, (base) + 12, (base) + 15, (base) + 18, \
        (base) + 21, (base) + 24, (base) + 27

// Every field not named here starts at 0, which the designated initializer
// guarantees; the warning that would list each of them is off for it alone.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
inline constexpr SENSOR_TUNING SensorTuningAtLoad = {
    // No preset selected yet: the colour loop's clamp brings these into range.
    .AwbRed = 0xFFFFFFFFu,
    .AwbBlue = 0xFFFFFFFFu,
    .RedRatio = 128,
    .GreenRatio = 128,
    .BlueRatio = 128,
    .GainTable = {SENSOR_GAIN_GROUP10(0x020), SENSOR_GAIN_GROUP10(0x0A0),
                  SENSOR_GAIN_GROUP10(0x1A0), SENSOR_GAIN_GROUP10(0x3A0), 0x3A0 + 30, 0x3A0 + 33,
                  0x3A0 + 36, 0x3A0 + 39, SENSOR_GAIN_GROUP10(0x7A0), 0, 0},
};
#pragma GCC diagnostic pop

#undef SENSOR_GAIN_GROUP10

static_assert(SensorTuningAtLoad.GainTable[9] == 59);
static_assert(SensorTuningAtLoad.GainTable[10] == 160);
static_assert(SensorTuningAtLoad.GainTable[20] == 416);
static_assert(SensorTuningAtLoad.GainTable[43] == 967);
static_assert(SensorTuningAtLoad.GainTable[44] == 1952);
static_assert(SensorTuningAtLoad.GainTable[53] == 1979);
static_assert(SensorTuningAtLoad.GainTable[54] == 0 && SensorTuningAtLoad.GainTable[55] == 0);

// The driver-wide record. Defined in sensor_tuning.cpp from SensorTuningAtLoad.
// NOLINTNEXTLINE(bugprone-dynamic-static-initializers): a declaration; the definition is constinit
extern SENSOR_TUNING SensorTuning;
