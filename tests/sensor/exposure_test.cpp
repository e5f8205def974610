// Exposure timing and anti-flicker: the timing each mode sets, conversion of
// an index between timings, the exposure table over every index under several
// timings, and the commands that publish and move the index.
//
// Expectations are figures worked out by hand from the published periods,
// decade table, gain codes and row length, and properties the exposure table
// and the conversion must have whatever their figures; nothing here restates
// the driver's own tables.
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
    {0, 0, 0, 0, 112500, 562, 560},    {0, 0, 0, 1, 270000, 270000, 560},
    {0, 0, 0, 2, 72000, 72000, 560},   {0, 0, 0, 3, 4500, 1125, 560},
    {0, 1, 0, 0, 166666, 833, 248},    {0, 1, 0, 1, 200000, 200000, 248},
    {0, 1, 0, 2, 53333, 53333, 248},   {0, 1, 0, 3, 3332, 833, 248},
    {1, 0, 0, 0, 112500, 562, 96},     {1, 0, 0, 1, 270000, 270000, 96},
    {1, 1, 0, 1, 200000, 200000, 1},   {1, 2, 0, 0, 200000, 1000, 1},
    {1, 2, 0, 1, 240000, 240000, 1},   {1, 2, 0, 2, 64000, 64000, 1},
    {1, 2, 0, 3, 4000, 1000, 1},       {0, 2, 1, 0, 225000, 1125, 248},
    {0, 1, 1, 1, 270000, 270000, 248}, {1, 5, 1, 2, 72000, 72000, 1},
    {1, 1, 1, 3, 4500, 1125, 1},
};

// Timings the hand-worked figures use, by their place in kTimings.
enum : size_t {
    kBase60Hz = 0,         // step 112500, base 562, row length 2644
    kBase50Hz = 1,         // step = base = 270000, row length 2644
    kBaseFine = 2,         // step = base = 72000, row length 2644
    kBaseFinest = 3,       // step 4500, base 1125, row length 2644
    kRate1At60Hz = 4,      // step 166666, base 833, row length 2020
    kRate1At50Hz = 5,      // step = base = 200000, row length 2020
    kRate2Finest = 14,     // step 4000, base 1000, row length 1526
    kExtraClock60Hz = 15,  // step 225000, base 1125, row length 2020
};

// The index range after calibration: the conversion searches 0 to 89.
constexpr uint32_t kExposureMax = 90;

// What command 10 wrote: register 9 (shutter rows) and register 53 (gain).
struct Exposure {
    uint16_t rows, gain;
};

// Length in pixel clocks of an exposure at an index under a timing, as
// command 6 compares them.
int64_t Clocks(const Timing& t, uint32_t index) {
    return int64_t{t.step} * index + t.base;
}

