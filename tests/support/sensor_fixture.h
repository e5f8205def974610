// Test fixture for the sensor logic: a fresh fake bridge and the driver-wide
// tuning record put back to its load-time values before each test.
#pragma once

#include <gtest/gtest.h>

#include "fake_bridge.h"
#include "sensor_control.h"
#include "sensor_tuning.h"

class SensorTest : public ::testing::Test {
  protected:
    void SetUp() override { SensorTuning = SensorTuningAtLoad; }

    // Runs one command through Command0 and returns its result.
    SENSOR_STATUS Run(SENSOR_COMMAND& command) { return Command0(&command); }

    FakeBridge bridge;
};
