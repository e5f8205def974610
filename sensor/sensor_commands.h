// The command routines behind DispatchSensorCommand, one per command code,
// grouped by the module that owns them; commands 1 and 5 are answered by the
// dispatcher itself. Each runs to completion on the caller's thread and
// answers in the command's value fields; the dispatcher has already set
// Status to success, and only command 2 changes it, to refuse a missing
// FRAME_SIZES record. The steps they share are in sensor_steps.h.
#pragma once

#include "sensor_records.h"

// startup.cpp: clock selection, frame sizes, the start-up sequence, the mode
// register's bits.
void SelectClock(SENSOR_COMMAND* command);                   // 0
void LoadCalibrationAndFrameSizes(SENSOR_COMMAND* command);  // 2
void StartSensor(SENSOR_COMMAND* command);                   // 3
void SetRegister32Bit14(SENSOR_COMMAND* command);            // 8
void SetRegister32Bit15(SENSOR_COMMAND* command);            // 9

// white_balance.cpp: calibration, presets, user balance, colour gains.
void SelectPreset(SENSOR_COMMAND* command);         // 4
void LoadBalanceControls(SENSOR_COMMAND* command);  // 16
void WriteBalanceGain(SENSOR_COMMAND* command);     // 18
void ReadSensorGain(SENSOR_COMMAND* command);       // 19
void SetRedBalance(SENSOR_COMMAND* command);        // 20
void SetBlueBalance(SENSOR_COMMAND* command);       // 21

// exposure.cpp: anti-flicker timing and the exposure index.
void SetFlickerTiming(SENSOR_COMMAND* command);     // 6
void LimitExposure(SENSOR_COMMAND* command);        // 7
void ApplyExposureIndex(SENSOR_COMMAND* command);   // 10
void ResetExposure(SENSOR_COMMAND* command);        // 11
void RestartAutoExposure(SENSOR_COMMAND* command);  // 13

// auto_exposure.cpp
void AutoExposureStep(SENSOR_COMMAND* command);  // 14

// auto_white_balance.cpp
void AutoWhiteBalanceStep(SENSOR_COMMAND* command);  // 17
