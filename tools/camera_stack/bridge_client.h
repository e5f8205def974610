// A test program of the bridge driver on the user-mode kernel: a process
// that opens the camera and drives it through the private I/O controls of
// bridge_control.h, as a Windows program would with DeviceIoControl.
// Shared by the tests, the camera simulator and the soak.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bridge_control.h"
#include "host_kernel.h"

namespace camera_stack {

GUID BridgeInterfaceGuid();

// What a frame record's SnapshotChecksum says of an image read back.
uint32_t FrameChecksum(const std::vector<uint8_t>& image);

class BridgeClient {
  public:
    explicit BridgeClient(host_kernel::Process* process) : process_(process) {}
    BridgeClient(const BridgeClient&) = delete;
    BridgeClient& operator=(const BridgeClient&) = delete;
    ~BridgeClient() { Close(); }

    // The bridge driver's own interfaces enabled now, one per running camera.
    static std::vector<std::u16string> FindBridges();
    // A test program opens the camera to read and write; `access` narrower
    // than that shows what the controls ask of a handle.
    NTSTATUS Open(const std::u16string& link,
                  ACCESS_MASK access = FILE_READ_DATA | FILE_WRITE_DATA);
    // Opens the stack over `pdo` (through tessip, which passes the controls
    // down), for a camera whose own interface is not offered.
    NTSTATUS Open(PDEVICE_OBJECT pdo);
    void Close();
    HANDLE Handle() const { return file_; }

    // Each control, with its status; the output records when it succeeded.
    NTSTATUS Stream(uint32_t frames, BRIDGE_STREAM_RESULT* result = nullptr);
    NTSTATUS Press(uint32_t triggerKind);
    NTSTATUS SetScene(const BRIDGE_SCENE& scene);
    NTSTATUS SetLight(const BRIDGE_LIGHT& light);
    // An RGB image of width * height reflectances; 0 by 0 restores the chart.
    NTSTATUS SetSceneImage(uint32_t width, uint32_t height, const std::vector<uint8_t>& rgb);
    NTSTATUS SetFlicker(uint32_t mode);
    NTSTATUS Query(BRIDGE_QUERY_RESULT* result);
    std::unique_ptr<BRIDGE_QUERY_RESULT> Query();  // empty when the query failed

  private:
    host_kernel::Process* process_;
    HANDLE file_ = nullptr;
};

}  // namespace camera_stack
