// Sensor register frames on the bus, the shadow of registers 0..13, and the probe.
#include "sensor_fixture.h"
#include "sensor_register.h"

TEST_F(SensorTest, WriteFramesAndShadow) {
    struct Case {
        uint8_t reg;
        uint32_t value;
        std::vector<uint8_t> frame;
        bool shadowed;
    };
    const Case cases[] = {
        {32, 0x1100, {0x20, 0x11, 0x00}, false},
        {3, 480, {0x03, 0x01, 0xE0}, true},
        {13, 0x1234, {0x0D, 0x12, 0x34}, true},
        {0, 0xABCD1234, {0x00, 0x12, 0x34}, true},  // only the low 16 bits travel
        {14, 7, {0x0E, 0x00, 0x07}, false},
        {255, 0xFFFF, {0xFF, 0xFF, 0xFF}, false},
    };
    SENSOR_COMMAND command = bridge.Command(0);
    bridge.device.SensorAddress = 0x5C;
    for (const Case& c : cases) {
        bridge.ClearCalls();
        uint16_t shadowBefore[SENSOR_SHADOW_REGISTERS];
        std::copy(std::begin(SensorTuning.SensorShadow), std::end(SensorTuning.SensorShadow),
                  shadowBefore);
        WriteSensorRegister(&command, c.reg, c.value);
        ASSERT_EQ(bridge.calls.size(), 1u);
        EXPECT_EQ(bridge.calls[0], (BridgeCall{BRIDGE_SLOT_BUS_WRITE, {0x5C, 3}, c.frame}));
        for (uint8_t r = 0; r < SENSOR_SHADOW_REGISTERS; ++r) {
            const uint16_t expected =
                (c.shadowed && r == c.reg) ? static_cast<uint16_t>(c.value) : shadowBefore[r];
            EXPECT_EQ(SensorTuning.SensorShadow[r], expected) << "register " << int(r);
            EXPECT_EQ(ReadShadowRegister(r), expected);
        }
    }
}

TEST_F(SensorTest, ReadFrameAndByteOrder) {
    SENSOR_COMMAND command = bridge.Command(0);
    bridge.sensorRegisters[0x2B] = 0x8243;
    uint32_t value = 0xFFFFFFFF;
    ReadSensorRegister(&command, 0x2B, &value);
    EXPECT_EQ(value, 0x8243u);
    ASSERT_EQ(bridge.calls.size(), 1u);
    EXPECT_EQ(bridge.calls[0], (BridgeCall{BRIDGE_SLOT_BUS_WRITE_READ, {0xBA, 1, 2}, {0x2B}}));
}

TEST_F(SensorTest, FailedReadDeliversZeroAndLeavesTheShadow) {
    SENSOR_COMMAND command = bridge.Command(0);
    bridge.busReadDelivers = false;
    bridge.sensorRegisters[5] = 0x1234;
    SensorTuning.SensorShadow[5] = 77;
    uint32_t value = 0xFFFFFFFF;
    ReadSensorRegister(&command, 5, &value);
    EXPECT_EQ(value, 0u);
    EXPECT_EQ(ReadShadowRegister(5), 77);
}

TEST(SensorProbe, RecognisedSensor) {
    FakeProbeBus bus;
    uint32_t type = 0x77, config = 0x77;
    EXPECT_EQ(ProbeSensor(&bus, &type, &config, &bus.services), 0x000300BAu);
    EXPECT_EQ(type, uint32_t{SENSOR_TYPE_DRIVEN});
    EXPECT_EQ(config, 0x00010101u);
    ASSERT_EQ(bus.calls.size(), 2u);
    EXPECT_EQ(bus.calls[0], (BridgeCall{0, {0xBA}, {}}));
    EXPECT_EQ(bus.calls[1], (BridgeCall{1, {0xBA, 1, 2, 3}, {0x00}}));
}

TEST(SensorProbe, OtherAnswersLeaveTheTypeAlone) {
    for (std::vector<uint8_t> reply :
         {std::vector<uint8_t>{0x43, 0x82}, std::vector<uint8_t>{}, std::vector<uint8_t>{0x82},
          std::vector<uint8_t>{0x82, 0x44}}) {
        FakeProbeBus bus;
        bus.reply = reply;
        uint32_t type = 0x77, config = 0x77;
        EXPECT_EQ(ProbeSensor(&bus, &type, &config, &bus.services), 0x000300BAu);
        EXPECT_EQ(type, 0x77u);
        EXPECT_EQ(config, 0x00010101u);
    }
}

TEST(SensorProbe, NothingAtTheAddress) {
    for (uint32_t check : {0u, 1u, 0x80000000u}) {
        FakeProbeBus bus;
        bus.checkResult = check;
        uint32_t type = 0x77, config = 0x77;
        const uint32_t result = ProbeSensor(&bus, &type, &config, &bus.services);
        if (check == 0) {
            EXPECT_EQ(result, 0u);
            EXPECT_EQ(config, 0x77u);
            EXPECT_EQ(bus.calls.size(), 1u);  // no transfer
        } else {
            EXPECT_EQ(result, 0x000300BAu);
            EXPECT_EQ(type, uint32_t{SENSOR_TYPE_DRIVEN});
        }
    }
}
