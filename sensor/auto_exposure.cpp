// The auto-exposure loop, one frame of statistics per step.
#include "sensor_commands.h"

void AutoExposureStep(SENSOR_COMMAND*) {}
