// Exposure timing and anti-flicker: the exposure index turned into shutter
// rows and a gain code, and converted between timings.
//
// An exposure lasts ExposureStep * k + ExposureBase pixel clocks, k being the
// shutter multiplier the index selects. In the 60 Hz and 50 Hz modes one step
// of k is a whole period of mains flicker, so the picture does not beat with
// the lights whatever index the loop settles on.
#include "bridge_calls.h"
#include "command_values.h"
#include "sensor_commands.h"
#include "sensor_register.h"
#include "sensor_steps.h"
#include "sensor_tuning.h"

namespace {

// The number the bridge driver's exposure-reset service is called with;
// undocumented beyond that.
constexpr uint32_t kExposureResetNumber = 16;
constexpr uint32_t kNoIndex = 0xFFFFFFFFu;
constexpr int32_t kAutoExposureLimitAfterTiming = 30;

// The anti-flicker modes of command 6.
constexpr uint32_t kMode60Hz = 0;
constexpr uint32_t kMode50Hz = 1;
constexpr uint32_t kModeFine = 2;    // steps of 8/25 of the 60 Hz period
constexpr uint32_t kModeFinest = 3;  // steps of 4/200 of the 60 Hz period

// Fixed flicker periods, for the base rate and for the rates with the extra
// clock fitted, where the clock pair does not decide them: 1/120 s and
// 1/100 s, the flicker of 60 Hz and 50 Hz mains, of a 27 MHz clock. The base
// rate's 60 Hz mode takes half of the first.
constexpr uint32_t kFixedClockHz = 27000000;
constexpr uint32_t kFixedPeriod60Hz = kFixedClockHz / 120;      // 225000
constexpr uint32_t kFixedPeriod50Hz = kFixedClockHz / 100;      // 270000
constexpr uint32_t kBaseRatePeriod60Hz = kFixedPeriod60Hz / 2;  // 112500

// Per decade of the exposure index: the shutter multiplier k and the first
// GainTable entry; the index's last digit walks on from that entry.
struct EXPOSURE_DECADE {
    uint8_t ShutterMultiplier;
    uint8_t FirstGain;
};

constexpr EXPOSURE_DECADE kDecades[10] = {
    {0, 0}, {1, 0}, {3, 0}, {3, 10}, {4, 16}, {7, 20}, {12, 22}, {22, 28}, {30, 34}, {30, 44},
};
static_assert(kDecades[9].FirstGain + 9 < SENSOR_GAIN_TABLE_ENTRIES - 2,
              "the two zero entries at the end of the gain table are never reached");

uint32_t ExposureClocks(uint32_t multiplier) {
    return SensorTuning.ExposureStep * multiplier + SensorTuning.ExposureBase;
}

// |a - b| of two pixel-clock counts, taken through the signed 32-bit
// difference so that wrapped values compare the way the timing expects.
uint32_t ClockDistance(uint32_t a, uint32_t b) {
    const int32_t difference = static_cast<int32_t>(a - b);
    return difference < 0 ? 0u - static_cast<uint32_t>(difference)
                          : static_cast<uint32_t>(difference);
}

// The period that one shutter step is built from. Returns false when the clock
// pair has not been chosen yet (no command 0 since load): the flicker periods
// would need a division by the divider, which is still 0.
bool ChooseFlickerPeriod(const SENSOR_DEVICE* device, uint32_t mode, uint32_t* period) {
    if (device->RateLevel == 0) {
        *period = mode == kMode60Hz   ? kBaseRatePeriod60Hz
                  : mode == kMode50Hz ? kFixedPeriod50Hz
                                      : kFixedPeriod60Hz;
        return true;
    }
    if (SensorTuning.ExtraClock != 0) {
        *period = mode == kMode50Hz ? kFixedPeriod50Hz : kFixedPeriod60Hz;
        return true;
    }
    if (SensorTuning.ClockDivider == 0) {
        return false;
    }
    // Half a second of the pixel clock, then one period of the 120 Hz or
    // 100 Hz flicker that 60 Hz or 50 Hz mains produce.
    const uint32_t halfSecond = SensorTuning.SensorClock * 500000u / SensorTuning.ClockDivider;
    *period = mode == kMode50Hz ? halfSecond / 50 : halfSecond / 60;
    return true;
}

void SetExposureTiming(uint32_t mode, uint32_t period) {
    switch (mode) {
    case kMode60Hz:  // one step per flicker period
        SensorTuning.ExposureStep = period;
        SensorTuning.ExposureBase = period / 200;
        break;
    case kMode50Hz:
        SensorTuning.ExposureStep = period;
        SensorTuning.ExposureBase = period;
        break;
    case kModeFine:
        SensorTuning.ExposureStep = 8 * period / 25;
        SensorTuning.ExposureBase = 8 * period / 25;
        break;
    default:  // kModeFinest
        SensorTuning.ExposureStep = 4 * (period / 200);
        SensorTuning.ExposureBase = period / 200;
        break;
    }
    if (mode != kModeFinest) {
        SensorTuning.AutoExposureLimit = kAutoExposureLimitAfterTiming;
    }
    SensorTuning.ExposureMax = SensorTuning.ExposureMaxConfigured;
}

// The index whose exposure under the current timing is nearest to oldClocks.
// Ties go to the larger index: a later candidate at the same distance wins.
uint32_t NearestExposureIndex(uint32_t oldClocks, uint32_t fallback) {
    uint32_t best = fallback;
    uint32_t bestDistance = 0xFFFFFFFFu;
    for (uint32_t i = 0; i < SensorTuning.ExposureMax; ++i) {
        const uint32_t distance = ClockDistance(ExposureClocks(i), oldClocks);
        if (distance <= bestDistance) {
            best = i;
            bestDistance = distance;
        }
    }
    return best;
}

// The sensor's fixed overheads: pixel clocks that every exposure lasts
// beyond its timing, and columns that every row lasts beyond width and
// blanking.
constexpr uint32_t kExposureOverheadClocks = 224;
constexpr uint32_t kRowOverheadColumns = 122;

// Shutter rows for multiplier k: the exposure in pixel clocks over the row
// length in pixel clocks. The shadow supplies the register values, so the bus
// is not read.
uint16_t ComputeShutterRows(uint32_t multiplier) {
    const uint32_t clocks = ExposureClocks(multiplier) + kExposureOverheadClocks +
                            4u * ReadShadowRegister(SENSOR_EXPOSURE_ADJUST_REGISTER);
    const uint32_t rowColumns = ReadShadowRegister(SENSOR_WINDOW_WIDTH_REGISTER) +
                                ReadShadowRegister(SENSOR_HORIZONTAL_BLANKING_REGISTER) +
                                kRowOverheadColumns;
    const uint32_t clocksPerColumn = ReadShadowRegister(SENSOR_CLOCK_CONTROL_REGISTER) + 2u;
    return static_cast<uint16_t>(clocks / (rowColumns * clocksPerColumn));
}

}  // namespace

