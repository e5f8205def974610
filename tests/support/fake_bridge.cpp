#include "fake_bridge.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr SENSOR_STATUS kUnsuccessful = static_cast<SENSOR_STATUS>(0xC0000001u);

FakeBridge* Self(void* context) {
    return static_cast<FakeBridge*>(context);
}

void Record(FakeBridge* bridge, int slot, std::vector<uint64_t> args,
            std::vector<uint8_t> bytes = {}) {
    bridge->calls.push_back(BridgeCall{slot, std::move(args), std::move(bytes)});
}

SENSOR_STATUS SENSOR_NTAPI BusWriteRead(void* context, uint32_t address, uint8_t writeLength,
                                        uint8_t* writeBuffer, uint8_t readLength,
                                        uint8_t* readBuffer) {
    FakeBridge* bridge = Self(context);
    Record(bridge, BRIDGE_SLOT_BUS_WRITE_READ, {address, writeLength, readLength},
           std::vector<uint8_t>(writeBuffer, writeBuffer + writeLength));
    if (!bridge->busReadDelivers || writeLength != 1 || readLength != 2) {
        return kUnsuccessful;
    }
    uint16_t value = bridge->sensorRegisters[writeBuffer[0]];
    readBuffer[0] = static_cast<uint8_t>(value >> 8);
    readBuffer[1] = static_cast<uint8_t>(value);
    return SENSOR_STATUS_SUCCESS;
}

SENSOR_STATUS SENSOR_NTAPI BusWrite(void* context, uint32_t address, uint8_t length,
                                    uint8_t* buffer) {
    FakeBridge* bridge = Self(context);
    Record(bridge, BRIDGE_SLOT_BUS_WRITE, {address, length},
           std::vector<uint8_t>(buffer, buffer + length));
    if (length == 3) {
        bridge->sensorRegisters[buffer[0]] = static_cast<uint16_t>((buffer[1] << 8) | buffer[2]);
    }
    return SENSOR_STATUS_SUCCESS;
}

SENSOR_STATUS SENSOR_NTAPI ReadEeprom(void* context, uint32_t offset, uint32_t length,
                                      uint32_t* bytes) {
    FakeBridge* bridge = Self(context);
    Record(bridge, BRIDGE_SLOT_READ_EEPROM, {offset, length, *bytes});
    if (!bridge->eepromDelivers) {
        return kUnsuccessful;
    }
    uint32_t value = 0;
    for (uint32_t i = 0; i < length && i < 4; ++i) {
        value |= static_cast<uint32_t>(bridge->eeprom[(offset + i) & 0xFF]) << (8 * i);
    }
    *bytes = value;
    return SENSOR_STATUS_SUCCESS;
}

SENSOR_STATUS SENSOR_NTAPI ReadBridgeReg(void* context, uint32_t reg, uint8_t* value) {
    FakeBridge* bridge = Self(context);
    Record(bridge, BRIDGE_SLOT_READ_BRIDGE_REG, {reg, *value});
    if (bridge->bridgeRegReadDelivers) {
        *value = bridge->bridgeRegisters[reg & 0xFF];
    }
    return SENSOR_STATUS_SUCCESS;
}

SENSOR_STATUS SENSOR_NTAPI WriteBridgeReg(void* context, uint32_t reg, uint8_t value) {
    FakeBridge* bridge = Self(context);
    Record(bridge, BRIDGE_SLOT_WRITE_BRIDGE_REG, {reg, value});
    bridge->bridgeRegisters[reg & 0xFF] = value;
    return SENSOR_STATUS_SUCCESS;
}

int32_t Lookup(const std::map<uint32_t, int32_t>& map, uint32_t id) {
    auto it = map.find(id);
    return it == map.end() ? 0 : it->second;
}

int32_t SENSOR_NTAPI GetControl(void* context, uint32_t id) {
    FakeBridge* bridge = Self(context);
    Record(bridge, BRIDGE_SLOT_GET_CONTROL, {id});
    return Lookup(bridge->controls, id);
}

int32_t SENSOR_NTAPI GetControlMax(void* context, uint32_t id) {
    FakeBridge* bridge = Self(context);
    Record(bridge, BRIDGE_SLOT_GET_CONTROL_MAX, {id});
    return Lookup(bridge->controlMax, id);
}

int32_t SENSOR_NTAPI GetControlMin(void* context, uint32_t id) {
    FakeBridge* bridge = Self(context);
    Record(bridge, BRIDGE_SLOT_GET_CONTROL_MIN, {id});
    return Lookup(bridge->controlMin, id);
}

SENSOR_STATUS SENSOR_NTAPI SetControl(void* context, uint32_t id, int32_t value) {
    FakeBridge* bridge = Self(context);
    Record(bridge, BRIDGE_SLOT_SET_CONTROL, {id, static_cast<uint32_t>(value)});
    bridge->controls[id] = value;
    return SENSOR_STATUS_SUCCESS;
}

