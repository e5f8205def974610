// What the Wine proof checks on the started cameras, through the interfaces an
// application and a test program have: the bridge driver's private control
// (what it obtained and ran at start, streaming, the button) and tessip's
// still-image interface (its I/O controls, the snapshot read), for one
// camera and for two at once.
#include <windows.h>
#include <cfgmgr32.h>
#include <setupapi.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bridge_control.h"
#include "bring_up_log.h"
#include "camera_still_image.h"
#include "snapshot_client.h"
#include "wine_checks.h"

namespace {

const GUID& kStillImageInterface = GUID_DEVINTERFACE_IMAGE;
const GUID kBridgeInterface = BRIDGE_INTERFACE_GUID_INITIALIZER;
constexpr DWORD kStartTimeoutMs = 10000;
constexpr int32_t kSensorTypeServed = 18;

// A present interface and the device instance it belongs to.
struct Interface {
    std::wstring Instance;
    std::wstring Path;
};

std::vector<Interface> Interfaces(const GUID& interfaceClass) {
    std::vector<Interface> found;
    HDEVINFO set = SetupDiGetClassDevsW(&interfaceClass, nullptr, nullptr,
                                        DIGCF_DEVICEINTERFACE | DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) {
        return found;
    }
    SP_DEVICE_INTERFACE_DATA data;
    memset(&data, 0, sizeof(data));
    data.cbSize = sizeof(data);
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &interfaceClass, i, &data); ++i) {
        DWORD needed = 0;
        SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &needed, nullptr);
        std::vector<BYTE> buffer(needed);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
        detail->cbSize = sizeof(*detail);
        SP_DEVINFO_DATA device;
        memset(&device, 0, sizeof(device));
        device.cbSize = sizeof(device);
        wchar_t instance[MAX_DEVICE_ID_LEN] = {};
        if (needed != 0 &&
            SetupDiGetDeviceInterfaceDetailW(set, &data, detail, needed, nullptr, &device)) {
            // An interface whose instance cannot be told still counts as present.
            SetupDiGetDeviceInstanceIdW(set, &device, instance, ARRAYSIZE(instance), nullptr);
            found.push_back({instance, detail->DevicePath});
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return found;
}

std::vector<std::wstring> InterfacePaths(const GUID& interfaceClass) {
    std::vector<std::wstring> paths;
    for (const Interface& found : Interfaces(interfaceClass)) {
        paths.push_back(found.Path);
    }
    return paths;
}

std::wstring WaitForInterface(const GUID& interfaceClass, DWORD timeoutMs) {
    for (DWORD waited = 0; waited <= timeoutMs; waited += 100) {
        std::vector<std::wstring> paths = InterfacePaths(interfaceClass);
        if (!paths.empty()) {
            return paths.front();
        }
        Sleep(100);
    }
    return std::wstring();
}

// Opens a device interface for reading and writing, as an application does.
HANDLE OpenInterface(const std::wstring& path) {
    return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
}

// The outcome of one request as an application sees it.
struct Outcome {
    DWORD Error;     // 0 on success, GetLastError() otherwise
    DWORD Returned;  // bytes the system reported
};

Outcome Control(HANDLE device, DWORD code, const void* input, DWORD inputLength, void* output,
                DWORD outputLength) {
    DWORD returned = 0;
    BOOL done = DeviceIoControl(device, code, const_cast<void*>(input), inputLength, output,
                                outputLength, &returned, nullptr);
    return {done ? 0 : GetLastError(), returned};
}

Outcome Read(HANDLE device, void* buffer, DWORD length) {
    DWORD returned = 0;
    BOOL done = ReadFile(device, buffer, length, &returned, nullptr);
    return {done ? 0 : GetLastError(), returned};
}

// Requests tessip must refuse, and the error an application gets for each.
struct Refusal {
    const char* what;
    DWORD code;
    DWORD inputLength;
    DWORD outputLength;
    DWORD error;
};

