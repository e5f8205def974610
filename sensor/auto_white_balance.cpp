// The auto-white-balance loop, one frame of statistics per step.
#include "sensor_commands.h"

void AutoWhiteBalanceStep(SENSOR_COMMAND*) {}