SENSOR_STATUS SENSOR_NTAPI SetControlMax(void* context, uint32_t id, int32_t value) {
    FakeBridge* bridge = Self(context);
    Record(bridge, BRIDGE_SLOT_SET_CONTROL_MAX, {id, static_cast<uint32_t>(value)});
    bridge->controlMax[id] = value;
    return SENSOR_STATUS_SUCCESS;
}

SENSOR_STATUS SENSOR_NTAPI ReadRegistryDword(void* context, const uint16_t* name,
                                             uint32_t nameBytes, uint32_t* result,
                                             uint32_t defaultValue) {
    FakeBridge* bridge = Self(context);
    const uint8_t* raw = reinterpret_cast<const uint8_t*>(name);
    Record(bridge, BRIDGE_SLOT_READ_REGISTRY_DWORD, {nameBytes, *result, defaultValue},
           std::vector<uint8_t>(raw, raw + nameBytes));
    std::u16string key;
    for (const uint16_t* p = name; *p != 0; ++p) {
        key.push_back(static_cast<char16_t>(*p));
    }
    auto it = bridge->registry.find(key);
    *result = it == bridge->registry.end() ? defaultValue : it->second;
    return SENSOR_STATUS_SUCCESS;
}

SENSOR_STATUS SENSOR_NTAPI NotifyExposureReset(void* context, uint32_t number) {
    Record(Self(context), BRIDGE_SLOT_NOTIFY_EXPOSURE_RESET, {number});
    return SENSOR_STATUS_SUCCESS;
}

SENSOR_STATUS SENSOR_NTAPI ReadFrameStats(void* context, uint32_t* stats) {
    FakeBridge* bridge = Self(context);
    Record(bridge, BRIDGE_SLOT_READ_FRAME_STATS, {});
    uint32_t value = 0;
    if (!bridge->frameStats.empty()) {
        value = bridge->frameStats.front();
        bridge->frameStats.pop_front();
    } else if (bridge->statsSource) {
        value = bridge->statsSource();
    }
    *stats = value;
    return SENSOR_STATUS_SUCCESS;
}

SENSOR_STATUS SENSOR_NTAPI SettleExposure(void* context, void* scratch) {
    Record(Self(context), BRIDGE_SLOT_SETTLE_EXPOSURE, {});
    std::memset(scratch, 0xA5,
                BRIDGE_SETTLE_EXPOSURE_SCRATCH_BYTES);  // all of it must be ours to write
    return SENSOR_STATUS_SUCCESS;
}

}  // namespace

FakeBridge::FakeBridge() {
    services.BusWriteRead = BusWriteRead;
    services.BusWrite = BusWrite;
    services.ReadEeprom = ReadEeprom;
    services.ReadBridgeReg = ReadBridgeReg;
    services.WriteBridgeReg = WriteBridgeReg;
    services.GetControl = GetControl;
    services.GetControlMax = GetControlMax;
    services.GetControlMin = GetControlMin;
    services.SetControl = SetControl;
    services.SetControlMax = SetControlMax;
    services.ReadRegistryDword = ReadRegistryDword;
    services.NotifyExposureReset = NotifyExposureReset;
    services.ReadFrameStats = ReadFrameStats;
    services.SettleExposure = SettleExposure;
    device.SensorType = SENSOR_TYPE_DRIVEN;
    device.SensorAddress = 0xBA;
}

SENSOR_COMMAND FakeBridge::Command(int32_t code, uintptr_t value, uintptr_t value2,
                                   uintptr_t value3, uintptr_t value4) {
    SENSOR_COMMAND command{};
    command.Code = code;
    command.Status = static_cast<SENSOR_STATUS>(0xC0000001u);
    command.Value = value;
    command.Value2 = value2;
    command.Value3 = value3;
    command.Value4 = value4;
    command.Bridge = &services;
    command.BridgeContext = this;
    command.Device = &device;
    return command;
}

std::vector<BridgeCall> FakeBridge::CallsTo(int slot) const {
    std::vector<BridgeCall> out;
    for (const BridgeCall& call : calls) {
        if (call.slot == slot) {
            out.push_back(call);
        }
    }
    return out;
}

std::vector<std::pair<uint8_t, uint16_t>> FakeBridge::SensorWrites() const {
    std::vector<std::pair<uint8_t, uint16_t>> out;
    for (const BridgeCall& call : CallsTo(BRIDGE_SLOT_BUS_WRITE)) {
        if (call.bytes.size() == 3) {
            out.emplace_back(call.bytes[0],
                             static_cast<uint16_t>((call.bytes[1] << 8) | call.bytes[2]));
        }
    }
    return out;
}

std::vector<std::pair<uint32_t, uint8_t>> FakeBridge::BridgeRegWrites() const {
    std::vector<std::pair<uint32_t, uint8_t>> out;
    for (const BridgeCall& call : CallsTo(BRIDGE_SLOT_WRITE_BRIDGE_REG)) {
        out.emplace_back(static_cast<uint32_t>(call.args[0]), static_cast<uint8_t>(call.args[1]));
    }
    return out;
}

