#include "bridge_client.h"

#include <cstring>

namespace camera_stack {

GUID BridgeInterfaceGuid() {
    return GUID BRIDGE_INTERFACE_GUID_INITIALIZER;
}

uint32_t FrameChecksum(const std::vector<uint8_t>& image) {
    return BridgeFrameChecksum(image.data(), image.size());
}

std::vector<std::u16string> BridgeClient::FindBridges() {
    return host_kernel::EnumerateDeviceInterfaces(BridgeInterfaceGuid());
}

NTSTATUS BridgeClient::Open(const std::u16string& link, ACCESS_MASK access) {
    Close();
    return host_kernel::OpenDevice(process_, link, &file_, access);
}

NTSTATUS BridgeClient::Open(PDEVICE_OBJECT pdo) {
    Close();
    return host_kernel::OpenDevice(process_, pdo, &file_);
}

void BridgeClient::Close() {
    if (file_ != nullptr) {
        host_kernel::CloseHandle(process_, file_);
        file_ = nullptr;
    }
}

NTSTATUS BridgeClient::Stream(uint32_t frames, BRIDGE_STREAM_RESULT* result) {
    BRIDGE_STREAM_REQUEST request{frames};
    BRIDGE_STREAM_RESULT ignored{};
    BRIDGE_STREAM_RESULT* out = result != nullptr ? result : &ignored;
    return host_kernel::DeviceIoControl(process_, file_, IOCTL_BRIDGE_STREAM, &request,
                                        sizeof(request), out, sizeof(*out))
        .Status;
}

NTSTATUS BridgeClient::Press(uint32_t triggerKind) {
    BRIDGE_PRESS_REQUEST request{triggerKind};
    return host_kernel::DeviceIoControl(process_, file_, IOCTL_BRIDGE_PRESS, &request,
                                        sizeof(request), nullptr, 0)
        .Status;
}

NTSTATUS BridgeClient::SetScene(const BRIDGE_SCENE& scene) {
    return host_kernel::DeviceIoControl(process_, file_, IOCTL_BRIDGE_SET_SCENE, &scene,
                                        sizeof(scene), nullptr, 0)
        .Status;
}

NTSTATUS BridgeClient::SetLight(const BRIDGE_LIGHT& light) {
    return host_kernel::DeviceIoControl(process_, file_, IOCTL_BRIDGE_SET_LIGHT, &light,
                                        sizeof(light), nullptr, 0)
        .Status;
}

NTSTATUS BridgeClient::SetSceneImage(uint32_t width, uint32_t height,
                                     const std::vector<uint8_t>& rgb) {
    const BRIDGE_SCENE_IMAGE header{width, height};
    std::vector<uint8_t> input(sizeof(header) + rgb.size());
    std::memcpy(input.data(), &header, sizeof(header));
    if (!rgb.empty()) std::memcpy(input.data() + sizeof(header), rgb.data(), rgb.size());
    return host_kernel::DeviceIoControl(process_, file_, IOCTL_BRIDGE_SET_SCENE_IMAGE, input.data(),
                                        ULONG(input.size()), nullptr, 0)
        .Status;
}

NTSTATUS BridgeClient::SetFlicker(uint32_t mode) {
    const BRIDGE_FLICKER_REQUEST request{mode};
    return host_kernel::DeviceIoControl(process_, file_, IOCTL_BRIDGE_SET_FLICKER, &request,
                                        sizeof(request), nullptr, 0)
        .Status;
}

NTSTATUS BridgeClient::Query(BRIDGE_QUERY_RESULT* result) {
    return host_kernel::DeviceIoControl(process_, file_, IOCTL_BRIDGE_QUERY, nullptr, 0, result,
                                        sizeof(*result))
        .Status;
}

std::unique_ptr<BRIDGE_QUERY_RESULT> BridgeClient::Query() {
    auto result = std::make_unique<BRIDGE_QUERY_RESULT>();
    if (!NT_SUCCESS(Query(result.get()))) {
        result.reset();
    }
    return result;
}

}  // namespace camera_stack
