// Filling the sensor-control interface record on a matching query.
#include <cstring>

#include "sensor_fixture.h"

namespace {

void ReferenceStub(void*) {}

}  // namespace

TEST(SensorInterface, MatchingQueryFillsTheRecordAndKeepsTheHeader) {
    SENSOR_CONTROL_INTERFACE record;
    std::memset(&record, 0xCC, sizeof record);
    int context = 0;
    record.Context = &context;
    record.InterfaceReference = reinterpret_cast<SENSOR_INTERFACE_REFERENCE>(ReferenceStub);
    record.InterfaceDereference = nullptr;
    record.Size = 4;
    record.Version = 9;

    ASSERT_TRUE(FillSensorControlInterface(&GUID_SENSOR_CONTROL_INTERFACE, &record));
    EXPECT_EQ(record.Size, sizeof(void*) == 8 ? 0x70 : 0x38);
    EXPECT_EQ(record.Version, SENSOR_CONTROL_INTERFACE_VERSION);
    EXPECT_EQ(record.Context, &context);
    EXPECT_EQ(reinterpret_cast<void*>(record.InterfaceReference),
              reinterpret_cast<void*>(ReferenceStub));
    EXPECT_EQ(record.InterfaceDereference, nullptr);

    // Each entry point, called through the record as the bridge driver calls
    // it, does its own job.
    FakeProbeBus bus;
    uint32_t type = 0, config = 0;
    EXPECT_EQ(record.Probe0(&bus, &type, &config, &bus.services), 0x000300BAu);
    EXPECT_EQ(type, uint32_t{SENSOR_TYPE_DRIVEN});

    FakeBridge bridge;
    SENSOR_COMMAND query = bridge.Command(SENSOR_CMD_QUERY_CONSTANT);
    EXPECT_EQ(record.Command0(&query), SENSOR_STATUS_SUCCESS);
    EXPECT_EQ(query.Value, 13u);

    const int32_t auxType = 1;  // one the auxiliary check reports
    SENSOR_COMMAND aux = bridge.Command(SENSOR_CMD_QUERY_CONSTANT);
    aux.AuxDevice = &auxType;
    EXPECT_EQ(record.Command1(&aux), SENSOR_STATUS_NOT_SUPPORTED);
    EXPECT_EQ(aux.Status, SENSOR_STATUS_NOT_SUPPORTED);

    SENSOR_COMMAND command = bridge.Command(SENSOR_CMD_QUERY_CONSTANT, 3);
    const SENSOR_COMMAND before = command;
    for (SENSOR_COMMAND_ROUTINE stub : {record.Command2, record.Command3, record.Command4}) {
        EXPECT_EQ(stub(&command), SENSOR_STATUS_NOT_SUPPORTED);
        EXPECT_EQ(std::memcmp(&command, &before, sizeof command), 0);
    }
    int dummy = 0;
    EXPECT_EQ(record.Probe1(&dummy, &dummy, &dummy, &dummy, &dummy, &dummy), 0u);
    for (SENSOR_PROBE4_ROUTINE stub : {record.Probe2, record.Probe3, record.Probe4}) {
        EXPECT_EQ(stub(&dummy, &dummy, &dummy, &dummy), 0u);
    }
    EXPECT_TRUE(bridge.calls.empty());
}

TEST(SensorInterface, AnyDifferingGuidByteLeavesTheRecordAlone) {
    for (size_t byte = 0; byte < sizeof(CAMERA_GUID); ++byte) {
        CAMERA_GUID other = GUID_SENSOR_CONTROL_INTERFACE;
        reinterpret_cast<uint8_t*>(&other)[byte] ^= 0x01;
        SENSOR_CONTROL_INTERFACE record;
        std::memset(&record, 0x5A, sizeof record);
        SENSOR_CONTROL_INTERFACE before = record;
        EXPECT_FALSE(FillSensorControlInterface(&other, &record)) << "byte " << byte;
        EXPECT_EQ(std::memcmp(&record, &before, sizeof record), 0) << "byte " << byte;
    }
}
