// Start-up and frame format: clock choice, frame sizes, the start-up trace of
// bridge and sensor writes for every timing, and the bits of register 32.
#include <cstring>
#include <string>
#include <vector>

#include "sensor_fixture.h"
#include "value_fields.h"

namespace {

class StartupTest : public SensorTest {
  protected:
    void SetTiming(uint32_t timingFlag, uint32_t rateLevel) {
        bridge.device.TimingFlag = timingFlag;
        bridge.device.RateLevel = rateLevel;
    }

    // Commands 2 and 0, as the bridge driver issues them before command 3.
    void Prepare() {
        FRAME_SIZES sizes{};
        SENSOR_COMMAND calibration =
            bridge.Command(SENSOR_CMD_LOAD_CALIBRATION, 320, reinterpret_cast<uintptr_t>(&sizes));
        Run(calibration);
        SENSOR_COMMAND clock = bridge.Command(SENSOR_CMD_SELECT_CLOCK);
        Run(clock);
        bridge.ClearCalls();
    }
};

std::vector<std::string> Lines(std::initializer_list<const char*> lines) {
    return std::vector<std::string>(lines.begin(), lines.end());
}

}  // namespace

TEST_F(StartupTest, ClockAndDividerByTiming) {
    struct Case {
        uint32_t timingFlag, rateLevel, clock, divider;
    };
    const Case cases[] = {
        {0, 0, 30, 3}, {0, 1, 60, 3}, {0, 2, 60, 3}, {0, 0xFFFFFFFF, 60, 3}, {1, 0, 45, 3},
        {1, 1, 60, 3}, {1, 2, 48, 2}, {7, 3, 48, 2}, {1, 0xFFFFFFFF, 48, 2},  // the comparison with
                                                                              // 2 is unsigned
    };
    for (const Case& c : cases) {
        SetTiming(c.timingFlag, c.rateLevel);
        SensorTuning.ClockControl = 0x55;
        SENSOR_COMMAND command = bridge.Command(SENSOR_CMD_SELECT_CLOCK, kAllOnes, kAllOnes);
        EXPECT_EQ(Run(command), SENSOR_STATUS_SUCCESS);
        const std::string where =
            "timing " + std::to_string(c.timingFlag) + ", rate " + std::to_string(c.rateLevel);
        EXPECT_EQ(command.Value, uintptr_t{c.clock}) << where;  // zero-extended, whole field
        EXPECT_EQ(command.Value2, uintptr_t{c.divider}) << where;
        EXPECT_EQ(SensorTuning.SensorClock, c.clock) << where;
        EXPECT_EQ(SensorTuning.ClockDivider, c.divider) << where;
        EXPECT_EQ(SensorTuning.ClockControl, 0u) << where;
    }
    EXPECT_TRUE(bridge.calls.empty());
}

TEST_F(StartupTest, FrameSizesFromTimingAndTheLow16BitsOfTheWidth) {
    struct Case {
        uint32_t timingFlag;
        uintptr_t value;
        bool fullPreview;
    };
    const Case cases[] = {
        {0, 640, false},        {0, 0xFFFF, false},         {1, 639, false},
        {1, 640, true},         {1, 0xFFFF, true},          {1, 65536 + 100, false},
        {1, 65536 + 700, true}, {1, kAbove32 + 100, false}, {1, kAllOnes, true},
    };
    for (const Case& c : cases) {
        bridge.device.TimingFlag = c.timingFlag;
        FRAME_SIZES sizes;
        std::memset(&sizes, 0xCC, sizeof sizes);
        SENSOR_COMMAND command = bridge.Command(SENSOR_CMD_LOAD_CALIBRATION, c.value,
                                                reinterpret_cast<uintptr_t>(&sizes));
        EXPECT_EQ(Run(command), SENSOR_STATUS_SUCCESS);
        EXPECT_EQ(sizes.SensorWidth, 640u);
        EXPECT_EQ(sizes.SensorHeight, 480u);
        EXPECT_EQ(sizes.PreviewWidth, c.fullPreview ? 640u : 320u) << "value " << c.value;
        EXPECT_EQ(sizes.PreviewHeight, c.fullPreview ? 480u : 240u) << "value " << c.value;
        EXPECT_EQ(sizes.Reserved16, 0u);
        EXPECT_EQ(sizes.Reserved24, 0u);
        EXPECT_EQ(command.Value, c.value);
    }
}

