// Sensor register access: the only way orvane reaches the sensor's registers.
//
// The sensor has 8-bit register numbers and 16-bit values and sits on the
// bridge's serial bus at SENSOR_DEVICE.SensorAddress. A read is one transfer
// (write the register number, read two bytes, high byte first); a write is one
// three-byte transfer (register, high byte, low byte). Writes to registers 0 to
// 13 are remembered in SENSOR_TUNING.SensorShadow, whatever the transfer's
// outcome, so the exposure arithmetic can use them without touching the bus.
#pragma once

#include "sensor_records.h"

// Reads one register. A transfer that delivers no bytes reads as 0.
SENSOR_STATUS ReadSensorRegister(const SENSOR_COMMAND* command, uint8_t reg, uint32_t* value);

// Writes the low 16 bits of value to one register.
SENSOR_STATUS WriteSensorRegister(const SENSOR_COMMAND* command, uint8_t reg, uint32_t value);

// The last value orvane asked to write to register 0..13 (0 if none since load).
uint16_t ReadShadowRegister(uint8_t reg);
