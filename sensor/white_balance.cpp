// White-balance presets and calibration: loading from EEPROM or registry,
// preset selection, user balance controls and the bridge colour gains.
#include "sensor_commands.h"

void LoadCalibration(SENSOR_COMMAND*) {}
void SelectPreset(SENSOR_COMMAND*) {}
void LoadBalanceControls(SENSOR_COMMAND*) {}
void WriteBalanceGain(SENSOR_COMMAND*) {}
void ReadSensorGain(SENSOR_COMMAND*) {}
