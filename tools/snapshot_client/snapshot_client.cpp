#include "snapshot_client.h"

#include <setupapi.h>

namespace snapshot_client {

namespace {

// The last error of a call that failed, never ERROR_SUCCESS: a caller must
// not mistake a failure that left no error behind for a success.
DWORD LastError() {
    DWORD error = GetLastError();
    return error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE;
}

/*
 * InterfacePath
 *
 * SetupAPI's two calls: the first, without a buffer, can only fail, and
 * reports the size the detail record needs; the second fills it. The record
 * is cast over storage aligned for its DWORD, and its cbSize is the size of
 * the fixed part as this compiler lays it out, which is what setupapi.dll
 * checks.
 */
DWORD InterfacePath(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data, DevicePath* path) {
    DWORD needed = 0;
    if (SetupDiGetDeviceInterfaceDetailW(set, data, nullptr, 0, &needed, nullptr) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return LastError();
    std::vector<ULONG_PTR> storage(needed / sizeof(ULONG_PTR) + 1);
    auto detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(storage.data());
    detail->cbSize = sizeof(*detail);
    if (!SetupDiGetDeviceInterfaceDetailW(set, data, detail, needed, nullptr, nullptr))
        return LastError();
    *path = detail->DevicePath;
    return ERROR_SUCCESS;
}

DWORD Request(HANDLE file, DWORD code, void* input, DWORD inputLength, void* output,
              DWORD outputLength, DWORD* returned) {
    *returned = 0;
    if (!DeviceIoControl(file, code, input, inputLength, output, outputLength, returned, nullptr))
        return LastError();
    return ERROR_SUCCESS;
}

DWORD ReadInto(HANDLE file, std::vector<uint8_t>* image, DWORD length) {
    image->assign(length, 0);
    DWORD read = 0;
    if (!ReadFile(file, image->data(), length, &read, nullptr)) {
        image->clear();
        return LastError();
    }
    image->resize(read);
    return ERROR_SUCCESS;
}

}  // namespace

DWORD FindStillImageDevices(std::vector<DevicePath>* paths) {
    paths->clear();
    HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVINTERFACE_IMAGE, nullptr, nullptr,
                                        DIGCF_DEVICEINTERFACE | DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) return LastError();
    DWORD error = ERROR_SUCCESS;
    for (DWORD index = 0; error == ERROR_SUCCESS; index++) {
        SP_DEVICE_INTERFACE_DATA data = {};
        data.cbSize = sizeof(data);
        if (!SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_IMAGE, index, &data)) {
            error = LastError();
            if (error == ERROR_NO_MORE_ITEMS) error = ERROR_SUCCESS;
            break;
        }
        DevicePath path;
        error = InterfacePath(set, &data, &path);
        if (error == ERROR_SUCCESS) paths->push_back(path);
    }
    SetupDiDestroyDeviceInfoList(set);
    return error;
}

std::string Utf8(const WCHAR* text) {
    std::string out;
    for (size_t i = 0; text[i] != 0; i++) {
        uint32_t code = static_cast<uint16_t>(text[i]);
        uint32_t next = static_cast<uint16_t>(text[i + 1]);
        if (code >= 0xD800 && code < 0xDC00 && next >= 0xDC00 && next < 0xE000) {
            code = 0x10000 + ((code - 0xD800) << 10) + (next - 0xDC00);
            i++;
        } else if (code >= 0xD800 && code < 0xE000) {
            code = 0xFFFD;  // an unpaired surrogate
        }
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (code >> 18));
            out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    return out;
}

Client::~Client() {
    Close();
}

DWORD Client::Open(const DevicePath& path) {
    Close();
    // The controls are FILE_ANY_ACCESS; only the read needs a right.
    file_ = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    return file_ == INVALID_HANDLE_VALUE ? LastError() : ERROR_SUCCESS;
}

void Client::Close() {
    if (file_ != INVALID_HANDLE_VALUE) {
        if (registered_) ReleaseEvents();
        CloseHandle(file_);
        file_ = INVALID_HANDLE_VALUE;
    }
    registered_ = false;
    for (HANDLE& event : events_) {
        if (event != nullptr) {
            CloseHandle(event);
            event = nullptr;
        }
    }
}

DWORD Client::GetImageInfo(SNAPSHOT_IMAGE_INFO* info) {
    DWORD returned;
    DWORD error =
        Request(file_, IOCTL_SNAPSHOT_GET_IMAGE_INFO, nullptr, 0, info, sizeof(*info), &returned);
    if (error == ERROR_SUCCESS && returned != sizeof(*info)) return ERROR_INVALID_DATA;
    return error;
}

