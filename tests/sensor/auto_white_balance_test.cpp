// The auto-white-balance loop driven by scripted statistics: the dead band
// around each target, per-channel hysteresis, the graded steps, the unsigned
// clamps (from the load values too) and the three bridge register writes.
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "sensor_fixture.h"
#include "value_fields.h"

namespace {

using BridgeWrite = std::pair<uint32_t, uint8_t>;

class AutoWhiteBalanceTest : public SensorTest {
  protected:
    void SetUp() override {
        SensorTest::SetUp();
        SensorTuning.AwbRed = 40;
        SensorTuning.AwbBlue = 50;
        SensorTuning.AwbGreen = 36;
    }

    void Step() {
        SENSOR_COMMAND command = bridge.Command(SENSOR_CMD_AUTO_WHITE_BALANCE_STEP, 0x77);
        EXPECT_EQ(Run(command), SENSOR_STATUS_SUCCESS);
        EXPECT_EQ(command.Value, 0x77u);
    }

    // One period of four identical frames.
    void Period(uint8_t red, uint8_t green, uint8_t blue) {
        bridge.QueueStats(0x99, red, green, blue, 4);
        for (int i = 0; i < 4; ++i) {
            Step();
        }
    }

    // One period; returns the bridge writes it made.
    std::vector<BridgeWrite> PeriodWrites(uint8_t red, uint8_t green, uint8_t blue) {
        bridge.ClearCalls();
        Period(red, green, blue);
        return bridge.BridgeRegWrites();
    }

    struct Counts {
        int32_t redLow, redHigh, blueLow, blueHigh;
        bool operator==(const Counts&) const = default;
    };
    static Counts Counters() {
        return {SensorTuning.AwbRedLowCount, SensorTuning.AwbRedHighCount,
                SensorTuning.AwbBlueLowCount, SensorTuning.AwbBlueHighCount};
    }
};

}  // namespace

TEST_F(AutoWhiteBalanceTest, DeadBandAroundTheTargets) {
    struct Case {
        uint8_t red, green, blue;
        Counts counts;
    };
    const Case cases[] = {
        {100, 100, 100, {0, 0, 0, 0}}, {103, 100, 100, {0, 1, 0, 0}}, {102, 100, 100, {0, 0, 0, 0}},
        {97, 100, 100, {1, 0, 0, 0}},  {98, 100, 100, {0, 0, 0, 0}},  {100, 100, 103, {0, 0, 0, 1}},
        {100, 100, 97, {0, 0, 1, 0}},  {0, 255, 255, {1, 0, 0, 0}},   {255, 0, 3, {0, 1, 0, 1}},
    };
    for (const Case& c : cases) {
        SensorTuning = SensorTuningAtLoad;
        SensorTuning.AwbRed = 40;
        SensorTuning.AwbBlue = 50;
        EXPECT_TRUE(PeriodWrites(c.red, c.green, c.blue).empty());
        EXPECT_EQ(Counters(), c.counts) << int(c.red) << "/" << int(c.green) << "/" << int(c.blue);
        EXPECT_EQ(SensorTuning.AwbSumRed + SensorTuning.AwbSumGreen + SensorTuning.AwbSumBlue, 0u);
    }
    // Averages truncate: 100, 100, 100, 103 average 100.
    SensorTuning = SensorTuningAtLoad;
    for (uint8_t red : {100, 100, 100, 103}) {
        bridge.QueueStats(0, red, 100, 100);
        Step();
    }
    EXPECT_EQ(Counters(), (Counts{0, 0, 0, 0}));
}

// The step a confirmed period earns: known at both ends of every band, and
// never smaller for a larger distance, which fixes every distance in between.
TEST_F(AutoWhiteBalanceTest, StepForEveryDistance) {
    uint32_t steps[101] = {};
    for (uint32_t d = 3; d <= 100; ++d) {
        // Red above its target, blue below, over two periods.
        SensorTuning = SensorTuningAtLoad;
        SensorTuning.AwbRed = 45;
        SensorTuning.AwbBlue = 50;
        SensorTuning.AwbGreen = 36;
        const uint8_t green = 120;
        EXPECT_TRUE(
            PeriodWrites(static_cast<uint8_t>(green + d), green, static_cast<uint8_t>(green - d))
                .empty());
        const auto writes =
            PeriodWrites(static_cast<uint8_t>(green + d), green, static_cast<uint8_t>(green - d));
        const uint32_t step = steps[d] = 45 - SensorTuning.AwbRed;
        EXPECT_EQ(SensorTuning.AwbBlue, 50 + step) << "distance " << d;
        EXPECT_EQ(writes, (std::vector<BridgeWrite>{{21, static_cast<uint8_t>(45 - step)},
                                                    {22, 36},
                                                    {23, static_cast<uint8_t>(50 + step)}}))
            << "distance " << d;
        EXPECT_EQ(Counters(), (Counts{0, 0, 0, 0}));
        EXPECT_GE(step, steps[d - 1]) << "distance " << d;
    }
    const std::pair<uint32_t, uint32_t> edges[] = {
        {3, 1},  {5, 1},  {6, 2},  {10, 2}, {11, 3}, {20, 3},
        {21, 4}, {30, 4}, {31, 5}, {40, 5}, {41, 6}, {100, 6},
    };
    for (const auto& [distance, step] : edges) {
        EXPECT_EQ(steps[distance], step) << "distance " << distance;
    }
}

