// tessip under hostile input. Each input scripts one camera's life in a fresh
// user-mode kernel: a still-image application sending device controls (the
// three snapshot codes at every buffer length, unknown codes of every
// method), reads of every length and event registrations with good, closed
// and wrong handles; the bridge driver describing images of any size,
// delivering frames, reporting triggers and taking requests; kernel calls
// failing; the lower driver finishing what is passed down in each legal way;
// the camera stopped, surprise-removed and removed in the middle of it all.
//
// A life must end without a kernel fault (leaks of pool, references, IRPs
// and MDLs are faults), a successful read must return exactly the bytes of
// the last frame stored and write nothing past them, a failed one nothing at
// all, and the image description must come back as the bridge driver gave it.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
    Count
};

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

class Life {
  public:
    explicit Life(FuzzInput& in) : in_(in) {}

    void Run() {
        tessip_ = LoadDriver("tessip", TessipDriverEntry);
        Check(tessip_ != nullptr, "tessip did not load");
        app_ = CreateProcess("application");
        events_[0] = CreateEvent(app_, NotificationEvent, false);
        events_[1] = CreateEvent(app_, SynchronizationEvent, false);
        if (!PlugIn()) {
            return;
        }
        while (!in_.Empty() && !removed_) {
            Step(static_cast<Op>(in_.Byte() % static_cast<int>(Op::Count)));
        }
        ClearFailures();
        if (file_ != nullptr) {
            CloseHandle(app_, file_);
        }
        if (!removed_) {
            RemoveDevice(pdo_);
        }
    }

  private:
    bool PlugIn() {
        PhysicalDeviceOptions options;
        options.Flags = in_.Pick(kPdoFlags);
        pdo_ = CreatePhysicalDevice(options);
        if (in_.Byte() % 4 == 0) {
            FailNext(in_.Pick(kFailingCalls), in_.Byte() % 4);
        }
        StackSpec layout;
        layout.Function = bridge_.Driver();
        layout.UpperFilters = {tessip_};
        NTSTATUS added = BuildDeviceStack(pdo_, layout);
        if (!NT_SUCCESS(added)) {
            removed_ = true;
            return false;
        }
        filter_ = DeviceOf(pdo_, tessip_);
        Check(filter_ != nullptr, "tessip's device is missing from the stack");
        StartDevice(pdo_);
        IrpResult queried =
            QueryInterface(pdo_, GUID_SNAPSHOT_INTERFACE, reinterpret_cast<PINTERFACE>(&record_),
                           sizeof(record_), SNAPSHOT_INTERFACE_VERSION);
        connected_ = NT_SUCCESS(queried.Status) && record_.SubmitSnapshot != nullptr;
        Open();
        return true;
    }

    void Open() {
        if (file_ == nullptr && !NT_SUCCESS(OpenDevice(app_, pdo_, &file_))) {
            file_ = nullptr;
        }
    }

    bool BridgeMayCall() const { return connected_ && !surprised_; }

    void Step(Op op) {
        switch (op) {
        case Op::Read:
            Read();
            break;
        case Op::GetImageInfo:
            GetImageInfo();
            break;
        case Op::Control:
            Control();
            break;
        case Op::SetEvents:
            SetEvents();
            break;
        case Op::OtherControl:
            OtherControl();
            break;
        case Op::Write: {
            UCHAR bytes[16];
            in_.Fill(bytes, sizeof(bytes));
            if (file_ != nullptr) {
                WriteFile(app_, file_, bytes, in_.Byte() % sizeof(bytes));
            }
            break;
        }
        case Op::Describe:
            Describe();
            break;
        case Op::Deliver:
            Deliver();
            break;
        case Op::Trigger:
            if (BridgeMayCall()) {
                IrqlScope dispatch(DISPATCH_LEVEL);
                record_.SubmitSnapshot(filter_, nullptr, in_.Byte() % 3);
            }
            break;
        case Op::TakeRequest:
            if (BridgeMayCall()) {
                IrqlScope dispatch(DISPATCH_LEVEL);
                record_.TakeSnapshotRequest(filter_);
            }
            break;
        case Op::FailKernelCall:
            FailNext(in_.Pick(kFailingCalls), in_.Byte() % 3);
            break;
        case Op::Reopen:
            if (file_ != nullptr) {
                CloseHandle(app_, file_);
                file_ = nullptr;
            }
            Open();
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
            if (!surprised_) {
                StopDevice(pdo_);
                StartDevice(pdo_);
            }
            break;
        case Op::SurpriseRemove:
            if (!surprised_) {
                surprised_ = true;
                SurpriseRemoveDevice(pdo_);
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
        case Op::Count:
            break;
        }
    }

    void Read() {
        ULONG length;
        switch (in_.Byte() % 4) {
        case 0:
            length = PickLength(in_, static_cast<ULONG>(stored_.size()));
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
        if (file_ == nullptr || length > SNAPSHOT_BUFFER_SIZE + 4096) {
            return;
        }
        std::vector<UCHAR> buffer(length + 16, kUntouched);
        IoResult result = ReadFile(app_, file_, buffer.data(), length);
        if (NT_SUCCESS(result.Status)) {
            Check(result.Information == stored_.size(),
                  "a read reported other than the stored frame's size");
            Check(std::equal(stored_.begin(), stored_.end(), buffer.begin()),
                  "a read returned bytes that are not the last stored frame");
        } else {
            Check(result.Information == 0, "a failed read reported bytes");
        }
        for (size_t i = NT_SUCCESS(result.Status) ? stored_.size() : 0; i < buffer.size(); ++i) {
            Check(buffer[i] == kUntouched, "a read wrote past what it reported");
        }
    }

    void GetImageInfo() {
        ULONG length = PickLength(in_, sizeof(SNAPSHOT_IMAGE_INFO));
        if (file_ == nullptr) {
            return;
        }
        std::vector<UCHAR> out(length + 16, kUntouched);
        IoResult result = DeviceIoControl(app_, file_, IOCTL_SNAPSHOT_GET_IMAGE_INFO, nullptr, 0,
                                          out.data(), length);
        if (NT_SUCCESS(result.Status)) {
            Check(result.Information == sizeof(SNAPSHOT_IMAGE_INFO) &&
                      memcmp(out.data(), &described_, sizeof(described_)) == 0,
                  "the image description came back changed");
        }
    }

    void Control() {
        UCHAR input[8];
        in_.Fill(input, sizeof(input));
        input[0] &= 0x07;  // mostly the known sub-codes
        ULONG inputLength = PickLength(in_, sizeof(ULONG));
        ULONG outputLength = PickLength(in_, sizeof(ULONG));
        if (file_ == nullptr || inputLength > sizeof(input)) {
            return;
        }
        std::vector<UCHAR> out(outputLength + 16, kUntouched);
        IoResult result = DeviceIoControl(app_, file_, IOCTL_SNAPSHOT_CONTROL, input, inputLength,
                                          out.data(), outputLength);
        Check(result.Information <= outputLength, "a control reported more than its buffer");
    }

    HANDLE PickHandle() {
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
            return file_;  // a handle, but not to an event
        default:
            return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(in_.Word()));
        }
    }

