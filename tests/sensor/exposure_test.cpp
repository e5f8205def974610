// Exposure timing and anti-flicker: the timing each mode sets, conversion of
// an index between timings, the exposure table over every index under several
// timings, and the commands that publish and move the index.
//
// Expectations are worked out here from the published figures (periods, the
// decade table, the gain-code groups, the row length), not by asking the
// driver's own tables.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sensor_fixture.h"
#include "value_fields.h"

namespace {

struct Timing {
    uint32_t timingFlag, rateLevel, extraClock, mode;
    uint32_t step, base;
    uint16_t horizontalBlanking;  // register 5 after start-up
};

std::string Name(const Timing& t) {
    return "timing " + std::to_string(t.timingFlag) + ", rate " + std::to_string(t.rateLevel) +
           ", extra clock " + std::to_string(t.extraClock) + ", mode " + std::to_string(t.mode);
}

// Flicker periods, in pixel clocks: 30 MHz / 3 gives 83333 (60 Hz) and 100000
// (50 Hz), 60 / 3 gives 166666 and 200000, 48 / 2 gives 200000 and 240000.
// Rate level 0 and the extra clock use fixed periods.
const Timing kTimings[] = {
    {0, 0, 0, 0, 112500, 562, 560},       {0, 0, 0, 1, 270000, 270000, 560},
    {0, 0, 0, 2, 72000, 72000, 560},      {0, 0, 0, 3, 4500, 1125, 560},
    {0, 1, 0, 0, 166666, 833, 248},       {0, 1, 0, 1, 200000, 200000, 248},
    {0, 1, 0, 2, 53333, 53333, 248},      {0, 1, 0, 3, 3332, 833, 248},
    {1, 0, 0, 0, 112500, 562, 96},        {1, 0, 0, 1, 270000, 270000, 96},
    {1, 1, 0, 1, 200000, 200000, 1},      {1, 2, 0, 0, 200000, 1000, 1},
    {1, 2, 0, 1, 240000, 240000, 1},      {1, 2, 0, 2, 64000, 64000, 1},
    {1, 2, 0, 3, 4000, 1000, 1},          {0, 2, 1, 0, 225000, 1125, 248},
    {0, 1, 1, 1, 270000, 270000, 248},    {1, 5, 1, 2, 72000, 72000, 1},
    {1, 1, 1, 3, 4500, 1125, 1},
};

// The decade table: shutter multiplier and first gain entry per ten indices.
const uint32_t kMultiplier[10] = {0, 1, 3, 3, 4, 7, 12, 22, 30, 30};
const uint32_t kFirstGain[10] = {0, 0, 0, 10, 16, 20, 22, 28, 34, 44};

// Gain codes: five groups of a base plus 3 per position.
uint16_t GainCode(uint32_t entry) {
    if (entry < 10) return static_cast<uint16_t>(0x020 + 3 * entry);
    if (entry < 20) return static_cast<uint16_t>(0x0A0 + 3 * (entry - 10));
    if (entry < 30) return static_cast<uint16_t>(0x1A0 + 3 * (entry - 20));
    if (entry < 44) return static_cast<uint16_t>(0x3A0 + 3 * (entry - 30));
    return static_cast<uint16_t>(0x7A0 + 3 * (entry - 44));
}

struct Exposure {
    uint16_t rows, gain;
};

Exposure Expected(uint32_t step, uint32_t base, uint16_t blanking, uint64_t index) {
    const uint64_t decade = index >= 90 ? 9 : index / 10;
    const uint32_t k = kMultiplier[decade];
    const uint64_t clocks = uint64_t{step} * k + base + 224;
    const uint64_t rowLength = (640 + uint64_t{blanking} + 122) * 2;
    uint16_t rows = static_cast<uint16_t>(clocks / rowLength);
    if (k == 1) rows = static_cast<uint16_t>(rows - 2);
    if (k == 3) rows = static_cast<uint16_t>(rows - 4);
    return {rows, GainCode(kFirstGain[decade] + static_cast<uint32_t>(index % 10))};
}

// The index whose exposure is nearest to the old one; ties go to the larger.
uint32_t Nearest(uint32_t oldStep, uint32_t oldBase, uint32_t index, uint32_t newStep,
                 uint32_t newBase, uint32_t count) {
    const int64_t old = int64_t{oldStep} * index + oldBase;
    uint32_t best = index;
    int64_t bestDistance = INT64_MAX;
    for (uint32_t i = 0; i < count; ++i) {
        const int64_t distance = std::llabs(int64_t{newStep} * i + newBase - old);
        if (distance <= bestDistance) {
            best = i;
            bestDistance = distance;
        }
    }
    return best;
}

class ExposureTest : public SensorTest {
  protected:
    // Commands 2, 0 and 3 as the bridge driver issues them at start-up.
    void StartUp(const Timing& t) {
        SensorTuning = SensorTuningAtLoad;
        bridge.device.TimingFlag = t.timingFlag;
        bridge.device.RateLevel = t.rateLevel;
        bridge.registry.clear();
        if (t.extraClock) {
            bridge.registry[u"MIC0360_USE_Extra_Clock"] = 1;
        }
        FRAME_SIZES sizes{};
        Command(SENSOR_CMD_LOAD_CALIBRATION, 0, reinterpret_cast<uintptr_t>(&sizes));
        Command(SENSOR_CMD_SELECT_CLOCK);
        Command(SENSOR_CMD_START_SENSOR, t.mode, 0);
        bridge.ClearCalls();
    }

