// camera_sim: the whole camera on the user-mode kernel.
//
// Loads orvane, the bridge driver and tessip and plugs a camera in as the
// package installs it (orvane below the bridge driver, tessip above), starts
// it through the Plug and Play manager, which lets the bridge driver probe
// and start the sensor through orvane, and streams frames of a scene that
// changes three times (a dim room, daylight, warm lamp light) while auto
// exposure and auto white balance settle, all through the bridge driver's
// private I/O controls. Then an application takes a still image through
// tessip's device interface, and the stack is removed. The kernel's checks
// run throughout; any fault fails the run.
//
// usage: camera_sim [--frames N] [--flicker 0|1|2|3] [--eeprom] [--out FILE.ppm]
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "bridge_client.h"
#include "camera_stack.h"
#include "host_win32.h"
#include "snapshot_client.h"

using namespace host_kernel;
using namespace std::chrono_literals;
using camera_model::BridgeClient;

namespace {

// Every eighth frame is printed; frames are streamed in runs that end there.
constexpr uint32_t kPrintEvery = 8;

struct Options {
    int frames = 96;
    uint32_t flicker = 0;
    bool eeprom = false;
    const char* out = nullptr;
};

bool Parse(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (arg == "--eeprom") {
            options->eeprom = true;
            continue;
        }
        if (value == nullptr) return false;
        if (arg == "--frames") options->frames = std::atoi(value);
        else if (arg == "--flicker") options->flicker = uint32_t(std::strtoul(value, nullptr, 0));
        else if (arg == "--out") options->out = value;
        else return false;
        ++i;
    }
    return options->frames > 0 && options->flicker <= 3;
}

void PrintHeader() {
    std::printf("%6s %5s %5s %5s %5s | %5s %5s %6s | %4s %4s %4s\n", "frame", "luma", "red",
                "green", "blue", "index", "rows", "gain", "R", "G", "B");
}

void PrintFrame(const BRIDGE_FRAME_RECORD& frame) {
    const uint32_t s = frame.Statistics;
    std::printf("%6u %5u %5u %5u %5u | %5d %5u %6u | %4u %4u %4u\n", frame.Frame, s & 0xFF,
                (s >> 8) & 0xFF, (s >> 16) & 0xFF, s >> 24, frame.ExposureIndex, frame.ShutterRows,
                frame.GainCode, frame.RedGain, frame.GreenGain, frame.BlueGain);
}

// Streams frames of one scene, printing every deciding (eighth) frame.
bool Stream(BridgeClient& bridge, const char* name, const BRIDGE_SCENE& scene, uint32_t frames,
            uint32_t* streamed) {
    std::printf("\n-- %s: brightness %u, light colour %u/%u/%u %%\n", name, scene.Brightness,
                scene.Red, scene.Green, scene.Blue);
    if (!NT_SUCCESS(bridge.SetScene(scene))) return false;
    PrintHeader();
    for (uint32_t left = frames; left > 0;) {
        const uint32_t run = std::min(left, kPrintEvery - *streamed % kPrintEvery);
        BRIDGE_STREAM_RESULT result{};
        if (!NT_SUCCESS(bridge.Stream(run, &result))) return false;
        *streamed += run;
        left -= run;
        if (result.Last.Frame % kPrintEvery == 0) PrintFrame(result.Last);
    }
    return true;
}

bool WritePpm(const char* path, uint32_t width, uint32_t height, const std::vector<uint8_t>& rgb) {
    FILE* file = std::fopen(path, "wb");
    if (file == nullptr) return false;
    std::fprintf(file, "P6\n%u %u\n255\n", width, height);
    const bool written = std::fwrite(rgb.data(), 1, rgb.size(), file) == rgb.size();
    return std::fclose(file) == 0 && written;
}