// The whole start-up sequence for every timing pair, compared call by call.
TEST_F(StartupTest, StartUpTraceForEveryTiming) {
    struct Case {
        uint32_t timingFlag, rateLevel;
        int horizontalBlanking, verticalBlanking;
        int bridgeControl;        // low bits put into bridge register 15
        uint32_t fiftyHertzStep;  // the mode-1 timing the sequence sets up
    };
    const Case cases[] = {
        {0, 0, 560, 30, 0x08, 270000},       {0, 1, 248, 17, 0x08, 200000},
        {0, 2, 248, 17, 0x08, 200000},       {1, 0, 96, 42, 0x08, 270000},
        {1, 1, 1, 1, 0x08, 200000},          {1, 2, 1, 1, 0x0B, 240000},
        {1, 0xFFFFFFFF, 1, 1, 0x0B, 240000},
    };
    bridge.registry[u"MicFluorRGB"] = 0x112233;
    for (const Case& c : cases) {
        SensorTuning = SensorTuningAtLoad;
        SetTiming(c.timingFlag, c.rateLevel);
        Prepare();
        bridge.bridgeRegisters[15] = 0xF3;  // bit 7 is kept, the rest replaced

        SENSOR_COMMAND command = bridge.Command(SENSOR_CMD_START_SENSOR, 1, 0);
        EXPECT_EQ(Run(command), SENSOR_STATUS_SUCCESS);

        const std::string where =
            "timing " + std::to_string(c.timingFlag) + ", rate " + std::to_string(c.rateLevel);
        std::vector<std::string> expected = Lines({"bridge 19=12", "bridge read 15"});
        expected.push_back("bridge 15=" + std::to_string(0x80 | c.bridgeControl));
        for (const char* line : {"sensor 13=1", "sensor 13=0", "sensor 1=8", "sensor 2=20",
                                 "sensor 3=480", "sensor 4=640"}) {
            expected.push_back(line);
        }
        expected.push_back("sensor 5=" + std::to_string(c.horizontalBlanking));
        expected.push_back("sensor 6=" + std::to_string(c.verticalBlanking));
        for (const char* line :
             {"sensor 10=0", "sensor 7=10",
              // preset 0 = 0x112233: green, green, green, blue, red
              "sensor 43=34", "sensor 46=34", "sensor 53=34", "sensor 44=51", "sensor 45=17",
              "sensor 61=1679", "sensor 52=256", "sensor 64=480", "sensor 48=5", "sensor 32=4352",
              "sensor 48=2", "sensor 64=1312", "sensor 82=256", "sensor 98=1050", "sensor 88=56",
              "sensor 89=1827", "sensor 53=32"}) {
            expected.push_back(line);
        }
        EXPECT_EQ(bridge.Trace(), expected) << where;
        // The byte handed to the read still held the value just written.
        ASSERT_EQ(bridge.CallsTo(BRIDGE_SLOT_READ_BRIDGE_REG).size(), 1u);
        EXPECT_EQ(bridge.CallsTo(BRIDGE_SLOT_READ_BRIDGE_REG)[0].args[1], 0x0Cu) << where;

        EXPECT_EQ(SensorTuning.ExposureStep, c.fiftyHertzStep) << where;
        EXPECT_EQ(SensorTuning.ExposureBase, c.fiftyHertzStep) << where;
        EXPECT_EQ(SensorTuning.ExposureMax, 90u) << where;
        EXPECT_EQ(SensorTuning.SensorShadow[5], c.horizontalBlanking) << where;
        EXPECT_EQ(SensorTuning.SensorShadow[10], 0u) << where;
        EXPECT_EQ(SensorTuning.SensorShadow[12], 0u) << where;
        EXPECT_EQ(bridge.device.WbRed, 0x11u);
        EXPECT_EQ(bridge.device.WbGreen, 0x22u);
        EXPECT_EQ(bridge.device.WbBlue, 0x33u);
        EXPECT_EQ(SensorTuning.AwbRed, 0x11u);
        EXPECT_EQ(SensorTuning.AwbBlue, 0x33u);
    }
}

TEST_F(StartupTest, BridgeControlRegisterKeepsOnlyBit7) {
    struct Case {
        bool delivers;
        uint8_t stored;
        uint8_t written;
    };
    const Case cases[] = {
        {true, 0xFF, 0x88},
        {true, 0x7F, 0x08},
        {true, 0x80, 0x88},
        {false, 0xFF, 0x08},  // no answer: the byte still holds 0x0C, bit 7 clear
    };
    for (const Case& c : cases) {
        bridge.ClearCalls();
        bridge.bridgeRegReadDelivers = c.delivers;
        bridge.bridgeRegisters[15] = c.stored;
        SENSOR_COMMAND command = bridge.Command(SENSOR_CMD_START_SENSOR, 0, 0);
        Run(command);
        const auto writes = bridge.BridgeRegWrites();
        ASSERT_EQ(writes.size(), 2u);
        EXPECT_EQ(writes[0], (std::pair<uint32_t, uint8_t>{19, 0x0C}));
        EXPECT_EQ(writes[1], (std::pair<uint32_t, uint8_t>{15, c.written}))
            << "stored " << int(c.stored) << ", delivers " << c.delivers;
    }
}

