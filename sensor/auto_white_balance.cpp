// The auto-white-balance loop, one frame of statistics per step.
//
// Red and blue are each steered towards a target derived from the green
// average and the calibrated ratios, judged on four-frame averages. As in the
// exposure loop a channel moves only when two periods agree, so one odd frame
// does not tint the picture. Green is the reference and is never regulated.
// The gains go to the bridge chip; the sensor's own colour gains stay as the
// preset left them.
#include "bridge_calls.h"
#include "loop_periods.h"
#include "sensor_commands.h"
#include "sensor_tuning.h"

namespace {

constexpr uint32_t kDeadBand = 2;  // a channel within this of its target is left alone

constexpr uint32_t kGainFloor = 32;
constexpr uint32_t kRedGainCeiling = 54;
constexpr uint32_t kBlueGainCeiling = 80;
// A gain below this is not lowered any further; the step still counts as a
// move, and the floor of the clamp puts the gain back in range.
constexpr uint32_t kSmallestGainToLower = 8;

struct COLOUR_CHANNEL {
    uint32_t* Gain;
    int32_t* LowCount;
    int32_t* HighCount;
};

uint32_t GainStep(uint32_t distance) {
    if (distance <= 5) return 1;
    if (distance <= 10) return 2;
    if (distance <= 20) return 3;
    if (distance <= 30) return 4;
    if (distance <= 40) return 5;
    return 6;
}

// Judges one channel's average against its target and, on the second period
// in the same direction, steps its gain. Returns true when the gains count as
// moved (the bridge registers are then rewritten).
bool SteerChannel(const COLOUR_CHANNEL& channel, uint32_t average, uint32_t target) {
    if (average > target && average - target > kDeadBand) {
        if (!CountPeriod(channel.HighCount, channel.LowCount)) {
            return false;
        }
        if (*channel.Gain >= kSmallestGainToLower) {
            *channel.Gain -= GainStep(average - target);
        }
        return true;
    }
    if (average < target && target - average > kDeadBand) {
        if (!CountPeriod(channel.LowCount, channel.HighCount)) {
            return false;
        }
        *channel.Gain += GainStep(target - average);
        return true;
    }
    return false;
}

// Unsigned on purpose: a gain still at its load value 0xFFFFFFFF, or one
// that wrapped, lands on the ceiling or the floor.
uint32_t ClampGain(uint32_t gain, uint32_t ceiling) {
    if (gain > ceiling) gain = ceiling;
    if (gain < kGainFloor) gain = kGainFloor;
    return gain;
}

}  // namespace

// Command 17.
void AutoWhiteBalanceStep(SENSOR_COMMAND* command) {
    uint32_t statistics = 0;
    CallReadFrameStats(command, &statistics);
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&statistics);

    SensorTuning.AwbSumRed += bytes[1];
    SensorTuning.AwbSumGreen += bytes[2];
    SensorTuning.AwbSumBlue += bytes[3];
    SensorTuning.AwbFrameCount += 1;
    if (SensorTuning.AwbFrameCount % FRAMES_PER_PERIOD != 0) {
        return;
    }

    const uint32_t red = SensorTuning.AwbSumRed / FRAMES_PER_PERIOD;
    const uint32_t green = SensorTuning.AwbSumGreen / FRAMES_PER_PERIOD;
    const uint32_t blue = SensorTuning.AwbSumBlue / FRAMES_PER_PERIOD;
    SensorTuning.AwbSumRed = 0;
    SensorTuning.AwbSumGreen = 0;
    SensorTuning.AwbSumBlue = 0;

    const uint32_t redTarget = SensorTuning.RedRatio * green / SensorTuning.GreenRatio;
    const uint32_t blueTarget = SensorTuning.BlueRatio * green / SensorTuning.GreenRatio;

    const COLOUR_CHANNEL redChannel = {&SensorTuning.AwbRed, &SensorTuning.AwbRedLowCount,
                                       &SensorTuning.AwbRedHighCount};
    const COLOUR_CHANNEL blueChannel = {&SensorTuning.AwbBlue, &SensorTuning.AwbBlueLowCount,
                                        &SensorTuning.AwbBlueHighCount};
    // Both channels are judged on every period, whatever the other did.
    const bool redMoved = SteerChannel(redChannel, red, redTarget);
    const bool blueMoved = SteerChannel(blueChannel, blue, blueTarget);

    SensorTuning.AwbRed = ClampGain(SensorTuning.AwbRed, kRedGainCeiling);
    SensorTuning.AwbBlue = ClampGain(SensorTuning.AwbBlue, kBlueGainCeiling);

    if (redMoved || blueMoved) {
        CallWriteBridgeReg(command, BRIDGE_RED_GAIN_REGISTER,
                           static_cast<uint8_t>(SensorTuning.AwbRed));
        CallWriteBridgeReg(command, BRIDGE_GREEN_GAIN_REGISTER,
                           static_cast<uint8_t>(SensorTuning.AwbGreen));
        CallWriteBridgeReg(command, BRIDGE_BLUE_GAIN_REGISTER,
                           static_cast<uint8_t>(SensorTuning.AwbBlue));
    }
}
