// White balance: calibration from the EEPROM and from the registry, preset
// selection, the user balance controls, the throttled bridge gain writes and
// the sensor gain read-back.
#include <string>
#include <vector>

#include "sensor_fixture.h"
#include "value_fields.h"

namespace {

using SensorWrite = std::pair<uint8_t, uint16_t>;
using BridgeWrite = std::pair<uint32_t, uint8_t>;

struct Rgb {
    uint32_t red, green, blue;
    bool operator==(const Rgb&) const = default;
};

class WhiteBalanceTest : public SensorTest {
  protected:
    void LoadCalibration() {
        FRAME_SIZES sizes{};
        SENSOR_COMMAND command =
            bridge.Command(SENSOR_CMD_LOAD_CALIBRATION, 0, reinterpret_cast<uintptr_t>(&sizes));
        EXPECT_EQ(Run(command), SENSOR_STATUS_SUCCESS);
    }

    Rgb Preset(int p) const {
        const auto& rgb = bridge.device.PresetRgb[p];
        return {rgb[0], rgb[1], rgb[2]};
    }

    void SetEeprom(uint32_t offset, uint8_t blue, uint8_t green, uint8_t red) {
        bridge.eeprom[offset] = blue;
        bridge.eeprom[offset + 1] = green;
        bridge.eeprom[offset + 2] = red;
    }

    void Command(int32_t code, uintptr_t value = 0, uintptr_t value2 = 0, uintptr_t value3 = 0) {
        SENSOR_COMMAND command = bridge.Command(code, value, value2, value3);
        EXPECT_EQ(Run(command), SENSOR_STATUS_SUCCESS);
        last = command;
    }

    SENSOR_COMMAND last{};
};

// The exact bytes the bridge must receive for a registry value name.
std::vector<uint8_t> Utf16Bytes(const char* text) {
    std::vector<uint8_t> bytes;
    for (const char* p = text;; ++p) {
        bytes.push_back(static_cast<uint8_t>(*p));
        bytes.push_back(0);
        if (*p == 0) {
            return bytes;
        }
    }
}

}  // namespace

TEST_F(WhiteBalanceTest, CalibrationFromTheEeprom) {
    bridge.device.Flags = SENSOR_DEVICE_FLAG_EEPROM_PRESETS;
    SetEeprom(67, 0x10, 0x20, 0x30);
    SetEeprom(70, 0xFF, 0x01, 0x80);
    // preset 2 left blank: replaced by 0x242430
    LoadCalibration();

    EXPECT_EQ(Preset(0), (Rgb{0x30, 0x20, 0x10}));
    EXPECT_EQ(Preset(1), (Rgb{0x80, 0x01, 0xFF}));
    EXPECT_EQ(Preset(2), (Rgb{36, 36, 48}));
    EXPECT_EQ(SensorTuning.AwbGreen, 0x20u);
    EXPECT_EQ(bridge.Trace(),
              (std::vector<std::string>{
                  "eeprom 67", "eeprom 70", "eeprom 73", "registry MIC0360_RG_BG_Ratio",
                  "registry MIC0360_USE_Extra_Clock", "registry Use_Dark_Higher_fps"}));
    for (const BridgeCall& call : bridge.CallsTo(BRIDGE_SLOT_READ_EEPROM)) {
        EXPECT_EQ(call.args[1], 3u);  // three bytes
        EXPECT_EQ(call.args[2], 0u);  // into a variable set to 0
    }
}

TEST_F(WhiteBalanceTest, BlankOrSilentEepromGivesTheFallbackPresets) {
    bridge.device.Flags = SENSOR_DEVICE_FLAG_EEPROM_PRESETS | 0x1;
    // A blank EEPROM answers three zero bytes.
    LoadCalibration();
    for (int p = 0; p < 3; ++p) {
        EXPECT_EQ(Preset(p), (Rgb{36, 36, 48})) << "blank, preset " << p;
    }
    EXPECT_EQ(SensorTuning.AwbGreen, 36u);

    // A read that fails and delivers nothing gives the same.
    SetEeprom(67, 1, 2, 3);
    SetEeprom(70, 1, 2, 3);
    SetEeprom(73, 1, 2, 3);
    bridge.eepromDelivers = false;
    LoadCalibration();
    for (int p = 0; p < 3; ++p) {
        EXPECT_EQ(Preset(p), (Rgb{36, 36, 48})) << "silent, preset " << p;
    }
}

