// Start-up and frame format: clock selection, frame sizes, the start-up
// sequence of bridge and sensor registers, and the two bits of register 32.
#include "sensor_commands.h"

void SelectClock(SENSOR_COMMAND*) {}
void LoadCalibrationAndFrameSizes(SENSOR_COMMAND*) {}
void StartSensor(SENSOR_COMMAND*) {}
void SetRegister32Bit14(SENSOR_COMMAND*) {}
void SetRegister32Bit15(SENSOR_COMMAND*) {}
