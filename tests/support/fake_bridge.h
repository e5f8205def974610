// A scriptable stand-in for the bridge driver's side of the sensor-control
// interface. It serves every BRIDGE_SERVICES slot from plain state that a test
// sets up (a sensor register file, EEPROM bytes, bridge registers, controls,
// registry values, a queue of frame statistics) and records every call with its
// arguments and the bytes it was handed, in order, so a test can read back the
// exact sequence of bridge traffic a command produced.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "sensor_records.h"

// One recorded call. slot is the BRIDGE_SLOT_* of the service called; on
// FakeProbeBus, 0 is ProbeCheckAddress and 1 ProbeWriteRead.
struct BridgeCall {
    int slot;
    std::vector<uint64_t> args;  // arguments after the context, widened
    std::vector<uint8_t> bytes;  // bytes handed in (write buffers, names)

    bool operator==(const BridgeCall& other) const {
        return slot == other.slot && args == other.args && bytes == other.bytes;
    }
};

std::string Describe(const BridgeCall& call);
std::string TraceLine(const BridgeCall& call);
// The value name of a ReadRegistryDword call, decoded from its UTF-16 bytes.
std::string RegistryName(const BridgeCall& call);
std::string Describe(const std::vector<BridgeCall>& calls);

class FakeBridge {
  public:
    FakeBridge();
    FakeBridge(const FakeBridge&) = delete;
    FakeBridge& operator=(const FakeBridge&) = delete;

    // A command block for this bridge and its device, with the given code and
    // values; Status is preset to a failure so that tests see it change.
    SENSOR_COMMAND Command(int32_t code, uintptr_t value = 0, uintptr_t value2 = 0,
                           uintptr_t value3 = 0, uintptr_t value4 = 0);

    // Calls of one slot, in order.
    std::vector<BridgeCall> CallsTo(int slot) const;
    // Sensor register writes as (register, value) pairs, decoded from BusWrite frames.
    std::vector<std::pair<uint8_t, uint16_t>> SensorWrites() const;
    // Bridge register writes as (register, value) pairs.
    std::vector<std::pair<uint32_t, uint8_t>> BridgeRegWrites() const;
    // Every call so far, one readable line each, in order, so that a test can
    // compare a whole sequence of bridge and sensor traffic at once:
    //   "sensor 13=1" (register write), "sensor read 32", "bridge 19=12",
    //   "bridge read 15", "eeprom 67", "registry MicFluorRGB", "get 17",
    //   "max 17", "min 17", "set 17=30", "setmax 17=90", "exposure-reset 16",
    //   "stats", "settle". Numbers are decimal; set values signed.
    std::vector<std::string> Trace() const;
    void ClearCalls() { calls.clear(); }

    // One frame of statistics as ReadFrameStats delivers it: bytes 0..3 in
    // memory are luminance, red, green and blue.
    static uint32_t Stats(uint8_t luminance, uint8_t red, uint8_t green, uint8_t blue);
    // Queues frames of statistics.
    void QueueStats(uint8_t luminance, uint8_t red, uint8_t green, uint8_t blue, int frames = 1);

    BRIDGE_SERVICES services{};
    SENSOR_DEVICE device{};
    std::vector<BridgeCall> calls;

    // Scripted state.
    uint16_t sensorRegisters[256] = {};
    bool busReadDelivers = true;  // false: BusWriteRead fails without writing
    uint8_t eeprom[256] = {};
    bool eepromDelivers = true;
    uint8_t bridgeRegisters[256] = {};
    bool bridgeRegReadDelivers = true;
    std::map<uint32_t, int32_t> controls;
    std::map<uint32_t, int32_t> controlMax;
    std::map<uint32_t, int32_t> controlMin;
    std::map<std::u16string, uint32_t> registry;
    std::deque<uint32_t> frameStats;  // popped one per ReadFrameStats
    // Asked for a frame when the queue is empty (0 without it), so a test can
    // make the statistics answer to what the driver last programmed.
    std::function<uint32_t()> statsSource;
};

// A PROBE_SERVICES table with the same recording.
class FakeProbeBus {
  public:
    FakeProbeBus();
    PROBE_SERVICES services{};
    uint32_t checkResult = 1;
    std::vector<uint8_t> reply = {0x82, 0x43};  // bytes delivered to the read buffer
    std::vector<BridgeCall> calls;
};
