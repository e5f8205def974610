// The auto-exposure loop driven by scripted statistics: the window and its
// edges, two-period hysteresis, the graded steps, clamps and cap in their
// order, and a scene that answers to the exposure the loop programs.
#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "sensor_fixture.h"
#include "value_fields.h"

namespace {

class AutoExposureTest : public SensorTest {
  protected:
    void SetUp() override {
        SensorTest::SetUp();
        bridge.controls[BRIDGE_CONTROL_EXPOSURE_INDEX] = 50;
        bridge.controlMax[BRIDGE_CONTROL_EXPOSURE_INDEX] = 1000;
        bridge.controlMin[BRIDGE_CONTROL_EXPOSURE_INDEX] = -1000;
        SensorTuning.AutoExposureLimit = 30;
    }

    SENSOR_COMMAND Step() {
        SENSOR_COMMAND command = bridge.Command(SENSOR_CMD_AUTO_EXPOSURE_STEP, 0x5A5A);
        EXPECT_EQ(Run(command), SENSOR_STATUS_SUCCESS);
        return command;
    }

    // One four-frame period; returns the command block of the deciding frame.
    SENSOR_COMMAND Period(std::initializer_list<uint8_t> luminance) {
        for (uint8_t l : luminance) {
            bridge.QueueStats(l, 0xEE, 0xEE, 0xEE);
        }
        for (size_t i = 0; i + 1 < luminance.size(); ++i) {
            Step();
        }
        return Step();
    }

    SENSOR_COMMAND Period(uint8_t luminance) {
        return Period({luminance, luminance, luminance, luminance});
    }

    int32_t Index() { return bridge.controls[BRIDGE_CONTROL_EXPOSURE_INDEX]; }
    size_t Moves() const { return bridge.CallsTo(BRIDGE_SLOT_SET_CONTROL).size(); }
};

}  // namespace

TEST_F(AutoExposureTest, WindowEdges) {
    struct Case {
        std::initializer_list<uint8_t> frames;
        int32_t dark, bright;  // counters after one period
    };
    const Case cases[] = {
        {{100, 100, 100, 103}, 0, 0},                                // average 100
        {{116, 116, 116, 116}, 0, 0}, {{116, 116, 116, 119}, 0, 0},  // 467 / 4 = 116
        {{100, 100, 100, 99}, 1, 0},                                 // 399 / 4 = 99
        {{99, 99, 99, 99}, 1, 0},     {{117, 117, 117, 117}, 0, 1},
        {{0, 0, 0, 3}, 1, 0},         {{255, 255, 255, 255}, 0, 1},
    };
    for (const Case& c : cases) {
        SensorTuning = SensorTuningAtLoad;
        bridge.ClearCalls();
        SENSOR_COMMAND command = Period(c.frames);
        EXPECT_EQ(SensorTuning.AeDarkCount, c.dark);
        EXPECT_EQ(SensorTuning.AeBrightCount, c.bright);
        EXPECT_EQ(SensorTuning.AeLumaSum, 0);
        EXPECT_EQ(command.Value, 0x5A5Au);  // no move, no answer
        std::vector<std::string> expected(4, "stats");
        if (c.dark + c.bright != 0) {
            for (const char* line : {"get 15", "get 19", "get 17", "max 17", "min 17"}) {
                expected.push_back(line);
            }
        }
        EXPECT_EQ(bridge.Trace(), expected);
    }
}

TEST_F(AutoExposureTest, WindowIsPublishedOnEveryFourthFrame) {
    bridge.device.AeLow = bridge.device.AeHigh = 0;
    bridge.QueueStats(108, 0, 0, 0, 4);
    for (int frame = 1; frame <= 3; ++frame) {
        Step();
        EXPECT_EQ(bridge.device.AeLow, 0) << "frame " << frame;
        EXPECT_EQ(SensorTuning.AeFrameCount, frame);
        EXPECT_EQ(SensorTuning.AeLumaSum, 108 * frame);
    }
    Step();
    EXPECT_EQ(bridge.device.AeLow, 100);
    EXPECT_EQ(bridge.device.AeHigh, 116);
}

