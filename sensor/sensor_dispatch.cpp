// The sensor-control interface record, its entry points and the command
// dispatcher.
#include "command_values.h"
#include "sensor_commands.h"
#include "sensor_control.h"
#include "sensor_tuning.h"

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

// Commands 1 and 5 answer with constants the bridge driver asks for.
void QueryConstant(SENSOR_COMMAND* command) {
    command->Value = 13;
}

void QueryRateValues(SENSOR_COMMAND* command) {
    const bool baseRate = command->Device->RateLevel == 0;
    SensorTuning.BalanceCallCount = 0;  // restarts the throttle of command 18
    command->Value = 0;
    command->Value2 = baseRate ? 35 : 38;
    command->Value3 = 50;
    command->Value4 = baseRate ? 25 : 20;
}

// Status is cleared before the code is looked at, so a failure the caller left
// in the block never survives a dispatch; the only command routine that
// writes it again is command 2, refusing a missing FRAME_SIZES record. The
// block has been checked by the caller.
SENSOR_STATUS RunSensorCommand(SENSOR_COMMAND* command) {
    command->Status = SENSOR_STATUS_SUCCESS;
    switch (command->Code) {
    case SENSOR_CMD_SELECT_CLOCK: SelectClock(command); break;
    case SENSOR_CMD_QUERY_CONSTANT: QueryConstant(command); break;
    case SENSOR_CMD_LOAD_CALIBRATION: LoadCalibrationAndFrameSizes(command); break;
    case SENSOR_CMD_START_SENSOR: StartSensor(command); break;
    case SENSOR_CMD_SELECT_PRESET: SelectPreset(command); break;
    case SENSOR_CMD_QUERY_RATE_VALUES: QueryRateValues(command); break;
    case SENSOR_CMD_SET_FLICKER_TIMING: SetFlickerTiming(command); break;
    case SENSOR_CMD_LIMIT_EXPOSURE: LimitExposure(command); break;
    case SENSOR_CMD_SET_REG32_BIT14: SetRegister32Bit14(command); break;
    case SENSOR_CMD_SET_REG32_BIT15: SetRegister32Bit15(command); break;
    case SENSOR_CMD_APPLY_EXPOSURE_INDEX: ApplyExposureIndex(command); break;
    case SENSOR_CMD_RESET_EXPOSURE: ResetExposure(command); break;
    case SENSOR_CMD_RESTART_AUTO_EXPOSURE: RestartAutoExposure(command); break;
    case SENSOR_CMD_AUTO_EXPOSURE_STEP: AutoExposureStep(command); break;
    case SENSOR_CMD_LOAD_BALANCE_CONTROLS: LoadBalanceControls(command); break;
    case SENSOR_CMD_AUTO_WHITE_BALANCE_STEP: AutoWhiteBalanceStep(command); break;
    case SENSOR_CMD_WRITE_BALANCE_GAIN: WriteBalanceGain(command); break;
    case SENSOR_CMD_READ_SENSOR_GAIN: ReadSensorGain(command); break;
    case SENSOR_CMD_SET_RED_BALANCE: SetRedBalance(command->Device, Low32Signed(command->Value)); break;
    case SENSOR_CMD_SET_BLUE_BALANCE: SetBlueBalance(command->Device, Low32Signed(command->Value)); break;
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

// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): swapped, the const GUID* fails to compile
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

void SetRedBalance(SENSOR_DEVICE* device, int32_t value) {
    device->RedOffset = value;
    SensorTuning.RedRatio = static_cast<uint32_t>(value) - 32 + ((SensorTuning.RatioCalib >> 8) & 0xFF);
}

void SetBlueBalance(SENSOR_DEVICE* device, int32_t value) {
    device->BlueOffset = value;
    SensorTuning.BlueRatio = static_cast<uint32_t>(value) - 32 + (SensorTuning.RatioCalib & 0xFF);
}

// The dispatcher on its own, for callers that have not been through Command0:
// the same refusal of an incomplete block, then the command.
SENSOR_STATUS DispatchSensorCommand(SENSOR_COMMAND* command) {
    if (!CommandBlockComplete(command)) {
        return SENSOR_STATUS_INVALID_PARAMETER;
    }
    return RunSensorCommand(command);
}
