// The scripted session: a camera plugged in, brought up, streamed through
// changes of light, its button pressed for a still image, and unplugged.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "bridge_control.h"
#include "host_kernel.h"
#include "options.h"

namespace camera_sim {

struct RgbImage {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<uint8_t> pixels;  // RGB, 8 bits per channel, rows top first
};

struct Statistics {
    uint32_t luminance, red, green, blue;
};
Statistics Unpack(uint32_t packed);

// The loops' own verdicts, judged on one frame: auto exposure aims at the
// window 100..116; auto white balance at red and blue within 2 of their
// targets, which with the unity ratios the simulation keeps are the green.
constexpr uint32_t kAeLow = 100;
constexpr uint32_t kAeHigh = 116;
constexpr uint32_t kAwbTolerance = 2;
bool AeSettled(const Statistics& s);
bool AwbSettled(const Statistics& s);

// A stretch of the scenario under one light and one anti-flicker mode.
struct Phase {
    std::string name;
    BRIDGE_LIGHT light;
    uint32_t flickerMode;
    uint32_t frames;
    uint32_t firstFrame = 0;  // filled in by the run: bridge frame number of its first frame
};

// The default script, scaled to `options.frames` in all.
std::vector<Phase> DefaultScenario(const Options& options);

struct FrameRow {
    uint32_t phase;  // index into Run::phases; the last phase for the snapshot's frames
    uint32_t flickerMode;
    BRIDGE_FRAME_RECORD record;
    bool aeSettled;
    bool awbSettled;
};

struct Run {
    std::vector<Phase> phases;
    std::vector<FrameRow> frames;
    BRIDGE_QUERY_RESULT seen{};  // the bridge driver's view once the camera was up

    // Which of the newer bridge controls the bridge driver knows.
    bool lightControl = false;
    bool flickerControl = false;
    bool sceneImageControl = false;
    std::vector<std::string> notes;  // what was degraded, and why

    // The still image: what the application read, and the frame that delivered it.
    bool snapshotTaken = false;
    uint32_t snapshotWidth = 0;
    uint32_t snapshotHeight = 0;
    std::vector<uint8_t> snapshot;
    BRIDGE_FRAME_RECORD snapshotFrame{};

    // After unplugging: pool blocks and bytes still allocated, request and
    // device objects alive, and the faults the kernel's checks recorded up
    // to and including the leak check at shutdown.
    size_t poolBlocks = 0;
    size_t poolBytes = 0;
    size_t liveIrps = 0;
    size_t liveDevices = 0;
    std::vector<std::string> faults;

    std::string failure;  // the step that failed, or empty
};

// Watchers of the run, each may be empty: every bridge control as it
// returns, every frame as it streams.
struct Observers {
    // Every IRP passed to a driver of the camera's stack, one line each.
    std::function<void(const std::string& request)> request;
    std::function<void(const std::string& control, NTSTATUS status)> control;
    // Every call orvane makes into the bridge driver's services.
    std::function<void(const BRIDGE_SERVICE_CALL& call)> call;
    std::function<void(const Run& run, const FrameRow& row)> frame;
};

// Plays `phases` on a fresh user-mode kernel and leaves it shut down.
// `eepromPresets`: the bridge driver brings the camera up with the
// white-balance presets of its EEPROM rather than the registry defaults.
Run RunScenario(std::vector<Phase> phases, const RgbImage& scene, const Observers& observers,
                bool eepromPresets = false);

}  // namespace camera_sim