// The step a confirmed period earns: known at both ends of every band, and
// never larger for a brighter average, which fixes every average in between.
TEST_F(AutoExposureTest, StepForEveryAverage) {
    int32_t steps[256];
    for (int average = 0; average < 256; ++average) {
        SensorTuning = SensorTuningAtLoad;
        bridge.controls[BRIDGE_CONTROL_EXPOSURE_INDEX] = 50;
        bridge.ClearCalls();
        Period(static_cast<uint8_t>(average));
        EXPECT_EQ(Moves(), 0u) << "average " << average;  // one period is not enough
        SENSOR_COMMAND command = Period(static_cast<uint8_t>(average));
        const int32_t step = steps[average] = Index() - 50;
        EXPECT_EQ(Moves(), step != 0 ? 1u : 0u) << "average " << average;
        EXPECT_EQ(command.Value, step != 0 ? SignExtended(50 + step) : 0x5A5A);
        EXPECT_EQ(SensorTuning.AeDarkCount, 0);
        EXPECT_EQ(SensorTuning.AeBrightCount, 0);
        if (average > 0) {
            EXPECT_LE(step, steps[average - 1]) << "average " << average;
        }
    }
    const std::pair<int, int32_t> edges[] = {
        {0, 14},    {1, 12},    {4, 12},    {5, 10},    {9, 10},    {10, 8},    {19, 8},
        {20, 6},    {29, 6},    {30, 4},    {39, 4},    {40, 2},    {49, 2},    {50, 1},
        {99, 1},    {100, 0},   {116, 0},   {117, -2},  {120, -2},  {121, -4},  {140, -4},
        {141, -6},  {160, -6},  {161, -8},  {180, -8},  {181, -10}, {200, -10}, {201, -12},
        {210, -12}, {211, -14}, {220, -14}, {221, -16}, {255, -16},
    };
    for (const auto& [average, step] : edges) {
        EXPECT_EQ(steps[average], step) << "average " << average;
    }
}

TEST_F(AutoExposureTest, TwoPeriodsOfTheSameVerdict) {
    // D: average 60 (+1), B: 130 (-4), W: 108 (in the window).
    struct Case {
        const char* periods;
        std::vector<int32_t> index;  // after each period
    };
    const Case cases[] = {
        {"D", {50}},
        {"DD", {50, 51}},
        {"DWD", {50, 50, 51}},
        {"DBD", {50, 50, 50}},
        {"BB", {50, 46}},
        {"DDD", {50, 51, 51}},
        {"DDDD", {50, 51, 51, 52}},
        {"BDD", {50, 50, 51}},
        {"DBB", {50, 50, 46}},
        {"DWWWWD", {50, 50, 50, 50, 50, 51}},
        {"DBDBDBDB", {50, 50, 50, 50, 50, 50, 50, 50}},
    };
    for (const Case& c : cases) {
        SensorTuning = SensorTuningAtLoad;
        bridge.controls[BRIDGE_CONTROL_EXPOSURE_INDEX] = 50;
        std::vector<int32_t> seen;
        for (const char* p = c.periods; *p; ++p) {
            Period(*p == 'D' ? 60 : *p == 'B' ? 130 : 108);
            seen.push_back(Index());
        }
        EXPECT_EQ(seen, c.index) << c.periods;
    }
}

TEST_F(AutoExposureTest, ClampsAndCapInOrder) {
    struct Case {
        const char* what;
        int32_t start, maximum, minimum, limitOn, limitOverride, limit;
        uint8_t luminance;
        int32_t result;
        size_t maxCalls, minCalls;
    };
    const Case cases[] = {
        {"above the maximum", 85, 90, 0, 0, 0, 30, 0, 90, 2, 1},
        {"at the maximum", 89, 90, 0, 0, 0, 30, 60, 90, 2, 1},
        {"below the minimum", 5, 90, 0, 0, 0, 30, 255, 0, 1, 2},
        {"at the minimum", 16, 90, 0, 0, 0, 30, 255, 0, 1, 2},
        {"minimum wins over a lower maximum", 50, 10, 20, 0, 0, 30, 60, 20, 2, 2},
        {"capped", 29, 90, 0, 1, 0, 30, 0, 30, 1, 1},
        {"cap off for an overridden limit", 29, 90, 0, 1, 3, 30, 0, 43, 1, 1},
        {"cap off for a limit other than 1", 29, 90, 0, 2, 0, 30, 0, 43, 1, 1},
        {"negative minimum", -30, 90, -10, 0, 0, 30, 0, -10, 1, 2},
        {"cap after the lower clamp", 0, 90, 40, 1, 0, 30, 60, 30, 1, 2},
    };
    for (const Case& c : cases) {
        SensorTuning = SensorTuningAtLoad;
        SensorTuning.AutoExposureLimit = c.limit;
        bridge.controls[BRIDGE_CONTROL_EXPOSURE_INDEX] = c.start;
        bridge.controlMax[BRIDGE_CONTROL_EXPOSURE_INDEX] = c.maximum;
        bridge.controlMin[BRIDGE_CONTROL_EXPOSURE_INDEX] = c.minimum;
        bridge.controls[BRIDGE_CONTROL_EXPOSURE_LIMIT] = c.limitOn;
        bridge.controls[BRIDGE_CONTROL_LIMIT_OVERRIDE] = c.limitOverride;
        Period(c.luminance);
        bridge.ClearCalls();
        SENSOR_COMMAND command = Period(c.luminance);
        EXPECT_EQ(Index(), c.result) << c.what;
        EXPECT_EQ(command.Value, SignExtended(c.result)) << c.what;
        EXPECT_EQ(bridge.CallsTo(BRIDGE_SLOT_GET_CONTROL_MAX).size(), c.maxCalls) << c.what;
        EXPECT_EQ(bridge.CallsTo(BRIDGE_SLOT_GET_CONTROL_MIN).size(), c.minCalls) << c.what;
    }
}

