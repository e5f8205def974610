// The driver-wide tuning record, constant-initialised in the driver's data.
#include "sensor_tuning.h"

constinit SENSOR_TUNING SensorTuning = SensorTuningAtLoad;
