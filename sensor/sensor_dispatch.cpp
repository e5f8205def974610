// The sensor-control interface record, its entry points and the command
// dispatcher.
#include "sensor_commands.h"
#include "sensor_control.h"
#include "sensor_steps.h"

namespace {

bool SameGuid(const void* candidate) {
    // Compared byte by byte: the kernel build links no C library.
    const uint8_t* a = static_cast<const uint8_t*>(candidate);
    const uint8_t* b = reinterpret_cast<const uint8_t*>(&GUID_SENSOR_CONTROL_INTERFACE);
    for (uint32_t i = 0; i < sizeof(GUID_SENSOR_CONTROL_INTERFACE); ++i) {
        if (a[i] != b[i]) {
            return false;
        }
    }
    return true;
}

// Commands 1 and 5 answer with constants the bridge driver asks for; what it
// makes of them is undocumented. Command 5's depend on the rate.
constexpr uintptr_t kQueryConstant = 13;

struct RATE_VALUES {
    uintptr_t Value;
    uintptr_t Value2;
    uintptr_t Value3;
    uintptr_t Value4;
};

constexpr RATE_VALUES kBaseRateValues = {0, 35, 50, 25};
constexpr RATE_VALUES kHigherRateValues = {0, 38, 50, 20};

void QueryConstant(SENSOR_COMMAND* command) {
    command->Value = kQueryConstant;
}

// Command 5 also marks the point from which command 18 counts its requests.
void QueryRateValues(SENSOR_COMMAND* command) {
    const RATE_VALUES& values =
        command->Device->RateLevel == 0 ? kBaseRateValues : kHigherRateValues;
    RestartBalanceGainThrottle();
    command->Value = values.Value;
    command->Value2 = values.Value2;
    command->Value3 = values.Value3;
    command->Value4 = values.Value4;
}

// Status is cleared before the code is looked at, so a failure the caller left
// in the block never survives a dispatch; the only command routine that
// writes it again is command 2, refusing a missing FRAME_SIZES record. The
// block has been checked by the caller.
SENSOR_STATUS RunSensorCommand(SENSOR_COMMAND* command) {
    command->Status = SENSOR_STATUS_SUCCESS;
    switch (command->Code) {
    case SENSOR_CMD_SELECT_CLOCK:
        SelectClock(command);
        break;
    case SENSOR_CMD_QUERY_CONSTANT:
        QueryConstant(command);
        break;
    case SENSOR_CMD_LOAD_CALIBRATION:
        LoadCalibrationAndFrameSizes(command);
        break;
    case SENSOR_CMD_START_SENSOR:
        StartSensor(command);
        break;
    case SENSOR_CMD_SELECT_PRESET:
        SelectPreset(command);
        break;
    case SENSOR_CMD_QUERY_RATE_VALUES:
        QueryRateValues(command);
        break;
    case SENSOR_CMD_SET_FLICKER_TIMING:
        SetFlickerTiming(command);
        break;
    case SENSOR_CMD_LIMIT_EXPOSURE:
        LimitExposure(command);
        break;
    case SENSOR_CMD_SET_REG32_BIT14:
        SetRegister32Bit14(command);
        break;
    case SENSOR_CMD_SET_REG32_BIT15:
        SetRegister32Bit15(command);
        break;
    case SENSOR_CMD_APPLY_EXPOSURE_INDEX:
        ApplyExposureIndex(command);
        break;
    case SENSOR_CMD_RESET_EXPOSURE:
        ResetExposure(command);
        break;
    case SENSOR_CMD_RESTART_AUTO_EXPOSURE:
        RestartAutoExposure(command);
        break;
    case SENSOR_CMD_AUTO_EXPOSURE_STEP:
        AutoExposureStep(command);
        break;
    case SENSOR_CMD_LOAD_BALANCE_CONTROLS:
        LoadBalanceControls(command);
        break;
    case SENSOR_CMD_AUTO_WHITE_BALANCE_STEP:
        AutoWhiteBalanceStep(command);
        break;
    case SENSOR_CMD_WRITE_BALANCE_GAIN:
        WriteBalanceGain(command);
        break;
    case SENSOR_CMD_READ_SENSOR_GAIN:
        ReadSensorGain(command);
        break;
    case SENSOR_CMD_SET_RED_BALANCE:
        SetRedBalance(command);
        break;
    case SENSOR_CMD_SET_BLUE_BALANCE:
        SetBlueBalance(command);
        break;
    case SENSOR_CMD_NOP_12:
    case SENSOR_CMD_NOP_15:
    case SENSOR_CMD_NOP_22:
        break;
    default:
        // Every code above 22, negative codes included.
        command->Status = SENSOR_STATUS_NOT_SUPPORTED;
        break;
    }
    return command->Status;
}

// The bridge driver owns every pointer in the block, but a missing block,
// device or service table is refused rather than followed; Status says so
// when there is a block to say it in.
bool CommandBlockComplete(SENSOR_COMMAND* command) {
    if (command == nullptr) {
        return false;
    }
    if (command->Device == nullptr || command->Bridge == nullptr) {
        command->Status = SENSOR_STATUS_INVALID_PARAMETER;
        return false;
    }
    return true;
}

}  // namespace

