#include "soak.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string_view>
#include <thread>
#include <utility>

#include "bridge_client.h"
#include "camera_stack.h"
#include "snapshot.h"

using namespace host_kernel;
using namespace std::chrono_literals;

namespace soak {

namespace {

constexpr size_t kProblemsKept = 20;
// How long a cycle may take to get going or to wind down before it counts
// as stalled.
constexpr auto kStallLimit = 10s;

using Clock = std::chrono::steady_clock;

// A snapshot as the check knows it: its length and the checksum the bridge
// driver reports for a delivery.
using Digest = std::pair<size_t, uint32_t>;

Digest DigestOf(const void* bytes, size_t length) {
    return {length, BridgeFrameChecksum(static_cast<const uint8_t*>(bytes), length)};
}

// The counters of one cycle, bumped from every thread.
struct Counters {
    std::atomic<uint64_t> frames{0}, triggers{0}, deliveries{0};
    std::atomic<uint64_t> reads{0}, wholeReads{0}, emptyReads{0}, busyReads{0}, badReads{0};
    std::atomic<uint64_t> controls{0}, passedDown{0}, opens{0}, eventWakes{0};
    std::atomic<uint64_t> refusedOpens{0}, refusedGone{0}, refusedNoDevice{0};
    std::atomic<uint64_t> unexpected{0};
};

// One camera's stay: plugged in, streamed, worked by the application,
// unplugged. The coordinating thread is the Plug and Play manager's.
class Cycle {
  public:
    Cycle(camera_stack::CameraDrivers& drivers, const Options& options, unsigned number,
          Report* report)
        : drivers_(drivers),
          options_(options),
          number_(number),
          direct_((number & 1) != 0),
          surprise_(((number >> 1) ^ number) & 1),
          releaseEvents_(number % 3 != 0),
          byteCount_(options.snapshotWidth * options.snapshotHeight * 3),
          report_(report) {}

    void Run();
    bool Surprise() const { return surprise_; }

  private:
    void Problem(const std::string& what);
    template <typename... Args>
    void Problem(const char* format, Args... args) {
        char text[256];
        std::snprintf(text, sizeof(text), format, args...);
        Problem(std::string(text));
    }
    bool WaitFor(const std::function<bool()>& condition, const char* what);

    bool ConnectBridge();
    void Stream();
    // The camera program is told the camera is going, stops streaming and
    // closes its handle.
    void StopStreaming();
    void Reader();
    void Controller();
    void Waiter();
    // Parks an application thread once the camera is about to go, until it
    // is gone.
    void Park();
    void AfterRemoval(bool reader);

    NTSTATUS Control(HANDLE file, ULONG code, ULONG* output = nullptr);
    NTSTATUS QueryBridge(HANDLE file);
    bool RefusedAsGone(NTSTATUS status);
    bool OpenOnce();
    void Finish();
    void Merge();

    camera_stack::CameraDrivers& drivers_;
    const Options& options_;
    const unsigned number_;
    const bool direct_;
    const bool surprise_;
    const bool releaseEvents_;
    const ULONG byteCount_;
    Report* report_;

    PDEVICE_OBJECT pdo_ = nullptr;
    Process* camera_ = nullptr;  // the program that drives the bridge driver
    std::unique_ptr<camera_stack::BridgeClient> bridge_;
    Process* app_ = nullptr;
    std::u16string link_;
    HANDLE file_ = nullptr;
    HANDLE forgotten_ = nullptr;  // never closed before removal
    HANDLE events_[2] = {};

    std::thread streamer_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> streamerDone_{false};
    std::atomic<bool> unplugging_{false};  // surprise removal sent
    std::atomic<bool> unplugged_{false};   // surprise removal completed
    std::atomic<bool> leaving_{false};     // the application was told
    std::atomic<bool> gone_{false};        // removed and the device deleted
    std::atomic<unsigned> parked_{0};
    std::mutex parkLock_;
    std::condition_variable parkChanged_;

    std::mutex deliveredLock_;
    std::set<Digest> delivered_;
    std::mutex readLock_;
    std::vector<Digest> read_;