    SENSOR_COMMAND Command(int32_t code, uintptr_t value = 0, uintptr_t value2 = 0) {
        SENSOR_COMMAND command = bridge.Command(code, value, value2);
        EXPECT_EQ(Run(command), SENSOR_STATUS_SUCCESS);
        return command;
    }

    std::vector<std::string> ExposureTrace(Exposure e) const {
        return {"sensor 9=" + std::to_string(e.rows), "sensor 53=" + std::to_string(e.gain),
                bridge.device.RateLevel < 2 ? "stats" : "service19"};
    }
};

}  // namespace

TEST_F(ExposureTest, TimingForEveryModeAndClock) {
    for (const Timing& t : kTimings) {
        SensorTuning = SensorTuningAtLoad;
        bridge.device.TimingFlag = t.timingFlag;
        bridge.device.RateLevel = t.rateLevel;
        Command(SENSOR_CMD_SELECT_CLOCK);
        SensorTuning.ExtraClock = t.extraClock;
        SensorTuning.ExposureMaxConfigured = 70;
        SensorTuning.AutoExposureLimit = -5;
        bridge.ClearCalls();

        SENSOR_COMMAND command = Command(SENSOR_CMD_SET_FLICKER_TIMING, t.mode, kAllOnes);
        EXPECT_EQ(SensorTuning.ExposureStep, t.step) << Name(t);
        EXPECT_EQ(SensorTuning.ExposureBase, t.base) << Name(t);
        EXPECT_EQ(SensorTuning.ExposureMax, 70u) << Name(t);
        EXPECT_EQ(SensorTuning.AutoExposureLimit, t.mode == 3 ? -5 : 30) << Name(t);
        EXPECT_EQ(command.Value, t.mode) << Name(t);
        EXPECT_TRUE(bridge.calls.empty()) << Name(t);
    }
}

TEST_F(ExposureTest, OtherModesKeepTheTimingButStillConvert) {
    StartUp(kTimings[1]);  // 50 Hz, step = base = 270000
    SensorTuning.ExposureMaxConfigured = 70;  // not taken over: the mode sets no timing
    SensorTuning.AutoExposureLimit = 12;
    const SENSOR_TUNING before = SensorTuning;
    struct Case {
        uintptr_t mode, index, result;
    };
    const Case cases[] = {
        {4, 42, 42},
        {7, 95, 89},  // beyond the range: the last index is nearest
        {0xFFFFFFFF, 0, 0},
        {SignExtended(-2), 10, 10},
    };
    for (const Case& c : cases) {
        SENSOR_COMMAND command = Command(SENSOR_CMD_SET_FLICKER_TIMING, c.mode, c.index);
        EXPECT_EQ(command.Value, c.result) << "mode " << c.mode;
        EXPECT_EQ(SensorTuning.ExposureStep, before.ExposureStep);
        EXPECT_EQ(SensorTuning.ExposureBase, before.ExposureBase);
        EXPECT_EQ(SensorTuning.ExposureMax, before.ExposureMax);
        EXPECT_EQ(SensorTuning.AutoExposureLimit, 12);
    }
}

TEST_F(ExposureTest, NoIndexToConvertLeavesValueAlone) {
    StartUp(kTimings[0]);
    for (uintptr_t none : {uintptr_t{0xFFFFFFFF}, kAllOnes, kAbove32 | 0xFFFFFFFF}) {
        SENSOR_COMMAND command = Command(SENSOR_CMD_SET_FLICKER_TIMING, 9, none);
        EXPECT_EQ(command.Value, 9u);
        EXPECT_TRUE(bridge.calls.empty());
    }
    // The mode comes from the low 32 bits of Value.
    SENSOR_COMMAND command = Command(SENSOR_CMD_SET_FLICKER_TIMING, kAbove32 + 1, kAllOnes);
    EXPECT_EQ(SensorTuning.ExposureStep, 270000u);
    EXPECT_EQ(command.Value, kAbove32 + 1);
}