TEST_F(WhiteBalanceTest, CalibrationFromTheRegistry) {
    struct Case {
        uint32_t rateLevel;
        bool stored;
        Rgb expected[3];
    };
    const Case cases[] = {
        {0, false, {{74, 80, 237}, {74, 80, 237}, {74, 80, 237}}},
        {1, false, {{36, 36, 48}, {36, 36, 48}, {36, 36, 48}}},
        {0xFFFFFFFF, false, {{36, 36, 48}, {36, 36, 48}, {36, 36, 48}}},
        // A stored 0 is not replaced; bits above 23 are ignored.
        {0, true, {{0x12, 0x34, 0x56}, {0, 0, 0}, {0xAB, 0xCD, 0xEF}}},
    };
    for (const Case& c : cases) {
        bridge.ClearCalls();
        bridge.registry.clear();
        if (c.stored) {
            bridge.registry[u"MicFluorRGB"] = 0x123456;
            bridge.registry[u"MicIncndRGB"] = 0;
            bridge.registry[u"MicNaturRGB"] = 0xFFABCDEF;
        }
        bridge.device.RateLevel = c.rateLevel;
        LoadCalibration();
        for (int p = 0; p < 3; ++p) {
            EXPECT_EQ(Preset(p), c.expected[p]) << "rate " << c.rateLevel << ", preset " << p;
        }
        EXPECT_EQ(SensorTuning.AwbGreen, c.expected[0].green);

        const uint32_t fallback = c.rateLevel != 0 ? 0x242430 : 0x4A50ED;
        struct Read {
            const char* name;
            uint32_t bytes, defaultValue;
        };
        const Read reads[] = {
            {"MicFluorRGB", 24, fallback},      {"MicIncndRGB", 24, fallback},
            {"MicNaturRGB", 24, fallback},      {"MIC0360_RG_BG_Ratio", 40, 0x8080},
            {"MIC0360_USE_Extra_Clock", 48, 0}, {"Use_Dark_Higher_fps", 40, 0},
        };
        const auto calls = bridge.CallsTo(BRIDGE_SLOT_READ_REGISTRY_DWORD);
        ASSERT_EQ(calls.size(), 6u);
        ASSERT_EQ(bridge.calls.size(), 6u);
        for (size_t i = 0; i < 6; ++i) {
            EXPECT_EQ(calls[i].bytes, Utf16Bytes(reads[i].name)) << reads[i].name;
            EXPECT_EQ(calls[i].args[0], reads[i].bytes) << reads[i].name;
            EXPECT_EQ(calls[i].args[2], reads[i].defaultValue) << reads[i].name;
        }
        // The three preset variables and the option variable start at 0.
        for (size_t i : {0, 1, 2, 4}) {
            EXPECT_EQ(calls[i].args[1], 0u) << reads[i].name;
        }
    }
}

TEST_F(WhiteBalanceTest, CalibrationOptions) {
    struct Case {
        std::map<std::u16string, uint32_t> registry;
        uint32_t ratioCalib, redRatio, blueRatio, extraClock, darkHigherFps, exposureMax;
    };
    const Case cases[] = {
        {{}, 0x8080, 128, 128, 0, 0, 90},
        {{{u"MIC0360_RG_BG_Ratio", 0x7A90}}, 0x7A90, 122, 144, 0, 0, 90},
        {{{u"MIC0360_RG_BG_Ratio", 0xFFFF0102}}, 0xFFFF0102, 1, 2, 0, 0, 90},
        {{{u"MIC0360_USE_Extra_Clock", 1}}, 0x8080, 128, 128, 1, 0, 90},
        {{{u"MIC0360_USE_Extra_Clock", 2}}, 0x8080, 128, 128, 0, 0, 90},
        {{{u"MIC0360_USE_Extra_Clock", 0xFFFFFFFF}}, 0x8080, 128, 128, 0, 0, 90},
        {{{u"Use_Dark_Higher_fps", 1}}, 0x8080, 128, 128, 0, 1, 70},
        {{{u"Use_Dark_Higher_fps", 0x80000000}}, 0x8080, 128, 128, 0, 0x80000000, 70},
    };
    for (const Case& c : cases) {
        // Values from an earlier load must not survive a load without them.
        SensorTuning.ExtraClock = 1;
        SensorTuning.DarkHigherFps = 5;
        SensorTuning.RedRatio = SensorTuning.BlueRatio = 7;
        bridge.registry = c.registry;
        LoadCalibration();
        EXPECT_EQ(SensorTuning.RatioCalib, c.ratioCalib);
        EXPECT_EQ(SensorTuning.RedRatio, c.redRatio);
        EXPECT_EQ(SensorTuning.BlueRatio, c.blueRatio);
        EXPECT_EQ(SensorTuning.ExtraClock, c.extraClock);
        EXPECT_EQ(SensorTuning.DarkHigherFps, c.darkHigherFps);
        EXPECT_EQ(SensorTuning.ExposureMaxConfigured, c.exposureMax);
    }
}

