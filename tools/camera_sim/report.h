// What camera_sim prints: a table by period while it streams, and a summary
// of how the loops settled, the flicker, the still image and the unplugging.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "scenario.h"

namespace camera_sim {

// Rows of the table, one per this many frames.
constexpr uint32_t kTablePeriod = 16;
// Frames at the end of a phase over which the flicker's wander is measured.
constexpr uint32_t kWanderWindow = 32;

struct PhaseSummary {
    int aeFrames = -1;        // frames from the phase's start until AE settled for good; -1: never
    int awbFrames = -1;       // the same for AWB
    bool flickering = false;  // the light was on mains
    uint32_t wanderSpan = 0;  // max - min of luminance over the window
    double wanderStdDev = 0;  // standard deviation of frame-to-frame luminance changes
};

// One summary per phase of the run.
std::vector<PhaseSummary> Summarise(const Run& run);

void PrintTableHeader(std::FILE* out);
// Prints the row of `row` when it closes a period: luminance averaged over
// the period, the rest as the frame left them.
void PrintTableRow(std::FILE* out, const Run& run, const FrameRow& row);

struct OutputFiles {
    std::string folder, snapshot, trace;
    std::vector<std::string> plots;
};

void PrintSummary(std::FILE* out, const Run& run, const OutputFiles& files);

// One service call into the bridge driver as a trace line: the command it
// was made for, the service by name, its arguments, what it returned.
std::string DescribeCall(const BRIDGE_SERVICE_CALL& call);

}  // namespace camera_sim