TEST_F(AutoExposureTest, ClampWithoutAStepIsDiscarded) {
    bridge.controls[BRIDGE_CONTROL_EXPOSURE_INDEX] = 200;
    bridge.controlMax[BRIDGE_CONTROL_EXPOSURE_INDEX] = 90;
    bridge.controls[BRIDGE_CONTROL_EXPOSURE_LIMIT] = 1;
    Period(0);  // first dark period: clamps computed, nothing stored
    EXPECT_EQ(Index(), 200);
    EXPECT_EQ(Moves(), 0u);
    EXPECT_EQ(bridge.CallsTo(BRIDGE_SLOT_BUS_WRITE).size(), 0u);
}

TEST_F(AutoExposureTest, CallsOfADecidingFrameThatMoves) {
    Period(60);
    bridge.QueueStats(60, 0, 0, 0, 4);
    Step(), Step(), Step();
    bridge.ClearCalls();
    SENSOR_COMMAND command = Step();
    // Exposure with no timing yet: 224 / 244 rows; index 51 takes gain
    // entry 21.
    EXPECT_EQ(bridge.Trace(),
              (std::vector<std::string>{"stats", "get 15", "get 19", "get 17", "max 17", "min 17",
                                        "set 17=51", "sensor 9=0", "sensor 53=419", "stats"}));
    EXPECT_EQ(command.Value, 51u);

    // At rate level 2 and above the exposure ends with service 19.
    bridge.device.RateLevel = 2;
    Period(60);
    bridge.ClearCalls();
    Period(60);
    EXPECT_EQ(bridge.Trace().back(), "settle");
}

TEST_F(AutoExposureTest, PhaseSurvivesOtherCommandsAndWraps) {
    bridge.QueueStats(0, 0, 0, 0, 2);
    Step(), Step();
    SENSOR_COMMAND other = bridge.Command(SENSOR_CMD_APPLY_EXPOSURE_INDEX, 3);
    Run(other);
    other = bridge.Command(SENSOR_CMD_SET_FLICKER_TIMING, 0, kAllOnes);
    Run(other);
    bridge.QueueStats(0, 0, 0, 0, 1);
    Step();
    EXPECT_EQ(SensorTuning.AeDarkCount, 0);
    bridge.QueueStats(0, 0, 0, 0, 1);
    Step();
    EXPECT_EQ(SensorTuning.AeDarkCount, 1);

    // The frame count runs past the largest positive count without losing
    // the four-frame phase.
    SensorTuning = SensorTuningAtLoad;
    SensorTuning.AeFrameCount = 0x7FFFFFFD;
    bridge.QueueStats(0, 0, 0, 0, 3);
    Step(), Step();
    EXPECT_EQ(SensorTuning.AeDarkCount, 0);
    Step();  // count 0x80000000, a multiple of 4
    EXPECT_EQ(SensorTuning.AeDarkCount, 1);
}

// A scene whose brightness follows the exposure index: the loop must walk
// into the window from either side and then hold still.
TEST_F(AutoExposureTest, SettlesOnAScene) {
    bridge.controlMax[BRIDGE_CONTROL_EXPOSURE_INDEX] = 90;
    bridge.controlMin[BRIDGE_CONTROL_EXPOSURE_INDEX] = 0;
    bridge.statsSource = [this] {
        const int luminance = std::min(255, 4 * Index() + 10);
        return FakeBridge::Stats(static_cast<uint8_t>(luminance), 0, 0, 0);
    };
    for (int32_t start : {0, 90, 40}) {
        SensorTuning = SensorTuningAtLoad;
        bridge.controls[BRIDGE_CONTROL_EXPOSURE_INDEX] = start;
        int lastMoveFrame = -8;
        for (int frame = 1; frame <= 400; ++frame) {
            const size_t before = Moves();
            Step();
            if (Moves() != before) {
                EXPECT_GE(frame - lastMoveFrame, 8) << "start " << start;
                lastMoveFrame = frame;
            }
        }
        const int luminance = 4 * Index() + 10;
        EXPECT_GE(luminance, 100) << "start " << start;
        EXPECT_LE(luminance, 116) << "start " << start;
        EXPECT_LT(lastMoveFrame, 200) << "start " << start;
    }
}

TEST_F(AutoExposureTest, AlternatingVerdictsNeverMove) {
    bool dark = true;
    for (int period = 0; period < 100; ++period, dark = !dark) {
        Period(dark ? 20 : 230);
    }
    EXPECT_EQ(Moves(), 0u);
    EXPECT_EQ(Index(), 50);
}