TEST_F(ExposureTest, ConversionToTheNearestIndexBetweenModes) {
    // From every start-up timing to every other mode of the same clock, every
    // index in range and a few beyond.
    for (const Timing& from : kTimings) {
        for (const Timing& to : kTimings) {
            if (to.timingFlag != from.timingFlag || to.rateLevel != from.rateLevel ||
                to.extraClock != from.extraClock) {
                continue;
            }
            StartUp(from);
            for (uint32_t index = 0; index < 100; index += (index < 95 ? 1 : 4)) {
                SensorTuning.ExposureStep = from.step;
                SensorTuning.ExposureBase = from.base;
                SENSOR_COMMAND command =
                    Command(SENSOR_CMD_SET_FLICKER_TIMING, to.mode, kAbove32 + index);
                const uint32_t expected = Nearest(from.step, from.base, index, to.step, to.base, 90);
                ASSERT_EQ(command.Value, expected)
                    << Name(from) << " to mode " << to.mode << ", index " << index;
            }
        }
    }
}

TEST_F(ExposureTest, EqualDistancesGoToTheLargerIndex) {
    StartUp(kTimings[1]);  // new timing: 270000 * (i + 1)
    SensorTuning.ExposureStep = 405000;
    SensorTuning.ExposureBase = 0;
    SENSOR_COMMAND command = Command(SENSOR_CMD_SET_FLICKER_TIMING, 1, 1);
    EXPECT_EQ(command.Value, 1u);  // 270000 and 540000 are both 135000 away

    // The old exposure wraps in 32 bits: 270000 * 65537 is 515120816 modulo
    // 2^32, above every exposure of the new range.
    command = Command(SENSOR_CMD_SET_FLICKER_TIMING, 1, 65536);
    EXPECT_EQ(command.Value, 89u);
}

TEST_F(ExposureTest, AutomaticLimitShortcut) {
    struct Case {
        int32_t control14, control15;
        uint32_t mode;
        bool limited;
        std::vector<std::string> calls;
    };
    const Case cases[] = {
        {1, 1, 0, true, {"get 14", "get 15"}},
        {-7, 1, 2, true, {"get 14", "get 15"}},
        {1, 1, 4, true, {"get 14", "get 15"}},
        {1, 1, 3, false, {"get 14", "get 15"}},  // the finest mode never takes it
        {1, 2, 0, false, {"get 14", "get 15"}},
        {0, 1, 0, false, {"get 14"}},            // control 15 is not asked
    };
    for (const Case& c : cases) {
        StartUp(kTimings[4]);
        bridge.controls[14] = c.control14;
        bridge.controls[15] = c.control15;
        SensorTuning.AutoExposureLimit = 30;
        SENSOR_COMMAND command = Command(SENSOR_CMD_SET_FLICKER_TIMING, c.mode, 60);
        EXPECT_EQ(bridge.Trace(), c.calls);
        if (c.limited) {
            EXPECT_EQ(command.Value, 30u) << "mode " << c.mode;
        } else {
            EXPECT_NE(command.Value, 30u) << "mode " << c.mode;
        }
    }
    // The limit is returned zero-extended, like every converted index.
    StartUp(kTimings[4]);
    bridge.controls[14] = bridge.controls[15] = 1;
    SensorTuning.AutoExposureLimit = -5;
    SENSOR_COMMAND command = Command(SENSOR_CMD_SET_FLICKER_TIMING, 4, 1);
    EXPECT_EQ(command.Value, uintptr_t{0xFFFFFFFB});
}

TEST_F(ExposureTest, WithoutARangeTheIndexIsKept) {
    // Calibration never loaded: ExposureMaxConfigured, hence ExposureMax, is 0.
    bridge.device.RateLevel = 0;
    SENSOR_COMMAND command = Command(SENSOR_CMD_SET_FLICKER_TIMING, 0, 57);
    EXPECT_EQ(SensorTuning.ExposureMax, 0u);
    EXPECT_EQ(command.Value, 57u);
    command = Command(SENSOR_CMD_LIMIT_EXPOSURE);
    EXPECT_EQ(bridge.controlMax[17], 0);
}

