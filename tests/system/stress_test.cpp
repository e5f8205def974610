// Plug and unplug cycles while the application sends device controls and
// reads, and the bridge driver streams, delivers snapshots and reports
// triggers, each from threads of their own: the soak's engine, for a few
// seconds, so that ThreadSanitizer and AddressSanitizer watch every path a
// camera's stay takes (both bufferings, orderly and surprise removal, events
// released by the application or left for tessip's removal).
#include <gtest/gtest.h>

#include <chrono>

#include "soak.h"

namespace {

using namespace std::chrono_literals;

TEST(CameraStress, PlugAndUnplugWhileEverythingRuns) {
    soak::Options options;
    options.duration = 2s;
    options.minimumCycles = 8;  // every combination twice
    options.framesPerCycle = 60;
    options.cyclesPerKernel = 8;
    const soak::Report r = soak::Run(options);
    soak::Print(r, stdout);

    EXPECT_EQ(r.faults, 0u);
    EXPECT_EQ(r.unexpected, 0u);
    EXPECT_EQ(r.badReads, 0u);
    EXPECT_EQ(r.poolBlocksLeft + r.irpsLeft + r.devicesLeft + r.referencesLeft, 0u);

    // It did what it claims to.
    EXPECT_GE(r.surpriseRemovals, 4u);
    EXPECT_GE(r.cycles - r.surpriseRemovals, 4u);
    EXPECT_GT(r.wholeReads, 0u);
    EXPECT_GT(r.triggers, 0u);
    EXPECT_GT(r.refusedGone, 0u);
    EXPECT_EQ(r.refusedNoDevice, 2u * r.cycles);
}

}  // namespace