// The converted index is in range, no index of the new timing is nearer to
// the old exposure, and no larger one is as near: ties go to the larger.
void ExpectNearest(const Timing& from, uint32_t index, const Timing& to, uintptr_t result) {
    ASSERT_LT(result, kExposureMax);
    const int64_t old = Clocks(from, index);
    const int64_t distance = std::llabs(Clocks(to, static_cast<uint32_t>(result)) - old);
    for (uint32_t i = 0; i < kExposureMax; ++i) {
        const int64_t other = std::llabs(Clocks(to, i) - old);
        if (i > result) {
            ASSERT_GT(other, distance) << "index " << i << " is as near, and larger";
        } else {
            ASSERT_GE(other, distance) << "index " << i << " is nearer";
        }
    }
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
                bridge.device.RateLevel < 2 ? "stats" : "settle"};
    }

    // Command 10 for one index: what it wrote, once it is seen to have written
    // registers 9 and 53 and nothing else, then made the final call.
    Exposure Apply(uintptr_t index) {
        bridge.ClearCalls();
        Command(SENSOR_CMD_APPLY_EXPOSURE_INDEX, index);
        const std::vector<std::pair<uint8_t, uint16_t>> writes = bridge.SensorWrites();
        Exposure e{};
        if (writes.size() == 2) {
            e = {writes[0].second, writes[1].second};
        }
        EXPECT_EQ(bridge.Trace(), ExposureTrace(e));
        EXPECT_EQ(SensorTuning.ShutterRows, e.rows);
        return e;
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
    StartUp(kTimings[kBase50Hz]);
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
    StartUp(kTimings[kBase60Hz]);
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

TEST_F(ExposureTest, ConversionFigures) {
    // Between the timings of the base rate; old and new exposures in pixel
    // clocks, the two nearest candidates and their distances.
    struct Case {
        size_t from;
        uint32_t index;
        size_t to;
        uintptr_t result;
    };
    const Case cases[] = {
        // 270000 * 5 + 270000 = 1620000: 14 gives 1575562 (44438 short), 15
        // gives 1688062 (68062 over).
        {kBase50Hz, 5, kBase60Hz, 14},
        // 112500 * 40 + 562 = 4500562: 16 gives 4590000 (89438 over), 15
        // gives 4320000 (180562 short).
        {kBase60Hz, 40, kBase50Hz, 16},
        // 72000 * 10 + 72000 = 792000: 7 gives 788062 (3938 short).
        {kBaseFine, 10, kBase60Hz, 7},
        // 270000 * 2 + 270000 = 810000 needs index 179 of 4500 * i + 1125:
        // the last index is nearest.
        {kBase50Hz, 2, kBaseFinest, 89},
        // 4500 * 60 + 1125 = 271125 is 1125 above index 0's 270000.
        {kBaseFinest, 60, kBase50Hz, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Name(kTimings[c.from]) + ", index " + std::to_string(c.index) + " to mode " +
                     std::to_string(kTimings[c.to].mode));
        StartUp(kTimings[c.from]);
        SENSOR_COMMAND command =
            Command(SENSOR_CMD_SET_FLICKER_TIMING, kTimings[c.to].mode, c.index);
        EXPECT_EQ(command.Value, c.result);
    }
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
                SCOPED_TRACE(Name(from) + " to mode " + std::to_string(to.mode) + ", index " +
                             std::to_string(index));
                SensorTuning.ExposureStep = from.step;
                SensorTuning.ExposureBase = from.base;
                SENSOR_COMMAND command =
                    Command(SENSOR_CMD_SET_FLICKER_TIMING, to.mode, kAbove32 + index);
                ExpectNearest(from, index, to, command.Value);
                if (HasFatalFailure()) {
                    return;
                }
            }
        }
    }
}

TEST_F(ExposureTest, EqualDistancesGoToTheLargerIndex) {
    StartUp(kTimings[kBase50Hz]);  // new timing: 270000 * (i + 1)
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
        int32_t autoMode, limitOn;
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
        {0, 1, 0, false, {"get 14"}},  // the limit is not asked for
    };
    for (const Case& c : cases) {
        StartUp(kTimings[kRate1At60Hz]);
        bridge.controls[BRIDGE_CONTROL_AUTO_MODE] = c.autoMode;
        bridge.controls[BRIDGE_CONTROL_EXPOSURE_LIMIT] = c.limitOn;
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
    StartUp(kTimings[kRate1At60Hz]);
    bridge.controls[BRIDGE_CONTROL_AUTO_MODE] = bridge.controls[BRIDGE_CONTROL_EXPOSURE_LIMIT] = 1;
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
    EXPECT_EQ(bridge.controlMax[BRIDGE_CONTROL_EXPOSURE_INDEX], 0);
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
        EXPECT_EQ(SensorTuning.ExposureStep, mode == 1   ? 270000u
                                             : mode == 3 ? 4500u
                                             : mode == 2 ? 72000u
                                                         : 225000u);
    }
}

