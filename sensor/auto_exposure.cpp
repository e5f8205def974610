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
#include "sensor_steps.h"
#include "sensor_tuning.h"

namespace {

constexpr int32_t kWindowLow = 100;
constexpr int32_t kWindowHigh = 116;
// BRIDGE_CONTROL_LIMIT_OVERRIDE's value that lifts the automatic limit.
constexpr int32_t kLimitOverridden = 3;

// The step a confirmed period earns, by its average luminance (0..255):
// towards the window, and the larger the further from it. Inside the window
// nothing moves.
struct EXPOSURE_BAND {
    int32_t Lowest;
    int32_t Highest;
    int32_t Step;
};

constexpr EXPOSURE_BAND kBands[] = {
    // Too dark.
    {0, 0, 14},
    {1, 4, 12},
    {5, 9, 10},
    {10, 19, 8},
    {20, 29, 6},
    {30, 39, 4},
    {40, 49, 2},
    {50, 99, 1},
    // The window.
    {kWindowLow, kWindowHigh, 0},
    // Too bright.
    {117, 120, -2},
    {121, 140, -4},
    {141, 160, -6},
    {161, 180, -8},
    {181, 200, -10},
    {201, 210, -12},
    {211, 220, -14},
    {221, 255, -16},
};

constexpr bool BandsCoverEveryAverage() {
    int32_t next = 0;
    for (const EXPOSURE_BAND& band : kBands) {
        if (band.Lowest != next || band.Highest < band.Lowest) {
            return false;
        }
        next = band.Highest + 1;
    }
    return next == 256;
}
static_assert(BandsCoverEveryAverage(), "every average 0..255 falls in exactly one band");

int32_t StepFor(int32_t average) {
    for (const EXPOSURE_BAND& band : kBands) {
        if (average >= band.Lowest && average <= band.Highest) {
            return band.Step;
        }
    }
    return 0;  // not reached: an average of four bytes is 0..255
}

// The bridge's controls are plain 32-bit numbers; stepping one must wrap
// rather than overflow.
int32_t AddStep(int32_t index, int32_t step) {
    return static_cast<int32_t>(static_cast<uint32_t>(index) + static_cast<uint32_t>(step));
}

}  // namespace

// Command 14. Answers with the index when it moves.
void AutoExposureStep(SENSOR_COMMAND* command) {
    uint32_t statistics = 0;
    CallReadFrameStats(command, &statistics);
    const uint8_t luminance = reinterpret_cast<const uint8_t*>(&statistics)[0];

    // The count wraps after 2^32 frames without losing the four-frame phase.
    const uint32_t frames = static_cast<uint32_t>(SensorTuning.AeFrameCount) + 1;
    SensorTuning.AeFrameCount = static_cast<int32_t>(frames);
    SensorTuning.AeLumaSum += luminance;
    if (frames % FRAMES_PER_PERIOD != 0) {
        return;
    }

    const int32_t sum = SensorTuning.AeLumaSum;
    SensorTuning.AeLumaSum = 0;
    command->Device->AeHigh = kWindowHigh;
    command->Device->AeLow = kWindowLow;
    const int32_t average = sum / static_cast<int32_t>(FRAMES_PER_PERIOD);
    if (average >= kWindowLow && average <= kWindowHigh) {
        return;
    }

    const int32_t limitOn = CallGetControl(command, BRIDGE_CONTROL_EXPOSURE_LIMIT);
    const int32_t scene = CallGetControl(command, BRIDGE_CONTROL_LIMIT_OVERRIDE);
    int32_t index = CallGetControl(command, BRIDGE_CONTROL_EXPOSURE_INDEX);
    const bool capped = limitOn == 1 && scene != kLimitOverridden;

    const bool moved = average < kWindowLow
                           ? CountPeriod(&SensorTuning.AeDarkCount, &SensorTuning.AeBrightCount)
                           : CountPeriod(&SensorTuning.AeBrightCount, &SensorTuning.AeDarkCount);
    if (moved) {
        index = AddStep(index, StepFor(average));
    }

    // Upper bound first, then lower: a range whose maximum lies below its
    // minimum ends at the minimum. The maximum is asked for again rather
    // than kept from the test: the bridge driver sees both reads, and its
    // traces of every frame pin each service call.
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
    ProgramExposureIndex(command, index);
}
