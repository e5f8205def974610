// A user-mode client of tessip's still-image device interface, on the
// user-mode kernel's I/O: find the interface, open it, register the two
// trigger events, switch them on, request a snapshot, poll readiness and
// read the image. Everything goes through the device controls and the read
// request an application on Windows would use.
#pragma once

// The user-mode kernel's headers first, so that GUID_DEVINTERFACE_IMAGE is
// a GUID (see camera_common.h).
#include "host_kernel.h"

#include "camera_still_image.h"

#include <chrono>
#include <string>
#include <vector>

namespace snapshot_client {

// Symbolic links of every enabled still-image interface.
std::vector<std::u16string> FindStillImageDevices();

class Client {
 public:
  explicit Client(host_kernel::Process *process) : process_(process) {}
  ~Client();
  Client(const Client &) = delete;
  Client &operator=(const Client &) = delete;

  NTSTATUS Open(const std::u16string &link);
  // Releases the events (if registered) and closes the device.
  void Close();

  NTSTATUS GetImageInfo(SNAPSHOT_IMAGE_INFO *info);
  // Creates two notification events in the process and registers them:
  // FirstEvent for triggers of nonzero kind, SecondEvent for kind 0.
  NTSTATUS RegisterEvents();
  NTSTATUS ReleaseEvents();
  NTSTATUS Control(SNAPSHOT_CONTROL_CODE code);
  NTSTATUS QueryReady(bool *ready);
  // Polls readiness every `interval` until a snapshot is ready or `timeout`
  // passes (STATUS_TIMEOUT).
  NTSTATUS WaitUntilReady(std::chrono::milliseconds timeout,
                          std::chrono::milliseconds interval = std::chrono::milliseconds(1));
  // Reads ByteCount bytes (as IMAGE_INFO reports it) into `image`.
  NTSTATUS ReadImage(std::vector<uint8_t> *image);
  // Request, wait and read in one go.
  NTSTATUS Capture(std::vector<uint8_t> *image, std::chrono::milliseconds timeout);

  HANDLE File() const { return file_; }
  HANDLE FirstEvent() const { return events_[0]; }
  HANDLE SecondEvent() const { return events_[1]; }

 private:
  host_kernel::Process *process_;
  HANDLE file_ = nullptr;
  HANDLE events_[2] = {nullptr, nullptr};
  bool registered_ = false;
};

}  // namespace snapshot_client