// Under every timing the ten indices of a decade share one shutter and walk up
// the gain codes, the next decade neither shortens the shutter nor starts from
// a lower gain, and every index from 90 up behaves as 90 plus its last digit.
TEST_F(ExposureTest, ExposureTableUnderEveryTiming) {
    const uintptr_t far[] = {100,        123,      255,          1000,         0x7FFFFFFF,
                             0xFFFFFFFF, kAllOnes, kAbove32 + 3, kAbove32 + 15};
    for (const Timing& t : kTimings) {
        SCOPED_TRACE(Name(t));
        StartUp(t);
        Exposure table[100];
        for (uint32_t index = 0; index < 100; ++index) {
            SCOPED_TRACE("index " + std::to_string(index));
            table[index] = Apply(index);
        }
        for (uint32_t index = 1; index < 100; ++index) {
            SCOPED_TRACE("index " + std::to_string(index));
            if (index % 10 != 0) {
                ASSERT_EQ(table[index].rows, table[index - 1].rows);
                ASSERT_GT(table[index].gain, table[index - 1].gain);
            }
            if (index >= 10) {
                ASSERT_GE(table[index].rows, table[index - 10].rows);
                ASSERT_GE(table[index].gain, table[index - 10].gain);
            }
        }
        for (uintptr_t index : far) {
            SCOPED_TRACE("index " + std::to_string(index));
            const Exposure e = Apply(index);
            // kAbove32 wraps to a small index where uintptr_t has 32 bits.
            const Exposure& same = index < 100 ? table[index] : table[90 + index % 10];
            ASSERT_EQ(e.rows, same.rows);
            ASSERT_EQ(e.gain, same.gain);
        }
    }
}

