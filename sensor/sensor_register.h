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

// The sensor's registers that orvane names. Registers written only by the
// start-up sequence, whose meaning is undocumented, appear there by number.
//
// Shadowed (0 to 13):
constexpr uint8_t SENSOR_WINDOW_HEIGHT_REGISTER = 3;        // rows read out: 480
constexpr uint8_t SENSOR_WINDOW_WIDTH_REGISTER = 4;         // columns read out: 640
constexpr uint8_t SENSOR_HORIZONTAL_BLANKING_REGISTER = 5;  // blank columns added to every row
constexpr uint8_t SENSOR_VERTICAL_BLANKING_REGISTER = 6;    // blank rows added to every frame
constexpr uint8_t SENSOR_SHUTTER_REGISTER = 9;              // exposure in rows
// Each column of a row, blank or not, lasts value + 2 pixel clocks; orvane
// writes 0.
constexpr uint8_t SENSOR_CLOCK_CONTROL_REGISTER = 10;
// Adds 4 pixel clocks a unit to every exposure; otherwise undocumented.
// orvane never writes it, so its shadow entry stays 0.
constexpr uint8_t SENSOR_EXPOSURE_ADJUST_REGISTER = 12;
// Not shadowed:
// Bits 14 and 15 are switched by the bridge driver (commands 8 and 9); the
// rest is undocumented and set once at start-up.
constexpr uint8_t SENSOR_MODE_REGISTER = 32;
// Colour gains, set from the white-balance preset (command 4) and read back
// by command 19; the bridge chip's own gains do the steering.
constexpr uint8_t SENSOR_GREEN1_REGISTER = 43;
constexpr uint8_t SENSOR_BLUE_REGISTER = 44;
constexpr uint8_t SENSOR_RED_REGISTER = 45;
constexpr uint8_t SENSOR_GREEN2_REGISTER = 46;
// Global gain: the preset's green (command 4), then a GainTable code chosen
// by the exposure index (command 10).
constexpr uint8_t SENSOR_GLOBAL_GAIN_REGISTER = 53;

// Reads one register. A transfer that delivers no bytes reads as 0.
SENSOR_STATUS ReadSensorRegister(const SENSOR_COMMAND* command, uint8_t reg, uint32_t* value);

// Writes the low 16 bits of value to one register.
SENSOR_STATUS WriteSensorRegister(const SENSOR_COMMAND* command, uint8_t reg, uint32_t value);

// The last value orvane asked to write to register 0..13 (0 if none since load).
uint16_t ReadShadowRegister(uint8_t reg);
