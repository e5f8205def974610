// Reading and writing SENSOR_COMMAND's value fields.
//
// The fields are pointer-sized: 64 bits in orvane64, 32 in orvane. Each
// command reads either the whole field or its low 32 bits and writes the whole
// field back zero- or sign-extended; these helpers keep that choice visible at
// every use.
#pragma once

#include "sensor_records.h"

inline uint32_t Low32(uintptr_t field) {
    return static_cast<uint32_t>(field);
}

inline int32_t Low32Signed(uintptr_t field) {
    return static_cast<int32_t>(static_cast<uint32_t>(field));
}

inline uintptr_t ZeroExtend(uint32_t value) {
    return static_cast<uintptr_t>(value);
}

inline uintptr_t SignExtend(int32_t value) {
    return static_cast<uintptr_t>(static_cast<intptr_t>(value));
}