    Counters counts_;
};

void Cycle::Problem(const std::string& what) {
    counts_.unexpected++;
    std::lock_guard<std::mutex> guard(deliveredLock_);
    if (report_->problems.size() < kProblemsKept) {
        report_->problems.push_back("cycle " + std::to_string(number_) + ": " + what);
    }
}

bool Cycle::WaitFor(const std::function<bool()>& condition, const char* what) {
    const auto deadline = Clock::now() + kStallLimit;
    while (!condition()) {
        if (Clock::now() > deadline) {
            Problem("stalled waiting for %s", what);
            return false;
        }
        std::this_thread::sleep_for(100us);
    }
    return true;
}

// --- The camera program ------------------------------------------------------------

// The bridge driver offers its own interface once the camera runs, and has
// seen both records and the sensor by then.
bool Cycle::ConnectBridge() {
    camera_ = CreateProcess("soak camera program");
    bridge_ = std::make_unique<camera_stack::BridgeClient>(camera_);
    const std::vector<std::u16string> links = camera_stack::BridgeClient::FindBridges();
    if (links.size() != 1 || bridge_->Open(links[0]) != STATUS_SUCCESS) {
        Problem("%zu bridge interfaces offered, none opened", links.size());
        return false;
    }
    const uint32_t wanted = BRIDGE_FLAG_SENSOR_INTERFACE | BRIDGE_FLAG_SNAPSHOT_INTERFACE |
                            BRIDGE_FLAG_SENSOR_FOUND | BRIDGE_FLAG_SENSOR_STARTED;
    std::unique_ptr<BRIDGE_QUERY_RESULT> seen = bridge_->Query();
    if (seen == nullptr || (seen->Flags & wanted) != wanted) {
        Problem("the bridge driver did not bring the camera up");
        return false;
    }
    return true;
}

void Cycle::StopStreaming() {
    stop_ = true;
    if (streamer_.joinable()) streamer_.join();
    if (bridge_ != nullptr) bridge_->Close();
}

// The scene's light changes every frame, so that two deliveries differ in
// nearly every byte and a read that mixed them would show. Once the camera
// is unplugged the bridge driver refuses to stream, and the program stops.
void Cycle::Stream() {
    for (uint32_t n = 0; !stop_.load(); n++) {
        NTSTATUS status = bridge_->SetScene(BRIDGE_SCENE{100 + (n % 13) * 120, 100, 100, 100});
        BRIDGE_STREAM_RESULT result{};
        if (NT_SUCCESS(status)) status = bridge_->Stream(1, &result);
        // A delivery counts as soon as it is made: every frame differs, so a
        // press refused afterwards must not lose it.
        if (NT_SUCCESS(status) && result.Snapshots != 0) {
            const size_t bytes = size_t(options_.snapshotWidth) * options_.snapshotHeight * 3;
            {
                std::lock_guard<std::mutex> guard(deliveredLock_);
                delivered_.insert(Digest{bytes, result.Last.SnapshotChecksum});
            }
            counts_.deliveries++;
        }
        if (NT_SUCCESS(status) && n % 8 == 7) {
            status = bridge_->Press((n / 8) & 1);
            if (NT_SUCCESS(status)) counts_.triggers++;
        }
        if (!NT_SUCCESS(status)) {
            if (status != STATUS_DELETE_PENDING || !unplugging_.load()) {
                Problem("the bridge driver refused to stream with 0x%08X", unsigned(status));
            }
            break;
        }
        counts_.frames++;
    }
    streamerDone_ = true;
}

// --- The application ---------------------------------------------------------------

NTSTATUS Cycle::Control(HANDLE file, ULONG code, ULONG* output) {
    ULONG word = code;
    IoResult result = DeviceIoControl(app_, file, IOCTL_SNAPSHOT_CONTROL, &word, sizeof(word),
                                      output ? &word : nullptr, output ? sizeof(word) : 0);
    if (output != nullptr) *output = word;
    return result.Status;
}

// The bridge driver's query, sent through tessip's handle: tessip passes
// codes it does not know down to the bridge driver.
NTSTATUS Cycle::QueryBridge(HANDLE file) {
    auto seen = std::make_unique<BRIDGE_QUERY_RESULT>();
    return DeviceIoControl(app_, file, IOCTL_BRIDGE_QUERY, nullptr, 0, seen.get(), sizeof(*seen))
        .Status;
}

// A request that a surprise-removed camera refuses, once the removal is
// under way: counted, and no problem.
bool Cycle::RefusedAsGone(NTSTATUS status) {
    if (status != STATUS_DELETE_PENDING || !unplugging_.load()) return false;
    counts_.refusedGone++;
    return true;
}

void Cycle::Park() {
    std::unique_lock<std::mutex> lock(parkLock_);
    parked_++;
    parkChanged_.notify_all();
    parkChanged_.wait(lock, [this] { return gone_.load(); });
}

// What an application that kept a handle finds once the camera is gone:
// no interface to open, and no device behind the handle.
void Cycle::AfterRemoval(bool reader) {
    HANDLE file;
    if (EnumerateDeviceInterfaces(GUID_DEVINTERFACE_IMAGE).empty() &&
        OpenDevice(app_, link_, &file) == STATUS_OBJECT_NAME_NOT_FOUND) {
        counts_.refusedOpens++;
    } else {
        Problem("a removed camera could still be found or opened");
    }
    NTSTATUS status;
    if (reader) {
        std::vector<UCHAR> image(byteCount_);
        status = ReadFile(app_, forgotten_, image.data(), byteCount_).Status;
    } else {
        ULONG ready;
        status = Control(forgotten_, SNAPSHOT_CONTROL_QUERY_READY, &ready);
    }
    if (status == STATUS_NO_SUCH_DEVICE) {
        counts_.refusedNoDevice++;
    } else {
        Problem("a request on a handle to the removed camera ended with 0x%08X", unsigned(status));
    }
}

// Requests snapshots and reads them. A read that succeeds holds 0 bytes
// (only before the camera's first delivery) or one delivery whole; the
// check against the deliveries is made once the bridge driver has stopped.
void Cycle::Reader() {
    std::vector<UCHAR> image(byteCount_);
    for (unsigned n = 0; !leaving_.load(); n++) {
        if (n % 2 == 0) {
            const NTSTATUS requested = Control(file_, SNAPSHOT_CONTROL_REQUEST);
            if (requested == STATUS_SUCCESS) {
                counts_.controls++;
            } else if (!RefusedAsGone(requested)) {
                Problem("a snapshot request failed");
            }
        }
        const uint64_t deliveredBefore = counts_.deliveries.load();
        IoResult read = ReadFile(app_, file_, image.data(), byteCount_);
        counts_.reads++;
        if (read.Status == STATUS_DEVICE_BUSY && read.Information == 0) {
            counts_.busyReads++;
        } else if (read.Status != STATUS_SUCCESS) {
            if (read.Information == 0 && RefusedAsGone(read.Status)) {
                continue;  // refused, rightly: the camera is gone
            }
            counts_.badReads++;
            Problem("a read ended with 0x%08X", unsigned(read.Status));
        } else if (read.Information == 0) {
            if (deliveredBefore == 0) {
                counts_.emptyReads++;
            } else {
                counts_.badReads++;
                Problem("a read after a delivery returned nothing");
            }
        } else {
            std::lock_guard<std::mutex> guard(readLock_);
            read_.push_back(DigestOf(image.data(), read.Information));
        }
    }
    Park();
    AfterRemoval(true);
}

// Polls readiness and the image description, sends a device control for
// the bridge driver below, switches trigger events off and on, and opens
// and closes a second handle now and then. Below tessip, the bridge driver
// refuses opens and controls once the camera is surprise-removed, and the
// interface goes with it.
void Cycle::Controller() {
    for (unsigned n = 0; !leaving_.load(); n++) {
        ULONG ready = 0xFFFFFFFF;
        SNAPSHOT_IMAGE_INFO info{};
        IoResult infoResult = DeviceIoControl(app_, file_, IOCTL_SNAPSHOT_GET_IMAGE_INFO, nullptr,
                                              0, &info, sizeof(info));
        const NTSTATUS polled = Control(file_, SNAPSHOT_CONTROL_QUERY_READY, &ready);
        const bool readyAnswered =
            (polled == STATUS_SUCCESS && ready <= 1) || RefusedAsGone(polled);
        const bool infoAnswered =
            (infoResult.Status == STATUS_SUCCESS && infoResult.Information == sizeof(info) &&
             info.ByteCount == byteCount_) ||
            RefusedAsGone(infoResult.Status);
        if (readyAnswered && infoAnswered) {
            counts_.controls += 2;
        } else {
            Problem("polling the snapshot failed (ready %u, image info 0x%08X)", unsigned(ready),
                    unsigned(infoResult.Status));
        }
        if (n % 64 == 63) {
            for (ULONG code : {SNAPSHOT_CONTROL_EVENTS_OFF, SNAPSHOT_CONTROL_EVENTS_ON}) {
                const NTSTATUS status = Control(file_, code);
                if (status != STATUS_SUCCESS && !RefusedAsGone(status)) {
                    Problem("switching trigger events failed");
                }
            }
            counts_.controls += 2;
        }

        const bool removedBefore = unplugged_.load();
        NTSTATUS below = QueryBridge(file_);
        const bool removingAfter = unplugging_.load();
        if (below == STATUS_SUCCESS && !removedBefore) {
            counts_.passedDown++;
        } else if (!(removingAfter && RefusedAsGone(below))) {
            Problem("a device control for the bridge driver ended with 0x%08X", unsigned(below));
        }

        if (n % 16 == 0) {
            const bool goneBefore = unplugged_.load();
            HANDLE second = nullptr;
            NTSTATUS opened = OpenDevice(app_, link_, &second);
            const bool goingAfter = unplugging_.load();
            if (opened == STATUS_SUCCESS && !goneBefore) {
                counts_.opens++;
                CloseHandle(app_, second);
            } else if ((opened == STATUS_OBJECT_NAME_NOT_FOUND ||
                        opened == STATUS_DELETE_PENDING) &&
                       goingAfter) {
                counts_.refusedOpens++;
            } else {
                Problem("opening a second handle ended with 0x%08X", unsigned(opened));
                if (second != nullptr) CloseHandle(app_, second);
            }
        }
    }
    Park();
    AfterRemoval(false);
}

// Waits for the trigger events: a pulse releases a thread already waiting.
void Cycle::Waiter() {
    for (unsigned n = 0; !leaving_.load(); n++) {
        if (WaitForEvent(app_, events_[n & 1], 2ms) == STATUS_SUCCESS) counts_.eventWakes++;
    }
    Park();
}

bool Cycle::OpenOnce() {
    std::vector<std::u16string> links = EnumerateDeviceInterfaces(GUID_DEVINTERFACE_IMAGE);
    if (links.size() != 1) {
        Problem("%zu still-image interfaces offered, not 1", links.size());
        return false;
    }
    link_ = links[0];
    app_ = CreateProcess("soak application");
    if (OpenDevice(app_, link_, &file_) != STATUS_SUCCESS ||
        OpenDevice(app_, link_, &forgotten_) != STATUS_SUCCESS) {
        Problem("the application could not open the camera");
        return false;
    }
    counts_.opens += 2;
    events_[0] = CreateEvent(app_, NotificationEvent, false);
    events_[1] = CreateEvent(app_, SynchronizationEvent, false);
    HANDLE handles[2] = {events_[0], events_[1]};
    if (DeviceIoControl(app_, file_, IOCTL_SNAPSHOT_SET_EVENTS, handles, sizeof(handles), nullptr,
                        0)
                .Status != STATUS_SUCCESS ||
        Control(file_, SNAPSHOT_CONTROL_EVENTS_ON) != STATUS_SUCCESS) {
        Problem("the application could not register its events");
        return false;
    }
    counts_.controls += 2;
    return true;
}

void Cycle::Run() {
    const ULONG flags = (direct_ ? DO_DIRECT_IO : DO_BUFFERED_IO) | DO_POWER_PAGABLE;
    NTSTATUS status = drivers_.PlugIn(flags, &pdo_);
    if (status != STATUS_SUCCESS || (status = StartDevice(pdo_)) != STATUS_SUCCESS) {
        Problem("plug-in or start failed with 0x%08X", unsigned(status));
        if (pdo_->AttachedDevice != nullptr) RemoveDevice(pdo_);
        DeletePhysicalDevice(pdo_);
        return;
    }
    const bool connected = ConnectBridge();
    const bool open = OpenOnce();

    if (connected) streamer_ = std::thread([this] { Stream(); });
    std::thread application[3];
    if (open) {
        application[0] = std::thread([this] { Reader(); });
        application[1] = std::thread([this] { Controller(); });
        application[2] = std::thread([this] { Waiter(); });
    }
    WaitFor([this] { return counts_.frames.load() >= options_.framesPerCycle; }, "frames");
    if (open) WaitFor([this] { return counts_.reads.load() >= 2; }, "reads");

    if (surprise_) {
        // Unplugged while everything runs; the application goes on a little
        // with the device it holds before it hears of it.
        unplugging_ = true;
        SurpriseRemoveDevice(pdo_);
        unplugged_ = true;
        const uint64_t reads = counts_.reads.load();
        if (open)
            WaitFor([&] { return counts_.reads.load() >= reads + 2; }, "reads after unplugging");
        // The bridge driver stopped streaming at its surprise removal: the
        // camera program's next request was refused.
        if (connected) {
            WaitFor([this] { return streamerDone_.load(); }, "the bridge driver to stop streaming");
        }
    }

    // The application hears the camera is going and closes its device (all
    // but the forgotten handle), with or without releasing its events first.
    leaving_ = true;
    if (open) {
        std::unique_lock<std::mutex> lock(parkLock_);
        if (!parkChanged_.wait_for(lock, kStallLimit, [this] { return parked_.load() == 3; })) {
            Problem("the application did not stop");
        }
    }
    if (open && releaseEvents_) {
        // A surprise-removed camera refuses both; its removal releases the
        // events instead.
        HANDLE none[2] = {nullptr, nullptr};
        const NTSTATUS off = Control(file_, SNAPSHOT_CONTROL_EVENTS_OFF);
        const NTSTATUS released =
            DeviceIoControl(app_, file_, IOCTL_SNAPSHOT_SET_EVENTS, none, sizeof(none), nullptr, 0)
                .Status;
        for (NTSTATUS status : {off, released}) {
            if (status != STATUS_SUCCESS && !RefusedAsGone(status)) {
                Problem("the application could not release its events");
            }
        }
        counts_.controls += 2;
    }
    if (file_ != nullptr) CloseHandle(app_, file_);
    StopStreaming();

    status = RemoveDevice(pdo_);
    if (status != STATUS_SUCCESS || pdo_->AttachedDevice != nullptr) {
        Problem("removal ended with 0x%08X", unsigned(status));
    }
    DeletePhysicalDevice(pdo_);
    Finish();

    {
        std::lock_guard<std::mutex> lock(parkLock_);
        gone_ = true;
        parkChanged_.notify_all();
    }
    for (std::thread& thread : application) {
        if (thread.joinable()) thread.join();
    }
    if (app_ != nullptr) TerminateProcess(app_);
    if (camera_ != nullptr) TerminateProcess(camera_);
    report_->poolBlocksLeft += PoolUsage().Blocks;
    report_->irpsLeft += LiveIrps();
    report_->devicesLeft += LiveDevices();
    Merge();
}

void Cycle::Merge() {
    Report& r = *report_;
    r.frames += counts_.frames;
    r.triggers += counts_.triggers;
    r.deliveries += counts_.deliveries;
    r.reads += counts_.reads;
    r.wholeReads += counts_.wholeReads;
    r.emptyReads += counts_.emptyReads;
    r.busyReads += counts_.busyReads;
    r.badReads += counts_.badReads;
    r.controls += counts_.controls;
    r.passedDown += counts_.passedDown;
    r.opens += counts_.opens;
    r.eventWakes += counts_.eventWakes;
    r.refusedOpens += counts_.refusedOpens;
    r.refusedGone += counts_.refusedGone;
    r.refusedNoDevice += counts_.refusedNoDevice;
    r.unexpected += counts_.unexpected;
}

// The camera is gone and the bridge driver stopped: every read must have
// held one of the frames delivered, and no driver may still hold one of
// the application's events.
void Cycle::Finish() {
    for (const Digest& digest : read_) {
        if (delivered_.count(digest) != 0) {
            counts_.wholeReads++;
        } else {
            counts_.badReads++;
            Problem("a read of %zu bytes held no delivery whole", digest.first);
        }
    }
    if (app_ != nullptr) {
        for (HANDLE event : events_) {
            LONG_PTR references = ReferenceCount(ObjectFromHandle(app_, event));
            if (references != 1) report_->referencesLeft += references - 1;
        }
    }
}

void CollectFaults(Report* report, unsigned cycle) {
    for (const std::string& fault : TakeFaults()) {
        report->faults++;
        if (report->problems.size() < kProblemsKept) {
            report->problems.push_back("cycle " + std::to_string(cycle) +
                                       ": kernel fault: " + fault);
        }
    }
}

}  // namespace

bool Report::Passed() const {
    return cycles > 0 && faults == 0 && unexpected == 0 && badReads == 0 && poolBlocksLeft == 0 &&
           irpsLeft == 0 && devicesLeft == 0 && referencesLeft == 0;
}

Report Run(const Options& options) {
    Report report;
    const auto start = Clock::now();
    auto more = [&] {
        if (options.cycles != 0 && report.cycles >= options.cycles) return false;
        if (report.cycles < options.minimumCycles) return true;
        return options.duration.count() == 0 || Clock::now() - start < options.duration;
    };
    const unsigned perKernel = options.cyclesPerKernel ? options.cyclesPerKernel : 1;
    while (more()) {
        Reset();
        report.kernels++;
        {
            BRIDGE_CONFIGURATION configuration = BRIDGE_DEFAULT_CONFIGURATION;
            configuration.SnapshotWidth = options.snapshotWidth;
            configuration.SnapshotHeight = options.snapshotHeight;
            camera_stack::CameraDrivers drivers(configuration);
            for (unsigned i = 0; i < perKernel && more(); i++) {
                Cycle cycle(drivers, options, report.cycles, &report);
                cycle.Run();
                report.cycles++;
                report.surpriseRemovals += cycle.Surprise();
                CollectFaults(&report, report.cycles - 1);
            }
            Shutdown();
            CollectFaults(&report, report.cycles - 1);
        }
        Reset();
    }
    report.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return report;
}

void Print(const Report& r, std::FILE* out) {
    auto n = [](uint64_t value) { return static_cast<unsigned long long>(value); };
    std::fprintf(out, "soak: %u cycles (%u surprise removals) on %u kernels in %.1f s\n", r.cycles,
                 r.surpriseRemovals, r.kernels, r.seconds);
    std::fprintf(out, "  frames            %llu (auto exposure and auto white balance steps)\n",
                 n(r.frames));
    std::fprintf(
        out,
        "  snapshots         %llu delivered, %llu trigger reports, %llu trigger waits released\n",
        n(r.deliveries), n(r.triggers), n(r.eventWakes));
    std::fprintf(out,
                 "  reads             %llu: %llu whole, %llu empty (before a delivery), %llu busy, "
                 "%llu bad\n",
                 n(r.reads), n(r.wholeReads), n(r.emptyReads), n(r.busyReads), n(r.badReads));
    std::fprintf(out, "  requests          %llu device controls, %llu passed down, %llu opens\n",
                 n(r.controls), n(r.passedDown), n(r.opens));
    std::fprintf(
        out,
        "  refused, rightly  %llu opens of an unplugged camera, %llu requests after surprise "
        "removal, %llu requests with no device\n",
        n(r.refusedOpens), n(r.refusedGone), n(r.refusedNoDevice));
    std::fprintf(
        out,
        "  left after removal: %llu pool blocks, %llu IRPs, %llu devices, %llu event references\n",
        n(r.poolBlocksLeft), n(r.irpsLeft), n(r.devicesLeft), n(r.referencesLeft));
    std::fprintf(out, "  kernel faults %llu, unexpected outcomes %llu\n", n(r.faults),
                 n(r.unexpected));
    for (const std::string& problem : r.problems) std::fprintf(out, "  ! %s\n", problem.c_str());
    std::fprintf(out, "%s\n", r.Passed() ? "PASSED" : "FAILED");
}

}  // namespace soak
