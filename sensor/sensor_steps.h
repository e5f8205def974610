// The steps that command routines share, each taking its data as parameters.
// A command routine reads its own value fields and answers in them; the steps
// it calls on the way are handed the command only for the bridge services and
// the device record, and never read or write its value fields.
#pragma once

#include "sensor_records.h"

// white_balance.cpp
// Part of command 2: the presets and options from the EEPROM or the registry.
void LoadCalibration(SENSOR_COMMAND* command);
// Part of command 5.
void RestartBalanceGainThrottle();
// Commands 4 and 3: selects preset 0 to 2 (any other number keeps the balance
// in force) and writes the balance to the sensor's colour gains.
void ProgramPreset(const SENSOR_COMMAND* command, uintptr_t preset);

// exposure.cpp
// Commands 6 and 3: the exposure timing for an anti-flicker mode; a mode above
// 3 keeps the timing in force. False, with nothing changed, while no clock
// has been chosen (no command 0 since load).
bool SetFlickerMode(const SENSOR_DEVICE* device, uint32_t mode);
// Commands 10, 11, 13 and 14: shutter and gain registers for an exposure
// index, then the bridge driver's cue to settle them.
void ProgramExposureIndex(const SENSOR_COMMAND* command, uintptr_t index);