const Refusal kRefusals[] = {
    {"an image description into 39 bytes is refused with ERROR_INSUFFICIENT_BUFFER",
     IOCTL_SNAPSHOT_GET_IMAGE_INFO, 0, sizeof(SNAPSHOT_IMAGE_INFO) - 1, ERROR_INSUFFICIENT_BUFFER},
    {"a snapshot control without its code is refused with ERROR_INVALID_PARAMETER",
     IOCTL_SNAPSHOT_CONTROL, 0, 0, ERROR_INVALID_PARAMETER},
    {"a readiness query without room for the answer is refused with ERROR_INSUFFICIENT_BUFFER",
     IOCTL_SNAPSHOT_CONTROL, sizeof(uint32_t), 0, ERROR_INSUFFICIENT_BUFFER},
    {"an event registration shorter than two handles is refused with ERROR_INVALID_PARAMETER",
     IOCTL_SNAPSHOT_SET_EVENTS, sizeof(HANDLE), 0, ERROR_INVALID_PARAMETER},
};

void CheckRefusals(WineChecks& checks, HANDLE device) {
    for (const Refusal& refusal : kRefusals) {
        uint32_t input[4] = {SNAPSHOT_CONTROL_QUERY_READY, 0, 0, 0};
        uint8_t output[64] = {};
        Outcome outcome =
            Control(device, refusal.code, input, refusal.inputLength, output, refusal.outputLength);
        checks.Check(outcome.Error == refusal.error && outcome.Returned == 0, refusal.what);
    }
}

bool QueryReady(HANDLE device, uint32_t* ready) {
    uint32_t code = SNAPSHOT_CONTROL_QUERY_READY;
    Outcome outcome =
        Control(device, IOCTL_SNAPSHOT_CONTROL, &code, sizeof(code), ready, sizeof(*ready));
    return outcome.Error == 0 && outcome.Returned == sizeof(*ready);
}

