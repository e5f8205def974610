// Bridge service tables for the benchmark: one whose every slot returns at
// once, to measure orvane's own cost, and one that records the order of the
// slots called, to check that a direct call sequence matches the one orvane
// makes.
#pragma once

#include <vector>

#include "sensor_records.h"

extern const BRIDGE_SERVICES NullBridge;

// Records slot numbers into *static_cast<std::vector<int>*>(context).
extern const BRIDGE_SERVICES RecordingBridge;
