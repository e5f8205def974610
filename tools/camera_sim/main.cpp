// camera_sim: the whole camera on the user-mode kernel.
//
// Loads orvane and tessip above a bridge driver on a camera's device stack,
// starts the stack through the Plug and Play manager, lets the bridge driver
// probe and start the sensor through orvane, and streams frames of a scene
// that changes three times (a dim room, daylight, warm lamp light) while
// auto exposure and auto white balance settle. Then an application takes a
// still image through tessip's device interface, and the stack is removed.
// The kernel's checks run throughout; any fault fails the run.
//
// usage: camera_sim [--frames N] [--flicker 0|1|2|3] [--eeprom] [--out FILE.ppm]
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "bridge_model.h"
#include "camera_model.h"
#include "host_win32.h"
#include "orvane_entry.h"
#include "snapshot_client.h"
#include "tessip_entry.h"
#include "test_driver.h"

using namespace host_kernel;
using namespace std::chrono_literals;
using camera_model::BridgeModel;
using camera_model::CameraModel;
using camera_model::Scene;

namespace {

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

// Streams frames of one scene, printing every deciding (fourth) frame.
void Stream(BridgeModel& bridge, CameraModel& camera, const char* name, const Scene& scene,
            int frames, int* frameNumber) {
    camera.SetScene(scene);
    std::printf("\n-- %s: brightness %u, light colour %u/%u/%u %%\n", name, scene.Brightness,
                scene.Red, scene.Green, scene.Blue);
    PrintHeader();
    for (int i = 0; i < frames; ++i) {
        const camera_model::FrameStatistics stats = bridge.StepFrame();
        if (++*frameNumber % 8 == 0) {
            std::printf("%6d %5u %5u %5u %5u | %5d %5u %6u | %4u %4u %4u\n", *frameNumber,
                        stats.Luminance, stats.Red, stats.Green, stats.Blue,
                        bridge.Control(BRIDGE_CONTROL_EXPOSURE_INDEX),
                        camera.SensorRegister(9), camera.SensorRegister(53),
                        camera.BridgeRegister(21), camera.BridgeRegister(22),
                        camera.BridgeRegister(23));
        }
    }
}

bool WritePpm(const char* path, uint32_t width, uint32_t height, const std::vector<uint8_t>& rgb) {
    FILE* file = std::fopen(path, "wb");
    if (file == nullptr) return false;
    std::fprintf(file, "P6\n%u %u\n255\n", width, height);
    const bool written = std::fwrite(rgb.data(), 1, rgb.size(), file) == rgb.size();
    return std::fclose(file) == 0 && written;
}

// The application's side: a still image through tessip while the bridge
// driver streams on a thread of its own.
int TakeStill(BridgeModel& bridge, const Options& options) {
    std::atomic<bool> streaming{true};
    StartThread([&] {
        while (streaming) {
            bridge.StepFrame();
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
    TestDriver function("bridge");
    PDRIVER_OBJECT orvane = LoadDriver("orvane", OrvaneDriverEntry);
    PDRIVER_OBJECT tessip = LoadDriver("tessip", TessipDriverEntry);
    PDEVICE_OBJECT pdo = CreatePhysicalDevice();
    StackSpec layout;
    layout.Function = function.Driver();
    layout.UpperFilters = {orvane, tessip};
    if (BuildDeviceStack(pdo, layout) != STATUS_SUCCESS || StartDevice(pdo) != STATUS_SUCCESS) {
        std::fprintf(stderr, "the camera stack did not start\n");
        return 1;
    }
    std::printf("camera stack:");
    for (PDEVICE_OBJECT device : DeviceStack(pdo)) {
        std::printf(" %s", device == pdo                      ? "bus"
                           : device == DeviceOf(pdo, orvane) ? "orvane"
                           : device == DeviceOf(pdo, tessip) ? "tessip"
                                                             : "bridge");
    }
    std::printf("\n");

    int status = 0;
    {
        CameraModel camera;
        if (options.eeprom) {
            // Three presets as the factory writes them: blue, green, red.
            const uint8_t presets[9] = {0x30, 0x26, 0x2C, 0x20, 0x24, 0x40, 0x38, 0x28, 0x2A};
            for (uint32_t i = 0; i < 9; ++i) camera.SetEeprom(67 + i, presets[i]);
        }
        camera_model::BridgeOptions bridgeOptions;
        bridgeOptions.EepromPresets = options.eeprom;
        BridgeModel bridge(&camera, bridgeOptions);
        if (!bridge.Connect(pdo, DeviceOf(pdo, tessip)) || !bridge.ProbeSensor()) {
            std::fprintf(stderr, "the bridge driver found no sensor interface or no sensor\n");
            status = 1;
        } else {
            std::printf("sensor type %d at bus address 0x%02X\n", bridge.Device().SensorType,
                        bridge.Device().SensorAddress);
            bridge.StartSensor(options.flicker, 2);
            const FRAME_SIZES& sizes = bridge.FrameSizes();
            std::printf("sensor %ux%u, preview %ux%u, anti-flicker mode %u, presets from %s\n",
                        sizes.SensorWidth, sizes.SensorHeight, sizes.PreviewWidth,
                        sizes.PreviewHeight, options.flicker,
                        options.eeprom ? "EEPROM" : "registry defaults");

            int frame = 0;
            Stream(bridge, camera, "dim room", Scene{60, 100, 100, 100}, options.frames, &frame);
            Stream(bridge, camera, "daylight", Scene{2000, 90, 100, 110}, options.frames, &frame);
            Stream(bridge, camera, "warm lamp", Scene{400, 120, 100, 70}, options.frames, &frame);
            status = TakeStill(bridge, options);
        }
    }

    Shutdown();
    for (const std::string& fault : Faults()) {
        std::fprintf(stderr, "kernel fault: %s\n", fault.c_str());
        status = 1;
    }
    std::printf("\n%s\n", status == 0 ? "camera removed; no kernel faults" : "FAILED");
    return status;
}
