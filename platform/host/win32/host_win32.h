// The test-facing side of the Win32 layer (windows.h, setupapi.h here): which
// user-mode kernel process the Win32 calls of a thread act in, and the status
// mapping the layer applies, for tests that check it.
#pragma once

#include "host_kernel.h"

#include <windows.h>

#include <cstddef>

namespace host_win32 {

// Win32 calls made on the calling thread act in `process` from now on
// (nullptr: none; a call that needs a process then records a kernel fault
// and fails with ERROR_INVALID_HANDLE).
void SetCurrentProcess(host_kernel::Process* process);
host_kernel::Process* CurrentProcess();

// Selects a process for the calling thread for a scope.
class CurrentProcessScope {
  public:
    explicit CurrentProcessScope(host_kernel::Process* process) : previous_(CurrentProcess()) {
        SetCurrentProcess(process);
    }
    ~CurrentProcessScope() { SetCurrentProcess(previous_); }
    CurrentProcessScope(const CurrentProcessScope&) = delete;
    CurrentProcessScope& operator=(const CurrentProcessScope&) = delete;

  private:
    host_kernel::Process* previous_;
};

// The Win32 error Windows reports for a status a driver or the I/O manager
// completed a request with (RtlNtStatusToDosError for the statuses the
// kernel and the drivers here produce); ERROR_MR_MID_NOT_FOUND for others.
DWORD Win32ErrorFromStatus(NTSTATUS status);

// Device information sets made by SetupDiGetClassDevsW and not destroyed.
size_t LiveDeviceInfoSets();

}  // namespace host_win32
