// BRIDGE_SERVICES and PROBE_SERVICES: what orvane calls back for every
// hardware access, served by the camera in the device extension (the
// context orvane passes back first). While the sensor comes up, every call
// is also written to the bring-up's log, as IOCTL_BRIDGE_QUERY reports it.
//
// Called on the thread of the bridge driver's own command, with the camera
// lock held; resident, like everything orvane's commands reach.
#include "bridge.h"

static BRIDGE_EXTENSION* Self(void* Context) {
    return static_cast<BRIDGE_EXTENSION*>(Context);
}

// Up to four bytes, the first in bits 0-7.
static uint32_t PackBytes(const uint8_t* Bytes, uint32_t Length) {
    uint32_t packed = 0;
    for (uint32_t i = 0; i < Length && i < 4; ++i) {
        packed |= uint32_t(Bytes[i]) << (8 * i);
    }
    return packed;
}

BRIDGE_CALL_OBSERVER BridgeCallObserver = nullptr;

/*
 * LogCall
 *
 * A fixed log: calls beyond its capacity are counted only as an overflow,
 * so the bring-up never needs memory. The observer, where there is one,
 * sees every call, logged or not.
 */
static void LogCall(BRIDGE_EXTENSION* Extension, uint32_t Slot, uint32_t A0, uint32_t A1,
                    uint32_t A2, uint32_t A3, uint32_t Data, uint32_t Result) {
    const BRIDGE_CALL_OBSERVER observer = BridgeCallObserver;
    if (!Extension->Logging && observer == nullptr) {
        return;
    }
    BRIDGE_SERVICE_CALL call;
    call.Command = Extension->LoggedCommand;
    call.Slot = Slot;
    call.Arguments[0] = A0;
    call.Arguments[1] = A1;
    call.Arguments[2] = A2;
    call.Arguments[3] = A3;
    call.Data = Data;
    call.Result = Result;
    if (observer != nullptr) {
        observer(&call);
    }
    if (!Extension->Logging) {
        return;
    }
    BRIDGE_QUERY_RESULT* seen = &Extension->Seen;
    if (seen->LogCount == BRIDGE_LOG_CAPACITY) {
        seen->Flags |= BRIDGE_FLAG_LOG_OVERFLOW;
        return;
    }
    seen->Log[seen->LogCount++] = call;
}

void BridgeInitializeServices(BRIDGE_EXTENSION* Extension) {
    BRIDGE_SERVICES* services = &Extension->Services;
    services->BusWriteRead = BridgeBusWriteRead;
    services->BusWrite = BridgeBusWrite;
    services->ReadEeprom = BridgeReadEeprom;
    services->ReadBridgeReg = BridgeReadBridgeReg;
    services->WriteBridgeReg = BridgeWriteBridgeReg;
    services->GetControl = BridgeGetControl;
    services->GetControlMax = BridgeGetControlMax;
    services->GetControlMin = BridgeGetControlMin;
    services->SetControl = BridgeSetControl;
    services->SetControlMax = BridgeSetControlMax;
    services->ReadRegistryDword = BridgeReadRegistryDword;
    services->NotifyExposureReset = BridgeNotifyExposureReset;
    services->ReadFrameStats = BridgeReadFrameStats;
    services->SettleExposure = BridgeSettleExposure;
    Extension->ProbeServices.ProbeCheckAddress = BridgeProbeCheckAddress;
    Extension->ProbeServices.ProbeWriteRead = BridgeProbeWriteRead;
}

// The sensor answers register reads of one address byte with two data
// bytes, and takes writes of three (address, high, low).
SENSOR_STATUS SENSOR_NTAPI BridgeBusWriteRead(void* Context, uint32_t Address, uint8_t WriteLength,
                                              uint8_t* Write, uint8_t ReadLength, uint8_t* Read) {
    BRIDGE_EXTENSION* extension = Self(Context);
    const bool read = WriteLength == 1 && ReadLength == 2 &&
                      CameraSensorRead(&extension->Camera, Address, Write[0], Read);
    const SENSOR_STATUS status = read ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
    LogCall(extension, BRIDGE_SLOT_BUS_WRITE_READ, Address,
            WriteLength | uint32_t(ReadLength) << 16, PackBytes(Write, WriteLength), 0,
            read ? PackBytes(Read, ReadLength) : 0, uint32_t(status));
    return status;
}

