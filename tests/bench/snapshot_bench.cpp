// Throughput of tessip's two copies of a full-size snapshot (2,457,600
// bytes) beside plain memcpy of the same size, measured in the same run:
//   - a delivery: SubmitSnapshot with a frame, as the bridge driver calls it;
//   - a read by an application through the user-mode I/O manager, for a
//     direct (MDL) device, where tessip's copy is the only one, and for a
//     buffered device, where the I/O manager copies the system buffer back
//     to the caller as well (shown for information).
// After the runs it prints each throughput as a ratio to memcpy's.
#include "snapshot.h"
#include "tessip_entry.h"
#include "test_driver.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

using namespace host_kernel;

namespace {

const ULONG kBytes = SNAPSHOT_BUFFER_SIZE;

// One camera stack with tessip on top, opened by one application.
struct Camera {
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT filter = nullptr;
    HANDLE file = nullptr;
};

struct Bench {
    std::unique_ptr<TestDriver> bridge;
    PDRIVER_OBJECT tessip = nullptr;
    Process* app = nullptr;
    SNAPSHOT_INTERFACE iface{};
    Camera buffered, direct;
    std::vector<UCHAR> frame = std::vector<UCHAR>(kBytes, 0x5A);
    std::vector<UCHAR> image = std::vector<UCHAR>(kBytes);

    Camera Add(ULONG flags) {
        Camera camera;
        PhysicalDeviceOptions options;
        options.Flags = flags;
        camera.pdo = CreatePhysicalDevice(options);
        StackSpec layout;
        layout.Function = bridge->Driver();
        layout.UpperFilters = {tessip};
        if (BuildDeviceStack(camera.pdo, layout) != STATUS_SUCCESS ||
            StartDevice(camera.pdo) != STATUS_SUCCESS ||
            OpenDevice(app, camera.pdo, &camera.file) != STATUS_SUCCESS) {
            (void)std::fprintf(stderr, "cannot build the camera stack\n");
            std::abort();
        }
        camera.filter = DeviceOf(camera.pdo, tessip);

        SNAPSHOT_INTERFACE record{};
        QueryInterface(camera.pdo, GUID_SNAPSHOT_INTERFACE, reinterpret_cast<PINTERFACE>(&record),
                       sizeof(record), SNAPSHOT_INTERFACE_VERSION);
        iface = record;
        SNAPSHOT_IMAGE_INFO info{};
        info.ByteCount = kBytes;
        iface.SetImageInfo(camera.filter, &info);
        iface.SubmitSnapshot(camera.filter, frame.data(), 0);
        return camera;
    }

    Bench() {
        Reset();
        bridge = std::make_unique<TestDriver>("bridge");
        tessip = LoadDriver("tessip", TessipDriverEntry);
        app = CreateProcess("benchmark");
        buffered = Add(DO_BUFFERED_IO | DO_POWER_PAGABLE);
        direct = Add(DO_DIRECT_IO | DO_POWER_PAGABLE);
    }
};

Bench& TheBench() {
    static Bench bench;
    return bench;
}

void BM_Memcpy(benchmark::State& state) {
    Bench& b = TheBench();
    std::vector<UCHAR> destination(kBytes);
    for ([[maybe_unused]] auto _ : state) {
        std::memcpy(destination.data(), b.frame.data(), kBytes);
        benchmark::DoNotOptimize(destination.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kBytes);
}

void BM_Delivery(benchmark::State& state) {
    Bench& b = TheBench();
    for ([[maybe_unused]] auto _ : state) {
        b.iface.SubmitSnapshot(b.direct.filter, b.frame.data(), 0);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kBytes);
}

void Read(benchmark::State& state, const Camera& camera) {
    Bench& b = TheBench();
    for ([[maybe_unused]] auto _ : state) {
        IoResult result = ReadFile(b.app, camera.file, b.image.data(), kBytes);
        if (result.Status != STATUS_SUCCESS || result.Information != kBytes) {
            state.SkipWithError("read failed");
            break;
        }
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kBytes);
}

void BM_ReadDirect(benchmark::State& state) {
    Read(state, TheBench().direct);
}
void BM_ReadBuffered(benchmark::State& state) {
    Read(state, TheBench().buffered);
}

// Medians of several repetitions: the machine is shared, and one slow
// repetition must not decide a ratio.
#define SNAPSHOT_BENCHMARK(name) \
    BENCHMARK(name)->Unit(benchmark::kMicrosecond)->Repetitions(7)->ReportAggregatesOnly(true)
SNAPSHOT_BENCHMARK(BM_Memcpy);
SNAPSHOT_BENCHMARK(BM_Delivery);
SNAPSHOT_BENCHMARK(BM_ReadDirect);
SNAPSHOT_BENCHMARK(BM_ReadBuffered);

// Prints as usual and keeps each benchmark's median real time per iteration.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (!run.error_occurred && (median || run.run_type == Run::RT_Iteration)) {
                seconds_[run.run_name.function_name] = run.GetAdjustedRealTime();
            }
        }
    }
    double Ratio(const std::string& name) const {
        auto base = seconds_.find("BM_Memcpy"), it = seconds_.find(name);
        if (base == seconds_.end() || it == seconds_.end() || it->second <= 0) return 0;
        return base->second / it->second;
    }

  private:
    std::map<std::string, double> seconds_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    std::printf("\nThroughput against memcpy of %u bytes (goal: at least 0.90)\n", kBytes);
    std::printf("  delivery (SubmitSnapshot)       %.2f\n", reporter.Ratio("BM_Delivery"));
    std::printf("  read, direct I/O                %.2f\n", reporter.Ratio("BM_ReadDirect"));
    std::printf("  read, buffered I/O (two copies) %.2f\n", reporter.Ratio("BM_ReadBuffered"));

    std::vector<std::string> faults = Faults();
    for (const std::string& fault : faults)
        (void)std::fprintf(stderr, "kernel fault: %s\n", fault.c_str());
    benchmark::Shutdown();
    return faults.empty() ? 0 : 1;
}
