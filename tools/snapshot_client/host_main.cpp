// snapshot_client on Linux: the program (program.h) run as a process of the
// user-mode kernel, against simulated cameras.
//
// Before the program starts, the kernel gets one camera stack per simulated
// camera (a stand-in for the bridge driver as function driver, tessip above
// it), and each camera's bridge driver runs on a thread of its own: it
// describes the image once, answers every snapshot request with a numbered
// test frame (each byte the frame number plus its offset) and, with
// --sim-button, reports a trigger every 20 ms, alternating the two kinds.
// The frame is described as a 640 x 480 picture of 24-bit RGB; with
// --sim-bytes it is N bytes and the description gives only their count, as
// a bridge driver's that describes no picture.
// The program then finds the cameras through SetupAPI and talks to them as
// it does on Windows. Any kernel fault fails the run.
//
// usage: snapshot_client [--sim-cameras N] [--sim-bytes N]
//                        [--sim-method buffered|direct|neither] [--sim-button]
//                        <the program's options: snapshot_client --help>
#include "host_win32.h"
#include "program.h"
#include "snapshot.h"
#include "tessip_entry.h"
#include "test_driver.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace host_kernel;
using namespace std::chrono_literals;

namespace {

constexpr ULONG kWidth = 640;
constexpr ULONG kHeight = 480;

struct Simulation {
    unsigned cameras = 1;
    ULONG flags = DO_BUFFERED_IO | DO_POWER_PAGABLE;
    ULONG bytes = kWidth * kHeight * 3;
    bool picture = true;
    bool button = false;
};

bool IsSimulationOption(const std::string& arg) {
    return arg.rfind("--sim-", 0) == 0;
}

// Takes the --sim-* options out of `args`; false on a bad one.
bool ParseSimulation(std::vector<std::string>* args, Simulation* simulation) {
    std::vector<std::string> rest;
    for (size_t i = 0; i < args->size(); i++) {
        const std::string& arg = (*args)[i];
        if (!IsSimulationOption(arg)) {
            rest.push_back(arg);
            continue;
        }
        if (arg == "--sim-button") {
            simulation->button = true;
            continue;
        }
        if (i + 1 == args->size()) return false;
        const std::string value = (*args)[++i];
        if (arg == "--sim-cameras") {
            simulation->cameras = unsigned(std::strtoul(value.c_str(), nullptr, 10));
        } else if (arg == "--sim-bytes") {
            simulation->bytes = ULONG(std::strtoul(value.c_str(), nullptr, 0));
            simulation->picture = false;
            if (simulation->bytes > SNAPSHOT_BUFFER_SIZE) return false;
        } else if (arg == "--sim-method") {
            if (value == "buffered")
                simulation->flags = DO_BUFFERED_IO | DO_POWER_PAGABLE;
            else if (value == "direct")
                simulation->flags = DO_DIRECT_IO | DO_POWER_PAGABLE;
            else if (value == "neither")
                simulation->flags = DO_POWER_PAGABLE;
            else
                return false;
        } else {
            return false;
        }
    }
    *args = rest;
    return true;
}

// One camera's bridge driver.
class SimulatedBridge {
  public:
    SimulatedBridge(PDEVICE_OBJECT pdo, PDEVICE_OBJECT filter, const Simulation& simulation)
        : filter_(filter), frame_(simulation.bytes), button_(simulation.button) {
        QueryInterface(pdo, GUID_SNAPSHOT_INTERFACE, reinterpret_cast<PINTERFACE>(&iface_),
                       sizeof(iface_), SNAPSHOT_INTERFACE_VERSION);
        SNAPSHOT_IMAGE_INFO info{};
        if (simulation.picture) {
            info.Version = SNAPSHOT_IMAGE_INFO_VERSION_1;
            info.Width = kWidth;
            info.Height = kHeight;
            info.Stride = kWidth * 3;
            info.PixelFormat = SNAPSHOT_PIXEL_FORMAT_RGB24_TOP_DOWN;
        }
        info.ByteCount = simulation.bytes;
        IrqlScope dispatch(DISPATCH_LEVEL);
        iface_.SetImageInfo(filter_, &info);
    }
    void Start() {
        StartThread([this] { Run(); });
    }
    void Stop() { stop_ = true; }

  private:
    void Run() {
        IrqlScope dispatch(DISPATCH_LEVEL);
        for (unsigned tick = 0, n = 1; !stop_; tick++) {
            if (button_ && tick % 20 == 19)
                iface_.SubmitSnapshot(filter_, nullptr, (tick / 20) & 1);
            if (iface_.TakeSnapshotRequest(filter_) != 0) {
                for (size_t i = 0; i < frame_.size(); i++) frame_[i] = UCHAR(n + i);
                iface_.SubmitSnapshot(filter_, frame_.data(), 0);
                n++;
            }
            std::this_thread::sleep_for(1ms);
        }
    }

    PDEVICE_OBJECT filter_;
    SNAPSHOT_INTERFACE iface_{};
    std::vector<UCHAR> frame_;
    bool button_;
    std::atomic<bool> stop_{false};
};

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    Simulation simulation;
    if (!ParseSimulation(&args, &simulation)) {
        std::fprintf(
            stderr,
            "snapshot_client: bad simulation option; they are --sim-cameras N, --sim-bytes N "
            "(at most %u), --sim-method buffered|direct|neither, --sim-button\n",
            SNAPSHOT_BUFFER_SIZE);
        return 2;
    }

    Reset();
    TestDriver bridge("bridge");
    PDRIVER_OBJECT tessip = LoadDriver("tessip", TessipDriverEntry);
    std::vector<std::unique_ptr<SimulatedBridge>> cameras;
    for (unsigned i = 0; i < simulation.cameras; i++) {
        PhysicalDeviceOptions pdoOptions;
        pdoOptions.Flags = simulation.flags;
        PDEVICE_OBJECT pdo = CreatePhysicalDevice(pdoOptions);
        StackSpec layout;
        layout.Function = bridge.Driver();
        layout.UpperFilters = {tessip};
        if (BuildDeviceStack(pdo, layout) != STATUS_SUCCESS || StartDevice(pdo) != STATUS_SUCCESS) {
            std::fprintf(stderr, "snapshot_client: the simulated camera stack did not start\n");
            return 1;
        }
        cameras.push_back(
            std::make_unique<SimulatedBridge>(pdo, DeviceOf(pdo, tessip), simulation));
        cameras.back()->Start();
    }

    Process* process = CreateProcess("snapshot_client");
    int status;
    {
        host_win32::CurrentProcessScope current(process);
        status = snapshot_client::RunProgram(args, stdout, stderr);
    }
    TerminateProcess(process);

    for (auto& camera : cameras) camera->Stop();
    JoinThreads();
    Shutdown();
    for (const std::string& fault : Faults()) {
        std::fprintf(stderr, "kernel fault: %s\n", fault.c_str());
        status = 1;
    }
    return status;
}
