// The rule the auto-exposure and auto-white-balance loops share: statistics
// are judged on four-frame averages, and a direction is acted on only when
// two periods in a row agree, so one odd frame moves nothing.
#pragma once

#include <stdint.h>

constexpr uint32_t FRAMES_PER_PERIOD = 4;
constexpr int32_t PERIODS_TO_DECIDE = 2;

// Counts one period in a direction, clearing the count of the opposite one,
// and says whether it is the second in a row, in which case the count starts
// over.
inline bool CountPeriod(int32_t* counter, int32_t* opposite) {
    *opposite = 0;
    *counter += 1;
    if (*counter != PERIODS_TO_DECIDE) {
        return false;
    }
    *counter = 0;
    return true;
}
