#include "direct_sequences.h"

namespace {

constexpr uint32_t kSensorAddress = 0xBA;

void WriteRegister(const BRIDGE_SERVICES* bridge, void* context, uint8_t reg, uint16_t value) {
    uint8_t frame[3] = {reg, static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
    bridge->BusWrite(context, kSensorAddress, 3, frame);
}

void ReadStatistics(const BRIDGE_SERVICES* bridge, void* context) {
    uint32_t statistics = 0;
    bridge->ReadFrameStats(context, &statistics);
}

void Exposure(const BRIDGE_SERVICES* bridge, void* context) {
    WriteRegister(bridge, context, 9, 102);
    WriteRegister(bridge, context, 53, 0x1A0);
    ReadStatistics(bridge, context);
}

void AskAndClamp(const BRIDGE_SERVICES* bridge, void* context) {
    bridge->GetControl(context, BRIDGE_CONTROL_EXPOSURE_LIMIT);
    bridge->GetControl(context, BRIDGE_CONTROL_LIMIT_OVERRIDE);
    bridge->GetControl(context, BRIDGE_CONTROL_EXPOSURE_INDEX);
    bridge->GetControlMax(context, BRIDGE_CONTROL_EXPOSURE_INDEX);
    bridge->GetControlMax(context, BRIDGE_CONTROL_EXPOSURE_INDEX);
    bridge->GetControlMin(context, BRIDGE_CONTROL_EXPOSURE_INDEX);
    bridge->GetControlMin(context, BRIDGE_CONTROL_EXPOSURE_INDEX);
}

struct RegisterValue {
    uint8_t reg;
    uint16_t value;
};

constexpr RegisterValue kStartRegisters[] = {
    {13, 1},      {13, 0},      {1, 8},       {2, 20},      {3, 480},     {4, 640},     {5, 560},
    {6, 30},      {10, 0},      {7, 10},      {43, 36},     {46, 36},     {53, 36},     {44, 48},
    {45, 36},     {61, 0x068F}, {52, 0x0100}, {64, 0x01E0}, {48, 5},      {32, 0x1100}, {48, 2},
    {64, 0x0520}, {82, 0x0100}, {98, 0x041A}, {88, 0x0038}, {89, 0x0723}, {53, 0x0020},
};

}  // namespace

void DirectApplyExposure(const BRIDGE_SERVICES* bridge, void* context) {
    Exposure(bridge, context);
}

void DirectExposureFrame(const BRIDGE_SERVICES* bridge, void* context) {
    ReadStatistics(bridge, context);
}

void DirectExposureVerdict(const BRIDGE_SERVICES* bridge, void* context) {
    ReadStatistics(bridge, context);
    AskAndClamp(bridge, context);
}

void DirectExposureStep(const BRIDGE_SERVICES* bridge, void* context) {
    ReadStatistics(bridge, context);
    AskAndClamp(bridge, context);
    bridge->SetControl(context, BRIDGE_CONTROL_EXPOSURE_INDEX, 0);
    Exposure(bridge, context);
}

void DirectWhiteBalanceFrame(const BRIDGE_SERVICES* bridge, void* context) {
    ReadStatistics(bridge, context);
}

void DirectWhiteBalanceStep(const BRIDGE_SERVICES* bridge, void* context) {
    ReadStatistics(bridge, context);
    bridge->WriteBridgeReg(context, 21, 39);
    bridge->WriteBridgeReg(context, 22, 36);
    bridge->WriteBridgeReg(context, 23, 50);
}

void DirectFlickerTiming(const BRIDGE_SERVICES* bridge, void* context) {
    bridge->GetControl(context, BRIDGE_CONTROL_AUTO_MODE);
}

void DirectStartSensor(const BRIDGE_SERVICES* bridge, void* context) {
    uint8_t byte = 0x0C;
    bridge->WriteBridgeReg(context, 19, byte);
    bridge->ReadBridgeReg(context, 15, &byte);
    bridge->WriteBridgeReg(context, 15, static_cast<uint8_t>((byte & 0x80) | 0x08));
    for (const RegisterValue& entry : kStartRegisters) {
        WriteRegister(bridge, context, entry.reg, entry.value);
    }
}