std::string Describe(const BridgeCall& call) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "slot %d(", call.slot);
    std::string text = buffer;
    for (size_t i = 0; i < call.args.size(); ++i) {
        std::snprintf(buffer, sizeof buffer, "%s%llu", i ? ", " : "",
                      static_cast<unsigned long long>(call.args[i]));
        text += buffer;
    }
    text += ")";
    if (!call.bytes.empty()) {
        text += " [";
        for (size_t i = 0; i < call.bytes.size(); ++i) {
            std::snprintf(buffer, sizeof buffer, "%s%02X", i ? " " : "", call.bytes[i]);
            text += buffer;
        }
        text += "]";
    }
    return text;
}

std::string RegistryName(const BridgeCall& call) {
    std::string name;
    for (size_t i = 0; i + 1 < call.bytes.size(); i += 2) {
        const unsigned unit = call.bytes[i] | (call.bytes[i + 1] << 8);
        if (unit == 0) {
            break;
        }
        name.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
    }
    return name;
}

std::string TraceLine(const BridgeCall& call) {
    auto arg = [&](size_t i) { return std::to_string(call.args.at(i)); };
    auto signedArg = [&](size_t i) {
        return std::to_string(static_cast<int32_t>(static_cast<uint32_t>(call.args.at(i))));
    };
    switch (call.slot) {
    case BRIDGE_SLOT_BUS_WRITE_READ:
        return "sensor read " + std::to_string(call.bytes.empty() ? -1 : call.bytes[0]);
    case BRIDGE_SLOT_BUS_WRITE:
        if (call.bytes.size() == 3) {
            return "sensor " + std::to_string(call.bytes[0]) + "=" +
                   std::to_string((call.bytes[1] << 8) | call.bytes[2]);
        }
        return Describe(call);
    case BRIDGE_SLOT_READ_EEPROM:
        return "eeprom " + arg(0);
    case BRIDGE_SLOT_READ_BRIDGE_REG:
        return "bridge read " + arg(0);
    case BRIDGE_SLOT_WRITE_BRIDGE_REG:
        return "bridge " + arg(0) + "=" + arg(1);
    case BRIDGE_SLOT_GET_CONTROL:
        return "get " + arg(0);
    case BRIDGE_SLOT_GET_CONTROL_MAX:
        return "max " + arg(0);
    case BRIDGE_SLOT_GET_CONTROL_MIN:
        return "min " + arg(0);
    case BRIDGE_SLOT_SET_CONTROL:
        return "set " + arg(0) + "=" + signedArg(1);
    case BRIDGE_SLOT_SET_CONTROL_MAX:
        return "setmax " + arg(0) + "=" + signedArg(1);
    case BRIDGE_SLOT_READ_REGISTRY_DWORD:
        return "registry " + RegistryName(call);
    case BRIDGE_SLOT_NOTIFY_EXPOSURE_RESET:
        return "exposure-reset " + arg(0);
    case BRIDGE_SLOT_READ_FRAME_STATS:
        return "stats";
    case BRIDGE_SLOT_SETTLE_EXPOSURE:
        return "settle";
    default:
        return Describe(call);
    }
}

std::vector<std::string> FakeBridge::Trace() const {
    std::vector<std::string> out;
    out.reserve(calls.size());
    for (const BridgeCall& call : calls) {
        out.push_back(TraceLine(call));
    }
    return out;
}

uint32_t FakeBridge::Stats(uint8_t luminance, uint8_t red, uint8_t green, uint8_t blue) {
    // Laid out in memory byte by byte, as the bridge hands them over.
    const uint8_t bytes[4] = {luminance, red, green, blue};
    uint32_t word;
    std::memcpy(&word, bytes, sizeof word);
    return word;
}

void FakeBridge::QueueStats(uint8_t luminance, uint8_t red, uint8_t green, uint8_t blue,
                            int frames) {
    for (int i = 0; i < frames; ++i) {
        frameStats.push_back(Stats(luminance, red, green, blue));
    }
}

std::string Describe(const std::vector<BridgeCall>& calls) {
    std::string text;
    for (const BridgeCall& call : calls) {
        text += Describe(call) + "\n";
    }
    return text;
}

namespace {

uint32_t SENSOR_NTAPI ProbeCheckAddress(void* context, uint32_t address) {
    FakeProbeBus* bus = static_cast<FakeProbeBus*>(context);
    bus->calls.push_back(BridgeCall{0, {address}, {}});
    return bus->checkResult;
}

uint32_t SENSOR_NTAPI ProbeWriteRead(void* context, uint32_t address, uint32_t writeLength,
                                     uint8_t* writeBuffer, uint32_t readLength, uint8_t* readBuffer,
                                     uint32_t mode) {
    FakeProbeBus* bus = static_cast<FakeProbeBus*>(context);
    bus->calls.push_back(BridgeCall{1,
                                    {address, writeLength, readLength, mode},
                                    std::vector<uint8_t>(writeBuffer, writeBuffer + writeLength)});
    for (size_t i = 0; i < bus->reply.size() && i < readLength; ++i) {
        readBuffer[i] = bus->reply[i];
    }
    return 0;
}

}  // namespace

FakeProbeBus::FakeProbeBus() {
    services.ProbeCheckAddress = ProbeCheckAddress;
    services.ProbeWriteRead = ProbeWriteRead;
}