// Before any command 0 the divider is still 0. Where the period would need it
// (a non-zero rate without the extra clock) command 6 returns without a
// change; the fixed periods need no divider and still apply.
TEST_F(ExposureTest, NoClockChosenYet) {
    for (uint32_t mode = 0; mode < 4; ++mode) {
        SensorTuning = SensorTuningAtLoad;
        SensorTuning.ExposureMaxConfigured = 90;
        bridge.device.RateLevel = 1;
        bridge.ClearCalls();
        unsigned char before[sizeof SensorTuning];
        std::memcpy(before, &SensorTuning, sizeof before);
        for (uintptr_t index : {uintptr_t{5}, kAllOnes}) {
            SENSOR_COMMAND command = Command(SENSOR_CMD_SET_FLICKER_TIMING, mode, index);
            EXPECT_EQ(command.Value, mode);
            EXPECT_EQ(command.Value2, index);
            EXPECT_EQ(std::memcmp(&SensorTuning, before, sizeof before), 0) << "mode " << mode;
            EXPECT_TRUE(bridge.calls.empty());
        }
        // The start-up sequence carries on without the timing.
        SENSOR_COMMAND start = Command(SENSOR_CMD_START_SENSOR, mode, 0);
        EXPECT_EQ(SensorTuning.ExposureStep, 0u);
        EXPECT_EQ(bridge.SensorWrites().size(), 27u);
        EXPECT_EQ(start.Value2, kAllOnes);

        SensorTuning.ExtraClock = 1;
        Command(SENSOR_CMD_SET_FLICKER_TIMING, mode, kAllOnes);
        EXPECT_EQ(SensorTuning.ExposureStep, mode == 1 ? 270000u : mode == 3 ? 4500u
                                                                   : mode == 2 ? 72000u
                                                                               : 225000u);
    }
}

TEST_F(ExposureTest, ExposureTableUnderEveryTiming) {
    std::vector<uintptr_t> indices;
    for (uintptr_t i = 0; i < 100; ++i) {
        indices.push_back(i);
    }
    for (uintptr_t i : {uintptr_t{100}, uintptr_t{123}, uintptr_t{255}, uintptr_t{1000},
                        uintptr_t{0x7FFFFFFF}, uintptr_t{0xFFFFFFFF}, kAllOnes, kAbove32 + 3,
                        kAbove32 + 15}) {
        indices.push_back(i);
    }
    for (const Timing& t : kTimings) {
        StartUp(t);
        for (uintptr_t index : indices) {
            bridge.ClearCalls();
            Command(SENSOR_CMD_APPLY_EXPOSURE_INDEX, index);
            const Exposure e = Expected(t.step, t.base, t.horizontalBlanking, index);
            ASSERT_EQ(bridge.Trace(), ExposureTrace(e)) << Name(t) << ", index " << index;
            ASSERT_EQ(SensorTuning.ShutterRows, e.rows);
        }
    }
}

TEST_F(ExposureTest, ExposureFigures) {
    struct Case {
        size_t timing;
        uintptr_t index;
        uint16_t rows, gain;
    };
    const Case cases[] = {
        {1, 5, 102, 47},      // 270224 / 2644
        {1, 123, 3165, 1961},  // as 93: (270000 * 30 + 270224) / 2644
        {0, 0, 0, 32},        {3, 9, 0, 59},
        {0, 15, 40, 47},      // (112500 + 786) / 2644 = 42, less 2
        {0, 35, 123, 175},    // (337500 + 786) / 2644 = 127, less 4
    };
    for (const Case& c : cases) {
        StartUp(kTimings[c.timing]);
        Command(SENSOR_CMD_APPLY_EXPOSURE_INDEX, c.index);
        EXPECT_EQ(bridge.SensorWrites(), (std::vector<std::pair<uint8_t, uint16_t>>{
                                             {9, c.rows}, {53, c.gain}}))
            << "index " << c.index;
    }
    if (kWideFields) {
        // The whole field is the index: 2^32 + 3 is far above 90.
        StartUp(kTimings[1]);
        Command(SENSOR_CMD_APPLY_EXPOSURE_INDEX, kAbove32 + 3);
        EXPECT_EQ(bridge.SensorWrites()[1].second, 1979);
    }
}

TEST_F(ExposureTest, ExposureBeforeAnyTiming) {
    // Step, base and the shadow all 0: 224 / 244 rows, and the trims wrap.
    struct Case {
        uintptr_t index;
        uint16_t rows;
    };
    for (const Case& c : {Case{5, 0}, Case{15, 65534}, Case{25, 65532}, Case{35, 65532},
                          Case{45, 0}}) {
        bridge.ClearCalls();
        Command(SENSOR_CMD_APPLY_EXPOSURE_INDEX, c.index);
        EXPECT_EQ(bridge.SensorWrites()[0], (std::pair<uint8_t, uint16_t>{9, c.rows}));
        EXPECT_EQ(SensorTuning.SensorShadow[9], c.rows);
    }
}