// The driver reads two pointer-sized handles; a null first one releases.
DWORD Client::SetEvents(HANDLE first, HANDLE second) {
    HANDLE handles[2] = {first, second};
    DWORD returned;
    return Request(file_, IOCTL_SNAPSHOT_SET_EVENTS, handles, sizeof(handles), nullptr, 0,
                   &returned);
}

DWORD Client::RegisterEvents() {
    for (HANDLE& event : events_) {
        if (event == nullptr) event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (event == nullptr) return LastError();
    }
    DWORD error = SetEvents(events_[0], events_[1]);
    registered_ = error == ERROR_SUCCESS;
    return error;
}

DWORD Client::ReleaseEvents() {
    DWORD error = SetEvents(nullptr, nullptr);
    if (error == ERROR_SUCCESS) registered_ = false;
    return error;
}

DWORD Client::Control(SNAPSHOT_CONTROL_CODE code) {
    DWORD input = code;
    DWORD returned;
    return Request(file_, IOCTL_SNAPSHOT_CONTROL, &input, sizeof(input), nullptr, 0, &returned);
}

DWORD Client::QueryReady(bool* ready) {
    DWORD word = SNAPSHOT_CONTROL_QUERY_READY;
    DWORD returned;
    DWORD error =
        Request(file_, IOCTL_SNAPSHOT_CONTROL, &word, sizeof(word), &word, sizeof(word), &returned);
    if (error != ERROR_SUCCESS) return error;
    if (returned != sizeof(word)) return ERROR_INVALID_DATA;
    *ready = word != 0;
    return ERROR_SUCCESS;
}

DWORD Client::WaitUntilReady(std::chrono::milliseconds timeout,
                             std::chrono::milliseconds interval) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        bool ready = false;
        DWORD error = QueryReady(&ready);
        if (error != ERROR_SUCCESS || ready) return error;
        if (std::chrono::steady_clock::now() >= deadline) return ERROR_TIMEOUT;
        Sleep(static_cast<DWORD>(interval.count()));
    }
}

/*
 * ReadImage
 *
 * The driver hands out the last delivery whole and reports its size, so the
 * bytes returned are the image. A buffer of the description's ByteCount
 * fits it unless the description changed after the delivery; a read that
 * does not fit copies nothing and leaves the snapshot ready, so it is tried
 * once more with room for the largest snapshot there can be. The caller
 * gets the description used for the read, so that it can tell when the
 * bytes are not what it describes.
 */
DWORD Client::ReadImage(std::vector<uint8_t>* image, SNAPSHOT_IMAGE_INFO* info) {
    SNAPSHOT_IMAGE_INFO described;
    DWORD error = GetImageInfo(&described);
    if (error != ERROR_SUCCESS) return error;
    if (info != nullptr) *info = described;
    DWORD length = described.ByteCount != 0 && described.ByteCount <= SNAPSHOT_BUFFER_SIZE
                       ? described.ByteCount
                       : SNAPSHOT_BUFFER_SIZE;
    error = ReadInto(file_, image, length);
    if (error == ERROR_INSUFFICIENT_BUFFER && length < SNAPSHOT_BUFFER_SIZE)
        error = ReadInto(file_, image, SNAPSHOT_BUFFER_SIZE);
    return error;
}

DWORD Client::Capture(std::vector<uint8_t>* image, std::chrono::milliseconds timeout,
                      SNAPSHOT_IMAGE_INFO* info) {
    DWORD error = Control(SNAPSHOT_CONTROL_REQUEST);
    if (error == ERROR_SUCCESS) error = WaitUntilReady(timeout);
    if (error == ERROR_SUCCESS) error = ReadImage(image, info);
    return error;
}

// Both events at once: a pulse releases only a thread already waiting on
// that event, so waiting on one after the other would miss pulses.
DWORD Client::WaitForTrigger(std::chrono::milliseconds timeout, unsigned* which) {
    if (!registered_) return ERROR_INVALID_HANDLE;
    DWORD result = WaitForMultipleObjects(2, events_, FALSE, static_cast<DWORD>(timeout.count()));
    if (result == WAIT_TIMEOUT) return ERROR_TIMEOUT;
    if (result == WAIT_OBJECT_0 || result == WAIT_OBJECT_0 + 1) {
        *which = result - WAIT_OBJECT_0;
        return ERROR_SUCCESS;
    }
    return LastError();
}

}  // namespace snapshot_client