// Command 10 worked by hand from the decade table: rows = (step * k + base +
// 224) / row length, less 2 where k is 1 and 4 where k is 3, the row length
// being (640 + horizontal blanking + 122) * 2; the gain code is GainTable at
// the decade's first entry plus the last digit.
TEST_F(ExposureTest, ExposureFigures) {
    struct Case {
        size_t timing;
        uintptr_t index;
        uint16_t rows, gain;
    };
    const Case cases[] = {
        // The 50 Hz timing, step = base = 270000, row length 2644: the first
        // and last index of every decade, at the ends of its gain codes.
        {kBase50Hz, 0, 102, 32},
        {kBase50Hz, 9, 102, 59},  // k 0: 270224 / 2644
        {kBase50Hz, 10, 202, 32},
        {kBase50Hz, 19, 202, 59},  // k 1: 540224 / 2644, less 2
        {kBase50Hz, 20, 404, 32},
        {kBase50Hz, 29, 404, 59},  // k 3: 1080224 / 2644, less 4
        {kBase50Hz, 30, 404, 160},
        {kBase50Hz, 39, 404, 187},  // k 3, entries 10 to 19
        {kBase50Hz, 40, 510, 178},
        {kBase50Hz, 49, 510, 431},  // k 4: 1350224 / 2644
        {kBase50Hz, 50, 817, 416},
        {kBase50Hz, 59, 817, 443},  // k 7: 2160224 / 2644
        {kBase50Hz, 60, 1327, 422},
        {kBase50Hz, 69, 1327, 931},  // k 12: 3510224 / 2644
        {kBase50Hz, 70, 2348, 440},
        {kBase50Hz, 79, 2348, 949},  // k 22: 6210224 / 2644
        {kBase50Hz, 80, 3165, 940},
        {kBase50Hz, 89, 3165, 967},  // k 30: 8370224 / 2644
        {kBase50Hz, 90, 3165, 1952},
        {kBase50Hz, 99, 3165, 1979},  // k 30, entries 44 to 53
        {kBase50Hz, 5, 102, 47},
        {kBase50Hz, 123, 3165, 1961},  // as 93
        // Other timings, where step and base differ and the row length is
        // 2644, 2020 or 1526.
        {kBase60Hz, 0, 0, 32},
        {kBaseFinest, 9, 0, 59},
        {kBase60Hz, 15, 40, 47},           // (112500 + 786) / 2644 = 42, less 2
        {kBase60Hz, 35, 123, 175},         // (337500 + 786) / 2644 = 127, less 4
        {kBase60Hz, 95, 1276, 1967},       // (3375000 + 786) / 2644
        {kRate1At60Hz, 55, 578, 431},      // (1166662 + 1057) / 2020
        {kExtraClock60Hz, 70, 2451, 440},  // (4950000 + 1349) / 2020
        {kRate2Finest, 12, 1, 38},         // (4000 + 1224) / 1526 = 3, less 2
        {kRate2Finest, 25, 4, 47},         // (12000 + 1224) / 1526 = 8, less 4
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Name(kTimings[c.timing]) + ", index " + std::to_string(c.index));
        StartUp(kTimings[c.timing]);
        const Exposure e = Apply(c.index);
        EXPECT_EQ(e.rows, c.rows);
        EXPECT_EQ(e.gain, c.gain);
    }
    if (kWideFields) {
        // The whole field is the index: 2^32 + 3 is far above 90.
        StartUp(kTimings[kBase50Hz]);
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
    for (const Case& c :
         {Case{5, 0}, Case{15, 65534}, Case{25, 65532}, Case{35, 65532}, Case{45, 0}}) {
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
        EXPECT_EQ(bridge.calls[2].slot,
                  rate < 2 ? BRIDGE_SLOT_READ_FRAME_STATS : BRIDGE_SLOT_SETTLE_EXPOSURE)
            << "rate " << rate;
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
        bridge.controls[BRIDGE_CONTROL_EXPOSURE_INDEX] = c.current;
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
    // Under the 50 Hz timing, row length 2644. Index 30: k 3, 1080224 / 2644 =
    // 408 less 4, entry 10; index 1: k 0, 270224 / 2644, entry 1; index -2 as
    // 94: k 30, 8370224 / 2644, entry 48.
    const Exposure atLimit = {404, 160};
    const Exposure atOne = {102, 35};
    const Exposure atMinusTwo = {3165, 1964};
    auto trace = [](std::vector<std::string> head, Exposure e) {
        head.push_back("sensor 9=" + std::to_string(e.rows));
        head.push_back("sensor 53=" + std::to_string(e.gain));
        head.push_back("stats");
        return head;
    };
    const Case cases[] = {
        {1, 30, trace({"set 17=30"}, atLimit), 30},
        {1, -2, trace({"set 17=-2"}, atMinusTwo), SignExtended(-2)},
        {0, 30, trace({"exposure-reset 16", "set 17=1"}, atOne), 1},
        {2, 30, trace({"exposure-reset 16", "set 17=1"}, atOne), 1},
        // The whole field must be 1.
        {kAbove32 + 1, 30,
         kWideFields ? trace({"exposure-reset 16", "set 17=1"}, atOne)
                     : trace({"set 17=30"}, atLimit),
         kWideFields ? 1 : 30},
    };
    for (const Case& c : cases) {
        StartUp(kTimings[kBase50Hz]);
        SensorTuning.AutoExposureLimit = c.limit;
        SENSOR_COMMAND command = Command(SENSOR_CMD_RESET_EXPOSURE, c.value);
        EXPECT_EQ(bridge.Trace(), c.calls) << "value " << c.value;
        EXPECT_EQ(command.Value, c.result);
    }
}

TEST_F(ExposureTest, RestartAutoExposure) {
    struct Case {
        uintptr_t value;
        int32_t limitOn;
        bool acts;
    };
    const Case cases[] = {
        {1, 1, true},  {kAllOnes, 1, true},  {0, 1, false},           {1, 0, false},
        {1, 2, false}, {kAbove32, 1, false}, {kAbove32 + 5, 1, true},
    };
    // Index 30 at 50 Hz on rate 1: k 3, (4 * 200000 + 224) / 2020 = 396 less
    // 4, entry 10.
    const Exposure atLimit = {392, 160};
    for (const Case& c : cases) {
        StartUp(kTimings[kRate1At50Hz]);
        bridge.controls[BRIDGE_CONTROL_EXPOSURE_LIMIT] = c.limitOn;
        SENSOR_COMMAND command = Command(SENSOR_CMD_RESTART_AUTO_EXPOSURE, c.value);
        std::vector<std::string> expected = {"get 15"};
        if (c.acts) {
            expected.push_back("set 17=30");
            for (const std::string& line : ExposureTrace(atLimit)) {
                expected.push_back(line);
            }
        }
        EXPECT_EQ(bridge.Trace(), expected) << "value " << c.value << ", limit " << c.limitOn;
        EXPECT_EQ(command.Value, c.acts ? uintptr_t{30} : c.value);
    }
}