TEST_F(ExposureTest, FinalCallByRate) {
    for (uint32_t rate : {0u, 1u, 2u, 3u, 0x80000000u, 0xFFFFFFFFu}) {
        bridge.device.RateLevel = rate;
        bridge.ClearCalls();
        Command(SENSOR_CMD_APPLY_EXPOSURE_INDEX, 0);
        ASSERT_EQ(bridge.calls.size(), 3u);
        EXPECT_EQ(bridge.calls[2].slot, rate < 2 ? kReadFrameStats : kService19) << "rate " << rate;
    }
}

TEST_F(ExposureTest, PublishTheRange) {
    struct Case {
        uint32_t exposureMax;
        int32_t current;
        std::vector<std::string> calls;
    };
    const Case cases[] = {
        {90, 90, {"setmax 17=90", "get 17"}},
        {90, 91, {"setmax 17=90", "get 17", "set 17=90"}},
        {70, 90, {"setmax 17=70", "get 17", "set 17=70"}},
        {90, -5, {"setmax 17=90", "get 17"}},  // compared signed
        {0, 1, {"setmax 17=0", "get 17", "set 17=0"}},
    };
    for (const Case& c : cases) {
        bridge.ClearCalls();
        SensorTuning.ExposureMax = c.exposureMax;
        bridge.controls[17] = c.current;
        Command(SENSOR_CMD_LIMIT_EXPOSURE);
        EXPECT_EQ(bridge.Trace(), c.calls);
    }
}

TEST_F(ExposureTest, ResetExposure) {
    struct Case {
        uintptr_t value;
        int32_t limit;
        std::vector<std::string> calls;
        uintptr_t result;
    };
    const Exposure atLimit = Expected(270000, 270000, 560, 30);
    const Exposure atOne = Expected(270000, 270000, 560, 1);
    const Exposure atMinusTwo = Expected(270000, 270000, 560, SignExtended(-2));
    auto trace = [](std::vector<std::string> head, Exposure e) {
        head.push_back("sensor 9=" + std::to_string(e.rows));
        head.push_back("sensor 53=" + std::to_string(e.gain));
        head.push_back("stats");
        return head;
    };
    const Case cases[] = {
        {1, 30, trace({"set 17=30"}, atLimit), 30},
        {1, -2, trace({"set 17=-2"}, atMinusTwo), SignExtended(-2)},
        {0, 30, trace({"service16 16", "set 17=1"}, atOne), 1},
        {2, 30, trace({"service16 16", "set 17=1"}, atOne), 1},
        // The whole field must be 1.
        {kAbove32 + 1, 30,
         kWideFields ? trace({"service16 16", "set 17=1"}, atOne) : trace({"set 17=30"}, atLimit),
         kWideFields ? 1 : 30},
    };
    for (const Case& c : cases) {
        StartUp(kTimings[1]);
        SensorTuning.AutoExposureLimit = c.limit;
        SENSOR_COMMAND command = Command(SENSOR_CMD_RESET_EXPOSURE, c.value);
        EXPECT_EQ(bridge.Trace(), c.calls) << "value " << c.value;
        EXPECT_EQ(command.Value, c.result);
    }
}

TEST_F(ExposureTest, RestartAutoExposure) {
    struct Case {
        uintptr_t value;
        int32_t control15;
        bool acts;
    };
    const Case cases[] = {
        {1, 1, true},           {kAllOnes, 1, true},    {0, 1, false},
        {1, 0, false},          {1, 2, false},          {kAbove32, 1, false},
        {kAbove32 + 5, 1, true},
    };
    const Exposure atLimit = Expected(200000, 200000, 248, 30);
    for (const Case& c : cases) {
        StartUp(kTimings[5]);
        bridge.controls[15] = c.control15;
        SENSOR_COMMAND command = Command(SENSOR_CMD_RESTART_AUTO_EXPOSURE, c.value);
        std::vector<std::string> expected = {"get 15"};
        if (c.acts) {
            expected.push_back("set 17=30");
            for (const std::string& line : ExposureTrace(atLimit)) {
                expected.push_back(line);
            }
        }
        EXPECT_EQ(bridge.Trace(), expected) << "value " << c.value << ", control 15 " << c.control15;
        EXPECT_EQ(command.Value, c.acts ? uintptr_t{30} : c.value);
    }
}
