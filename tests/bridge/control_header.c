/* A test program on Windows includes the bridge driver's control header from
 * C: this translation unit keeps it compiling as C, with its layout checks,
 * in both widths of the host builds. */
#include "bridge_control.h"

uint32_t ControlHeaderQueryBytes(void) {
    return (uint32_t)sizeof(BRIDGE_QUERY_RESULT);
}