TEST_F(WhiteBalanceTest, RatioBaseFollowsTheUserBalance) {
    bridge.registry[u"MIC0360_RG_BG_Ratio"] = (122 << 8) | 144;
    LoadCalibration();
    EXPECT_EQ(SensorTuning.RedRatio, 122u);
    EXPECT_EQ(SensorTuning.BlueRatio, 144u);
    Command(SENSOR_CMD_SET_RED_BALANCE, 40);
    EXPECT_EQ(SensorTuning.RedRatio, 130u);
    Command(SENSOR_CMD_SET_RED_BALANCE, 32);
    EXPECT_EQ(SensorTuning.RedRatio, 122u);
    Command(SENSOR_CMD_SET_BLUE_BALANCE, 0);
    EXPECT_EQ(SensorTuning.BlueRatio, 112u);
}

TEST_F(WhiteBalanceTest, SelectPreset) {
    const uint32_t presets[3][3] = {{10, 11, 12}, {20, 0x121, 22}, {0xFF30, 31, 0x1FF}};
    std::copy(&presets[0][0], &presets[0][0] + 9, &bridge.device.PresetRgb[0][0]);
    struct Case {
        uintptr_t value;
        Rgb expected;  // only the low byte of each component is taken
    };
    const Case cases[] = {
        {0, {10, 11, 12}},
        {1, {20, 0x21, 22}},
        {2, {0x30, 31, 0xFF}},
        {3, {0x30, 31, 0xFF}},                                            // keeps what is in force
        {kAbove32, kWideFields ? Rgb{0x30, 31, 0xFF} : Rgb{10, 11, 12}},  // whole field
        {SignExtended(-1), kWideFields ? Rgb{0x30, 31, 0xFF} : Rgb{10, 11, 12}},
    };
    Rgb inForce{};
    for (const Case& c : cases) {
        bridge.ClearCalls();
        SensorTuning.AwbRed = SensorTuning.AwbBlue = 0xFFFFFFFF;
        Command(SENSOR_CMD_SELECT_PRESET, c.value);
        inForce = {bridge.device.WbRed, bridge.device.WbGreen, bridge.device.WbBlue};
        EXPECT_EQ(inForce, c.expected) << "value " << c.value;
        EXPECT_EQ(SensorTuning.AwbRed, c.expected.red);
        EXPECT_EQ(SensorTuning.AwbBlue, c.expected.blue);
        const uint16_t g = static_cast<uint16_t>(c.expected.green);
        EXPECT_EQ(bridge.SensorWrites(),
                  (std::vector<SensorWrite>{{43, g},
                                            {46, g},
                                            {53, g},
                                            {44, static_cast<uint16_t>(c.expected.blue)},
                                            {45, static_cast<uint16_t>(c.expected.red)}}));
        EXPECT_EQ(bridge.calls.size(), 5u);
        EXPECT_EQ(SensorTuning.SensorShadow[13], 0u);
    }
}

TEST_F(WhiteBalanceTest, BalanceControlsBecomeRatios) {
    bridge.controls[BRIDGE_CONTROL_RED_BALANCE] = 40;
    bridge.controls[BRIDGE_CONTROL_BLUE_BALANCE] = -1;
    SensorTuning.RatioCalib = 0x7A90;  // red base 122, blue base 144
    for (uintptr_t value : {uintptr_t{1}, kAllOnes, kAbove32}) {
        if (value == 0) {
            continue;  // 2^32 in the 32-bit build takes the other form
        }
        bridge.ClearCalls();
        Command(SENSOR_CMD_LOAD_BALANCE_CONTROLS, value, 77, 88);
        EXPECT_EQ(bridge.Trace(), (std::vector<std::string>{"get 21", "get 22"}));
        EXPECT_EQ(bridge.device.RedOffset, 40);
        EXPECT_EQ(SensorTuning.RedRatio, 130u);
        EXPECT_EQ(bridge.device.BlueOffset, -1);
        EXPECT_EQ(SensorTuning.BlueRatio, 111u);
        EXPECT_EQ(last.Value, kAllOnes);  // the blue value, sign-extended
        EXPECT_EQ(last.Value2, 77u);
    }
}