TEST_F(AutoWhiteBalanceTest, ClampsFromTheLoadValues) {
    struct Case {
        const char* what;
        uint32_t red, blue;
        uint8_t redStat, blueStat;  // against a green of 100, on a second period
        uint32_t redAfter, blueAfter;
        bool writes;
    };
    const Case cases[] = {
        {"no step from the load values", 0xFFFFFFFF, 0xFFFFFFFF, 100, 100, 54, 80, false},
        {"step up wraps, then the floor", 0xFFFFFFFF, 0xFFFFFFFF, 50, 50, 32, 32, true},
        {"step down from the load values", 0xFFFFFFFF, 0xFFFFFFFF, 150, 150, 54, 80, true},
        {"step down below the floor", 36, 34, 150, 150, 32, 32, true},
        {"step up above the ceiling", 53, 79, 50, 50, 54, 80, true},
        {"gain of 7 is not lowered", 7, 7, 150, 150, 32, 32, true},
        {"gain of 5 is not lowered, so cannot wrap", 5, 1, 150, 150, 32, 32, true},
        {"gain of 8 is lowered", 8, 8, 150, 150, 32, 32, true},
        {"zero gains, no step", 0, 0, 100, 100, 32, 32, false},
    };
    for (const Case& c : cases) {
        SensorTuning = SensorTuningAtLoad;
        SensorTuning.AwbRed = c.red;
        SensorTuning.AwbBlue = c.blue;
        SensorTuning.AwbGreen = 0x1A5;  // only the low byte is written
        // The first period of the verdict is already counted, so that the
        // gains still hold their starting values when the step is taken.
        SensorTuning.AwbRedLowCount = c.redStat < 100;
        SensorTuning.AwbRedHighCount = c.redStat > 100;
        SensorTuning.AwbBlueLowCount = c.blueStat < 100;
        SensorTuning.AwbBlueHighCount = c.blueStat > 100;
        const auto writes = PeriodWrites(c.redStat, 100, c.blueStat);
        EXPECT_EQ(SensorTuning.AwbRed, c.redAfter) << c.what;
        EXPECT_EQ(SensorTuning.AwbBlue, c.blueAfter) << c.what;
        if (c.writes) {
            EXPECT_EQ(writes, (std::vector<BridgeWrite>{{21, static_cast<uint8_t>(c.redAfter)},
                                                        {22, 0xA5},
                                                        {23, static_cast<uint8_t>(c.blueAfter)}}))
                << c.what;
        } else {
            EXPECT_TRUE(writes.empty()) << c.what;
        }
    }
}

TEST_F(AutoWhiteBalanceTest, EachChannelNeedsTwoPeriods) {
    // H: too much, L: too little, T: on target; red first, blue second.
    struct Case {
        const char* red;
        const char* blue;
        std::vector<uint32_t> redGain, blueGain;  // after each period
        std::vector<bool> writes;
    };
    const Case cases[] = {
        {"HH", "TT", {40, 34}, {50, 50}, {false, true}},
        {"HTH", "TTT", {40, 40, 34}, {50, 50, 50}, {false, false, true}},
        {"HLH", "TTT", {40, 40, 40}, {50, 50, 50}, {false, false, false}},
        {"LL", "HH", {40, 46}, {50, 44}, {false, true}},
        {"HH", "HL", {40, 34}, {50, 50}, {false, true}},
        {"TH", "HH", {40, 40}, {50, 44}, {false, true}},
        {"HHHH", "TLLT", {40, 34, 34, 32}, {50, 50, 56, 56}, {false, true, true, true}},
        {"LLL", "TTT", {40, 46, 46}, {50, 50, 50}, {false, true, false}},
    };
    auto stat = [](char verdict) -> uint8_t {
        return verdict == 'H' ? 150 : verdict == 'L' ? 50 : 100;
    };
    for (const Case& c : cases) {
        SensorTuning = SensorTuningAtLoad;
        SensorTuning.AwbRed = 40;
        SensorTuning.AwbBlue = 50;
        std::vector<uint32_t> red, blue;
        std::vector<bool> writes;
        for (size_t i = 0; c.red[i]; ++i) {
            writes.push_back(!PeriodWrites(stat(c.red[i]), 100, stat(c.blue[i])).empty());
            red.push_back(SensorTuning.AwbRed);
            blue.push_back(SensorTuning.AwbBlue);
        }
        EXPECT_EQ(red, c.redGain) << c.red << " / " << c.blue;
        EXPECT_EQ(blue, c.blueGain) << c.red << " / " << c.blue;
        EXPECT_EQ(writes, c.writes) << c.red << " / " << c.blue;
    }
}

