#include "scenario.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>

#include "bridge_client.h"
#include "bridge_host.h"
#include "camera_stack.h"
#include "host_win32.h"
#include "snapshot_client.h"

using namespace host_kernel;
using namespace std::chrono_literals;

namespace camera_sim {

Statistics Unpack(uint32_t packed) {
    return {packed & 0xFF, (packed >> 8) & 0xFF, (packed >> 16) & 0xFF, packed >> 24};
}

bool AeSettled(const Statistics& s) {
    return s.luminance >= kAeLow && s.luminance <= kAeHigh;
}

bool AwbSettled(const Statistics& s) {
    const auto near = [](uint32_t value, uint32_t target) {
        return (value > target ? value - target : target - value) <= kAwbTolerance;
    };
    return near(s.red, s.green) && near(s.blue, s.green);
}

namespace {

constexpr BRIDGE_LIGHT kDimDaylight{60, 90, 100, 110, 0, 0};
constexpr BRIDGE_LIGHT kDaylight{1000, 90, 100, 110, 0, 0};
constexpr BRIDGE_LIGHT kWarmLamp{400, 115, 100, 85, 0, 0};
// A cool-white tube: strong in green, weak in red.
constexpr BRIDGE_LIGHT kFluorescentTube{400, 92, 108, 100, 0, 0};
// A tube on mains loses this much of its light at the troughs of each cycle.
constexpr uint32_t kTubeFlickerDepth = 40;

// The still image must arrive within a few frames of the press; beyond this
// many the delivery is taken as lost.
constexpr uint32_t kSnapshotFrameLimit = 64;

std::string ModeName(uint32_t mode) {
    static const char* const names[] = {"60Hz", "50Hz", "#2", "#3"};
    return mode < 4 ? names[mode] : "mode ?";
}

// The bridge driver's session with the camera, one control at a time, each
// reported to the observer.
class Session {
  public:
    Session(Run* run, const Observers& observers)
        : run_(run),
          observers_(observers),
          process_(CreateProcess("camera_sim")),
          bridge_(process_) {}
    ~Session() {
        bridge_.Close();
        TerminateProcess(process_);
    }

    bool Open() {
        const std::vector<std::u16string> links = camera_stack::BridgeClient::FindBridges();
        if (links.empty()) return false;
        if (!Report("OPEN", bridge_.Open(links[0]))) return false;
        std::unique_ptr<BRIDGE_QUERY_RESULT> seen = bridge_.Query();
        Report("QUERY", seen != nullptr ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL);
        if (seen == nullptr) return false;
        run_->seen = *seen;
        return true;
    }

    NTSTATUS SceneImage(const RgbImage& scene) {
        return Status(
            "SET_SCENE_IMAGE " + std::to_string(scene.width) + "x" + std::to_string(scene.height),
            bridge_.SetSceneImage(scene.width, scene.height, scene.pixels));
    }

    // The light of a phase: SET_LIGHT, or SET_SCENE (steady light) while
    // the bridge driver does not know SET_LIGHT.
    bool Light(const BRIDGE_LIGHT& light) {
        if (run_->lightControl) {
            const NTSTATUS status = Status("SET_LIGHT " + std::to_string(light.Brightness) + " " +
                                               Colour(light) + " " + std::to_string(light.MainsHz) +
                                               " Hz " + std::to_string(light.FlickerDepth) + "%",
                                           bridge_.SetLight(light));
            if (status != STATUS_INVALID_DEVICE_REQUEST) return NT_SUCCESS(status);
            run_->lightControl = false;
            run_->notes.push_back(
                "the bridge driver has no SET_LIGHT control yet: the light is steady, with no "
                "mains flicker");
        }
        const BRIDGE_SCENE scene{light.Brightness, light.Red, light.Green, light.Blue};
        return Report("SET_SCENE " + std::to_string(light.Brightness) + " " + Colour(light),
                      bridge_.SetScene(scene));
    }

    // Switches the anti-flicker mode; false only for a failure other than
    // the control being unknown, which is noted and leaves the mode as it was.
    bool Flicker(uint32_t mode, uint32_t* current) {
        if (mode == *current) return true;
        if (run_->flickerControl) {
            const NTSTATUS status =
                Status("SET_FLICKER " + std::to_string(mode), bridge_.SetFlicker(mode));
            if (NT_SUCCESS(status)) {
                *current = mode;
                return true;
            }
            if (status != STATUS_INVALID_DEVICE_REQUEST) return false;
            run_->flickerControl = false;
            run_->notes.push_back(
                "the bridge driver has no SET_FLICKER control yet: the anti-flicker mode stays " +
                ModeName(*current) + " throughout");
        }
        return true;
    }