bool SetFlickerMode(const SENSOR_DEVICE* device, uint32_t mode) {
    if (mode > kModeFinest) {
        return true;  // command 6 still converts its index under the timing in force
    }
    uint32_t period;
    if (!ChooseFlickerPeriod(device, mode, &period)) {
        return false;
    }
    SetExposureTiming(mode, period);
    return true;
}

// Command 6. Chooses the exposure timing for an anti-flicker mode and converts
// an exposure index from the old timing to the new one, so the picture keeps
// its brightness across a change of mode.
void SetFlickerTiming(SENSOR_COMMAND* command) {
    const uint32_t mode = Low32(command->Value);
    const uint32_t index = Low32(command->Value2);
    const uint32_t oldClocks = ExposureClocks(index);

    if (!SetFlickerMode(command->Device, mode)) {
        // No clock chosen yet: leave the timing and the caller's value as
        // they are rather than divide by zero.
        return;
    }
    if (index == kNoIndex) {
        return;
    }

    // While the bridge runs its automatic mode with the limit on, the index
    // goes straight to the limit; the finest-step mode never takes it.
    uint32_t result;
    const int32_t autoMode = CallGetControl(command, BRIDGE_CONTROL_AUTO_MODE);
    if (autoMode != 0 && CallGetControl(command, BRIDGE_CONTROL_EXPOSURE_LIMIT) == 1 &&
        mode != kModeFinest) {
        result = static_cast<uint32_t>(SensorTuning.AutoExposureLimit);
    } else {
        result = NearestExposureIndex(oldClocks, index);
    }
    command->Value = ZeroExtend(result);
}

