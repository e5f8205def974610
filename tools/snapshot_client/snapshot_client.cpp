#include "snapshot_client.h"

#include <thread>

using namespace host_kernel;

namespace snapshot_client {

std::vector<std::u16string> FindStillImageDevices() {
  return EnumerateDeviceInterfaces(GUID_DEVINTERFACE_IMAGE);
}

Client::~Client() { Close(); }

NTSTATUS Client::Open(const std::u16string &link) {
  Close();
  return OpenDevice(process_, link, &file_);
}

void Client::Close() {
  if (file_ != nullptr) {
    if (registered_) ReleaseEvents();
    CloseHandle(process_, file_);
    file_ = nullptr;
  }
  for (HANDLE &event : events_) {
    if (event != nullptr) {
      CloseHandle(process_, event);
      event = nullptr;
    }
  }
}

NTSTATUS Client::GetImageInfo(SNAPSHOT_IMAGE_INFO *info) {
  IoResult result = DeviceIoControl(process_, file_, IOCTL_SNAPSHOT_GET_IMAGE_INFO, nullptr, 0,
                                    info, sizeof(*info));
  if (NT_SUCCESS(result.Status) && result.Information != sizeof(*info)) return STATUS_UNSUCCESSFUL;
  return result.Status;
}

NTSTATUS Client::RegisterEvents() {
  for (HANDLE &event : events_) {
    if (event == nullptr) event = CreateEvent(process_, NotificationEvent, false);
  }
  // The driver reads two pointer-sized handles.
  HANDLE handles[2] = {events_[0], events_[1]};
  NTSTATUS status =
      DeviceIoControl(process_, file_, IOCTL_SNAPSHOT_SET_EVENTS, handles, sizeof(handles), nullptr, 0)
          .Status;
  registered_ = NT_SUCCESS(status);
  return status;
}

NTSTATUS Client::ReleaseEvents() {
  HANDLE handles[2] = {nullptr, nullptr};
  NTSTATUS status =
      DeviceIoControl(process_, file_, IOCTL_SNAPSHOT_SET_EVENTS, handles, sizeof(handles), nullptr, 0)
          .Status;
  if (NT_SUCCESS(status)) registered_ = false;
  return status;
}

NTSTATUS Client::Control(SNAPSHOT_CONTROL_CODE code) {
  uint32_t input = code;
  return DeviceIoControl(process_, file_, IOCTL_SNAPSHOT_CONTROL, &input, sizeof(input), nullptr, 0)
      .Status;
}

NTSTATUS Client::QueryReady(bool *ready) {
  uint32_t word = SNAPSHOT_CONTROL_QUERY_READY;
  IoResult result = DeviceIoControl(process_, file_, IOCTL_SNAPSHOT_CONTROL, &word, sizeof(word),
                                    &word, sizeof(word));
  if (!NT_SUCCESS(result.Status)) return result.Status;
  if (result.Information != sizeof(word)) return STATUS_UNSUCCESSFUL;
  *ready = word != 0;
  return STATUS_SUCCESS;
}

NTSTATUS Client::WaitUntilReady(std::chrono::milliseconds timeout,
                                std::chrono::milliseconds interval) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    bool ready = false;
    NTSTATUS status = QueryReady(&ready);
    if (!NT_SUCCESS(status) || ready) return status;
    if (std::chrono::steady_clock::now() >= deadline) return STATUS_TIMEOUT;
    std::this_thread::sleep_for(interval);
  }
}

NTSTATUS Client::ReadImage(std::vector<uint8_t> *image) {
  SNAPSHOT_IMAGE_INFO info;
  NTSTATUS status = GetImageInfo(&info);
  if (!NT_SUCCESS(status)) return status;
  image->assign(info.ByteCount, 0);
  IoResult result = ReadFile(process_, file_, image->data(), info.ByteCount);
  if (NT_SUCCESS(result.Status)) image->resize(result.Information);
  return result.Status;
}

NTSTATUS Client::Capture(std::vector<uint8_t> *image, std::chrono::milliseconds timeout) {
  NTSTATUS status = Control(SNAPSHOT_CONTROL_REQUEST);
  if (NT_SUCCESS(status)) status = WaitUntilReady(timeout);
  if (status == STATUS_SUCCESS) status = ReadImage(image);
  return status;
}

}  // namespace snapshot_client