TEST_F(AutoWhiteBalanceTest, TargetsFollowTheRatios) {
    SensorTuning.RatioCalib = 0x8080;
    SENSOR_COMMAND red = bridge.Command(SENSOR_CMD_SET_RED_BALANCE, 40);  // ratio 136
    Run(red);
    SENSOR_COMMAND blue = bridge.Command(SENSOR_CMD_SET_BLUE_BALANCE, 0);  // ratio 96
    Run(blue);
    struct Case {
        uint8_t red, green, blue;
        Counts counts;
    };
    // Green 100: red target 100 * 136 / 128 = 106, blue target 75.
    const Case cases[] = {
        {106, 100, 75, {0, 0, 0, 0}}, {104, 100, 77, {0, 0, 0, 0}}, {103, 100, 72, {1, 0, 1, 0}},
        {109, 100, 78, {0, 1, 0, 1}}, {0, 0, 0, {0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        SensorTuning.AwbRedLowCount = SensorTuning.AwbRedHighCount = 0;
        SensorTuning.AwbBlueLowCount = SensorTuning.AwbBlueHighCount = 0;
        Period(c.red, c.green, c.blue);
        EXPECT_EQ(Counters(), c.counts) << int(c.red) << "/" << int(c.blue);
    }
}

TEST_F(AutoWhiteBalanceTest, PhaseAndSumsAcrossCalls) {
    bridge.QueueStats(0, 10, 20, 30, 3);
    for (int i = 0; i < 3; ++i) {
        Step();
    }
    EXPECT_EQ(SensorTuning.AwbFrameCount, 3u);
    EXPECT_EQ(SensorTuning.AwbSumRed, 30u);
    EXPECT_EQ(SensorTuning.AwbSumGreen, 60u);
    EXPECT_EQ(SensorTuning.AwbSumBlue, 90u);
    EXPECT_EQ(bridge.Trace(), std::vector<std::string>(3, "stats"));

    // The frame count wraps and keeps its phase.
    SensorTuning.AwbFrameCount = 0xFFFFFFFE;
    SensorTuning.AwbSumRed = SensorTuning.AwbSumGreen = SensorTuning.AwbSumBlue = 0;
    bridge.QueueStats(0, 200, 100, 100, 2);
    Step();
    EXPECT_EQ(SensorTuning.AwbRedHighCount, 0);
    Step();  // count 0: a deciding call; red average 100 against a target of 50
    EXPECT_EQ(SensorTuning.AwbRedHighCount, 1);
}

// A scene whose colour follows the gains the loop writes to the bridge: red
// and blue must settle within the dead band of green and stay there.
TEST_F(AutoWhiteBalanceTest, SettlesOnAScene) {
    bridge.statsSource = [this] {
        const uint32_t red = bridge.bridgeRegisters[21] * 100u / 44;   // balanced at 44
        const uint32_t blue = bridge.bridgeRegisters[23] * 100u / 61;  // balanced at 61
        return FakeBridge::Stats(0, static_cast<uint8_t>(red), 100, static_cast<uint8_t>(blue));
    };
    for (uint32_t start : {32u, 54u, 0xFFFFFFFFu}) {
        SensorTuning = SensorTuningAtLoad;
        SensorTuning.AwbRed = SensorTuning.AwbBlue = start;
        bridge.bridgeRegisters[21] = bridge.bridgeRegisters[23] =
            static_cast<uint8_t>(start > 80 ? 80 : start);
        bridge.ClearCalls();
        int lastWriteFrame = 0;
        for (int frame = 1; frame <= 800; ++frame) {
            const size_t before = bridge.calls.size();
            Step();
            if (bridge.calls.size() > before + 1) {
                lastWriteFrame = frame;
            }
        }
        EXPECT_LE(std::abs(int(bridge.bridgeRegisters[21]) * 100 / 44 - 100), 2) << start;
        EXPECT_LE(std::abs(int(bridge.bridgeRegisters[23]) * 100 / 61 - 100), 2) << start;
        EXPECT_LT(lastWriteFrame, 400) << start;
        EXPECT_GE(SensorTuning.AwbRed, 32u);
        EXPECT_LE(SensorTuning.AwbRed, 54u);
    }
}

TEST_F(AutoWhiteBalanceTest, AlternatingVerdictsNeverMove) {
    for (int period = 0; period < 50; ++period) {
        const bool high = period % 2 == 0;
        EXPECT_TRUE(PeriodWrites(high ? 160 : 40, 100, high ? 40 : 160).empty());
    }
    EXPECT_EQ(SensorTuning.AwbRed, 40u);
    EXPECT_EQ(SensorTuning.AwbBlue, 50u);
}
