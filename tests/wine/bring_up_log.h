// The bring-up log of the bridge driver's query as text, one service call a
// line, so that the run in Wine and the host simulation of the same camera
// can be compared call by call (and a difference read in a diff).
#pragma once

#include <cstdio>
#include <string>

#include "bridge_control.h"

inline std::string DescribeBringUp(const BRIDGE_QUERY_RESULT& result) {
    std::string text;
    for (uint32_t i = 0; i < result.LogCount && i < BRIDGE_LOG_CAPACITY; ++i) {
        const BRIDGE_SERVICE_CALL& call = result.Log[i];
        char line[160];
        snprintf(line, sizeof(line), "command %u slot %u args %u %u %u %u data %u result %u\n",
                 call.Command, call.Slot, call.Arguments[0], call.Arguments[1], call.Arguments[2],
                 call.Arguments[3], call.Data, call.Result);
        text += line;
    }
    return text;
}