    void SetEvents() {
        HANDLE handles[3] = {PickHandle(), PickHandle(), nullptr};
        ULONG length = PickLength(in_, SNAPSHOT_SET_EVENTS_INPUT_SIZE);
        if (file_ == nullptr || length > sizeof(handles)) {
            return;
        }
        DeviceIoControl(app_, file_, IOCTL_SNAPSHOT_SET_EVENTS, handles, length, nullptr, 0);
    }

    // Any other code, of any method and access: tessip's to pass down.
    void OtherControl() {
        ULONG code = in_.Word();
        UCHAR input[32];
        in_.Fill(input, sizeof(input));
        ULONG inputLength = in_.Byte() % (sizeof(input) + 1);
        ULONG outputLength = in_.Byte() % 33;
        if (file_ == nullptr) {
            return;
        }
        std::vector<UCHAR> out(outputLength + 16, kUntouched);
        DeviceIoControl(app_, file_, code, input, inputLength, out.data(), outputLength);
    }

    void Describe() {
        SNAPSHOT_IMAGE_INFO info;
        in_.Fill(&info, sizeof(info));
        info.ByteCount = PickByteCount(in_);
        if (!BridgeMayCall()) {
            return;
        }
        IrqlScope dispatch(DISPATCH_LEVEL);
        record_.SetImageInfo(filter_, &info);
        described_ = info;
    }

    // A frame is stored whole or not at all: only a buffer to hold it and a
    // count that fits let it in.
    void Deliver() {
        UCHAR seed = in_.Byte();
        if (!BridgeMayCall()) {
            return;
        }
        ULONG count = described_.ByteCount;
        std::vector<UCHAR> frame(count <= SNAPSHOT_BUFFER_SIZE ? count : SNAPSHOT_BUFFER_SIZE);
        for (size_t i = 0; i < frame.size(); ++i) {
            frame[i] = static_cast<UCHAR>(seed + i * 7 + deliveries_);
        }
        deliveries_++;
        {
            IrqlScope dispatch(DISPATCH_LEVEL);
            record_.SubmitSnapshot(filter_, frame.data(), 0);
        }
        if (SnapshotExtension(filter_)->SnapshotBuffer != nullptr &&
            count <= SNAPSHOT_BUFFER_SIZE) {
            stored_ = frame;
        }
    }

    FuzzInput& in_;
    TestDriver bridge_{"bridge"};
    PDRIVER_OBJECT tessip_ = nullptr;
    PDEVICE_OBJECT pdo_ = nullptr;
    PDEVICE_OBJECT filter_ = nullptr;
    Process* app_ = nullptr;
    HANDLE file_ = nullptr;
    HANDLE events_[2] = {};
    SNAPSHOT_INTERFACE record_{};
    SNAPSHOT_IMAGE_INFO described_{};
    std::vector<UCHAR> stored_;  // the frame a read must return
    unsigned deliveries_ = 0;
    bool connected_ = false;
    bool surprised_ = false;
    bool removed_ = false;
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
