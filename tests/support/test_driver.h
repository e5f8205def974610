// A configurable driver for tests of filters: loaded like any driver, it
// attaches a device over the physical device object in AddDevice and serves
// each request as the test tells it: complete at once, pend and complete
// later (on another thread or when the test says), pass down, or run a
// test-supplied handler. It records every request it sees.
#pragma once

#include "host_kernel.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace host_kernel {

struct Behavior {
    enum class Kind { Complete, Pend, PassDown, Handler, Observe };
    Kind Action = Kind::Complete;
    NTSTATUS Status = STATUS_SUCCESS;  // IoStatus.Status when it completes
    ULONG_PTR Information = 0;         // IoStatus.Information when it completes
    // What the dispatch routine returns when it completes at once; by default
    // Status. (A different value is a driver bug the kernel reports.)
    std::optional<NTSTATUS> Returned;
    // Written into the request's output buffer before completing: the system
    // buffer, the MDL or the user buffer, by the request's buffering.
    std::vector<UCHAR> Data;
    // Pend: completed by a kernel thread after Delay at CompletionIrql, or, if
    // Hold, kept until CompleteHeld, or, if AtOnce, on the dispatching thread
    // at CompletionIrql before the dispatch routine returns STATUS_PENDING.
    bool Hold = false;
    bool AtOnce = false;
    std::chrono::milliseconds Delay{1};
    KIRQL CompletionIrql = DISPATCH_LEVEL;
    // Complete: raise to CompletionIrql for the completion.
    bool Raise = false;
    std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)> Run;
    // Observe: looks at the request, then the driver's default handling.
    std::function<void(PDEVICE_OBJECT, PIRP)> Look;

    static Behavior Complete(NTSTATUS status, ULONG_PTR information = 0);
    // Completes in the dispatch routine, raised to DISPATCH_LEVEL.
    static Behavior CompleteAtDispatch(NTSTATUS status, ULONG_PTR information = 0);
    static Behavior Pend(NTSTATUS status, ULONG_PTR information = 0,
                         std::chrono::milliseconds delay = std::chrono::milliseconds(1));
    // Marks the request pending, completes it at DISPATCH_LEVEL and only then
    // returns STATUS_PENDING.
    static Behavior PendCompletedAtOnce(NTSTATUS status, ULONG_PTR information = 0);
    static Behavior Held(NTSTATUS status, ULONG_PTR information = 0);
    static Behavior PassDown();
    static Behavior Handler(std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)> run);
    static Behavior Observe(std::function<void(PDEVICE_OBJECT, PIRP)> look);
};

// One request as the test driver saw it on arrival.
struct SeenRequest {
    PDEVICE_OBJECT Device = nullptr;
    PIRP Irp = nullptr;
    UCHAR MajorFunction = 0;
    UCHAR MinorFunction = 0;
    IO_STACK_LOCATION Stack{};  // copy of the current stack location
    NTSTATUS Status = 0;        // IoStatus.Status on arrival
    ULONG_PTR Information = 0;  // IoStatus.Information on arrival
    KIRQL Irql = PASSIVE_LEVEL;
    KPROCESSOR_MODE RequestorMode = KernelMode;
    PVOID SystemBuffer = nullptr;
    PVOID UserBuffer = nullptr;
    PMDL MdlAddress = nullptr;
    std::vector<UCHAR> Input;  // the input bytes of a write or device control
};

struct TestDriverOptions {
    // The driver's device copies DO_BUFFERED_IO, DO_DIRECT_IO and
    // DO_POWER_PAGABLE from the device below, then drops ClearFlags and adds
    // SetFlags.
    ULONG SetFlags = 0;
    ULONG ClearFlags = 0;
    // A filter takes the device type and the open and media characteristics
    // (FILE_DEVICE_SECURE_OPEN among them) of the device below, as a filter
    // must; a device type given here, or Characteristics, override that.
    std::optional<DEVICE_TYPE> DeviceType{};
    ULONG Characteristics = 0;
    // A filter passes requests it has no behaviour for down; a function driver
    // completes them with STATUS_SUCCESS (Plug and Play and power requests
    // always go down after the driver's own part; a power request passed
    // down, by default or by PassDown, lets the next one start first).
    bool Filter = false;
    NTSTATUS AddDeviceStatus = STATUS_SUCCESS;  // failure: no device is created
};

class TestDriver {
  public:
    explicit TestDriver(const char* name, const TestDriverOptions& options = {});

    PDRIVER_OBJECT Driver() const;
    // The driver's device in the stack over `pdo`.
    PDEVICE_OBJECT Device(PDEVICE_OBJECT pdo) const;

    // Behaviour for a major function (every minor code) or one minor code.
    void On(UCHAR major, const Behavior& behavior);
    void On(UCHAR major, UCHAR minor, const Behavior& behavior);
    void Clear();  // back to the default behaviour

    // Serves a request as a test driver does when no behaviour is set for it;
    // for handlers that only add to that (a function driver stopping its own
    // work at removal, then removing its device as usual).
    static NTSTATUS ServeDefault(PDEVICE_OBJECT device, PIRP irp);

    std::vector<SeenRequest> Seen() const;
    size_t SeenCount(UCHAR major) const;
    size_t SeenCount(UCHAR major, UCHAR minor) const;
    void ClearSeen();

    // Requests held by a Behavior with Hold.
    size_t HeldCount() const;
    // Completes the oldest held request with its behaviour's status at
    // DISPATCH_LEVEL on the calling thread; false if none is held.
    bool CompleteHeld();
    bool CompleteHeld(NTSTATUS status, ULONG_PTR information);

    struct State;

  private:
    std::shared_ptr<State> state_;
};

// The ways a lower driver may finish a request, all legal and all of them
// met in the field: at once or pended; at PASSIVE_LEVEL or DISPATCH_LEVEL;
// on the dispatching thread or another one; before or after its dispatch
// routine has returned; or only much later, when the test says so (held).
// A driver above must give the same answer whichever it meets.
struct CompletionStyle {
    const char* Name;
    Behavior (*Make)(NTSTATUS status, ULONG_PTR information);
    bool Pends;  // the lower dispatch routine returns STATUS_PENDING
    bool Held;   // completed only by CompleteHeld
};
const std::vector<CompletionStyle>& CompletionStyles();

// Runs `send` (which sends one request and waits for it). For a held style
// it does so on a kernel thread, runs `whileHeld` once `lower` holds the
// request, then completes it from this thread at DISPATCH_LEVEL and waits
// for `send` to return.
IrpResult SendThrough(TestDriver& lower, const CompletionStyle& style,
                      const std::function<IrpResult()>& send,
                      const std::function<void()>& whileHeld = {});

}  // namespace host_kernel