void CheckStillImage(WineChecks& checks, HANDLE device) {
    SNAPSHOT_IMAGE_INFO info;
    memset(&info, 0xEE, sizeof(info));
    Outcome described =
        Control(device, IOCTL_SNAPSHOT_GET_IMAGE_INFO, nullptr, 0, &info, sizeof(info));
    checks.Check(described.Error == 0 && described.Returned == sizeof(info),
                 "the image description comes back whole");
    CheckRefusals(checks, device);

    uint32_t ready = 0xFFFFFFFF;
    checks.Check(QueryReady(device, &ready) && ready == 0,
                 "no snapshot is ready before a delivery");

    std::vector<uint8_t> image(SNAPSHOT_BUFFER_SIZE, 0xEE);
    Outcome read = Read(device, image.data(), static_cast<DWORD>(image.size()));
    checks.Check(read.Error == 0 && read.Returned == 0,
                 "a read before any delivery returns no bytes (none of the buffer's)");

    HANDLE events[2] = {CreateEventW(nullptr, TRUE, FALSE, nullptr),
                        CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    Outcome registered =
        Control(device, IOCTL_SNAPSHOT_SET_EVENTS, events, sizeof(events), nullptr, 0);
    checks.ExpectFailureUnderWine(registered.Error == 0, "the application's two events register",
                                  "Wine 8 does not resolve user-mode handles in drivers");
    HANDLE none[2] = {nullptr, nullptr};
    Control(device, IOCTL_SNAPSHOT_SET_EVENTS, none, sizeof(none), nullptr, 0);
    CloseHandle(events[0]);
    CloseHandle(events[1]);
}

// ------------------------------------------------------- the bridge driver --

bool Query(HANDLE bridge, BRIDGE_QUERY_RESULT* result) {
    Outcome outcome = Control(bridge, IOCTL_BRIDGE_QUERY, nullptr, 0, result, sizeof(*result));
    return outcome.Error == 0 && outcome.Returned == sizeof(*result);
}

bool Stream(HANDLE bridge, uint32_t frames, BRIDGE_STREAM_RESULT* result) {
    BRIDGE_STREAM_REQUEST request = {frames};
    Outcome outcome =
        Control(bridge, IOCTL_BRIDGE_STREAM, &request, sizeof(request), result, sizeof(*result));
    return outcome.Error == 0 && outcome.Returned == sizeof(*result) && result->Frames == frames;
}

bool SetScene(HANDLE bridge, uint32_t brightness, uint32_t red, uint32_t green, uint32_t blue) {
    BRIDGE_SCENE scene = {brightness, red, green, blue};
    return Control(bridge, IOCTL_BRIDGE_SET_SCENE, &scene, sizeof(scene), nullptr, 0).Error == 0;
}

std::string ReadText(const char* path) {
    std::string text;
    if (FILE* file = fopen(path, "rb")) {
        char buffer[4096];
        size_t got;
        while ((got = fread(buffer, 1, sizeof(buffer), file)) != 0) {
            text.append(buffer, got);
        }
        fclose(file);
    }
    return text;
}

void WriteText(const char* path, const std::string& text) {
    if (FILE* file = fopen(path, "wb")) {
        fwrite(text.data(), 1, text.size(), file);
        fclose(file);
    }
}

/*
 * CheckBringUp
 *
 * The bridge driver's start, as it saw it: both records, the probe's sensor
 * type, and every service call of the bring-up, compared call by call with
 * what the host simulation recorded for the same camera (bringup_host.txt,
 * staged beside this program; this run's log is left as bringup_wine.txt).
 */
void CheckBringUp(WineChecks& checks, const BRIDGE_QUERY_RESULT& result) {
    checks.Check((result.Flags & BRIDGE_FLAG_SENSOR_INTERFACE) != 0,
                 "the bridge driver obtained orvane's sensor-control record");
    checks.Check((result.Flags & BRIDGE_FLAG_SNAPSHOT_INTERFACE) != 0,
                 "the bridge driver obtained tessip's snapshot record");
    checks.Check(
        result.SensorType == kSensorTypeServed && (result.Flags & BRIDGE_FLAG_SENSOR_FOUND),
        "the probe through orvane reported sensor type 18");
    checks.Check((result.Flags & BRIDGE_FLAG_SENSOR_STARTED) != 0 && result.LogCount != 0 &&
                     (result.Flags & BRIDGE_FLAG_LOG_OVERFLOW) == 0,
                 "the sensor was brought up and every service call of it logged");
    std::string log = DescribeBringUp(result);
    WriteText("bringup_wine.txt", log);
    std::string expected = ReadText("bringup_host.txt");
    checks.Check(!expected.empty() && log == expected,
                 "every bridge service call of the bring-up matches the host simulation's");
}

int32_t ExposureIndexAfter(HANDLE bridge, uint32_t frames) {
    BRIDGE_STREAM_RESULT result = {};
    return Stream(bridge, frames, &result) ? result.Last.ExposureIndex : INT32_MIN;
}

/*
 * CheckLoops
 *
 * Auto exposure and auto white balance steered by orvane in Wine's kernel:
 * a step from a dim room to daylight must move the exposure index down, and
 * a warm light must move the bridge's red and blue gains apart.
 */
void CheckLoops(WineChecks& checks, HANDLE bridge) {
    SetScene(bridge, 50, 100, 100, 100);
    int32_t dim = ExposureIndexAfter(bridge, 200);
    SetScene(bridge, 2000, 100, 100, 100);
    int32_t bright = ExposureIndexAfter(bridge, 200);
    checks.Check(dim != INT32_MIN && bright != INT32_MIN && bright < dim,
                 "auto exposure lowers the exposure index when the light brightens");

    BRIDGE_STREAM_RESULT neutral = {};
    BRIDGE_STREAM_RESULT warm = {};
    bool streamed = Stream(bridge, 100, &neutral);
    SetScene(bridge, 2000, 130, 100, 70);
    streamed = streamed && Stream(bridge, 300, &warm);
    checks.Check(streamed && warm.Last.RedGain < neutral.Last.RedGain &&
                     warm.Last.BlueGain > neutral.Last.BlueGain,
                 "auto white balance lowers red and raises blue under a warm light");
}

// The private control's refusals, as an application would meet them.
void CheckBridgeRefusals(WineChecks& checks, HANDLE bridge) {
    BRIDGE_STREAM_REQUEST none = {0};
    BRIDGE_STREAM_REQUEST tooMany = {BRIDGE_STREAM_MAX_FRAMES + 1};
    BRIDGE_QUERY_RESULT result;
    checks.Check(
        Control(bridge, IOCTL_BRIDGE_STREAM, &none, sizeof(none), nullptr, 0).Error ==
                ERROR_INVALID_PARAMETER &&
            Control(bridge, IOCTL_BRIDGE_STREAM, &tooMany, sizeof(tooMany), nullptr, 0).Error ==
                ERROR_INVALID_PARAMETER,
        "streaming no frames, or more than the limit, is refused");
    checks.Check(
        Control(bridge, IOCTL_BRIDGE_QUERY, nullptr, 0, &result, sizeof(result) - 1).Error ==
            ERROR_INSUFFICIENT_BUFFER,
        "a query into too small a buffer is refused");
}

/*
 * CheckSnapshot
 *
 * A still image on request, taken by the snapshot client as an application
 * takes it: request, let the camera stream until tessip has it, poll
 * readiness, read. The bytes must be the frame the bridge driver rendered
 * and submitted, whole.
 */
void CheckSnapshot(WineChecks& checks, const std::wstring& path, HANDLE bridge) {
    snapshot_client::Client client;
    if (!checks.Check(client.Open(path) == ERROR_SUCCESS, "the snapshot client opens the camera")) {
        return;
    }
    BRIDGE_STREAM_RESULT streamed = {};
    bool delivered = client.Control(SNAPSHOT_CONTROL_REQUEST) == ERROR_SUCCESS &&
                     Stream(bridge, 1, &streamed) && streamed.Snapshots == 1 &&
                     streamed.Last.SnapshotDelivered == 1;
    checks.Check(delivered, "a requested snapshot is delivered on the next frame");
    checks.Check(client.WaitUntilReady(std::chrono::milliseconds(1000)) == ERROR_SUCCESS,
                 "the snapshot client sees it ready");

    BRIDGE_QUERY_RESULT* seen = new BRIDGE_QUERY_RESULT;
    SNAPSHOT_IMAGE_INFO info = {};
    std::vector<uint8_t> image;
    bool read =
        client.GetImageInfo(&info) == ERROR_SUCCESS && client.ReadImage(&image) == ERROR_SUCCESS;
    bool queried = Query(bridge, seen);
    uint32_t frameBytes = queried ? seen->SnapshotWidth * seen->SnapshotHeight * 3 : 0;
    checks.Check(
        read && frameBytes != 0 && image.size() == frameBytes && info.ByteCount == frameBytes,
        "the snapshot client reads the whole frame the bridge driver described");
    checks.Check(
        read && !image.empty() &&
            BridgeFrameChecksum(image.data(), image.size()) == streamed.Last.SnapshotChecksum,
        "the snapshot equals the frame the bridge driver submitted, byte for byte");
    bool ready = true;
    checks.Check(client.QueryReady(&ready) == ERROR_SUCCESS && !ready,
                 "reading the snapshot clears readiness");
    std::vector<uint8_t> small(16);
    checks.Check(Read(client.File(), small.data(), static_cast<DWORD>(small.size())).Error ==
                     ERROR_INSUFFICIENT_BUFFER,
                 "a read into less than the frame is refused");
    delete seen;
}

// Runs the snapshot client program staged beside this one; its exit status,
// or -1 if it could not be run or did not finish within 30 s.
int RunClientProgram(const wchar_t* arguments) {
    std::wstring command = std::wstring(L"snapshot_client.exe ") + arguments;
    STARTUPINFOW startup;
    memset(&startup, 0, sizeof(startup));
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process;
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        return -1;
    }
    DWORD code = static_cast<DWORD>(-1);
    if (WaitForSingleObject(process.hProcess, 30000) == WAIT_OBJECT_0) {
        GetExitCodeProcess(process.hProcess, &code);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<int>(code);
}

// The snapshot client as a Windows program, as an engineer runs it.
void CheckClientProgram(WineChecks& checks) {
    checks.Check(RunClientProgram(L"--list") == 0, "snapshot_client.exe --list finds the camera");
    checks.Check(RunClientProgram(L"--info") == 0,
                 "snapshot_client.exe --info describes the image");
    checks.Check(RunClientProgram(L"--no-such-option") == 2,
                 "snapshot_client.exe exits with 2 on bad usage");
}

/*
 * CameraPair
 *
 * Two started cameras, each as its bridge driver's interface and tessip's
 * still-image interface of one device instance, opened.
 */
struct CameraPair {
    HANDLE Bridge[2] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
    snapshot_client::Client Still[2];

    ~CameraPair() {
        for (HANDLE bridge : Bridge) {
            if (bridge != INVALID_HANDLE_VALUE) {
                CloseHandle(bridge);
            }
        }
    }

    bool Open() {
        std::vector<Interface> bridges = Interfaces(kBridgeInterface);
        std::vector<Interface> stills = Interfaces(kStillImageInterface);
        if (bridges.size() != 2 || stills.size() != 2) {
            return false;
        }
        for (size_t i = 0; i < 2; ++i) {
            const Interface* still = nullptr;
            for (const Interface& candidate : stills) {
                if (_wcsicmp(candidate.Instance.c_str(), bridges[i].Instance.c_str()) == 0) {
                    still = &candidate;
                }
            }
            Bridge[i] = OpenInterface(bridges[i].Path);
            if (bridges[i].Instance.empty() || still == nullptr ||
                Bridge[i] == INVALID_HANDLE_VALUE || Still[i].Open(still->Path) != ERROR_SUCCESS) {
                return false;
            }
        }
        return true;
    }
};

}  // namespace

