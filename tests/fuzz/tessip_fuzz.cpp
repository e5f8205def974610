// tessip under hostile input. Each input scripts the life of one or two
// cameras in a fresh user-mode kernel, with or without another vendor's
// filter above tessip: a still-image application sending device controls (the
// three snapshot codes at every buffer length, unknown codes of every
// method), reads of every length and event registrations with good, closed
// and wrong handles; the bridge driver describing images of any size,
// delivering frames, reporting triggers and taking requests; kernel calls
// failing; the lower driver finishing what is passed down in each legal way;
// the camera stopped, surprise-removed and removed in the middle of it all;
// and a bridge driver that names the filter above tessip instead of tessip's
// device, which tessip must ignore.
//
// A life must end without a kernel fault (leaks of pool, references, IRPs
// and MDLs are faults), a successful read must return exactly the bytes of
// the last frame stored and write nothing past them, a failed one nothing at
// all, and the image description must come back as the bridge driver gave it.
//
// Snapshots are up to 2.4 MB: the harness fills and compares them with the
// C library's block routines, since a byte loop here would be instrumented
// for coverage byte by byte and cost more than everything the drivers do.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz_input.h"
#include "host_kernel.h"
#include "snapshot.h"
#include "tessip_entry.h"
#include "test_driver.h"

using namespace host_kernel;

namespace {

[[noreturn]] void Fail(const char* what) {
    fprintf(stderr, "tessip_fuzz: %s\n", what);
    for (const std::string& fault : Faults()) {
        fprintf(stderr, "  fault: %s\n", fault.c_str());
    }
    abort();
}

void Check(bool holds, const char* what) {
    if (!holds) {
        Fail(what);
    }
}

constexpr UCHAR kUntouched = 0xEE;  // fills every buffer the application hands in

const ULONG kPdoFlags[] = {
    DO_BUFFERED_IO | DO_POWER_PAGABLE, DO_DIRECT_IO | DO_POWER_PAGABLE,
    DO_POWER_PAGABLE,  // neither: reads bring only the caller's address
    DO_BUFFERED_IO,    // power requests at DISPATCH_LEVEL
};

const Call kFailingCalls[] = {
    Call::ExAllocatePoolWithTag,
    Call::IoAllocateIrp,
    Call::IoAllocateMdl,
    Call::ObReferenceObjectByHandle,
    Call::MmMapLockedPagesSpecifyCache,
    Call::IoSetDeviceInterfaceState,
};

const NTSTATUS kLowerStatuses[] = {STATUS_SUCCESS, STATUS_NOT_SUPPORTED, STATUS_BUFFER_OVERFLOW,
                                   STATUS_INVALID_DEVICE_REQUEST};

enum class Op {
    Read,
    GetImageInfo,
    Control,
    SetEvents,
    OtherControl,
    Write,
    Describe,
    Deliver,
    Trigger,
    TakeRequest,
    FailKernelCall,
    Reopen,
    CloseEvent,
    StopAndStart,
    SurpriseRemove,
    LowerBehaviour,
    ForeignCall,
    Count
};

// How the stack is arranged, drawn from one byte of the input.
constexpr UCHAR kFilterAbove = 1;  // another vendor's filter above tessip
constexpr UCHAR kTwoCameras = 2;

// True if `bytes` all hold `value`.
bool AllAre(const UCHAR* bytes, size_t count, UCHAR value) {
    static UCHAR pattern[4096];
    if (pattern[0] != value) {
        memset(pattern, value, sizeof(pattern));
    }
    for (size_t done = 0; done < count;) {
        const size_t chunk = std::min(count - done, sizeof(pattern));
        if (memcmp(bytes + done, pattern, chunk) != 0) {
            return false;
        }
        done += chunk;
    }
    return true;
}

// Scratch memory for the application's buffers and the bridge driver's
// frames, taken once for the process: a new megabyte vector per request
// would be faulted in page by page on every input.
UCHAR* Scratch(size_t size, int which) {
    static std::vector<UCHAR> buffers[2];
    std::vector<UCHAR>& buffer = buffers[which];
    if (buffer.size() < size) {
        buffer.resize(size);
    }
    return buffer.data();
}

// A frame no other delivery of this life had: its bytes follow from `seed`
// and the delivery's number, and the first words carry both.
void FillFrame(UCHAR* frame, size_t size, UCHAR seed, unsigned delivery) {
    memset(frame, seed ^ static_cast<UCHAR>(delivery), size);
    const unsigned marks[2] = {seed, delivery};
    memcpy(frame, marks, std::min(size, sizeof(marks)));
}

// The edges of the buffer and of a 32-bit count, and small frames that keep
// a run fast.
ULONG PickByteCount(FuzzInput& in) {
    switch (in.Byte() % 6) {
    case 0:
        return 0;
    case 1:
        return SNAPSHOT_BUFFER_SIZE;
    case 2:
        return SNAPSHOT_BUFFER_SIZE + 1;
    case 3:
        return 0xFFFFFFFF;
    case 4:
        return in.Word();
    default:
        return in.Half() % 4096;
    }
}

// Lengths around what a request needs, and a few others.
ULONG PickLength(FuzzInput& in, ULONG needed) {
    switch (in.Byte() % 5) {
    case 0:
        return 0;
    case 1:
        return needed - 1;
    case 2:
        return needed;
    case 3:
        return needed + 1;
    default:
        return in.Byte() % 64;
    }
}

// One camera's stack and what the harness knows of it.
struct Camera {
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT filter = nullptr;  // tessip's device
    PDEVICE_OBJECT above = nullptr;   // the foreign filter's device over it, if any
    HANDLE file = nullptr;
    SNAPSHOT_INTERFACE record{};
    SNAPSHOT_IMAGE_INFO described{};
    std::vector<UCHAR> stored;  // the frame a read must return
    bool connected = false;
    bool surprised = false;
    bool removed = false;
};

class Life {
  public:
    explicit Life(FuzzInput& in) : in_(in) {}

