// Every kernel call the drivers make that can fail, failed in turn at every
// place it occurs in one camera's life: plug-in, start (where the bridge
// driver queries both interfaces and brings the sensor up), a camera program
// opening the bridge driver, an application opening the still-image
// interface, streaming with auto exposure and auto white balance, a
// snapshot requested, delivered and read, and removal.
//
// The life is lived once without a failure to count each call by phase and
// driver, then once more for every occurrence of every call with that one
// occurrence failed. Each run must end without a kernel fault, with nothing
// leaked and the camera removed, and with the failure handled the way the
// failing driver promises; the table of promises is keyed by call, phase
// and driver, so a call a driver starts making somewhere new fails the
// sweep until its promise is written down.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bridge_client.h"
#include "camera_stack.h"
#include "filter.h"
#include "kernel_test.h"
#include "snapshot.h"

using namespace host_kernel;

namespace {

constexpr int kCalls = static_cast<int>(Call::Count);

enum class Phase {
    Loading,
    PlugIn,
    Start,
    CameraProgram,
    AppOpens,
    Streaming,
    Snapshot,
    ReadAgain,
    SurpriseRemoval,
    AppCloses,
    Removal,
    Count
};
constexpr int kPhases = static_cast<int>(Phase::Count);

const char* PhaseName(Phase phase) {
    static const char* const names[kPhases] = {"loading",
                                               "plug-in",
                                               "start",
                                               "camera program opens the bridge driver",
                                               "application opens",
                                               "streaming",
                                               "snapshot",
                                               "reading it again",
                                               "surprise removal",
                                               "application closes",
                                               "removal"};
    return names[static_cast<int>(phase)];
}

// How the camera is built and leaves: its buffering decides whether reads
// bring an MDL to map, and a surprise removal adds its own step.
struct Variant {
    const char* name;
    ULONG pdoFlags;
    bool surprise;
};

const Variant kVariants[] = {
    {"buffered reads, orderly removal", DO_BUFFERED_IO | DO_POWER_PAGABLE, false},
    {"direct reads, surprise removal", DO_DIRECT_IO | DO_POWER_PAGABLE, true},
};

// What one life looked like from outside the drivers.
struct Outcome {
    unsigned calls[kPhases][kCalls] = {};      // kernel calls the drivers made, by phase
    std::vector<std::string> callers[kCalls];  // the driver of each call, in order
    NTSTATUS plugIn = STATUS_PENDING;
    NTSTATUS start = STATUS_PENDING;
    ULONG orvaneState = 0;      // after the start
    bool bridgeListed = false;  // the bridge driver's own interface was offered
    bool connected = false;     // the bridge driver got both records, found and started the sensor
    bool listed = false;        // the still-image interface was offered
    NTSTATUS opened = STATUS_PENDING;
    ULONG byteCount = 0;  // IMAGE_INFO as the application read it
    NTSTATUS registration = STATUS_PENDING;
    LONG_PTR eventReferences[2] = {};  // after registering, the handle's included
    IoResult earlyRead;                // before any delivery
    bool ready = false;                // after the bridge driver answered the request
    IoResult read;
    bool readWhole = false;      // the bytes of the frame delivered, no more, no less
    bool readUntouched = false;  // the buffer as the application filled it
    bool readyAfterRead = false;
    IoResult reread;
    bool rereadWhole = false;
    bool rereadUntouched = false;
    bool listedAfterSurprise = false;
    bool bridgeListedAfterSurprise = false;
    NTSTATUS removal = STATUS_PENDING;
    size_t devicesAbovePdo = 0;  // after removal
    LONG_PTR referencesAfterRemoval[2] = {};
    PoolStats pool;  // once the camera and the application are gone
    size_t irps = 0;
    size_t devices = 0;
    std::vector<std::string> faults;

    unsigned Total(Call call) const {
        unsigned total = 0;
        for (const auto& phase : calls) total += phase[static_cast<int>(call)];
        return total;
    }
};

// The application's side, scripted: it opens the still-image interface (or,
// when none is offered, the stack itself, to show the stack still works),
// registers two events, takes one snapshot and leaves.
class Application {
  public:
    Application() : process_(CreateProcess("still-image application")) {}