TEST_F(StartupTest, ValueFieldsAfterStartUp) {
    struct Case {
        uintptr_t mode, preset;
        uintptr_t value;
    };
    const Case cases[] = {
        {0, 2, 2},
        {3, kAbove32 + 1, 1},  // only the low 32 bits name the preset
        {kAbove32 + 3, 0xFFFFFFFE, SignExtended(-2)},
        {0xFFFFFFFF, kAllOnes, kAllOnes},
    };
    for (const Case& c : cases) {
        SENSOR_COMMAND command = bridge.Command(SENSOR_CMD_START_SENSOR, c.mode, c.preset);
        Run(command);
        EXPECT_EQ(command.Value, c.value);
        EXPECT_EQ(command.Value2, kAllOnes);
    }
}

TEST_F(StartupTest, PresetOutsideTheTableRewritesTheBalanceInForce) {
    bridge.device.WbRed = 40;
    bridge.device.WbGreen = 41;
    bridge.device.WbBlue = 42;
    for (uintptr_t preset : {uintptr_t{3}, SignExtended(-1), uintptr_t{0x7FFFFFFF}}) {
        bridge.ClearCalls();
        SENSOR_COMMAND command = bridge.Command(SENSOR_CMD_START_SENSOR, 0, preset);
        Run(command);
        const auto writes = bridge.SensorWrites();
        ASSERT_EQ(writes.size(), 27u);
        const std::vector<std::pair<uint8_t, uint16_t>> presetWrites(writes.begin() + 10,
                                                                     writes.begin() + 15);
        EXPECT_EQ(presetWrites, (std::vector<std::pair<uint8_t, uint16_t>>{
                                    {43, 41}, {46, 41}, {53, 41}, {44, 42}, {45, 40}}));
        EXPECT_EQ(SensorTuning.AwbRed, 40u);
        EXPECT_EQ(SensorTuning.AwbBlue, 42u);
    }
}

TEST_F(StartupTest, Register32Bits) {
    struct Case {
        int32_t code;
        uint16_t before;
        uintptr_t value;
        uint16_t after;
    };
    const Case cases[] = {
        {SENSOR_CMD_SET_REG32_BIT14, 0x1100, 1, 0x5100},
        {SENSOR_CMD_SET_REG32_BIT14, 0xFFFF, 0, 0xBFFF},
        {SENSOR_CMD_SET_REG32_BIT14, 0x4000, 7, 0x4000},
        {SENSOR_CMD_SET_REG32_BIT15, 0x1100, 1, 0x9100},
        {SENSOR_CMD_SET_REG32_BIT15, 0xFFFF, 0, 0x7FFF},
        {SENSOR_CMD_SET_REG32_BIT15, 0x0000, kAllOnes, 0x8000},
        // The whole field is tested: 2^32 sets the bit in the 64-bit build,
        // where its low 32 bits are zero; in the 32-bit build it is 0.
        {SENSOR_CMD_SET_REG32_BIT14, 0x1100, kAbove32, kWideFields ? 0x5100 : 0x1100},
        {SENSOR_CMD_SET_REG32_BIT15, 0x9100, kAbove32, kWideFields ? 0x9100 : 0x1100},
    };
    for (const Case& c : cases) {
        bridge.ClearCalls();
        bridge.sensorRegisters[32] = c.before;
        SENSOR_COMMAND command = bridge.Command(c.code, c.value);
        EXPECT_EQ(Run(command), SENSOR_STATUS_SUCCESS);
        EXPECT_EQ(bridge.Trace(), (std::vector<std::string>{
                                      "sensor read 32", "sensor 32=" + std::to_string(c.after)}))
            << "code " << c.code << ", before " << c.before;
        EXPECT_EQ(command.Value, 0u);
    }
    // A read that delivers nothing counts as 0.
    bridge.ClearCalls();
    bridge.busReadDelivers = false;
    SENSOR_COMMAND command = bridge.Command(SENSOR_CMD_SET_REG32_BIT15, 1);
    Run(command);
    EXPECT_EQ(bridge.SensorWrites(), (std::vector<std::pair<uint8_t, uint16_t>>{{32, 0x8000}}));
}
