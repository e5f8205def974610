// Filling the sensor-control interface record on a matching query.
#include <cstring>

#include "sensor_fixture.h"

namespace {

void ReferenceStub(void*) {}

}  // namespace

TEST(SensorInterface, MatchingQueryFillsSlotsAndKeepsTheHeader) {
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
    EXPECT_EQ(record.Version, 0x0100);
    EXPECT_EQ(record.Context, &context);
    EXPECT_EQ(reinterpret_cast<void*>(record.InterfaceReference),
              reinterpret_cast<void*>(ReferenceStub));
    EXPECT_EQ(record.InterfaceDereference, nullptr);
    EXPECT_EQ(record.Probe0, ProbeSensor);
    EXPECT_EQ(record.Command0, Command0);
    EXPECT_EQ(record.Probe1, Probe1);
    EXPECT_EQ(record.Command1, Command1);
    EXPECT_EQ(record.Probe2, Probe2);
    EXPECT_EQ(record.Command2, Command2);
    EXPECT_EQ(record.Probe3, Probe3);
    EXPECT_EQ(record.Command3, Command3);
    EXPECT_EQ(record.Probe4, Probe4);
    EXPECT_EQ(record.Command4, Command4);
    // The five pairs are ten distinct entry points.
    const void* slots[] = {
        reinterpret_cast<void*>(record.Probe0), reinterpret_cast<void*>(record.Command0),
        reinterpret_cast<void*>(record.Probe1), reinterpret_cast<void*>(record.Command1),
        reinterpret_cast<void*>(record.Probe2), reinterpret_cast<void*>(record.Command2),
        reinterpret_cast<void*>(record.Probe3), reinterpret_cast<void*>(record.Command3),
        reinterpret_cast<void*>(record.Probe4), reinterpret_cast<void*>(record.Command4)};
    for (size_t i = 0; i < 10; ++i) {
        for (size_t j = i + 1; j < 10; ++j) {
            EXPECT_NE(slots[i], slots[j]) << i << " " << j;
        }
    }
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