    bool Frame(uint32_t phase, uint32_t flickerMode) {
        BRIDGE_STREAM_RESULT result{};
        if (!Report("STREAM 1", bridge_.Stream(1, &result))) return false;
        const Statistics s = Unpack(result.Last.Statistics);
        run_->frames.push_back({phase, flickerMode, result.Last, AeSettled(s), AwbSettled(s)});
        if (observers_.frame) observers_.frame(*run_, run_->frames.back());
        return true;
    }

    bool Press() { return Report("PRESS 1", bridge_.Press(1)); }

  private:
    static std::string Colour(const BRIDGE_LIGHT& light) {
        return std::to_string(light.Red) + "/" + std::to_string(light.Green) + "/" +
               std::to_string(light.Blue) + "%";
    }
    NTSTATUS Status(const std::string& control, NTSTATUS status) {
        if (observers_.control) observers_.control(control, status);
        return status;
    }
    bool Report(const std::string& control, NTSTATUS status) {
        return NT_SUCCESS(Status(control, status));
    }

    Run* run_;
    const Observers& observers_;
    Process* process_;
    camera_stack::BridgeClient bridge_;
};

// The application: waits on tessip's trigger event, then reads the image
// the next frame delivers; runs on a thread of its own.
class Application {
  public:
    Application() : process_(CreateProcess("camera application")) {}
    ~Application() {
        {
            host_win32::CurrentProcessScope current(process_);
            client_.Close();
        }
        TerminateProcess(process_);
    }

    DWORD Open() {
        host_win32::CurrentProcessScope current(process_);
        std::vector<snapshot_client::DevicePath> devices;
        DWORD error = snapshot_client::FindStillImageDevices(&devices);
        if (error == ERROR_SUCCESS && devices.empty()) error = ERROR_FILE_NOT_FOUND;
        if (error == ERROR_SUCCESS) error = client_.Open(devices[0]);
        if (error == ERROR_SUCCESS) error = client_.RegisterEvents();
        if (error == ERROR_SUCCESS) error = client_.Control(SNAPSHOT_CONTROL_EVENTS_ON);
        return error;
    }

    void StartWaiting() {
        StartThread([this] {
            host_win32::CurrentProcessScope current(process_);
            unsigned which = 0;
            DWORD error = client_.WaitForTrigger(5000ms, &which);
            if (error == ERROR_SUCCESS) error = client_.WaitUntilReady(5000ms);
            if (error == ERROR_SUCCESS) error = client_.ReadImage(&image_);
            error_ = error;
            done_ = true;
        });
    }

    bool Waiting() const {
        return WaitingThreads(ObjectFromHandle(process_, client_.FirstEvent())) > 0;
    }
    bool Done() const { return done_; }
    DWORD Error() const { return error_; }
    std::vector<uint8_t>& Image() { return image_; }