bool FillSensorControlInterface(const void* interfaceType, void* interfaceRecord) {
    if (!SameGuid(interfaceType)) {
        return false;
    }
    SENSOR_CONTROL_INTERFACE* record = static_cast<SENSOR_CONTROL_INTERFACE*>(interfaceRecord);
    record->Size = sizeof(SENSOR_CONTROL_INTERFACE);
    record->Version = SENSOR_CONTROL_INTERFACE_VERSION;
    record->Probe0 = ProbeSensor;
    record->Command0 = Command0;
    record->Probe1 = Probe1;
    record->Command1 = Command1;
    record->Probe2 = Probe2;
    record->Command2 = Command2;
    record->Probe3 = Probe3;
    record->Command3 = Command3;
    record->Probe4 = Probe4;
    record->Command4 = Command4;
    return true;
}

// The command entry. Only sensor type 18 is served; type 1 is told so in
// Status, any other type only in the result.
SENSOR_STATUS SENSOR_NTAPI Command0(SENSOR_COMMAND* command) {
    if (!CommandBlockComplete(command)) {
        return SENSOR_STATUS_INVALID_PARAMETER;
    }
    switch (command->Device->SensorType) {
    case SENSOR_TYPE_DRIVEN:
        return RunSensorCommand(command);
    case SENSOR_TYPE_UNSUPPORTED:
        command->Status = SENSOR_STATUS_NOT_SUPPORTED;
        return SENSOR_STATUS_NOT_SUPPORTED;
    default:
        return SENSOR_STATUS_NOT_SUPPORTED;
    }
}

// The auxiliary type check: types 1, 2 and 16 are told in Status that they
// are not supported; every type gets STATUS_NOT_SUPPORTED as the result.
SENSOR_STATUS SENSOR_NTAPI Command1(SENSOR_COMMAND* command) {
    if (command == nullptr) {
        return SENSOR_STATUS_INVALID_PARAMETER;
    }
    if (command->AuxDevice == nullptr) {
        command->Status = SENSOR_STATUS_INVALID_PARAMETER;
        return SENSOR_STATUS_INVALID_PARAMETER;
    }
    const int32_t type = command->AuxDevice[0];
    if (type == 1 || type == 2 || type == 16) {
        command->Status = SENSOR_STATUS_NOT_SUPPORTED;
    }
    return SENSOR_STATUS_NOT_SUPPORTED;
}

SENSOR_STATUS SENSOR_NTAPI Command2(SENSOR_COMMAND*) {
    return SENSOR_STATUS_NOT_SUPPORTED;
}

SENSOR_STATUS SENSOR_NTAPI Command3(SENSOR_COMMAND*) {
    return SENSOR_STATUS_NOT_SUPPORTED;
}

SENSOR_STATUS SENSOR_NTAPI Command4(SENSOR_COMMAND*) {
    return SENSOR_STATUS_NOT_SUPPORTED;
}

uint32_t SENSOR_NTAPI Probe1(void*, void*, void*, void*, void*, void*) {
    return 0;
}

uint32_t SENSOR_NTAPI Probe2(void*, void*, void*, void*) {
    return 0;
}

uint32_t SENSOR_NTAPI Probe3(void*, void*, void*, void*) {
    return 0;
}

uint32_t SENSOR_NTAPI Probe4(void*, void*, void*, void*) {
    return 0;
}

// The dispatcher on its own, for callers that have not been through Command0:
// the same refusal of an incomplete block, then the command.
SENSOR_STATUS DispatchSensorCommand(SENSOR_COMMAND* command) {
    if (!CommandBlockComplete(command)) {
        return SENSOR_STATUS_INVALID_PARAMETER;
    }
    return RunSensorCommand(command);
}
