// Kept in its own translation unit so that neither orvane's calls nor the
// direct sequences can see through the table to the empty bodies.
#include "null_bridge.h"

namespace {

SENSOR_STATUS SENSOR_NTAPI NullBusWriteRead(void*, uint32_t, uint8_t, uint8_t*, uint8_t, uint8_t*) {
    return 0;
}
SENSOR_STATUS SENSOR_NTAPI NullBusWrite(void*, uint32_t, uint8_t, uint8_t*) {
    return 0;
}
SENSOR_STATUS SENSOR_NTAPI NullReadEeprom(void*, uint32_t, uint32_t, uint32_t*) {
    return 0;
}
SENSOR_STATUS SENSOR_NTAPI NullReadBridgeReg(void*, uint32_t, uint8_t*) {
    return 0;
}
SENSOR_STATUS SENSOR_NTAPI NullWriteBridgeReg(void*, uint32_t, uint8_t) {
    return 0;
}
int32_t SENSOR_NTAPI NullGetControl(void*, uint32_t) {
    return 0;
}
SENSOR_STATUS SENSOR_NTAPI NullSetControl(void*, uint32_t, int32_t) {
    return 0;
}
SENSOR_STATUS SENSOR_NTAPI NullReadRegistryDword(void*, const uint16_t*, uint32_t, uint32_t*,
                                                 uint32_t) {
    return 0;
}
SENSOR_STATUS SENSOR_NTAPI NullNotifyExposureReset(void*, uint32_t) {
    return 0;
}
SENSOR_STATUS SENSOR_NTAPI NullReadFrameStats(void*, uint32_t*) {
    return 0;
}
SENSOR_STATUS SENSOR_NTAPI NullSettleExposure(void*, void*) {
    return 0;
}

void Note(void* context, int slot) {
    static_cast<std::vector<int>*>(context)->push_back(slot);
}

SENSOR_STATUS SENSOR_NTAPI RecBusWriteRead(void* c, uint32_t, uint8_t, uint8_t*, uint8_t,
                                           uint8_t*) {
    Note(c, BRIDGE_SLOT_BUS_WRITE_READ);
    return 0;
}
SENSOR_STATUS SENSOR_NTAPI RecBusWrite(void* c, uint32_t, uint8_t, uint8_t*) {
    Note(c, BRIDGE_SLOT_BUS_WRITE);
    return 0;
}
SENSOR_STATUS SENSOR_NTAPI RecReadEeprom(void* c, uint32_t, uint32_t, uint32_t*) {
    Note(c, BRIDGE_SLOT_READ_EEPROM);
    return 0;
}
SENSOR_STATUS SENSOR_NTAPI RecReadBridgeReg(void* c, uint32_t, uint8_t*) {
    Note(c, BRIDGE_SLOT_READ_BRIDGE_REG);
    return 0;
}
SENSOR_STATUS SENSOR_NTAPI RecWriteBridgeReg(void* c, uint32_t, uint8_t) {
    Note(c, BRIDGE_SLOT_WRITE_BRIDGE_REG);
    return 0;
}
int32_t SENSOR_NTAPI RecGetControl(void* c, uint32_t) {
    Note(c, BRIDGE_SLOT_GET_CONTROL);
    return 0;
}
int32_t SENSOR_NTAPI RecGetControlMax(void* c, uint32_t) {
    Note(c, BRIDGE_SLOT_GET_CONTROL_MAX);
    return 0;
}
int32_t SENSOR_NTAPI RecGetControlMin(void* c, uint32_t) {
    Note(c, BRIDGE_SLOT_GET_CONTROL_MIN);
    return 0;
}
SENSOR_STATUS SENSOR_NTAPI RecSetControl(void* c, uint32_t, int32_t) {
    Note(c, BRIDGE_SLOT_SET_CONTROL);
    return 0;
}
SENSOR_STATUS SENSOR_NTAPI RecSetControlMax(void* c, uint32_t, int32_t) {
    Note(c, BRIDGE_SLOT_SET_CONTROL_MAX);
    return 0;
}
SENSOR_STATUS SENSOR_NTAPI RecReadRegistryDword(void* c, const uint16_t*, uint32_t, uint32_t*,
                                                uint32_t) {
    Note(c, BRIDGE_SLOT_READ_REGISTRY_DWORD);
    return 0;
}
SENSOR_STATUS SENSOR_NTAPI RecNotifyExposureReset(void* c, uint32_t) {
    Note(c, BRIDGE_SLOT_NOTIFY_EXPOSURE_RESET);
    return 0;
}
SENSOR_STATUS SENSOR_NTAPI RecReadFrameStats(void* c, uint32_t*) {
    Note(c, BRIDGE_SLOT_READ_FRAME_STATS);
    return 0;
}
SENSOR_STATUS SENSOR_NTAPI RecSettleExposure(void* c, void*) {
    Note(c, BRIDGE_SLOT_SETTLE_EXPOSURE);
    return 0;
}

}  // namespace

const BRIDGE_SERVICES NullBridge = {
    NullBusWriteRead,
    NullBusWrite,
    NullReadEeprom,
    NullReadBridgeReg,
    NullWriteBridgeReg,
    {nullptr, nullptr, nullptr, nullptr},
    NullGetControl,
    NullGetControl,
    NullGetControl,
    NullSetControl,
    NullSetControl,
    nullptr,
    NullReadRegistryDword,
    NullNotifyExposureReset,
    nullptr,
    NullReadFrameStats,
    NullSettleExposure,
};

const BRIDGE_SERVICES RecordingBridge = {
    RecBusWriteRead,
    RecBusWrite,
    RecReadEeprom,
    RecReadBridgeReg,
    RecWriteBridgeReg,
    {nullptr, nullptr, nullptr, nullptr},
    RecGetControl,
    RecGetControlMax,
    RecGetControlMin,
    RecSetControl,
    RecSetControlMax,
    nullptr,
    RecReadRegistryDword,
    RecNotifyExposureReset,
    nullptr,
    RecReadFrameStats,
    RecSettleExposure,
};