  private:
    Process* process_;
    snapshot_client::Client client_;
    std::atomic<bool> done_{false};
    std::atomic<DWORD> error_{ERROR_SUCCESS};
    std::vector<uint8_t> image_;
};

bool CameraUp(const BRIDGE_QUERY_RESULT& seen) {
    const uint32_t wanted = BRIDGE_FLAG_SENSOR_INTERFACE | BRIDGE_FLAG_SNAPSHOT_INTERFACE |
                            BRIDGE_FLAG_SENSOR_FOUND | BRIDGE_FLAG_SENSOR_STARTED;
    return (seen.Flags & wanted) == wanted;
}

bool StreamPhases(Session& session, Run& run, uint32_t startMode) {
    uint32_t mode = startMode;
    for (uint32_t p = 0; p < run.phases.size(); ++p) {
        Phase& phase = run.phases[p];
        if (!session.Light(phase.light)) return run.failure = "setting the light failed", false;
        if (!session.Flicker(phase.flickerMode, &mode))
            return run.failure = "switching the anti-flicker mode failed", false;
        phase.flickerMode = mode;  // what the camera really ran in
        phase.firstFrame = run.frames.empty() ? 1 : run.frames.back().record.Frame + 1;
        for (uint32_t i = 0; i < phase.frames; ++i) {
            if (!session.Frame(p, mode)) return run.failure = "streaming failed", false;
        }
    }
    return true;
}

// The button: pressed once the application waits on its event; frames go
// on streaming until the application has read the image they delivered.
bool TakeSnapshot(Session& session, Application& app, Run& run) {
    app.StartWaiting();
    bool ok = WaitUntil([&] { return app.Waiting(); }) && session.Press();
    const uint32_t phase = uint32_t(run.phases.size() - 1);
    for (uint32_t i = 0; ok && !app.Done() && i < kSnapshotFrameLimit; ++i) {
        ok = session.Frame(phase, run.phases.back().flickerMode);
        if (ok && run.frames.back().record.SnapshotDelivered != 0) {
            run.snapshotFrame = run.frames.back().record;
            WaitUntil([&] { return app.Done(); });
        }
    }
    JoinThreads();
    if (!ok || app.Error() != ERROR_SUCCESS || run.snapshotFrame.SnapshotDelivered == 0) {
        run.failure = "the still image did not arrive (application error " +
                      std::to_string(app.Error()) + ")";
        return false;
    }
    run.snapshotTaken = true;
    run.snapshot = std::move(app.Image());
    run.snapshotWidth = run.seen.SnapshotWidth;
    run.snapshotHeight = run.seen.SnapshotHeight;
    return true;
}

// Plugged in and brought up, streamed, the button pressed; the handles are
// closed when this returns.
void PlaySession(const RgbImage& scene, const Observers& observers, uint32_t startMode, Run& run) {
    Session session(&run, observers);
    if (!session.Open() || !CameraUp(run.seen)) {
        run.failure = "the bridge driver found no sensor interface or no sensor";
        return;
    }
    if (scene.width != 0) {
        const NTSTATUS status = session.SceneImage(scene);
        run.sceneImageControl = NT_SUCCESS(status);
        if (status == STATUS_INVALID_DEVICE_REQUEST) {
            run.notes.push_back(
                "the bridge driver has no SET_SCENE_IMAGE control yet: the camera sees its "
                "built-in chart");
        } else if (!NT_SUCCESS(status)) {
            run.failure = "the bridge driver refused the scene image";
            return;
        }
    }
    Application app;
    if (app.Open() != ERROR_SUCCESS) {
        run.failure = "the application found no still-image device";
        return;
    }
    if (StreamPhases(session, run, startMode)) TakeSnapshot(session, app, run);
}

// The bridge driver tells a plain function of its calls; this one hands
// them to the run's observer.
std::function<void(const BRIDGE_SERVICE_CALL&)> callObserver;

void ObserveCall(const BRIDGE_SERVICE_CALL* call) {
    callObserver(*call);
}

}  // namespace

std::vector<Phase> DefaultScenario(const Options& options) {
    const uint32_t n = options.frames;
    BRIDGE_LIGHT tube = kFluorescentTube;
    tube.MainsHz = options.mains;
    tube.FlickerDepth = kTubeFlickerDepth;
    const uint32_t wrong = options.flicker;
    const uint32_t right = RightFlickerMode(options.mains);
    std::vector<Phase> phases = {
        {"dim room", kDimDaylight, wrong, n * 20 / 100},
        {"daylight", kDaylight, wrong, n * 15 / 100},
        {"warm lamp", kWarmLamp, wrong, n * 25 / 100},
        {"tube " + ModeName(wrong) + " mode", tube, wrong, n * 20 / 100},
        {"tube " + ModeName(right) + " mode", tube, right, 0},
    };
    uint32_t used = 0;
    for (const Phase& phase : phases) used += phase.frames;
    phases.back().frames = n - used;
    return phases;
}

Run RunScenario(std::vector<Phase> phases, const RgbImage& scene, const Observers& observers,
                bool eepromPresets) {
    Run run;
    run.phases = std::move(phases);
    run.lightControl = run.flickerControl = true;
    const uint32_t startMode = run.phases.empty() ? 0 : run.phases[0].flickerMode;

    Reset();
    SetRequestObserver(observers.request);
    callObserver = observers.call;
    BridgeHostObserveCalls(callObserver ? ObserveCall : nullptr);
    {
        // Rate level 1 without the extra clock: the camera whose anti-flicker
        // steps orvane times from the sensor's clock as whole flicker periods
        // (1/100 s in mode 1, 1/120 s in mode 0), so the right mode calms the
        // wander the wrong one shows.
        BRIDGE_CONFIGURATION configuration = BRIDGE_DEFAULT_CONFIGURATION;
        configuration.RateLevel = 1;
        configuration.TimingFlag = 1;
        configuration.FlickerMode = startMode;
        configuration.EepromPresets = eepromPresets;
        camera_stack::CameraDrivers drivers(configuration);
        PDEVICE_OBJECT pdo = nullptr;
        if (drivers.PlugIn(DO_BUFFERED_IO | DO_POWER_PAGABLE, &pdo) != STATUS_SUCCESS ||
            StartDevice(pdo) != STATUS_SUCCESS) {
            run.failure = "the camera stack did not start";
        } else {
            PlaySession(scene, observers, startMode, run);
        }
        // Unplugged: the surprise removal, then the removal once every
        // handle is closed, as Windows sends them.
        if (pdo != nullptr) {
            SurpriseRemoveDevice(pdo);
            RemoveDevice(pdo);
            DeletePhysicalDevice(pdo);
        }
        const PoolStats pool = PoolUsage();
        run.poolBlocks = pool.Blocks;
        run.poolBytes = pool.Bytes;
        run.liveIrps = LiveIrps();
        run.liveDevices = LiveDevices();
    }
    Shutdown();
    SetRequestObserver({});
    BridgeHostObserveCalls(nullptr);
    callObserver = nullptr;
    run.faults = Faults();
    if (run.failure.empty() && !run.faults.empty())
        run.failure = "the kernel's checks found faults";
    return run;
}

}  // namespace camera_sim
