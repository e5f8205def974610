// Exposure timing and anti-flicker: the exposure index turned into shutter
// rows and a gain code, and converted between timings.
#include "sensor_commands.h"

void SetFlickerTiming(SENSOR_COMMAND*) {}
void LimitExposure(SENSOR_COMMAND*) {}
void ApplyExposureIndex(SENSOR_COMMAND*) {}
void ResetExposure(SENSOR_COMMAND*) {}
void RestartAutoExposure(SENSOR_COMMAND*) {}
