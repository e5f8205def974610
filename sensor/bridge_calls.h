// Calls into the bridge driver's service table.
//
// Every hardware access of the sensor logic goes through one of these: slot n
// of the table at SENSOR_COMMAND.Bridge, with SENSOR_COMMAND.BridgeContext as
// first argument. No result is examined by the callers and nothing is retried;
// the helpers exist so that the slot and its first argument are chosen in one
// place.
#pragma once

#include "sensor_records.h"

// The bridge chip's colour-gain registers, written by the user balance
// (command 18) and by the colour loop (command 17).
constexpr uint32_t BRIDGE_RED_GAIN_REGISTER = 21;
constexpr uint32_t BRIDGE_GREEN_GAIN_REGISTER = 22;
constexpr uint32_t BRIDGE_BLUE_GAIN_REGISTER = 23;

inline SENSOR_STATUS CallBusWriteRead(const SENSOR_COMMAND* command, uint32_t busAddress,
                                      uint8_t writeLength, uint8_t* writeBuffer, uint8_t readLength,
                                      uint8_t* readBuffer) {
    return command->Bridge->BusWriteRead(command->BridgeContext, busAddress, writeLength,
                                         writeBuffer, readLength, readBuffer);
}

inline SENSOR_STATUS CallBusWrite(const SENSOR_COMMAND* command, uint32_t busAddress,
                                  uint8_t length, uint8_t* buffer) {
    return command->Bridge->BusWrite(command->BridgeContext, busAddress, length, buffer);
}

inline SENSOR_STATUS CallReadEeprom(const SENSOR_COMMAND* command, uint32_t offset, uint32_t length,
                                    uint32_t* bytes) {
    return command->Bridge->ReadEeprom(command->BridgeContext, offset, length, bytes);
}

inline SENSOR_STATUS CallReadBridgeReg(const SENSOR_COMMAND* command, uint32_t reg,
                                       uint8_t* value) {
    return command->Bridge->ReadBridgeReg(command->BridgeContext, reg, value);
}

inline SENSOR_STATUS CallWriteBridgeReg(const SENSOR_COMMAND* command, uint32_t reg,
                                        uint8_t value) {
    return command->Bridge->WriteBridgeReg(command->BridgeContext, reg, value);
}

inline int32_t CallGetControl(const SENSOR_COMMAND* command, uint32_t controlId) {
    return command->Bridge->GetControl(command->BridgeContext, controlId);
}

inline int32_t CallGetControlMax(const SENSOR_COMMAND* command, uint32_t controlId) {
    return command->Bridge->GetControlMax(command->BridgeContext, controlId);
}

inline int32_t CallGetControlMin(const SENSOR_COMMAND* command, uint32_t controlId) {
    return command->Bridge->GetControlMin(command->BridgeContext, controlId);
}

inline SENSOR_STATUS CallSetControl(const SENSOR_COMMAND* command, uint32_t controlId,
                                    int32_t value) {
    return command->Bridge->SetControl(command->BridgeContext, controlId, value);
}

inline SENSOR_STATUS CallSetControlMax(const SENSOR_COMMAND* command, uint32_t controlId,
                                       int32_t value) {
    return command->Bridge->SetControlMax(command->BridgeContext, controlId, value);
}

inline SENSOR_STATUS CallReadRegistryDword(const SENSOR_COMMAND* command, const uint16_t* name,
                                           uint32_t nameBytes, uint32_t* result,
                                           uint32_t defaultValue) {
    return command->Bridge->ReadRegistryDword(command->BridgeContext, name, nameBytes, result,
                                              defaultValue);
}

inline SENSOR_STATUS CallNotifyExposureReset(const SENSOR_COMMAND* command, uint32_t number) {
    return command->Bridge->NotifyExposureReset(command->BridgeContext, number);
}

inline SENSOR_STATUS CallReadFrameStats(const SENSOR_COMMAND* command, uint32_t* stats) {
    return command->Bridge->ReadFrameStats(command->BridgeContext, stats);
}

inline SENSOR_STATUS CallSettleExposure(const SENSOR_COMMAND* command, void* scratch) {
    return command->Bridge->SettleExposure(command->BridgeContext, scratch);
}