SENSOR_STATUS SENSOR_NTAPI BridgeBusWrite(void* Context, uint32_t Address, uint8_t Length,
                                          uint8_t* Buffer) {
    BRIDGE_EXTENSION* extension = Self(Context);
    const bool written = Length == 3 && CameraSensorWrite(&extension->Camera, Address, Buffer);
    const SENSOR_STATUS status = written ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
    LogCall(extension, BRIDGE_SLOT_BUS_WRITE, Address, Length, PackBytes(Buffer, Length), 0, 0,
            uint32_t(status));
    return status;
}

// Up to four EEPROM bytes, the first in the low byte of the result.
SENSOR_STATUS SENSOR_NTAPI BridgeReadEeprom(void* Context, uint32_t Offset, uint32_t Length,
                                            uint32_t* Bytes) {
    BRIDGE_EXTENSION* extension = Self(Context);
    uint32_t value = 0;
    for (uint32_t i = 0; i < Length && i < 4; ++i) {
        value |= uint32_t(extension->Camera.Eeprom[(Offset + i) & 0xFF]) << (8 * i);
    }
    *Bytes = value;
    LogCall(extension, BRIDGE_SLOT_READ_EEPROM, Offset, Length, 0, 0, value, 0);
    return STATUS_SUCCESS;
}

SENSOR_STATUS SENSOR_NTAPI BridgeReadBridgeReg(void* Context, uint32_t Reg, uint8_t* Value) {
    BRIDGE_EXTENSION* extension = Self(Context);
    *Value = extension->Camera.Bridge[Reg & 0xFF];
    LogCall(extension, BRIDGE_SLOT_READ_BRIDGE_REG, Reg, 0, 0, 0, *Value, 0);
    return STATUS_SUCCESS;
}

SENSOR_STATUS SENSOR_NTAPI BridgeWriteBridgeReg(void* Context, uint32_t Reg, uint8_t Value) {
    BRIDGE_EXTENSION* extension = Self(Context);
    extension->Camera.Bridge[Reg & 0xFF] = Value;
    LogCall(extension, BRIDGE_SLOT_WRITE_BRIDGE_REG, Reg, Value, 0, 0, 0, 0);
    return STATUS_SUCCESS;
}

int32_t SENSOR_NTAPI BridgeGetControl(void* Context, uint32_t Id) {
    BRIDGE_EXTENSION* extension = Self(Context);
    const int32_t value = CameraGetControl(&extension->Camera, Id);
    LogCall(extension, BRIDGE_SLOT_GET_CONTROL, Id, 0, 0, 0, 0, uint32_t(value));
    return value;
}

int32_t SENSOR_NTAPI BridgeGetControlMax(void* Context, uint32_t Id) {
    BRIDGE_EXTENSION* extension = Self(Context);
    const int32_t value = CameraGetControlMax(&extension->Camera, Id);
    LogCall(extension, BRIDGE_SLOT_GET_CONTROL_MAX, Id, 0, 0, 0, 0, uint32_t(value));
    return value;
}

int32_t SENSOR_NTAPI BridgeGetControlMin(void* Context, uint32_t Id) {
    BRIDGE_EXTENSION* extension = Self(Context);
    const int32_t value = CameraGetControlMin(&extension->Camera, Id);
    LogCall(extension, BRIDGE_SLOT_GET_CONTROL_MIN, Id, 0, 0, 0, 0, uint32_t(value));
    return value;
}