    NTSTATUS Open(PDEVICE_OBJECT pdo, bool* listed) {
        std::vector<std::u16string> links = EnumerateDeviceInterfaces(GUID_DEVINTERFACE_IMAGE);
        *listed = !links.empty();
        return *listed ? OpenDevice(process_, links[0], &file_) : OpenDevice(process_, pdo, &file_);
    }

    ULONG ByteCount() {
        SNAPSHOT_IMAGE_INFO info{};
        IoResult result = DeviceIoControl(process_, file_, IOCTL_SNAPSHOT_GET_IMAGE_INFO, nullptr,
                                          0, &info, sizeof(info));
        return NT_SUCCESS(result.Status) ? info.ByteCount : 0;
    }

    NTSTATUS Register(LONG_PTR references[2]) {
        for (int i = 0; i < 2; i++) events_[i] = CreateEvent(process_, NotificationEvent, false);
        NTSTATUS status = SetEvents(events_[0], events_[1]);
        References(references);
        return status;
    }

    void References(LONG_PTR references[2]) const {
        for (int i = 0; i < 2; i++)
            references[i] = ReferenceCount(ObjectFromHandle(process_, events_[i]));
    }

    NTSTATUS SetEvents(HANDLE first, HANDLE second) {
        HANDLE handles[2] = {first, second};
        return DeviceIoControl(process_, file_, IOCTL_SNAPSHOT_SET_EVENTS, handles, sizeof(handles),
                               nullptr, 0)
            .Status;
    }

    NTSTATUS Control(ULONG code) {
        return DeviceIoControl(process_, file_, IOCTL_SNAPSHOT_CONTROL, &code, sizeof(code),
                               nullptr, 0)
            .Status;
    }

    bool Ready() {
        ULONG word = SNAPSHOT_CONTROL_QUERY_READY;
        IoResult result = DeviceIoControl(process_, file_, IOCTL_SNAPSHOT_CONTROL, &word,
                                          sizeof(word), &word, sizeof(word));
        return NT_SUCCESS(result.Status) && word == 1;
    }

    // Reads into a buffer of `length` bytes filled with a byte no frame of
    // this camera holds, so that bytes the read did not write show.
    static constexpr UCHAR kUnwritten = 0x5A;
    IoResult Read(ULONG length, std::vector<UCHAR>* image) {
        image->assign(length, kUnwritten);
        return ReadFile(process_, file_, image->data(), length);
    }

    void CloseDevice() { CloseHandle(process_, file_); }
    void Exit() { TerminateProcess(process_); }

  private:
    Process* process_;
    HANDLE file_ = nullptr;
    HANDLE events_[2] = {};
};

// The camera program: drives the bridge driver through its own interface,
// or through the stack when that interface is not offered.
class CameraProgram {
  public:
    CameraProgram() : process_(CreateProcess("camera program")), bridge_(process_) {}

    // Opens the bridge driver and asks it whether the camera came up.
    bool Connect(PDEVICE_OBJECT pdo, bool* listed) {
        std::vector<std::u16string> links = camera_stack::BridgeClient::FindBridges();
        *listed = !links.empty();
        if (!NT_SUCCESS(*listed ? bridge_.Open(links[0]) : bridge_.Open(pdo))) return false;
        std::unique_ptr<BRIDGE_QUERY_RESULT> seen = bridge_.Query();
        const uint32_t up = BRIDGE_FLAG_SENSOR_INTERFACE | BRIDGE_FLAG_SNAPSHOT_INTERFACE |
                            BRIDGE_FLAG_SENSOR_FOUND | BRIDGE_FLAG_SENSOR_STARTED;
        return seen != nullptr && (seen->Flags & up) == up;
    }

    // One frame; its record, which says whether it delivered a snapshot
    // and the checksum of the bytes tessip got.
    BRIDGE_FRAME_RECORD Frame() {
        BRIDGE_STREAM_RESULT result{};
        if (!NT_SUCCESS(bridge_.Stream(1, &result))) return {};
        return result.Last;
    }

    void Press(uint32_t kind) { bridge_.Press(kind); }
    void Close() { bridge_.Close(); }
    void Exit() { TerminateProcess(process_); }

  private:
    Process* process_;
    camera_stack::BridgeClient bridge_;
};

// Counts the calls made since the last phase ended.
class PhaseCounter {
  public:
    explicit PhaseCounter(Outcome* outcome) : outcome_(outcome) {}
    void End(Phase phase) {
        for (int c = 0; c < kCalls; c++) {
            unsigned now = CallCount(static_cast<Call>(c));
            outcome_->calls[static_cast<int>(phase)][c] = now - counted_[c];
            counted_[c] = now;
        }
    }