bool WaitForCameras(size_t count) {
    for (DWORD waited = 0; waited <= kStartTimeoutMs; waited += 100) {
        if (Interfaces(kBridgeInterface).size() == count &&
            Interfaces(kStillImageInterface).size() == count) {
            return true;
        }
        Sleep(100);
    }
    return false;
}

std::vector<std::wstring> StillImagePaths() {
    return InterfacePaths(kStillImageInterface);
}

/*
 * RunTwoCameraChecks
 *
 * One tessip and one bridge driver serving two cameras: each camera's
 * snapshot state, buffer and delivery must be its own. The cameras look at
 * different light, so their frames differ and a still image delivered into
 * the other camera's buffer cannot pass for its own. A request made of one
 * camera must not be taken by the other's frame.
 */
void RunTwoCameraChecks(WineChecks& checks) {
    CameraPair cameras;
    if (!checks.Check(cameras.Open(),
                      "both cameras start, each with its bridge driver's and its still-image "
                      "interface, and open")) {
        return;
    }
    SetScene(cameras.Bridge[0], 400, 130, 100, 70);
    SetScene(cameras.Bridge[1], 1500, 70, 100, 130);

    BRIDGE_STREAM_RESULT streamed[2] = {};
    BRIDGE_STREAM_RESULT other = {};
    bool own = cameras.Still[0].Control(SNAPSHOT_CONTROL_REQUEST) == ERROR_SUCCESS &&
               Stream(cameras.Bridge[1], 1, &other) && other.Snapshots == 0 &&
               Stream(cameras.Bridge[0], 1, &streamed[0]) && streamed[0].Snapshots == 1 &&
               cameras.Still[1].Control(SNAPSHOT_CONTROL_REQUEST) == ERROR_SUCCESS &&
               Stream(cameras.Bridge[1], 1, &streamed[1]) && streamed[1].Snapshots == 1;
    checks.Check(own,
                 "a snapshot asked of one camera is delivered by its next frame, not by the "
                 "other camera's");

    bool matched = true;
    for (size_t i = 0; i < 2; ++i) {
        std::vector<uint8_t> image;
        matched =
            matched &&
            cameras.Still[i].WaitUntilReady(std::chrono::milliseconds(1000)) == ERROR_SUCCESS &&
            cameras.Still[i].ReadImage(&image) == ERROR_SUCCESS && !image.empty() &&
            BridgeFrameChecksum(image.data(), image.size()) == streamed[i].Last.SnapshotChecksum;
    }
    checks.Check(matched,
                 "each camera's still image equals the frame its own bridge driver submitted, "
                 "byte for byte");
    checks.Check(streamed[0].Last.SnapshotChecksum != streamed[1].Last.SnapshotChecksum,
                 "the two cameras' still images differ");
}