SENSOR_STATUS SENSOR_NTAPI BridgeSetControl(void* Context, uint32_t Id, int32_t Value) {
    BRIDGE_EXTENSION* extension = Self(Context);
    CameraSetControl(&extension->Camera, Id, Value);
    LogCall(extension, BRIDGE_SLOT_SET_CONTROL, Id, uint32_t(Value), 0, 0, 0, 0);
    return STATUS_SUCCESS;
}

SENSOR_STATUS SENSOR_NTAPI BridgeSetControlMax(void* Context, uint32_t Id, int32_t Value) {
    BRIDGE_EXTENSION* extension = Self(Context);
    CameraSetControlMax(&extension->Camera, Id, Value);
    LogCall(extension, BRIDGE_SLOT_SET_CONTROL_MAX, Id, uint32_t(Value), 0, 0, 0, 0);
    return STATUS_SUCCESS;
}

// A value the camera's registry does not hold reads as the default.
SENSOR_STATUS SENSOR_NTAPI BridgeReadRegistryDword(void* Context, const uint16_t* Name,
                                                   uint32_t NameBytes, uint32_t* Result,
                                                   uint32_t Default) {
    BRIDGE_EXTENSION* extension = Self(Context);
    if (!CameraReadRegistryValue(&extension->Camera, Name, Result)) {
        *Result = Default;
    }
    LogCall(extension, BRIDGE_SLOT_READ_REGISTRY_DWORD, BridgeNameHash(Name), NameBytes, Default, 0,
            *Result, 0);
    return STATUS_SUCCESS;
}

SENSOR_STATUS SENSOR_NTAPI BridgeNotifyExposureReset(void* Context, uint32_t Number) {
    LogCall(Self(Context), BRIDGE_SLOT_NOTIFY_EXPOSURE_RESET, Number, 0, 0, 0, 0, 0);
    return STATUS_SUCCESS;
}

// While a frame streams, the statistics it was captured with; otherwise
// what the camera measures now.
SENSOR_STATUS SENSOR_NTAPI BridgeReadFrameStats(void* Context, uint32_t* Stats) {
    BRIDGE_EXTENSION* extension = Self(Context);
    *Stats = extension->FrameLatched ? extension->FrameStatistics : BridgePeekStatistics(extension);
    LogCall(extension, BRIDGE_SLOT_READ_FRAME_STATS, 0, 0, 0, 0, *Stats, 0);
    return STATUS_SUCCESS;
}

SENSOR_STATUS SENSOR_NTAPI BridgeSettleExposure(void* Context, void* Scratch) {
    RtlZeroMemory(Scratch, BRIDGE_SETTLE_EXPOSURE_SCRATCH_BYTES);
    LogCall(Self(Context), BRIDGE_SLOT_SETTLE_EXPOSURE, BRIDGE_SETTLE_EXPOSURE_SCRATCH_BYTES, 0, 0,
            0, 0, 0);
    return STATUS_SUCCESS;
}

// The probe's bus table: the same sensor bus, seen through the two entries
// the probe is given; 1 answers yes, 0 no.
uint32_t SENSOR_NTAPI BridgeProbeCheckAddress(void* Context, uint32_t Address) {
    const uint32_t present = Address == CAMERA_SENSOR_BUS_ADDRESS ? 1 : 0;
    LogCall(Self(Context), BRIDGE_SLOT_PROBE_CHECK_ADDRESS, Address, 0, 0, 0, 0, present);
    return present;
}

uint32_t SENSOR_NTAPI BridgeProbeWriteRead(void* Context, uint32_t Address, uint32_t WriteLength,
                                           uint8_t* Write, uint32_t ReadLength, uint8_t* Read,
                                           uint32_t Mode) {
    BRIDGE_EXTENSION* extension = Self(Context);
    const uint32_t read = WriteLength == 1 && ReadLength == 2 &&
                          CameraSensorRead(&extension->Camera, Address, Write[0], Read);
    LogCall(extension, BRIDGE_SLOT_PROBE_WRITE_READ, Address, WriteLength | ReadLength << 16,
            PackBytes(Write, WriteLength), Mode, read ? PackBytes(Read, ReadLength) : 0, read);
    return read;
}
