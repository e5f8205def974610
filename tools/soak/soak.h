// Cameras plugged in and out of the user-mode kernel, over and over, while
// a camera program on a thread of its own has the bridge driver stream
// through orvane and deliver snapshots and trigger reports to tessip, and
// an application's threads send device controls, read snapshots and wait
// for trigger events.
//
// Every cycle: a camera is plugged in and started, which has the bridge
// driver query both interfaces and probe and start the sensor; the camera
// program streams through the bridge driver's own interface, the
// application opens the still-image interface and works it; then the
// camera leaves, by an orderly removal or by surprise. At surprise removal
// the bridge driver stops streaming by itself and so stops calling both
// filters. The application and the camera program close their devices when
// told the camera is going (as Windows lets a removal proceed only once the
// handles are closed), except for one handle the application forgets: its
// requests after removal must find no device. Each
// successful read must hold exactly one delivery's bytes; nothing may be
// left behind once the camera is gone.
//
// The kernel keeps every IRP it ever built until it is reset, so a long run
// starts a fresh kernel every few cycles (and checks its leaks on the way).
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace soak {

struct Options {
    unsigned cycles = 0;                    // stop after this many; 0: no limit
    unsigned minimumCycles = 0;             // but not before this many
    std::chrono::milliseconds duration{0};  // start no cycle after this; 0: no limit
    unsigned framesPerCycle = 200;          // streamed before the camera leaves
    unsigned cyclesPerKernel = 20;
    uint32_t snapshotWidth = 320;
    uint32_t snapshotHeight = 240;
};

struct Report {
    unsigned cycles = 0;
    unsigned surpriseRemovals = 0;
    unsigned kernels = 0;
    double seconds = 0;

    uint64_t frames = 0;      // each one command 14 and one command 17
    uint64_t triggers = 0;    // trigger reports
    uint64_t deliveries = 0;  // snapshot frames handed to tessip

    uint64_t reads = 0;
    uint64_t wholeReads = 0;  // exactly one delivery's bytes
    uint64_t emptyReads = 0;  // before the camera's first delivery: 0 bytes
    uint64_t busyReads = 0;   // overlapped by deliveries on every attempt
    uint64_t badReads = 0;
    uint64_t controls = 0;    // device controls tessip served
    uint64_t passedDown = 0;  // queries of the bridge driver, passed down by tessip
    uint64_t opens = 0;
    uint64_t eventWakes = 0;  // waits released by a trigger event

    // Refused as they should be: opens once the camera is unplugged (no
    // interface, or the bridge driver's STATUS_DELETE_PENDING), reads and
    // controls after surprise removal (STATUS_DELETE_PENDING, from tessip or
    // the bridge driver below it), requests on the forgotten handle once the
    // camera is gone (STATUS_NO_SUCH_DEVICE).
    uint64_t refusedOpens = 0;
    uint64_t refusedGone = 0;
    uint64_t refusedNoDevice = 0;

    // Once each camera was gone, summed over cycles.
    uint64_t poolBlocksLeft = 0;
    uint64_t irpsLeft = 0;
    uint64_t devicesLeft = 0;
    uint64_t referencesLeft = 0;  // event references still held by a driver

    uint64_t faults = 0;                // kernel faults (verifier checks and leak checks)
    uint64_t unexpected = 0;            // any other outcome that should not happen
    std::vector<std::string> problems;  // the first few, for the log

    bool Passed() const;
};

Report Run(const Options& options);
void Print(const Report& report, std::FILE* out);

}  // namespace soak