// Command 7. Publishes the index range in force and pulls the current index
// into it.
void LimitExposure(SENSOR_COMMAND* command) {
    const int32_t maximum = static_cast<int32_t>(SensorTuning.ExposureMax);
    CallSetControlMax(command, BRIDGE_CONTROL_EXPOSURE_INDEX, maximum);
    if (CallGetControl(command, BRIDGE_CONTROL_EXPOSURE_INDEX) > maximum) {
        CallSetControl(command, BRIDGE_CONTROL_EXPOSURE_INDEX, maximum);
    }
}

// Every index from 90 up behaves as 90 to 99. uintptr_t, as command 10's whole
// value field is its index; the other callers' int32_t converts to it
// sign-extended, which in either width puts a negative index in the top decade
// with the same last digit, 2^64 and 2^32 ending alike.
static_assert(UINT64_MAX % 10 == UINT32_MAX % 10, "a negative index's digit depends on the width");
void ProgramExposureIndex(const SENSOR_COMMAND* command, uintptr_t index) {
    const uint32_t decade = index >= 90 ? 9 : static_cast<uint32_t>(index / 10);
    const uint32_t digit = static_cast<uint32_t>(index % 10);
    const EXPOSURE_DECADE& entry = kDecades[decade];

    uint16_t rows = ComputeShutterRows(entry.ShutterMultiplier);
    // The short multipliers overshoot by a few rows; trim them.
    if (entry.ShutterMultiplier == 1) {
        rows = static_cast<uint16_t>(rows - 2);
    } else if (entry.ShutterMultiplier == 3) {
        rows = static_cast<uint16_t>(rows - 4);
    }
    SensorTuning.ShutterRows = rows;

    WriteSensorRegister(command, SENSOR_SHUTTER_REGISTER, SensorTuning.ShutterRows);
    WriteSensorRegister(command, SENSOR_GLOBAL_GAIN_REGISTER,
                        SensorTuning.GainTable[entry.FirstGain + digit]);

    // The bridge driver takes its cue to settle the new exposure from this
    // call; what it does with it differs with the rate.
    if (command->Device->RateLevel < 2) {
        uint32_t statistics = 0;
        CallReadFrameStats(command, &statistics);
    } else {
        uint8_t scratch[BRIDGE_SETTLE_EXPOSURE_SCRATCH_BYTES];
        CallSettleExposure(command, scratch);
    }
}

// Command 10. The whole value field is the index.
void ApplyExposureIndex(SENSOR_COMMAND* command) {
    ProgramExposureIndex(command, command->Value);
}

// Command 11. Value 1 puts the index to the automatic limit; anything else
// asks the bridge to reset and starts again from index 1. Answers with the
// index.
void ResetExposure(SENSOR_COMMAND* command) {
    int32_t index = 1;
    if (command->Value == 1) {
        index = SensorTuning.AutoExposureLimit;
    } else {
        CallNotifyExposureReset(command, kExposureResetNumber);
    }
    CallSetControl(command, BRIDGE_CONTROL_EXPOSURE_INDEX, index);
    command->Value = SignExtend(index);
    ProgramExposureIndex(command, index);
}

// Command 13. Control 15 is asked whatever the request, then the index goes to
// the automatic limit only when both ask for it, and is the answer.
void RestartAutoExposure(SENSOR_COMMAND* command) {
    const int32_t limitOn = CallGetControl(command, BRIDGE_CONTROL_EXPOSURE_LIMIT);
    if (Low32(command->Value) == 0 || limitOn != 1) {
        return;
    }
    const int32_t index = SensorTuning.AutoExposureLimit;
    CallSetControl(command, BRIDGE_CONTROL_EXPOSURE_INDEX, index);
    command->Value = SignExtend(index);
    ProgramExposureIndex(command, index);
}
