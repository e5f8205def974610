// The auto-exposure loop driven by scripted statistics: the window and its
// edges, two-period hysteresis, the graded steps, clamps and cap in their
// order, and a scene that answers to the exposure the loop programs.
#include <algorithm>
#include <string>
#include <vector>

#include "sensor_fixture.h"
#include "value_fields.h"

namespace {

class AutoExposureTest : public SensorTest {
  protected:
    void SetUp() override {
        SensorTest::SetUp();
        bridge.controls[17] = 50;
        bridge.controlMax[17] = 1000;
        bridge.controlMin[17] = -1000;
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

    int32_t Index() { return bridge.controls[17]; }
    size_t Moves() const { return bridge.CallsTo(kSetControl).size(); }
};

// The step a period's average earns once confirmed.
int32_t ExpectedStep(int average) {
    struct Band {
        int low, high, step;
    };
    const Band bands[] = {
        {0, 0, 14},      {1, 4, 12},      {5, 9, 10},     {10, 19, 8},     {20, 29, 6},
        {30, 39, 4},     {40, 49, 2},     {50, 99, 1},    {100, 116, 0},   {117, 120, -2},
        {121, 140, -4},  {141, 160, -6},  {161, 180, -8}, {181, 200, -10}, {201, 210, -12},
        {211, 220, -14}, {221, 255, -16},
    };
    for (const Band& b : bands) {
        if (average >= b.low && average <= b.high) {
            return b.step;
        }
    }
    return 0;
}

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

TEST_F(AutoExposureTest, StepForEveryAverage) {
    for (int average = 0; average < 256; ++average) {
        SensorTuning = SensorTuningAtLoad;
        bridge.controls[17] = 50;
        bridge.ClearCalls();
        Period(static_cast<uint8_t>(average));
        EXPECT_EQ(Moves(), 0u) << "average " << average;  // one period is not enough
        SENSOR_COMMAND command = Period(static_cast<uint8_t>(average));
        const int32_t step = ExpectedStep(average);
        EXPECT_EQ(Index(), 50 + step) << "average " << average;
        EXPECT_EQ(Moves(), step != 0 ? 1u : 0u) << "average " << average;
        EXPECT_EQ(command.Value, step != 0 ? SignExtended(50 + step) : 0x5A5A);
        EXPECT_EQ(SensorTuning.AeDarkCount, 0);
        EXPECT_EQ(SensorTuning.AeBrightCount, 0);
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
        bridge.controls[17] = 50;
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
        int32_t start, maximum, minimum, control15, control19, limit;
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
        {"cap off for control 19 = 3", 29, 90, 0, 1, 3, 30, 0, 43, 1, 1},
        {"cap off for control 15 != 1", 29, 90, 0, 2, 0, 30, 0, 43, 1, 1},
        {"negative minimum", -30, 90, -10, 0, 0, 30, 0, -10, 1, 2},
        {"cap after the lower clamp", 0, 90, 40, 1, 0, 30, 60, 30, 1, 2},
    };
    for (const Case& c : cases) {
        SensorTuning = SensorTuningAtLoad;
        SensorTuning.AutoExposureLimit = c.limit;
        bridge.controls[17] = c.start;
        bridge.controlMax[17] = c.maximum;
        bridge.controlMin[17] = c.minimum;
        bridge.controls[15] = c.control15;
        bridge.controls[19] = c.control19;
        Period(c.luminance);
        bridge.ClearCalls();
        SENSOR_COMMAND command = Period(c.luminance);
        EXPECT_EQ(Index(), c.result) << c.what;
        EXPECT_EQ(command.Value, SignExtended(c.result)) << c.what;
        EXPECT_EQ(bridge.CallsTo(kGetControlMax).size(), c.maxCalls) << c.what;
        EXPECT_EQ(bridge.CallsTo(kGetControlMin).size(), c.minCalls) << c.what;
    }
}

TEST_F(AutoExposureTest, ClampWithoutAStepIsDiscarded) {
    bridge.controls[17] = 200;
    bridge.controlMax[17] = 90;
    bridge.controls[15] = 1;
    Period(0);  // first dark period: clamps computed, nothing stored
    EXPECT_EQ(Index(), 200);
    EXPECT_EQ(Moves(), 0u);
    EXPECT_EQ(bridge.CallsTo(kBusWrite).size(), 0u);
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
    bridge.controlMax[17] = 90;
    bridge.controlMin[17] = 0;
    bridge.statsSource = [this] {
        const int luminance = std::min(255, 4 * bridge.controls[17] + 10);
        return FakeBridge::Stats(static_cast<uint8_t>(luminance), 0, 0, 0);
    };
    for (int32_t start : {0, 90, 40}) {
        SensorTuning = SensorTuningAtLoad;
        bridge.controls[17] = start;
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
