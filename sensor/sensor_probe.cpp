// The sensor probe behind Probe0: is our sensor on the camera's serial bus?
#include "sensor_control.h"

namespace {

constexpr uint32_t kProbeBusAddress = 0xBA;
constexpr uint32_t kProbeMode = 3;
constexpr uint8_t kIdentificationHigh = 0x82;
constexpr uint8_t kIdentificationLow = 0x43;
constexpr uint32_t kProbeConfiguration = 0x00010101;
constexpr uint32_t kProbeFound = (kProbeMode << 16) | kProbeBusAddress;  // 0x000300BA

}  // namespace

// The bridge driver tells whether the sensor was recognised from typeOut alone:
// once something answers at the bus address the result and the configuration
// word are the same whether or not the identification matched.
uint32_t SENSOR_NTAPI ProbeSensor(void* context, uint32_t* typeOut, uint32_t* configOut,
                                  const PROBE_SERVICES* services) {
    uint8_t reply[2] = {0, 0};
    if (services->ProbeCheckAddress(context, kProbeBusAddress) == 0) {
        return 0;
    }
    uint8_t request[1] = {0};  // identification register
    services->ProbeWriteRead(context, kProbeBusAddress, 1, request, 2, reply, kProbeMode);
    if (reply[0] == kIdentificationHigh && reply[1] == kIdentificationLow) {
        *typeOut = SENSOR_TYPE_DRIVEN;
    }
    *configOut = kProbeConfiguration;
    return kProbeFound;
}