// The application's side: a still image through tessip while the bridge
// driver streams, driven from a thread of its own.
int TakeStill(BridgeClient& bridge, const Options& options) {
    std::atomic<bool> streaming{true};
    StartThread([&] {
        while (streaming && NT_SUCCESS(bridge.Stream(1))) {
            std::this_thread::sleep_for(1ms);
        }
    });

    int status = 0;
    Process* process = CreateProcess("camera_app");
    {
        host_win32::CurrentProcessScope current(process);
        snapshot_client::Client client;
        std::vector<snapshot_client::DevicePath> devices;
        DWORD error = snapshot_client::FindStillImageDevices(&devices);
        if (error == ERROR_SUCCESS && devices.empty()) error = ERROR_FILE_NOT_FOUND;
        if (error == ERROR_SUCCESS) error = client.Open(devices[0]);
        std::vector<uint8_t> image;
        if (error == ERROR_SUCCESS) error = client.Capture(&image, 2000ms);
        if (error != ERROR_SUCCESS) {
            std::fprintf(stderr, "still image failed: error %u\n", unsigned(error));
            status = 1;
        } else {
            std::printf("\nstill image: %zu bytes from %zu still-image device(s)\n", image.size(),
                        devices.size());
            if (options.out != nullptr) {
                if (WritePpm(options.out, 640, 480, image)) {
                    std::printf("written to %s\n", options.out);
                } else {
                    std::fprintf(stderr, "cannot write %s\n", options.out);
                    status = 1;
                }
            }
        }
        client.Close();
    }
    TerminateProcess(process);
    streaming = false;
    JoinThreads();
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!Parse(argc, argv, &options)) {
        std::fprintf(stderr, "usage: %s [--frames N] [--flicker 0|1|2|3] [--eeprom] [--out FILE.ppm]\n",
                     argv[0]);
        return 2;
    }

    Reset();
    int status = 0;
    {
        BRIDGE_CONFIGURATION configuration = BRIDGE_DEFAULT_CONFIGURATION;
        configuration.FlickerMode = options.flicker;
        configuration.EepromPresets = options.eeprom;
        camera_model::CameraDrivers drivers(configuration);
        PDEVICE_OBJECT pdo = nullptr;
        if (drivers.PlugIn(DO_BUFFERED_IO | DO_POWER_PAGABLE, &pdo) != STATUS_SUCCESS ||
            StartDevice(pdo) != STATUS_SUCCESS) {
            std::fprintf(stderr, "the camera stack did not start\n");
            return 1;
        }
        std::printf("camera stack:");
        for (PDEVICE_OBJECT device : DeviceStack(pdo)) {
            std::printf(" %s", device == pdo                           ? "bus"
                               : device == drivers.OrvaneDevice(pdo) ? "orvane"
                               : device == drivers.TessipDevice(pdo) ? "tessip"
                                                                     : "bridge");
        }
        std::printf("\n");

        Process* control = CreateProcess("camera control");
        BridgeClient bridge(control);
        const std::vector<std::u16string> bridges = BridgeClient::FindBridges();
        std::unique_ptr<BRIDGE_QUERY_RESULT> seen;
        if (!bridges.empty() && NT_SUCCESS(bridge.Open(bridges[0]))) seen = bridge.Query();
        const uint32_t wanted = BRIDGE_FLAG_SENSOR_INTERFACE | BRIDGE_FLAG_SNAPSHOT_INTERFACE |
                                BRIDGE_FLAG_SENSOR_FOUND | BRIDGE_FLAG_SENSOR_STARTED;
        if (seen == nullptr || (seen->Flags & wanted) != wanted) {
            std::fprintf(stderr, "the bridge driver found no sensor interface or no sensor\n");
            status = 1;
        } else {
            std::printf("sensor type %d at bus address 0x%02X\n", seen->SensorType,
                        seen->SensorAddress);
            std::printf("sensor %ux%u, preview %ux%u, anti-flicker mode %u, presets from %s\n",
                        seen->SensorWidth, seen->SensorHeight, seen->PreviewWidth,
                        seen->PreviewHeight, options.flicker,
                        options.eeprom ? "EEPROM" : "registry defaults");

            uint32_t streamed = 0;
            const uint32_t frames = uint32_t(options.frames);
            const bool streamedAll =
                Stream(bridge, "dim room", BRIDGE_SCENE{60, 100, 100, 100}, frames, &streamed) &&
                Stream(bridge, "daylight", BRIDGE_SCENE{2000, 90, 100, 110}, frames, &streamed) &&
                Stream(bridge, "warm lamp", BRIDGE_SCENE{400, 120, 100, 70}, frames, &streamed);
            if (!streamedAll) {
                std::fprintf(stderr, "the bridge driver refused to stream\n");
                status = 1;
            } else {
                status = TakeStill(bridge, options);
            }
        }
        bridge.Close();
        TerminateProcess(control);
        Shutdown();
    }

    for (const std::string& fault : Faults()) {
        std::fprintf(stderr, "kernel fault: %s\n", fault.c_str());
        status = 1;
    }
    std::printf("\n%s\n", status == 0 ? "camera removed; no kernel faults" : "FAILED");
    return status;
}
