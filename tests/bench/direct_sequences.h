// The bridge call sequences of the benchmarked commands, made directly: the
// same slots, in the same order, with arguments of the same shape, but with
// none of orvane's work around them. The difference between a command and its
// sequence is orvane's own cost.
#pragma once

#include "sensor_records.h"

void DirectApplyExposure(const BRIDGE_SERVICES* bridge, void* context);      // command 10
void DirectExposureFrame(const BRIDGE_SERVICES* bridge, void* context);      // 14, frames 1-3
void DirectExposureVerdict(const BRIDGE_SERVICES* bridge, void* context);    // 14, holds
void DirectExposureStep(const BRIDGE_SERVICES* bridge, void* context);       // 14, moves
void DirectWhiteBalanceFrame(const BRIDGE_SERVICES* bridge, void* context);  // 17, frames 1-3
void DirectWhiteBalanceStep(const BRIDGE_SERVICES* bridge, void* context);   // 17, moves
void DirectFlickerTiming(const BRIDGE_SERVICES* bridge, void* context);      // 6
void DirectStartSensor(const BRIDGE_SERVICES* bridge, void* context);        // 3
