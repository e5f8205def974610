// orvane's sensor logic under a bridge driver that answers anything. Each
// input scripts a camera: what the sensor's registers, the EEPROM, the
// bridge's registers, its controls (value, maximum, minimum), its registry
// values and every frame's statistics hold, whether bus and EEPROM reads
// deliver at all, the device record the bridge driver hands over, then a
// sequence of probes and commands (every code, known and not, with any
// values, and a missing frame-size record).
//
// Beyond the sanitizers' checks: no command may write a byte of the device
// record that is the bridge driver's own, nor the command block's reserved
// bytes.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fake_bridge.h"
#include "fuzz_input.h"
#include "sensor_control.h"
#include "sensor_tuning.h"

namespace {

[[noreturn]] void Fail(const char* what, int32_t code) {
    fprintf(stderr, "orvane_fuzz: command %d: %s\n", code, what);
    abort();
}

// The controls orvane consults, and a few it does not.
const uint32_t kControls[] = {
    BRIDGE_CONTROL_AUTO_MODE,
    BRIDGE_CONTROL_EXPOSURE_LIMIT,
    BRIDGE_CONTROL_EXPOSURE_INDEX,
    BRIDGE_CONTROL_LIMIT_OVERRIDE,
    BRIDGE_CONTROL_RED_BALANCE,
    BRIDGE_CONTROL_BLUE_BALANCE,
    0,
    16,
    18,
};

const char16_t* const kRegistryNames[] = {
    u"MicFluorRGB",
    u"MicIncndRGB",
    u"MicNaturRGB",
    u"MIC0360_RG_BG_Ratio",
    u"MIC0360_USE_Extra_Clock",
    u"Use_Dark_Higher_fps",
};

void ScriptBridge(FuzzInput& in, FakeBridge& bridge, FakeProbeBus& probe) {
    in.Fill(bridge.sensorRegisters, sizeof(bridge.sensorRegisters));
    in.Fill(bridge.eeprom, sizeof(bridge.eeprom));
    in.Fill(bridge.bridgeRegisters, sizeof(bridge.bridgeRegisters));
    const uint8_t delivers = in.Byte();
    bridge.busReadDelivers = (delivers & 1) == 0;
    bridge.eepromDelivers = (delivers & 2) == 0;
    bridge.bridgeRegReadDelivers = (delivers & 4) == 0;
    for (uint32_t id : kControls) {
        bridge.controls[id] = static_cast<int32_t>(in.Word());
        bridge.controlMax[id] = static_cast<int32_t>(in.Word());
        bridge.controlMin[id] = static_cast<int32_t>(in.Word());
    }
    for (const char16_t* name : kRegistryNames) {
        if ((in.Byte() & 1) != 0) {
            bridge.registry[name] = in.Word();
        }
    }
    bridge.statsSource = [&in] { return in.Word(); };

    in.Fill(&bridge.device, sizeof(bridge.device));
    if ((in.Byte() & 3) != 0) {
        bridge.device.SensorType = SENSOR_TYPE_DRIVEN;  // mostly the sensor orvane drives
    }

    probe.checkResult = in.Byte() & 1;
    probe.reply.assign(in.Byte() % 4, 0);
    for (uint8_t& byte : probe.reply) {
        byte = in.Byte();
    }
}

// The bytes of the device record orvane must leave alone.
struct BridgeOwned {
    uint8_t opaque8[12], opaque28[4], opaque36[88], opaque180[8];

    explicit BridgeOwned(const SENSOR_DEVICE& device) {
        memcpy(opaque8, device.Opaque8, sizeof(opaque8));
        memcpy(opaque28, device.Opaque28, sizeof(opaque28));
        memcpy(opaque36, device.Opaque36, sizeof(opaque36));
        memcpy(opaque180, device.Opaque180, sizeof(opaque180));
    }
    bool operator==(const BridgeOwned& other) const {
        return memcmp(this, &other, sizeof(*this)) == 0;
    }
};

void RunCommand(FuzzInput& in, FakeBridge& bridge, int32_t aux) {
    int32_t code = in.Byte();
    if (code == 0xFF) {
        code = static_cast<int32_t>(in.Word());  // anything at all
    } else {
        code %= SENSOR_CMD_LAST + 2;
    }
    SENSOR_COMMAND command = bridge.Command(code, in.Word(), in.Word(), in.Word(), in.Word());
    FRAME_SIZES sizes;
    memset(&sizes, 0xEE, sizeof(sizes));
    if (code == SENSOR_CMD_LOAD_CALIBRATION) {
        command.Value2 = (in.Byte() & 7) == 0 ? 0 : reinterpret_cast<uintptr_t>(&sizes);
    }
    command.AuxDevice = (in.Byte() & 15) == 0 ? nullptr : &aux;
    memset(command.Reserved, 0xA5, sizeof(command.Reserved));

    const BridgeOwned before(bridge.device);
    if ((in.Byte() & 15) == 0) {
        Command1(&command);  // the auxiliary type check reads only AuxDevice
    } else {
        Command0(&command);
    }
    if (!(BridgeOwned(bridge.device) == before)) {
        Fail("wrote into the bridge driver's part of the device record", code);
    }
    for (uint8_t byte : command.Reserved) {
        if (byte != 0xA5) {
            Fail("wrote into the command block's reserved bytes", code);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    SensorTuning = SensorTuningAtLoad;
    FuzzInput in(data, size);
    FakeBridge bridge;
    FakeProbeBus probe;
    ScriptBridge(in, bridge, probe);
    const int32_t aux = (in.Byte() & 3) == 0 ? static_cast<int32_t>(in.Byte() % 20) : 0;

    while (!in.Empty()) {
        if (in.Byte() % 16 == 0) {
            uint32_t type = 0;
            uint32_t config = 0;
            ProbeSensor(&probe, &type, &config, &probe.services);
        } else {
            RunCommand(in, bridge, aux);
        }
        bridge.ClearCalls();
    }
    return 0;
}