void RunCameraChecks(WineChecks& checks) {
    std::wstring bridgePath = WaitForInterface(kBridgeInterface, kStartTimeoutMs);
    HANDLE bridge = INVALID_HANDLE_VALUE;
    if (checks.Check(!bridgePath.empty(),
                     "the camera starts and the bridge driver's interface appears")) {
        bridge = OpenInterface(bridgePath);
    }
    BRIDGE_QUERY_RESULT* started = new BRIDGE_QUERY_RESULT;
    if (checks.Check(bridge != INVALID_HANDLE_VALUE && Query(bridge, started),
                     "the bridge driver answers its query")) {
        CheckBringUp(checks, *started);
        CheckBridgeRefusals(checks, bridge);
        CheckLoops(checks, bridge);
    }
    delete started;

    std::wstring path = WaitForInterface(kStillImageInterface, kStartTimeoutMs);
    if (!checks.Check(!path.empty(),
                      "the camera starts and tessip's still-image interface appears")) {
        return;
    }
    HANDLE device = OpenInterface(path);
    if (!checks.Check(device != INVALID_HANDLE_VALUE, "the still-image interface opens")) {
        return;
    }
    CheckStillImage(checks, device);
    CloseHandle(device);
    CheckClientProgram(checks);
    if (bridge != INVALID_HANDLE_VALUE) {
        CheckSnapshot(checks, path, bridge);
        CloseHandle(bridge);
    }
}

void RunDirectIoChecks(WineChecks& checks) {
    std::wstring bridgePath = WaitForInterface(kBridgeInterface, kStartTimeoutMs);
    std::wstring path = WaitForInterface(kStillImageInterface, kStartTimeoutMs);
    if (!checks.Check(!bridgePath.empty() && !path.empty(), "the camera starts")) {
        return;
    }
    HANDLE bridge = OpenInterface(bridgePath);
    BRIDGE_QUERY_RESULT* started = new BRIDGE_QUERY_RESULT;
    checks.Check(bridge != INVALID_HANDLE_VALUE && Query(bridge, started) &&
                     (started->Flags & BRIDGE_FLAG_DIRECT_IO) != 0,
                 "the camera's requests use direct I/O, as its device parameter asks");
    delete started;
    if (bridge != INVALID_HANDLE_VALUE) {
        CheckSnapshot(checks, path, bridge);
        CloseHandle(bridge);
    }
}

void RunRemovalChecks(WineChecks& checks) {
    checks.Check(InterfacePaths(kStillImageInterface).empty(),
                 "after removal no still-image interface is left");
    checks.Check(InterfacePaths(kBridgeInterface).empty(),
                 "after removal no bridge driver interface is left");
}