    void Run() {
        // The stand-in for the bridge driver refuses opens and writes of a
        // camera whose hardware is gone, as a function driver must.
        for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_WRITE}) {
            bridge_.On(major, Behavior::Handler([this](PDEVICE_OBJECT device, PIRP irp) {
                           return Gone(device) ? CompleteGone(irp)
                                               : TestDriver::ServeDefault(device, irp);
                       }));
        }
        tessip_ = LoadDriver("tessip", TessipDriverEntry);
        Check(tessip_ != nullptr, "tessip did not load");
        app_ = CreateProcess("application");
        events_[0] = CreateEvent(app_, NotificationEvent, false);
        events_[1] = CreateEvent(app_, SynchronizationEvent, false);
        const ULONG pdoFlags = in_.Pick(kPdoFlags);
        const UCHAR failAtPlugIn = in_.Byte();
        const UCHAR arrangement = in_.Byte();
        cameras_ = (arrangement & kTwoCameras) != 0 ? 2 : 1;
        if ((arrangement & kFilterAbove) != 0) {
            above_ =
                std::make_unique<TestDriver>("filter above", TestDriverOptions{.Filter = true});
        }
        for (unsigned i = 0; i < cameras_; i++) {
            PlugIn(camera_[i], pdoFlags, i == 0 && failAtPlugIn % 4 == 0);
        }
        while (!in_.Empty()) {
            const UCHAR choice = in_.Byte();
            const auto op = static_cast<Op>(choice % static_cast<int>(Op::Count));
            Camera& camera = camera_[(choice / static_cast<int>(Op::Count)) % cameras_];
            if (!camera.removed) {
                Step(camera, op);
            }
        }
        ClearFailures();
        for (unsigned i = 0; i < cameras_; i++) {
            Camera& camera = camera_[i];
            if (camera.file != nullptr) {
                CloseHandle(app_, camera.file);
            }
            if (!camera.removed) {
                RemoveDevice(camera.pdo);
            }
        }
    }

  private:
    void PlugIn(Camera& camera, ULONG pdoFlags, bool failing) {
        PhysicalDeviceOptions options;
        options.Flags = pdoFlags;
        camera.pdo = CreatePhysicalDevice(options);
        if (failing) {
            FailNext(in_.Pick(kFailingCalls), in_.Byte() % 4);
        }
        StackSpec layout;
        layout.Function = bridge_.Driver();
        layout.UpperFilters = {tessip_};
        if (above_ != nullptr) {
            layout.UpperFilters.push_back(above_->Driver());
        }
        if (!NT_SUCCESS(BuildDeviceStack(camera.pdo, layout))) {
            camera.removed = true;
            return;
        }
        camera.filter = DeviceOf(camera.pdo, tessip_);
        Check(camera.filter != nullptr, "tessip's device is missing from the stack");
        if (above_ != nullptr) {
            camera.above = above_->Device(camera.pdo);
        }
        StartDevice(camera.pdo);
        IrpResult queried = QueryInterface(camera.pdo, GUID_SNAPSHOT_INTERFACE,
                                           reinterpret_cast<PINTERFACE>(&camera.record),
                                           sizeof(camera.record), SNAPSHOT_INTERFACE_VERSION);
        camera.connected = NT_SUCCESS(queried.Status) && camera.record.SubmitSnapshot != nullptr;
        Open(camera);
    }

    void Open(Camera& camera) {
        if (camera.file == nullptr && !NT_SUCCESS(OpenDevice(app_, camera.pdo, &camera.file))) {
            camera.file = nullptr;
        }
    }

    bool Gone(PDEVICE_OBJECT bridgeDevice) const {
        for (unsigned i = 0; i < cameras_; i++) {
            if (camera_[i].surprised && bridge_.Device(camera_[i].pdo) == bridgeDevice) {
                return true;
            }
        }
        return false;
    }

    static NTSTATUS CompleteGone(PIRP irp) {
        irp->IoStatus.Status = STATUS_DELETE_PENDING;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_DELETE_PENDING;
    }

    static bool BridgeMayCall(const Camera& camera) {
        return camera.connected && !camera.surprised;
    }

    void Step(Camera& camera, Op op) {
        switch (op) {
        case Op::Read:
            Read(camera);
            break;
        case Op::GetImageInfo:
            GetImageInfo(camera);
            break;
        case Op::Control:
            Control(camera);
            break;
        case Op::SetEvents:
            SetEvents(camera);
            break;
        case Op::OtherControl:
            OtherControl(camera);
            break;
        case Op::Write: {
            UCHAR bytes[16];
            in_.Fill(bytes, sizeof(bytes));
            if (camera.file != nullptr) {
                WriteFile(app_, camera.file, bytes, in_.Byte() % sizeof(bytes));
            }
            break;
        }
        case Op::Describe:
            Describe(camera);
            break;
        case Op::Deliver:
            Deliver(camera);
            break;
        case Op::Trigger:
            if (BridgeMayCall(camera)) {
                IrqlScope dispatch(DISPATCH_LEVEL);
                camera.record.SubmitSnapshot(camera.filter, nullptr, in_.Byte() % 3);
            }
            break;
        case Op::TakeRequest:
            if (BridgeMayCall(camera)) {
                IrqlScope dispatch(DISPATCH_LEVEL);
                camera.record.TakeSnapshotRequest(camera.filter);
            }
            break;
        case Op::FailKernelCall:
            FailNext(in_.Pick(kFailingCalls), in_.Byte() % 3);
            break;
        case Op::Reopen:
            if (camera.file != nullptr) {
                CloseHandle(app_, camera.file);
                camera.file = nullptr;
            }
            Open(camera);
            break;
        case Op::CloseEvent: {
            HANDLE& event = events_[in_.Byte() % 2];
            if (event != nullptr) {
                CloseHandle(app_, event);
                event = nullptr;
            }
            break;
        }
        case Op::StopAndStart:
            if (!camera.surprised) {
                StopDevice(camera.pdo);
                StartDevice(camera.pdo);
            }
            break;
        case Op::SurpriseRemove:
            if (!camera.surprised) {
                camera.surprised = true;
                SurpriseRemoveDevice(camera.pdo);
            }
            break;
        case Op::LowerBehaviour: {
            const std::vector<CompletionStyle>& styles = CompletionStyles();
            const CompletionStyle& style = styles[in_.Byte() % styles.size()];
            if (!style.Held) {
                bridge_.On(IRP_MJ_DEVICE_CONTROL, style.Make(in_.Pick(kLowerStatuses), 0));
            }
            break;
        }
        case Op::ForeignCall:
            ForeignCall(camera);
            break;
        case Op::Count:
            break;
        }
    }

    void Read(Camera& camera) {
        ULONG length;
        switch (in_.Byte() % 4) {
        case 0:
            length = PickLength(in_, static_cast<ULONG>(camera.stored.size()));
            break;
        case 1:
            length = SNAPSHOT_BUFFER_SIZE;
            break;
        case 2:
            length = in_.Half();
            break;
        default:
            length = 0;
            break;
        }
        if (camera.file == nullptr || length > SNAPSHOT_BUFFER_SIZE + 4096) {
            return;
        }
        const size_t size = length + 16;
        UCHAR* buffer = Scratch(size, 0);
        memset(buffer, kUntouched, size);
        IoResult result = ReadFile(app_, camera.file, buffer, length);
        size_t written = 0;
        if (NT_SUCCESS(result.Status)) {
            Check(result.Information == camera.stored.size(),
                  "a read reported other than the stored frame's size");
            Check(camera.stored.empty() ||
                      memcmp(camera.stored.data(), buffer, camera.stored.size()) == 0,
                  "a read returned bytes that are not the last stored frame");
            written = camera.stored.size();
        } else {
            Check(result.Information == 0, "a failed read reported bytes");
        }
        Check(AllAre(buffer + written, size - written, kUntouched),
              "a read wrote past what it reported");
    }

    void GetImageInfo(Camera& camera) {
        ULONG length = PickLength(in_, sizeof(SNAPSHOT_IMAGE_INFO));
        if (camera.file == nullptr) {
            return;
        }
        std::vector<UCHAR> out(length + 16, kUntouched);
        IoResult result = DeviceIoControl(app_, camera.file, IOCTL_SNAPSHOT_GET_IMAGE_INFO, nullptr,
                                          0, out.data(), length);
        if (NT_SUCCESS(result.Status)) {
            Check(result.Information == sizeof(SNAPSHOT_IMAGE_INFO) &&
                      memcmp(out.data(), &camera.described, sizeof(camera.described)) == 0,
                  "the image description came back changed");
        }
    }

    void Control(Camera& camera) {
        UCHAR input[8];
        in_.Fill(input, sizeof(input));
        input[0] &= 0x07;  // mostly the known sub-codes
        ULONG inputLength = PickLength(in_, sizeof(ULONG));
        ULONG outputLength = PickLength(in_, sizeof(ULONG));
        if (camera.file == nullptr || inputLength > sizeof(input)) {
            return;
        }
        std::vector<UCHAR> out(outputLength + 16, kUntouched);
        IoResult result = DeviceIoControl(app_, camera.file, IOCTL_SNAPSHOT_CONTROL, input,
                                          inputLength, out.data(), outputLength);
        Check(result.Information <= outputLength, "a control reported more than its buffer");
    }

    HANDLE PickHandle(const Camera& camera) {
        switch (in_.Byte() % 6) {
        case 0:
            return nullptr;
        case 1:
            return events_[0];
        case 2:
            return events_[1];
        case 3:
            return UnusedHandle();
        case 4:
            return camera.file;  // a handle, but not to an event
        default:
            return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(in_.Word()));
        }
    }

    void SetEvents(Camera& camera) {
        HANDLE handles[3] = {PickHandle(camera), PickHandle(camera), nullptr};
        ULONG length = PickLength(in_, SNAPSHOT_SET_EVENTS_INPUT_SIZE);
        if (camera.file == nullptr || length > sizeof(handles)) {
            return;
        }
        DeviceIoControl(app_, camera.file, IOCTL_SNAPSHOT_SET_EVENTS, handles, length, nullptr, 0);
    }

    // Any other code, of any method and access: tessip's to pass down.
    void OtherControl(Camera& camera) {
        ULONG code = in_.Word();
        UCHAR input[32];
        in_.Fill(input, sizeof(input));
        ULONG inputLength = in_.Byte() % (sizeof(input) + 1);
        ULONG outputLength = in_.Byte() % 33;
        if (camera.file == nullptr) {
            return;
        }
        std::vector<UCHAR> out(outputLength + 16, kUntouched);
        DeviceIoControl(app_, camera.file, code, input, inputLength, out.data(), outputLength);
    }

    void Describe(Camera& camera) {
        SNAPSHOT_IMAGE_INFO info;
        in_.Fill(&info, sizeof(info));
        info.ByteCount = PickByteCount(in_);
        if (!BridgeMayCall(camera)) {
            return;
        }
        IrqlScope dispatch(DISPATCH_LEVEL);
        camera.record.SetImageInfo(camera.filter, &info);
        camera.described = info;
    }

    // A frame is stored whole or not at all: only a buffer to hold it and a
    // count that fits let it in. Even an empty frame has an address: a null
    // one is a trigger report.
    void Deliver(Camera& camera) {
        UCHAR seed = in_.Byte();
        if (!BridgeMayCall(camera)) {
            return;
        }
        const ULONG count = camera.described.ByteCount;
        const size_t size = count <= SNAPSHOT_BUFFER_SIZE ? count : SNAPSHOT_BUFFER_SIZE;
        UCHAR* frame = Scratch(size + 1, 1);
        FillFrame(frame, size, seed, deliveries_++);
        {
            IrqlScope dispatch(DISPATCH_LEVEL);
            camera.record.SubmitSnapshot(camera.filter, frame, 0);
        }
        if (SnapshotExtension(camera.filter)->SnapshotBuffer != nullptr &&
            count <= SNAPSHOT_BUFFER_SIZE) {
            camera.stored.assign(frame, frame + size);
        }
    }

    // A bridge driver that took the top of its stack for tessip's device:
    // every call must leave the other driver's device, and tessip's state,
    // alone.
    void ForeignCall(Camera& camera) {
        const UCHAR kind = in_.Byte();
        if (camera.above == nullptr || !BridgeMayCall(camera)) {
            return;
        }
        const std::vector<UCHAR> before = Extension(camera.above);
        const SNAPSHOT_EXTENSION own = *SnapshotExtension(camera.filter);
        SNAPSHOT_IMAGE_INFO info{};
        info.ByteCount = 16;
        UCHAR frame[16] = {kind};
        {
            IrqlScope dispatch(DISPATCH_LEVEL);
            Check(camera.record.TakeSnapshotRequest(camera.above) == 0,
                  "another driver's device reported a snapshot request");
            camera.record.SetImageInfo(camera.above, &info);
            camera.record.SubmitSnapshot(camera.above, (kind & 1) != 0 ? frame : nullptr, kind);
        }
        Check(Extension(camera.above) == before, "a call naming another driver's device wrote it");
        Check(memcmp(&own, SnapshotExtension(camera.filter), sizeof(own)) == 0,
              "a call naming another driver's device changed tessip's");
    }

    static std::vector<UCHAR> Extension(PDEVICE_OBJECT device) {
        const auto* bytes = static_cast<const UCHAR*>(device->DeviceExtension);
        return std::vector<UCHAR>(bytes, bytes + 2 * sizeof(PVOID));
    }

    FuzzInput& in_;
    TestDriver bridge_{"bridge"};
    std::unique_ptr<TestDriver> above_;
    PDRIVER_OBJECT tessip_ = nullptr;
    Camera camera_[2];
    unsigned cameras_ = 1;
    Process* app_ = nullptr;
    HANDLE events_[2] = {};
    unsigned deliveries_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Reset();
    FuzzInput in(data, size);
    {
        Life life(in);
        life.Run();
        Shutdown();
    }
    if (!Faults().empty()) {
        Fail("the kernel recorded faults");
    }
    Reset();
    return 0;
}
