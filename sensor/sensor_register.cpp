// Sensor register frames on the bridge's serial bus, and the shadow of
// registers 0 to 13.
#include "sensor_register.h"

#include "bridge_calls.h"
#include "sensor_tuning.h"

SENSOR_STATUS ReadSensorRegister(const SENSOR_COMMAND* command, uint8_t reg, uint32_t* value) {
    uint8_t request[1] = {reg};
    // Pre-set so that a transfer that fails without delivering bytes reads as 0.
    uint8_t reply[2] = {0, 0};
    SENSOR_STATUS status =
        CallBusWriteRead(command, command->Device->SensorAddress, 1, request, 2, reply);
    *value = (static_cast<uint32_t>(reply[0]) << 8) | reply[1];
    return status;
}

SENSOR_STATUS WriteSensorRegister(const SENSOR_COMMAND* command, uint8_t reg, uint32_t value) {
    // The shadow records what was meant to be written, before the transfer and
    // whatever its outcome.
    if (reg < SENSOR_SHADOW_REGISTERS) {
        SensorTuning.SensorShadow[reg] = static_cast<uint16_t>(value);
    }
    uint8_t frame[3] = {reg, static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
    return CallBusWrite(command, command->Device->SensorAddress, 3, frame);
}

uint16_t ReadShadowRegister(uint8_t reg) {
    return reg < SENSOR_SHADOW_REGISTERS ? SensorTuning.SensorShadow[reg] : 0;
}
