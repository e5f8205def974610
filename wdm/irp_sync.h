// Sending a request down the stack and getting it back: the one WDM pattern
// all three drivers need (orvane and tessip for the start request on its way
// down, the bridge driver for the start and for its own queries). Written
// once here and compiled into each driver's image; the images share no code
// at run time.
#pragma once

#include "platform.h"

extern "C" {

// Signals the KEVENT its context points at and stops completion, so the
// request stays with its sender. Runs at whatever IRQL the lower driver
// completes at.
IO_COMPLETION_ROUTINE SyncCompletion;

// Sends Irp, whose next stack location the caller has set up, to
// TargetDevice with Completion as its completion routine (SyncCompletion,
// or a routine that does what it does), and returns the request's final
// status once it is back, uncompleted, whether the drivers below finished it
// at once or pended it. Waits, so PASSIVE_LEVEL only.
NTSTATUS SendIrpSynchronously(PDEVICE_OBJECT TargetDevice, PIRP Irp,
                              PIO_COMPLETION_ROUTINE Completion = SyncCompletion);

}  // extern "C"
