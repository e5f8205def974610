// A user-mode client of tessip's still-image device interface, written
// against the Win32 API only: SetupAPI finds the interface, CreateFileW opens
// it, DeviceIoControl registers the two trigger events, switches them on,
// requests a snapshot and polls readiness, and ReadFile fetches the image.
// The same source builds as a Windows program and, on Linux, over the
// user-mode kernel's Win32 layer (platform/host/win32).
//
// Every call returns ERROR_SUCCESS or the Win32 error of the step that
// failed (ERROR_TIMEOUT for a wait that ran out).
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "camera_still_image.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace snapshot_client {

// A device path as SetupAPI hands it out (UTF-16, \\?\...).
using DevicePath = std::basic_string<WCHAR>;

// The paths of the present still-image interfaces, in SetupAPI's order.
DWORD FindStillImageDevices(std::vector<DevicePath>* paths);

// UTF-16 to UTF-8, for printing paths and converting arguments.
std::string Utf8(const WCHAR* text);
inline std::string Utf8(const DevicePath& text) {
    return Utf8(text.c_str());
}

class Client {
  public:
    Client() = default;
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    DWORD Open(const DevicePath& path);
    // Releases the events (if registered), closes the device and the events.
    void Close();

    DWORD GetImageInfo(SNAPSHOT_IMAGE_INFO* info);
    // Creates two manual-reset events and registers them: FirstEvent is
    // pulsed by triggers of nonzero kind, SecondEvent by kind 0.
    DWORD RegisterEvents();
    DWORD ReleaseEvents();
    DWORD Control(SNAPSHOT_CONTROL_CODE code);
    DWORD QueryReady(bool* ready);
    // Polls readiness every `interval` until a snapshot is ready or `timeout`
    // passes.
    DWORD WaitUntilReady(std::chrono::milliseconds timeout,
                         std::chrono::milliseconds interval = std::chrono::milliseconds(1));
    // Reads the snapshot; `image` holds the bytes the driver reported and
    // `info`, when given, the image description read just before them.
    DWORD ReadImage(std::vector<uint8_t>* image, SNAPSHOT_IMAGE_INFO* info = nullptr);
    // Request, wait and read in one go.
    DWORD Capture(std::vector<uint8_t>* image, std::chrono::milliseconds timeout,
                  SNAPSHOT_IMAGE_INFO* info = nullptr);
    // Waits for a pulse of either registered event; `which` is 0 for
    // FirstEvent, 1 for SecondEvent.
    DWORD WaitForTrigger(std::chrono::milliseconds timeout, unsigned* which);

    HANDLE File() const { return file_; }
    HANDLE FirstEvent() const { return events_[0]; }
    HANDLE SecondEvent() const { return events_[1]; }

  private:
    DWORD SetEvents(HANDLE first, HANDLE second);

    HANDLE file_ = INVALID_HANDLE_VALUE;
    HANDLE events_[2] = {nullptr, nullptr};
    bool registered_ = false;
};

}  // namespace snapshot_client
