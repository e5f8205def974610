// snapshot_client: takes still images from a simulated camera through
// tessip, the way an application does on Windows.
//
// The program starts the user-mode kernel with one camera stack (a stand-in
// for the bridge driver as function driver, tessip above it), plays the
// bridge driver on a thread of its own (it answers each snapshot request
// with a numbered test frame through SNAPSHOT_INTERFACE), and then acts as
// the application: finds the still-image interface, opens it, registers its
// events, switches them on, requests snapshots, polls readiness and reads
// each image.
//
// usage: snapshot_client [--method buffered|direct|neither] [--bytes N]
//                        [--count N] [--out FILE]
#include "snapshot.h"
#include "snapshot_client.h"
#include "tessip_entry.h"
#include "test_driver.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

using namespace host_kernel;
using namespace std::chrono_literals;

namespace {

struct Options {
  ULONG flags = DO_BUFFERED_IO | DO_POWER_PAGABLE;
  ULONG bytes = 640 * 480 * 2;
  int count = 3;
  const char *out = nullptr;
};

bool Parse(int argc, char **argv, Options *options) {
  for (int i = 1; i < argc; i++) {
    std::string arg = argv[i];
    const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (arg == "--method" && value) {
      std::string method = value;
      if (method == "buffered") options->flags = DO_BUFFERED_IO | DO_POWER_PAGABLE;
      else if (method == "direct") options->flags = DO_DIRECT_IO | DO_POWER_PAGABLE;
      else if (method == "neither") options->flags = DO_POWER_PAGABLE;
      else return false;
    } else if (arg == "--bytes" && value) {
      options->bytes = ULONG(std::strtoul(value, nullptr, 0));
    } else if (arg == "--count" && value) {
      options->count = std::atoi(value);
    } else if (arg == "--out" && value) {
      options->out = value;
    } else {
      return false;
    }
    i++;
  }
  return true;
}

// The bridge driver's part: describes the image once, then answers every
// snapshot request with frame n (each byte n + its offset).
class SimulatedBridge {
 public:
  SimulatedBridge(PDEVICE_OBJECT pdo, PDEVICE_OBJECT filter, ULONG bytes)
      : filter_(filter), frame_(bytes) {
    QueryInterface(pdo, GUID_SNAPSHOT_INTERFACE, reinterpret_cast<PINTERFACE>(&iface_),
                   sizeof(iface_), SNAPSHOT_INTERFACE_VERSION);
    SNAPSHOT_IMAGE_INFO info{};
    info.ByteCount = bytes;
    iface_.SetImageInfo(filter_, &info);
    StartThread([this] { Run(); });
  }
  void Stop() {
    stop_ = true;
    JoinThreads();
  }

 private:
  void Run() {
    IrqlScope dispatch(DISPATCH_LEVEL);
    for (unsigned n = 1; !stop_; ) {
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
  std::atomic<bool> stop_{false};
};

}  // namespace

int main(int argc, char **argv) {
  Options options;
  if (!Parse(argc, argv, &options)) {
    std::fprintf(stderr,
                 "usage: %s [--method buffered|direct|neither] [--bytes N] [--count N] [--out FILE]\n",
                 argv[0]);
    return 2;
  }
  if (options.bytes > SNAPSHOT_BUFFER_SIZE) {
    std::fprintf(stderr, "at most %u bytes fit the snapshot buffer\n", SNAPSHOT_BUFFER_SIZE);
    return 2;
  }

  Reset();
  TestDriver bridge("bridge");
  PDRIVER_OBJECT tessip = LoadDriver("tessip", TessipDriverEntry);
  PhysicalDeviceOptions pdoOptions;
  pdoOptions.Flags = options.flags;
  PDEVICE_OBJECT pdo = CreatePhysicalDevice(pdoOptions);
  StackSpec layout;
  layout.Function = bridge.Driver();
  layout.UpperFilters = {tessip};
  if (BuildDeviceStack(pdo, layout) != STATUS_SUCCESS || StartDevice(pdo) != STATUS_SUCCESS) {
    std::fprintf(stderr, "the camera stack did not start\n");
    return 1;
  }
  SimulatedBridge camera(pdo, DeviceOf(pdo, tessip), options.bytes);

  int status = 0;
  {
    Process *process = CreateProcess("snapshot_client");
    snapshot_client::Client client(process);
    std::vector<std::u16string> devices = snapshot_client::FindStillImageDevices();
    std::printf("still-image devices: %zu\n", devices.size());
    NTSTATUS result = devices.empty() ? STATUS_UNSUCCESSFUL : client.Open(devices[0]);
    SNAPSHOT_IMAGE_INFO info{};
    if (NT_SUCCESS(result)) result = client.GetImageInfo(&info);
    if (NT_SUCCESS(result)) result = client.RegisterEvents();
    if (NT_SUCCESS(result)) result = client.Control(SNAPSHOT_CONTROL_EVENTS_ON);
    if (!NT_SUCCESS(result)) {
      std::fprintf(stderr, "cannot set up the device: 0x%08X\n", unsigned(result));
      status = 1;
    } else {
      std::printf("image: %u bytes\n", info.ByteCount);
    }

    std::vector<uint8_t> image;
    for (int i = 0; status == 0 && i < options.count; i++) {
      result = client.Capture(&image, 2000ms);
      if (result != STATUS_SUCCESS) {
        std::fprintf(stderr, "snapshot %d failed: 0x%08X\n", i + 1, unsigned(result));
        status = 1;
        break;
      }
      unsigned long sum = 0;
      for (uint8_t byte : image) sum = sum * 31 + byte;
      std::printf("snapshot %d: %zu bytes, frame %u, checksum %08lx\n", i + 1, image.size(),
                  image.empty() ? 0u : unsigned(image[0]), sum & 0xFFFFFFFFul);
    }
    if (status == 0 && options.out != nullptr) {
      FILE *file = std::fopen(options.out, "wb");
      if (file == nullptr || std::fwrite(image.data(), 1, image.size(), file) != image.size()) {
        std::fprintf(stderr, "cannot write %s\n", options.out);
        status = 1;
      }
      if (file != nullptr) std::fclose(file);
    }
    client.Control(SNAPSHOT_CONTROL_EVENTS_OFF);
    client.Close();
    TerminateProcess(process);
  }

  camera.Stop();
  Shutdown();
  for (const std::string &fault : Faults()) {
    std::fprintf(stderr, "kernel fault: %s\n", fault.c_str());
    status = 1;
  }
  return status;
}
