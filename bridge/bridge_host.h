// The bridge driver as the host build loads it into the user-mode kernel:
// its entry routine under its own name (every driver in one test process
// needs one), and the configuration that cameras plugged in afterwards
// start with, which on Windows would come with the camera's installation.
// Host builds only; driver code never includes this.
#pragma once

#include "bridge.h"

extern "C" NTSTATUS NTAPI BridgeDriverEntry(PDRIVER_OBJECT DriverObject,
                                            PUNICODE_STRING RegistryPath);

// Cameras whose add-device runs from now on are brought up this way.
// Call it while no camera is being plugged in.
void BridgeHostConfigure(const BRIDGE_CONFIGURATION& configuration);

// Every bridge service call of every camera from now on goes to `observer`
// (nullptr: none). Set it while no camera is plugged in.
void BridgeHostObserveCalls(BRIDGE_CALL_OBSERVER observer);