  private:
    Outcome* outcome_;
    unsigned counted_[kCalls] = {};
};

// The read returned exactly the `length` bytes the frame delivered.
bool Holds(const std::vector<UCHAR>& image, const IoResult& result,
           const BRIDGE_FRAME_RECORD& frame, ULONG length) {
    return frame.SnapshotDelivered != 0 && result.Information == length && image.size() >= length &&
           BridgeFrameChecksum(image.data(), length) == frame.SnapshotChecksum;
}

bool Untouched(const std::vector<UCHAR>& image) {
    return std::all_of(image.begin(), image.end(),
                       [](UCHAR b) { return b == Application::kUnwritten; });
}

// Removal as the Plug and Play manager and the bus finish it (after a
// failed plug-in there is no stack left to remove), then what is left once
// the camera and its application are gone.
void Remove(PDEVICE_OBJECT pdo, Outcome* o, Application* app, CameraProgram* camera) {
    if (pdo->AttachedDevice != nullptr) o->removal = RemoveDevice(pdo);
    o->devicesAbovePdo = DeviceStack(pdo).size() - 1;
    if (app != nullptr) app->References(o->referencesAfterRemoval);
    DeletePhysicalDevice(pdo);
    if (app != nullptr) app->Exit();
    if (camera != nullptr) camera->Exit();
    o->pool = PoolUsage();
    o->irps = LiveIrps();
    o->devices = LiveDevices();
}

// One camera's life on a fresh kernel. `arm` runs first, to set up the
// failure of the run.
Outcome Live(const Variant& variant, const std::function<void()>& arm) {
    Reset();
    arm();
    Outcome o;
    PhaseCounter phases(&o);
    {
        camera_stack::CameraDrivers drivers;
        phases.End(Phase::Loading);

        PDEVICE_OBJECT pdo = nullptr;
        // A camera that did not come up is removed at once, as Windows would.
        auto removeEarly = [&] {
            Remove(pdo, &o, nullptr, nullptr);
            phases.End(Phase::Removal);
            for (int c = 0; c < kCalls; c++) o.callers[c] = CallDrivers(static_cast<Call>(c));
            Shutdown();
            o.faults = TakeFaults();
            return o;
        };
        o.plugIn = drivers.PlugIn(variant.pdoFlags, &pdo);
        phases.End(Phase::PlugIn);
        if (!NT_SUCCESS(o.plugIn)) {
            return removeEarly();
        }

        o.start = StartDevice(pdo);
        o.orvaneState = GetFilterState(FilterExtension(drivers.OrvaneDevice(pdo)));
        phases.End(Phase::Start);
        if (!NT_SUCCESS(o.start)) {
            return removeEarly();
        }

        CameraProgram camera;
        o.connected = camera.Connect(pdo, &o.bridgeListed);
        phases.End(Phase::CameraProgram);

        Application app;
        o.opened = app.Open(pdo, &o.listed);
        o.byteCount = app.ByteCount();
        o.registration = app.Register(o.eventReferences);
        app.Control(SNAPSHOT_CONTROL_EVENTS_ON);
        std::vector<UCHAR> image;
        o.earlyRead = app.Read(o.byteCount, &image);
        phases.End(Phase::AppOpens);

        for (int frame = 0; frame < 16; frame++) {
            if (frame == 8) camera.Press(1);
            camera.Frame();
        }
        phases.End(Phase::Streaming);

        app.Control(SNAPSHOT_CONTROL_REQUEST);
        const BRIDGE_FRAME_RECORD delivered = camera.Frame();
        o.ready = app.Ready();
        o.read = app.Read(o.byteCount, &image);
        o.readWhole = Holds(image, o.read, delivered, 640u * 480u * 3u);
        o.readUntouched = Untouched(image);
        o.readyAfterRead = app.Ready();
        phases.End(Phase::Snapshot);

        o.reread = app.Read(o.byteCount, &image);
        o.rereadWhole = Holds(image, o.reread, delivered, 640u * 480u * 3u);
        o.rereadUntouched = Untouched(image);
        phases.End(Phase::ReadAgain);

        // Unplugged: the hardware is gone while the application still holds
        // the device open; it exits without releasing its events, which
        // tessip's removal must then let go of.
        if (variant.surprise) {
            SurpriseRemoveDevice(pdo);
            o.listedAfterSurprise = !EnumerateDeviceInterfaces(GUID_DEVINTERFACE_IMAGE).empty();
            o.bridgeListedAfterSurprise = !camera_stack::BridgeClient::FindBridges().empty();
            phases.End(Phase::SurpriseRemoval);
        } else {
            app.Control(SNAPSHOT_CONTROL_EVENTS_OFF);
            app.SetEvents(nullptr, nullptr);
        }
        app.CloseDevice();
        camera.Close();
        phases.End(Phase::AppCloses);

        Remove(pdo, &o, &app, &camera);
        phases.End(Phase::Removal);
        for (int c = 0; c < kCalls; c++) o.callers[c] = CallDrivers(static_cast<Call>(c));
    }
    Shutdown();
    o.faults = TakeFaults();
    return o;
}

// What the camera's life looks like with one call failed. The defaults are
// the life without a failure.
struct Expected {
    NTSTATUS plugIn = STATUS_SUCCESS;  // a failure: no camera, nothing else happens
    NTSTATUS start = STATUS_SUCCESS;   // a failure: removed again at once
    // orvane after the start; by default started exactly when the start succeeds.
    std::optional<ULONG> orvaneState = std::nullopt;
    bool bridgeListed = true;
    bool listed = true;
    NTSTATUS registration = STATUS_SUCCESS;
    NTSTATUS earlyRead = STATUS_SUCCESS;  // succeeds with 0 bytes
    bool delivered = true;                // the requested frame made the snapshot ready
    NTSTATUS read = STATUS_SUCCESS;       // the frame whole; a failure writes nothing
    NTSTATUS reread = STATUS_SUCCESS;
    bool listedAfterSurprise = false;
    bool bridgeListedAfterSurprise = false;
};

// Which drivers a promise is for, by the name the camera stack loads them under.
enum Driver : unsigned { kOrvane = 1, kTessip = 2, kBridge = 4 };

unsigned DriverBit(const std::string& name) {
    if (name == "orvane") return kOrvane;
    if (name == "tessip") return kTessip;
    if (name == "bridge") return kBridge;
    return 0;
}

struct Promise {
    Call call;
    Phase phase;
    unsigned drivers;
    const char* what;
    Expected expected;
};

// By call, phase and failing driver, what that driver promises when the
// call fails there.
const Promise kPromises[] = {
    {Call::IoCreateDevice,
     Phase::PlugIn,
     kOrvane | kTessip,
     "add-device (orvane's or tessip's) fails with the creation's status; no camera",
     {.plugIn = STATUS_INSUFFICIENT_RESOURCES}},
    {Call::IoAttachDeviceToDeviceStack,
     Phase::PlugIn,
     kOrvane | kTessip,
     "add-device deletes its device object and fails; no camera",
     {.plugIn = STATUS_UNSUCCESSFUL}},
    {Call::ExAllocatePoolWithTag,
     Phase::PlugIn,
     kTessip,
     "tessip runs without a snapshot buffer: deliveries ignored, every read refused",
     {.earlyRead = STATUS_INSUFFICIENT_RESOURCES,
      .delivered = false,
      .read = STATUS_INSUFFICIENT_RESOURCES,
      .reread = STATUS_INSUFFICIENT_RESOURCES}},
    {Call::IoRegisterDeviceInterface,
     Phase::PlugIn,
     kTessip,
     "no still-image interface, but the stack works",
     {.listed = false}},
    {Call::IoSetDeviceInterfaceState,
     Phase::PlugIn,
     kTessip,
     "the interface is registered but not enabled: not offered, the stack works",
     {.listed = false}},
    {Call::IoAllocateIrp,
     Phase::Start,
     kOrvane,
     "orvane's capabilities query has no IRP: the start fails with "
     "STATUS_INSUFFICIENT_RESOURCES and orvane is FilterStartFailed",
     {.start = STATUS_INSUFFICIENT_RESOURCES}},
    {Call::ObReferenceObjectByHandle,
     Phase::AppOpens,
     kTessip,
     "event registration fails all or nothing: neither event is held",
     {.registration = STATUS_INVALID_HANDLE}},
    {Call::MmMapLockedPagesSpecifyCache,
     Phase::AppOpens,
     kTessip,
     "a read whose MDL cannot be mapped fails and writes nothing",
     {.earlyRead = STATUS_INSUFFICIENT_RESOURCES}},
    {Call::MmMapLockedPagesSpecifyCache,
     Phase::Snapshot,
     kTessip,
     "a read whose MDL cannot be mapped fails, writes nothing, and the snapshot stays ready",
     {.read = STATUS_INSUFFICIENT_RESOURCES}},
    {Call::MmMapLockedPagesSpecifyCache,
     Phase::ReadAgain,
     kTessip,
     "the same, for a second read of the same snapshot",
     {.reread = STATUS_INSUFFICIENT_RESOURCES}},
    {Call::IoSetDeviceInterfaceState,
     Phase::SurpriseRemoval,
     kTessip,
     "the disable fails: the interface stays offered until removal, which goes on",
     {.listedAfterSurprise = true}},
    {Call::IoSetDeviceInterfaceState,
     Phase::Removal,
     kTessip,
     "the disable fails: removal goes on and frees the name",
     {}},

    // The bridge driver, the camera's function driver.
    {Call::IoCreateDevice,
     Phase::PlugIn,
     kBridge,
     "the bridge driver's add-device fails with the creation's status; no camera",
     {.plugIn = STATUS_INSUFFICIENT_RESOURCES}},
    {Call::IoAttachDeviceToDeviceStack,
     Phase::PlugIn,
     kBridge,
     "the bridge driver's add-device deletes its device object and fails; no camera",
     {.plugIn = STATUS_UNSUCCESSFUL}},
    {Call::IoRegisterDeviceInterface,
     Phase::PlugIn,
     kBridge,
     "no bridge interface: the camera program reaches the bridge driver through the stack",
     {.bridgeListed = false}},
    {Call::ExAllocatePoolWithTag,
     Phase::Start,
     kBridge,
     "no snapshot frame buffer: the camera does not come up, the start fails with "
     "STATUS_INSUFFICIENT_RESOURCES after orvane started",
     {.start = STATUS_INSUFFICIENT_RESOURCES, .orvaneState = FilterStarted}},
    {Call::IoAllocateIrp,
     Phase::Start,
     kBridge,
     "an interface query has no IRP: the camera does not come up, the start fails with "
     "STATUS_INSUFFICIENT_RESOURCES after orvane started",
     {.start = STATUS_INSUFFICIENT_RESOURCES, .orvaneState = FilterStarted}},
    {Call::IoSetDeviceInterfaceState,
     Phase::Start,
     kBridge,
     "the bridge interface is not enabled: the camera runs, reached through the stack",
     {.bridgeListed = false}},
    {Call::IoSetDeviceInterfaceState,
     Phase::SurpriseRemoval,
     kBridge,
     "the disable fails: the bridge interface stays offered until removal, which goes on",
     {.bridgeListedAfterSurprise = true}},
    {Call::IoSetDeviceInterfaceState,
     Phase::Removal,
     kBridge,
     "the disable fails: removal goes on and frees the name",
     {}},
};

void Check(const Outcome& o, const Expected& e, const Variant& variant) {
    for (const std::string& fault : o.faults) ADD_FAILURE() << "kernel fault: " << fault;
    // Whatever failed, the camera could be removed and left nothing behind.
    EXPECT_EQ(o.devicesAbovePdo, 0u);
    EXPECT_EQ(o.pool.Blocks, 0u);
    EXPECT_EQ(o.irps, 0u);
    EXPECT_EQ(o.devices, 0u);

    EXPECT_EQ(o.plugIn, e.plugIn);
    if (!NT_SUCCESS(o.plugIn)) return;
    EXPECT_EQ(o.start, e.start);
    EXPECT_EQ(o.orvaneState,
              e.orvaneState.value_or(NT_SUCCESS(e.start) ? ULONG(FilterStarted)
                                                         : ULONG(FilterStartFailed)));
    EXPECT_EQ(o.removal, STATUS_SUCCESS);
    if (!NT_SUCCESS(o.start)) return;

    EXPECT_TRUE(o.connected);
    EXPECT_EQ(o.bridgeListed, e.bridgeListed);
    EXPECT_EQ(o.listed, e.listed);
    EXPECT_EQ(o.opened, STATUS_SUCCESS);
    EXPECT_EQ(o.byteCount, 640u * 480u * 3u);
    EXPECT_EQ(o.registration, e.registration);
    const LONG_PTR held = NT_SUCCESS(e.registration) ? 2 : 1;
    EXPECT_EQ(o.eventReferences[0], held);
    EXPECT_EQ(o.eventReferences[1], held);

    EXPECT_EQ(o.earlyRead.Status, e.earlyRead);
    EXPECT_EQ(o.earlyRead.Information, 0u);
    EXPECT_EQ(o.ready, e.delivered);
    EXPECT_EQ(o.read.Status, e.read);
    if (NT_SUCCESS(e.read)) {
        EXPECT_TRUE(o.readWhole);
    } else {
        EXPECT_EQ(o.read.Information, 0u);
        EXPECT_TRUE(o.readUntouched);
    }
    EXPECT_EQ(o.readyAfterRead, e.delivered && !NT_SUCCESS(e.read));
    EXPECT_EQ(o.reread.Status, e.reread);
    if (NT_SUCCESS(e.reread)) {
        EXPECT_TRUE(o.rereadWhole);
    } else {
        EXPECT_EQ(o.reread.Information, 0u);
        EXPECT_TRUE(o.rereadUntouched);
    }
    if (variant.surprise) {
        EXPECT_EQ(o.listedAfterSurprise, e.listedAfterSurprise);
        EXPECT_EQ(o.bridgeListedAfterSurprise, e.bridgeListedAfterSurprise);
    }
    EXPECT_EQ(o.referencesAfterRemoval[0], 1);
    EXPECT_EQ(o.referencesAfterRemoval[1], 1);
}

const Promise* PromiseFor(Call call, Phase phase, const std::string& driver) {
    for (const Promise& promise : kPromises) {
        if (promise.call == call && promise.phase == phase &&
            (promise.drivers & DriverBit(driver))) {
            return &promise;
        }
    }
    return nullptr;
}

class FaultSweep : public KernelTest {};

TEST_F(FaultSweep, EveryFailingKernelCallIsHandledAsPromised) {
    std::vector<bool> promiseUsed(std::size(kPromises), false);
    unsigned total = 0;
    for (const Variant& variant : kVariants) {
        SCOPED_TRACE(variant.name);
        const Outcome clean = Live(variant, [] {});
        {
            SCOPED_TRACE("no call failed");
            Check(clean, Expected{}, variant);
        }

        unsigned injected[kCalls] = {};
        for (int c = 0; c < kCalls; c++) {
            const Call call = static_cast<Call>(c);
            unsigned occurrence = 0;
            for (int p = 0; p < kPhases; p++) {
                const Phase phase = static_cast<Phase>(p);
                for (unsigned k = 0; k < clean.calls[p][c]; k++, occurrence++) {
                    const std::string driver = clean.callers[c].at(occurrence);
                    SCOPED_TRACE(testing::Message()
                                 << driver << "'s " << CallName(call) << " #" << occurrence
                                 << " failed, during " << PhaseName(phase));
                    const Promise* promise = PromiseFor(call, phase, driver);
                    if (promise == nullptr) {
                        ADD_FAILURE() << "nothing is promised for this failure";
                        continue;
                    }
                    SCOPED_TRACE(promise->what);
                    promiseUsed[promise - kPromises] = true;
                    const Outcome faulted = Live(variant, [&] { FailNext(call, occurrence); });
                    // The run got as far as the failing call, so it did fail.
                    EXPECT_GT(faulted.Total(call), occurrence);
                    Check(faulted, promise->expected, variant);
                    injected[c]++;
                }
            }
        }

        std::printf("[ sweep    ] %s:", variant.name);
        for (int c = 0; c < kCalls; c++) {
            std::printf(" %s %u,", CallName(static_cast<Call>(c)), injected[c]);
            total += injected[c];
        }
        std::printf("\n");
    }
    std::printf("[ sweep    ] %u faults injected in all\n", total);
    RecordProperty("faults_injected", static_cast<int>(total));
    for (size_t i = 0; i < std::size(kPromises); i++) {
        EXPECT_TRUE(promiseUsed[i]) << "no call failed for: " << kPromises[i].what;
    }
    Reset();
}

}  // namespace
