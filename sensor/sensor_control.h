// The sensor-control interface: the entry points handed to the bridge driver
// and the dispatcher behind Command0.
//
// Of the ten entry points only Probe0 (the sensor probe) and Command0 (the
// command entry) do work. The rest give fixed answers, but each one is a
// distinct routine that consumes exactly the arguments the bridge driver
// pushes, which matters on x86 where the callee pops them.
#pragma once

#include "sensor_records.h"

// Fills the record at interfaceRecord when interfaceType is
// GUID_SENSOR_CONTROL_INTERFACE (all 16 bytes compared) and returns true.
// Size, Version and the ten slots are written; Context and the two reference
// routines are left as the caller set them. Returns false and writes nothing
// for any other GUID.
bool FillSensorControlInterface(const void* interfaceType, void* interfaceRecord);

// The entry points have C linkage so that their symbols are the plain
// platform names (_Command0@4 on x86).
extern "C" {

// The probe: identifies the sensor at bus address 0xBA.
uint32_t SENSOR_NTAPI ProbeSensor(void* context, uint32_t* typeOut, uint32_t* configOut,
                                  const PROBE_SERVICES* services);

SENSOR_STATUS SENSOR_NTAPI Command0(SENSOR_COMMAND* command);
SENSOR_STATUS SENSOR_NTAPI Command1(SENSOR_COMMAND* command);
SENSOR_STATUS SENSOR_NTAPI Command2(SENSOR_COMMAND* command);
SENSOR_STATUS SENSOR_NTAPI Command3(SENSOR_COMMAND* command);
SENSOR_STATUS SENSOR_NTAPI Command4(SENSOR_COMMAND* command);

uint32_t SENSOR_NTAPI Probe1(void*, void*, void*, void*, void*, void*);
uint32_t SENSOR_NTAPI Probe2(void*, void*, void*, void*);
uint32_t SENSOR_NTAPI Probe3(void*, void*, void*, void*);
uint32_t SENSOR_NTAPI Probe4(void*, void*, void*, void*);

}  // extern "C"

// Routes codes 0..22 to their routines. Refuses, as Command0 does, a block
// without device or service table; Command0 reaches the routing itself once
// it has checked the block and the sensor type, so nothing is checked twice.
SENSOR_STATUS DispatchSensorCommand(SENSOR_COMMAND* command);