TEST_F(WhiteBalanceTest, BalanceControlsToBridgeGains) {
    // Control ids come from the low 32 bits of Value2 and Value3.
    bridge.controls[5] = 200;
    bridge.controls[6] = -3;
    Command(SENSOR_CMD_QUERY_RATE_VALUES);  // restarts the throttle
    bridge.ClearCalls();

    // First command: counts 1 and 2, both dropped.
    Command(SENSOR_CMD_LOAD_BALANCE_CONTROLS, 0, kAbove32 + 5, kAbove32 + 6);
    EXPECT_EQ(bridge.Trace(), (std::vector<std::string>{"get 5", "get 6"}));
    EXPECT_EQ(last.Value, 4u);
    EXPECT_EQ(last.Value2, SignExtended(-3));
    EXPECT_EQ(last.Value3, kAbove32 + 6);

    // Second: count 3 writes red (clipped to 63), the blue request is dropped.
    bridge.ClearCalls();
    Command(SENSOR_CMD_LOAD_BALANCE_CONTROLS, 0, 5, 6);
    EXPECT_EQ(bridge.Trace(), (std::vector<std::string>{"get 5", "bridge 21=63", "get 6"}));
    EXPECT_EQ(SensorTuning.BalanceCallCount, 0u);

    // One request later the blue one is let through: -3 is clipped as an
    // unsigned number.
    Command(SENSOR_CMD_WRITE_BALANCE_GAIN, 1, 0);
    bridge.ClearCalls();
    Command(SENSOR_CMD_LOAD_BALANCE_CONTROLS, 0, 5, 6);
    EXPECT_EQ(bridge.Trace(), (std::vector<std::string>{"get 5", "get 6", "bridge 23=63"}));
}

TEST_F(WhiteBalanceTest, BalanceGainThrottle) {
    // After command 5 the first two requests are dropped, then every fourth
    // goes through: requests 3, 7, 11, ...
    struct Request {
        uintptr_t channel, gain;
        std::vector<BridgeWrite> written;
    };
    const Request script[] = {
        {1, 10, {}},
        {2, 10, {}},
        {1, 17, {{21, 17}}},
        {1, 1, {}},
        {2, 1, {}},
        {4, 1, {}},
        {4, 200, {{23, 63}}},
        {1, 0, {}},
        {1, 0, {}},
        {1, 0, {}},
        {2, 0xFFFFFFFF, {{22, 63}}},
        {1, 0, {}},
        {1, 0, {}},
        {1, 0, {}},
        {3, 5, {}},  // would have written: the count still restarts
        {1, 0, {}},
        {1, 0, {}},
        {1, 0, {}},
        {kAbove32 + 4, kAbove32 + 63, {{23, 63}}},  // low 32 bits of both
        {1, 0, {}},
        {1, 0, {}},
        {1, 0, {}},
        {0, 9, {}},
        {1, 0, {}},
        {1, 0, {}},
        {1, 0, {}},
        {2, 64, {{22, 63}}},
    };
    Command(SENSOR_CMD_QUERY_RATE_VALUES);
    int n = 0;
    for (const Request& r : script) {
        ++n;
        bridge.ClearCalls();
        Command(SENSOR_CMD_WRITE_BALANCE_GAIN, r.channel, r.gain);
        EXPECT_EQ(bridge.BridgeRegWrites(), r.written) << "request " << n;
        EXPECT_EQ(bridge.calls.size(), r.written.size()) << "request " << n;
    }
    // Command 5 restarts the count at any point.
    Command(SENSOR_CMD_WRITE_BALANCE_GAIN, 1, 1);
    Command(SENSOR_CMD_QUERY_RATE_VALUES);
    bridge.ClearCalls();
    for (int i = 0; i < 3; ++i) {
        Command(SENSOR_CMD_WRITE_BALANCE_GAIN, 1, 5);
    }
    EXPECT_EQ(bridge.BridgeRegWrites(), (std::vector<BridgeWrite>{{21, 5}}));
}

TEST_F(WhiteBalanceTest, SensorGainReadBack) {
    struct Case {
        uintptr_t channel;
        int reg;  // -1: nothing read
        uint16_t stored;
        uintptr_t value;
    };
    const Case cases[] = {
        {1, 45, 0x00A0, 64},
        {2, 43, 0x0050, 80},
        {4, 44, 127, 127},
        {4, 44, 128, 0},
        {1, 45, 0xFFFF, 2 * 0xFFFF - 256},
        {kAbove32 + 2, 43, 200, 144},  // channel from the low 32 bits
        {0, -1, 0, kAllOnes},
        {3, -1, 0, kAllOnes},
        {8, -1, 0, kAllOnes},
        {kAllOnes, -1, 0, kAllOnes},
    };
    for (const Case& c : cases) {
        bridge.ClearCalls();
        if (c.reg >= 0) {
            bridge.sensorRegisters[c.reg] = c.stored;
        }
        SENSOR_COMMAND command = bridge.Command(SENSOR_CMD_READ_SENSOR_GAIN, c.channel);
        if (c.reg < 0) {
            command.Value = c.channel;  // left as it was
        }
        Run(command);
        if (c.reg < 0) {
            EXPECT_TRUE(bridge.calls.empty()) << "channel " << c.channel;
            EXPECT_EQ(command.Value, c.channel);
        } else {
            EXPECT_EQ(bridge.Trace(),
                      (std::vector<std::string>{"sensor read " + std::to_string(c.reg)}));
            EXPECT_EQ(command.Value, c.value) << "channel " << c.channel;  // zero-extended
        }
    }
}
