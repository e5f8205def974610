// The auto-exposure loop, one frame of statistics per step.
//
// Luminance is averaged over four frames and held against the window 100 to
// 116. A single period outside the window is not trusted: the index moves only
// when two periods agree, and then by a step that grows with the distance from
// the window, so the loop neither hunts on a flash nor crawls out of a dark
// scene.
#include "bridge_calls.h"
#include "command_values.h"
#include "loop_periods.h"
#include "sensor_commands.h"
#include "sensor_tuning.h"

namespace {

constexpr int32_t kWindowLow = 100;
constexpr int32_t kWindowHigh = 116;

// Steps towards the window, largest far from it; avg is 0..99.
int32_t DarkStep(int32_t average) {
    if (average == 0) return 14;
    if (average < 5) return 12;
    if (average < 10) return 10;
    if (average < 20) return 8;
    if (average < 30) return 6;
    if (average < 40) return 4;
    if (average < 50) return 2;
    return 1;
}

// avg is 117..255.
int32_t BrightStep(int32_t average) {
    if (average > 220) return -16;
    if (average > 210) return -14;
    if (average > 200) return -12;
    if (average > 180) return -10;
    if (average > 160) return -8;
    if (average > 140) return -6;
    if (average > 120) return -4;
    return -2;
}

// The bridge's controls are plain 32-bit numbers; stepping one must wrap
// rather than overflow.
int32_t AddStep(int32_t index, int32_t step) {
    return static_cast<int32_t>(static_cast<uint32_t>(index) + static_cast<uint32_t>(step));
}

}  // namespace

// Command 14.
void AutoExposureStep(SENSOR_COMMAND* command) {
    uint32_t statistics = 0;
    CallReadFrameStats(command, &statistics);
    const uint8_t luminance = reinterpret_cast<const uint8_t*>(&statistics)[0];

    // The count wraps after 2^32 frames without losing the four-frame phase.
    const uint32_t frames = static_cast<uint32_t>(SensorTuning.AeFrameCount) + 1;
    SensorTuning.AeFrameCount = static_cast<int32_t>(frames);
    SensorTuning.AeLumaSum += luminance;
    if (frames % kFramesPerPeriod != 0) {
        return;
    }

    const int32_t sum = SensorTuning.AeLumaSum;
    SensorTuning.AeLumaSum = 0;
    command->Device->AeHigh = kWindowHigh;
    command->Device->AeLow = kWindowLow;
    const int32_t average = sum / static_cast<int32_t>(kFramesPerPeriod);
    if (average >= kWindowLow && average <= kWindowHigh) {
        return;
    }

    const int32_t limitOn = CallGetControl(command, BRIDGE_CONTROL_EXPOSURE_LIMIT);
    const int32_t scene = CallGetControl(command, BRIDGE_CONTROL_LIMIT_OVERRIDE);
    int32_t index = CallGetControl(command, BRIDGE_CONTROL_EXPOSURE_INDEX);
    const bool capped = limitOn == 1 && scene != 3;

    bool moved;
    if (average < kWindowLow) {
        moved = CountPeriod(&SensorTuning.AeDarkCount, &SensorTuning.AeBrightCount);
        if (moved) {
            index = AddStep(index, DarkStep(average));
        }
    } else {
        moved = CountPeriod(&SensorTuning.AeBrightCount, &SensorTuning.AeDarkCount);
        if (moved) {
            index = AddStep(index, BrightStep(average));
        }
    }

    // Upper bound first, then lower: a range whose maximum lies below its
    // minimum ends at the minimum.
    if (index >= CallGetControlMax(command, BRIDGE_CONTROL_EXPOSURE_INDEX)) {
        index = CallGetControlMax(command, BRIDGE_CONTROL_EXPOSURE_INDEX);
    }
    if (index <= CallGetControlMin(command, BRIDGE_CONTROL_EXPOSURE_INDEX)) {
        index = CallGetControlMin(command, BRIDGE_CONTROL_EXPOSURE_INDEX);
    }
    if (capped && index > SensorTuning.AutoExposureLimit) {
        index = SensorTuning.AutoExposureLimit;
    }

    if (!moved) {
        return;
    }
    CallSetControl(command, BRIDGE_CONTROL_EXPOSURE_INDEX, index);
    command->Value = SignExtend(index);
    ApplyExposureIndex(command);
}
