// A camera stack for tessip's tests: a test bus PDO, a configurable function
// driver standing in for the bridge driver, and tessip on top as an upper
// filter, in a fresh user-mode kernel per test. The fixture plays both
// outside parties: the bridge driver (through SNAPSHOT_INTERFACE, obtained by
// the interface query as the bridge driver obtains it) and an application
// process (through the still-image device interface).
#pragma once

#include "kernel_test.h"
#include "snapshot.h"
#include "tessip_entry.h"
#include "test_driver.h"

#include <memory>
#include <string>
#include <vector>

namespace tessip_test {

// The bridge driver's side of the buffer: what it would describe and copy.
SNAPSHOT_IMAGE_INFO MakeImageInfo(ULONG byteCount, UCHAR fill = 0x5A);
// A frame whose every byte encodes its number, so that a copy that mixes two
// frames shows.
std::vector<UCHAR> MakeFrame(ULONG byteCount, UCHAR number);

// The buffering methods by which an application's read reaches tessip with
// memory the I/O manager prepared (the lower device's flags).
struct Method {
    const char* name;
    ULONG flags;
};
extern const Method kReadMethods[2];
std::string MethodName(const testing::TestParamInfo<Method>& info);

struct Flags {
    ULONG Requested;
    ULONG EventsDisabled;
    ULONG Ready;
    bool operator==(const Flags&) const = default;
};
std::ostream& operator<<(std::ostream& out, const Flags& flags);

class SnapshotTest : public host_kernel::KernelTest {
  protected:
    void SetUp() override;

    // Builds the stack over a new PDO with these flags (the bridge's device
    // copies the buffering and power flags, and tessip copies the bridge's).
    // Returns the status of BuildDeviceStack.
    // Drivers in `above` are upper filters stacked over tessip.
    NTSTATUS AddCamera(ULONG pdoFlags = DO_BUFFERED_IO | DO_POWER_PAGABLE,
                       const host_kernel::TestDriverOptions& bridgeOptions = {},
                       const std::vector<PDRIVER_OBJECT>& above = {});
    // AddCamera, StartCamera and OpenCamera, asserting each worked.
    void AddStartedCamera(ULONG pdoFlags = DO_BUFFERED_IO | DO_POWER_PAGABLE);
    NTSTATUS StartCamera();
    void OpenCamera();

    PDEVICE_OBJECT Filter() const;
    SNAPSHOT_EXTENSION* Extension() const;
    Flags CurrentFlags() const;
    void SetFlags(const Flags& flags);
    std::u16string InterfaceLink() const;  // empty when no name is held

    // The bridge driver's calls, made at DISPATCH_LEVEL: none of them may
    // wait.
    SNAPSHOT_INTERFACE BridgeInterface();
    void Describe(ULONG byteCount);
    void Deliver(const std::vector<UCHAR>& frame);
    void Trigger(ULONG kind);
    ULONG TakeRequest();
    // The record the calls above go through, queried on first use.
    const SNAPSHOT_INTERFACE& Bridge();

    // The application's requests.
    host_kernel::IoResult Control(ULONG code, ULONG inputLength = sizeof(ULONG),
                                  ULONG outputLength = 0, ULONG* output = nullptr);
    ULONG QueryReady();
    host_kernel::IoResult SetEvents(HANDLE first, HANDLE second,
                                    ULONG inputLength = 2 * sizeof(HANDLE));
    host_kernel::IoResult Read(void* buffer, ULONG length);

    std::unique_ptr<host_kernel::TestDriver> bridge_;
    PDRIVER_OBJECT tessip_ = nullptr;
    PDEVICE_OBJECT pdo_ = nullptr;
    host_kernel::Process* app_ = nullptr;
    HANDLE file_ = nullptr;
    SNAPSHOT_INTERFACE interface_{};
};

}  // namespace tessip_test
