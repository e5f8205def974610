// The command entry and dispatcher: sensor-type gate, status handling, refusal
// of missing pointers, and the commands the dispatcher carries out itself.
#include <cstring>

#include "sensor_fixture.h"

namespace {

constexpr SENSOR_STATUS kCallerFailure = static_cast<SENSOR_STATUS>(0xC0000001u);

bool SameBytes(const SENSOR_COMMAND& a, const SENSOR_COMMAND& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

}  // namespace

TEST_F(SensorTest, EveryKnownCodeSucceedsAndClearsACallerFailure) {
    for (int32_t code = 0; code <= SENSOR_CMD_LAST; ++code) {
        SensorTuning = SensorTuningAtLoad;
        FRAME_SIZES sizes{};
        SENSOR_COMMAND command = bridge.Command(code, 0, reinterpret_cast<uintptr_t>(&sizes));
        command.Status = kCallerFailure;
        EXPECT_EQ(Run(command), SENSOR_STATUS_SUCCESS) << "code " << code;
        EXPECT_EQ(command.Status, SENSOR_STATUS_SUCCESS) << "code " << code;
    }
}

TEST_F(SensorTest, UnknownCodesAreNotSupportedAndChangeNothingElse) {
    for (int32_t code : {23, 24, 0x7FFFFFFF, -1, static_cast<int32_t>(0x80000000u)}) {
        SENSOR_COMMAND command = bridge.Command(code, 0x1111, 0x2222, 0x3333, 0x4444);
        SENSOR_COMMAND expected = command;
        expected.Status = SENSOR_STATUS_NOT_SUPPORTED;
        SENSOR_DEVICE deviceBefore = bridge.device;

        EXPECT_EQ(Run(command), SENSOR_STATUS_NOT_SUPPORTED) << "code " << code;
        EXPECT_TRUE(SameBytes(command, expected)) << "code " << code;
        EXPECT_EQ(std::memcmp(&deviceBefore, &bridge.device, sizeof deviceBefore), 0);
        EXPECT_TRUE(bridge.calls.empty());
        EXPECT_EQ(std::memcmp(&SensorTuning, &SensorTuningAtLoad, sizeof SensorTuning), 0);
    }
}

TEST_F(SensorTest, NoOperationCodesTouchOnlyStatus) {
    for (int32_t code : {SENSOR_CMD_NOP_12, SENSOR_CMD_NOP_15, SENSOR_CMD_NOP_22}) {
        SENSOR_COMMAND command = bridge.Command(code, 7, 8, 9, 10);
        SENSOR_COMMAND expected = command;
        expected.Status = SENSOR_STATUS_SUCCESS;
        EXPECT_EQ(Run(command), SENSOR_STATUS_SUCCESS);
        EXPECT_TRUE(SameBytes(command, expected)) << "code " << code;
        EXPECT_TRUE(bridge.calls.empty());
    }
}

TEST_F(SensorTest, SensorTypeGate) {
    struct Case {
        int32_t type;
        SENSOR_STATUS result;
        SENSOR_STATUS status;
    };
    const Case cases[] = {
        {SENSOR_TYPE_DRIVEN, SENSOR_STATUS_SUCCESS, SENSOR_STATUS_SUCCESS},
        {SENSOR_TYPE_UNSUPPORTED, SENSOR_STATUS_NOT_SUPPORTED, SENSOR_STATUS_NOT_SUPPORTED},
        {5, SENSOR_STATUS_NOT_SUPPORTED, kCallerFailure},
        {0, SENSOR_STATUS_NOT_SUPPORTED, kCallerFailure},
        {-18, SENSOR_STATUS_NOT_SUPPORTED, kCallerFailure},
    };
    for (const Case& c : cases) {
        bridge.device.SensorType = c.type;
        SENSOR_COMMAND command = bridge.Command(SENSOR_CMD_QUERY_CONSTANT, 99);
        EXPECT_EQ(Command0(&command), c.result) << "type " << c.type;
        EXPECT_EQ(command.Status, c.status) << "type " << c.type;
        EXPECT_EQ(command.Value, c.type == SENSOR_TYPE_DRIVEN ? 13u : 99u) << "type " << c.type;
    }
}

TEST_F(SensorTest, MissingPointersAreRefused) {
    EXPECT_EQ(Command0(nullptr), SENSOR_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Command1(nullptr), SENSOR_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(DispatchSensorCommand(nullptr), SENSOR_STATUS_INVALID_PARAMETER);
    SENSOR_COMMAND withoutDevice = bridge.Command(SENSOR_CMD_QUERY_CONSTANT, 5);
    withoutDevice.Device = nullptr;
    SENSOR_COMMAND withoutTable = bridge.Command(SENSOR_CMD_QUERY_CONSTANT, 5);
    withoutTable.Bridge = nullptr;
    for (SENSOR_COMMAND* direct : {&withoutDevice, &withoutTable}) {
        EXPECT_EQ(DispatchSensorCommand(direct), SENSOR_STATUS_INVALID_PARAMETER);
        EXPECT_EQ(direct->Status, SENSOR_STATUS_INVALID_PARAMETER);
        EXPECT_EQ(direct->Value, 5u);
    }

    SENSOR_COMMAND noDevice = bridge.Command(SENSOR_CMD_QUERY_CONSTANT, 5);
    noDevice.Device = nullptr;
    EXPECT_EQ(Command0(&noDevice), SENSOR_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(noDevice.Status, SENSOR_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(noDevice.Value, 5u);

    SENSOR_COMMAND noBridge = bridge.Command(SENSOR_CMD_QUERY_RATE_VALUES, 5, 6, 7, 8);
    noBridge.Bridge = nullptr;
    SENSOR_COMMAND expected = noBridge;
    expected.Status = SENSOR_STATUS_INVALID_PARAMETER;
    EXPECT_EQ(Command0(&noBridge), SENSOR_STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(SameBytes(noBridge, expected));
    EXPECT_EQ(std::memcmp(&SensorTuning, &SensorTuningAtLoad, sizeof SensorTuning), 0);

    // The entry refuses a missing table whatever the sensor type, not only
    // when the type would have reached the dispatcher.
    for (int32_t type : {SENSOR_TYPE_UNSUPPORTED, 5}) {
        bridge.device.SensorType = type;
        SENSOR_COMMAND command = bridge.Command(SENSOR_CMD_QUERY_CONSTANT, 5);
        command.Bridge = nullptr;
        EXPECT_EQ(Command0(&command), SENSOR_STATUS_INVALID_PARAMETER) << "type " << type;
        EXPECT_EQ(command.Status, SENSOR_STATUS_INVALID_PARAMETER) << "type " << type;
        EXPECT_EQ(command.Value, 5u);
    }
    bridge.device.SensorType = SENSOR_TYPE_DRIVEN;

    // Command 2 without a FRAME_SIZES record: refused before any calibration
    // is read, so neither the bridge nor the tuning record hears of it.
    bridge.registry[u"MicFluorRGB"] = 0x112233;
    SENSOR_COMMAND noSizes = bridge.Command(SENSOR_CMD_LOAD_CALIBRATION, 640, 0);
    SENSOR_COMMAND refused = noSizes;
    refused.Status = SENSOR_STATUS_INVALID_PARAMETER;
    EXPECT_EQ(Command0(&noSizes), SENSOR_STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(SameBytes(noSizes, refused));
    EXPECT_TRUE(bridge.calls.empty());
    EXPECT_EQ(std::memcmp(&SensorTuning, &SensorTuningAtLoad, sizeof SensorTuning), 0);

    SENSOR_COMMAND noAux = bridge.Command(0);
    EXPECT_EQ(Command1(&noAux), SENSOR_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(noAux.Status, SENSOR_STATUS_INVALID_PARAMETER);
}

TEST_F(SensorTest, AuxiliaryTypeCheck) {
    for (int32_t type : {0, 1, 2, 16, 18, -1}) {
        SENSOR_COMMAND command = bridge.Command(0);
        command.AuxDevice = &type;
        const bool told = type == 1 || type == 2 || type == 16;
        EXPECT_EQ(Command1(&command), SENSOR_STATUS_NOT_SUPPORTED) << "type " << type;
        EXPECT_EQ(command.Status, told ? SENSOR_STATUS_NOT_SUPPORTED : kCallerFailure)
            << "type " << type;
    }
    EXPECT_TRUE(bridge.calls.empty());
}

TEST_F(SensorTest, StubCommandsAnswerNotSupportedWithoutWriting) {
    SENSOR_COMMAND command = bridge.Command(SENSOR_CMD_QUERY_CONSTANT, 3);
    SENSOR_COMMAND before = command;
    for (SENSOR_COMMAND_ROUTINE stub : {Command2, Command3, Command4}) {
        EXPECT_EQ(stub(&command), SENSOR_STATUS_NOT_SUPPORTED);
        EXPECT_TRUE(SameBytes(command, before));
    }
    int dummy = 0;
    EXPECT_EQ(Probe1(&dummy, &dummy, &dummy, &dummy, &dummy, &dummy), 0u);
    for (SENSOR_PROBE4_ROUTINE stub : {Probe2, Probe3, Probe4}) {
        EXPECT_EQ(stub(&dummy, &dummy, &dummy, &dummy), 0u);
    }
    EXPECT_EQ(dummy, 0);
}

TEST_F(SensorTest, QueryConstantWritesTheWholeField) {
    SENSOR_COMMAND command = bridge.Command(SENSOR_CMD_QUERY_CONSTANT, UINTPTR_MAX);
    EXPECT_EQ(Run(command), SENSOR_STATUS_SUCCESS);
    EXPECT_EQ(command.Value, 13u);
}

TEST_F(SensorTest, QueryRateValuesByRateLevel) {
    struct Case {
        uint32_t rateLevel;
        uintptr_t values[4];
    };
    const Case cases[] = {{0, {0, 35, 50, 25}},
                          {1, {0, 38, 50, 20}},
                          {7, {0, 38, 50, 20}},
                          {0xFFFFFFFF, {0, 38, 50, 20}}};
    for (const Case& c : cases) {
        bridge.device.RateLevel = c.rateLevel;
        SensorTuning.BalanceCallCount = 200;
        SENSOR_COMMAND command = bridge.Command(SENSOR_CMD_QUERY_RATE_VALUES, UINTPTR_MAX,
                                                UINTPTR_MAX, UINTPTR_MAX, UINTPTR_MAX);
        EXPECT_EQ(Run(command), SENSOR_STATUS_SUCCESS);
        EXPECT_EQ(command.Value, c.values[0]);
        EXPECT_EQ(command.Value2, c.values[1]) << "rate " << c.rateLevel;
        EXPECT_EQ(command.Value3, c.values[2]);
        EXPECT_EQ(command.Value4, c.values[3]) << "rate " << c.rateLevel;
        EXPECT_EQ(SensorTuning.BalanceCallCount, 0);
    }
    EXPECT_TRUE(bridge.calls.empty());
}

TEST_F(SensorTest, UserBalanceSetsOffsetsAndRatios) {
    SensorTuning.RatioCalib = 0x8080;
    struct Case {
        int32_t code;
        uintptr_t value;
        int32_t offset;
        uint32_t ratio;
    };
    const Case cases[] = {
        {SENSOR_CMD_SET_RED_BALANCE, 32, 32, 128},
        {SENSOR_CMD_SET_BLUE_BALANCE, 0, 0, 96},
        {SENSOR_CMD_SET_RED_BALANCE, 0xFFFFFFFFu, -1, 95},
        // Only the low 32 bits count: the upper half of a 64-bit field is ignored.
        {SENSOR_CMD_SET_BLUE_BALANCE, static_cast<uintptr_t>(0xFFFFFFFF00000028ull), 40, 136},
    };
    for (const Case& c : cases) {
        SENSOR_COMMAND command = bridge.Command(c.code, c.value);
        EXPECT_EQ(Run(command), SENSOR_STATUS_SUCCESS);
        const bool red = c.code == SENSOR_CMD_SET_RED_BALANCE;
        EXPECT_EQ(red ? bridge.device.RedOffset : bridge.device.BlueOffset, c.offset);
        EXPECT_EQ(red ? SensorTuning.RedRatio : SensorTuning.BlueRatio, c.ratio);
    }
    EXPECT_TRUE(bridge.calls.empty());
}

TEST_F(SensorTest, UserBalanceUsesTheCalibratedBases) {
    SensorTuning.RatioCalib = (122u << 8) | 144u;
    SENSOR_COMMAND red = bridge.Command(SENSOR_CMD_SET_RED_BALANCE, 40);
    Run(red);
    EXPECT_EQ(SensorTuning.RedRatio, 130u);
    SENSOR_COMMAND blue = bridge.Command(SENSOR_CMD_SET_BLUE_BALANCE, 32);
    Run(blue);
    EXPECT_EQ(SensorTuning.BlueRatio, 144u);
}
