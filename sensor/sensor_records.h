// The records shared with the bridge driver, as orvane's sensor logic sees
// them: the public header the bridge driver compiles against, so both sides
// agree on every layout by construction, plus the status values orvane
// answers with.
//
// Platform-free: no kernel header is included, so the sensor logic builds
// unchanged for the kernel images and for the host tests, and has no
// NTSTATUS names of its own.
#pragma once

#include "camera_sensor_control.h"

constexpr SENSOR_STATUS SENSOR_STATUS_SUCCESS = 0;
constexpr SENSOR_STATUS SENSOR_STATUS_NOT_SUPPORTED = static_cast<SENSOR_STATUS>(0xC00000BBu);
constexpr SENSOR_STATUS SENSOR_STATUS_INVALID_PARAMETER = static_cast<SENSOR_STATUS>(0xC000000Du);
