// The pointer-sized value fields of SENSOR_COMMAND seen from the tests: what
// a whole-field read sees that a low-32-bit read does not, and how written
// values are extended. In the x86 build the upper half simply does not exist.
#pragma once

#include <cstdint>

constexpr bool kWideFields = sizeof(uintptr_t) == 8;

// 2^32 in a 64-bit field: zero in its low 32 bits, non-zero as a whole. In a
// 32-bit field the bit falls off and this is 0.
constexpr uintptr_t kAbove32 = static_cast<uintptr_t>(uint64_t{1} << 32);

constexpr uintptr_t kAllOnes = ~uintptr_t{0};

constexpr uintptr_t SignExtended(int32_t value) {
    return static_cast<uintptr_t>(static_cast<intptr_t>(value));
}
