// orvane's own cost per command. Each command runs through Command0 against a
// bridge whose services return at once, beside the same sequence of bridge
// calls made directly; the ratio of the two, measured in the same run, is
// printed at the end with the difference, which is what orvane itself spends.
//
// Before timing, each pair is run once against a recording table to check
// that the direct sequence calls the same slots in the same order. The
// command loop also counts C++ allocations, which must stay at zero.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <new>
#include <string>
#include <vector>

#include "direct_sequences.h"
#include "null_bridge.h"
#include "sensor_control.h"
#include "sensor_tuning.h"

namespace {

size_t allocations = 0;

SENSOR_DEVICE device;

SENSOR_COMMAND MakeCommand(const BRIDGE_SERVICES* bridge, void* context, int32_t code) {
    SENSOR_COMMAND command{};
    command.Code = code;
    command.Bridge = bridge;
    command.BridgeContext = context;
    command.Device = &device;
    return command;
}

void Issue(int32_t code, uintptr_t value = 0, uintptr_t value2 = 0) {
    SENSOR_COMMAND command = MakeCommand(&NullBridge, nullptr, code);
    command.Value = value;
    command.Value2 = value2;
    Command0(&command);
}

// The state a streaming camera is in: calibration loaded, clock chosen,
// sensor started in the 50 Hz mode with the first preset.
void StartCamera() {
    SensorTuning = SensorTuningAtLoad;
    device = SENSOR_DEVICE{};
    device.SensorType = SENSOR_TYPE_DRIVEN;
    device.SensorAddress = 0xBA;
    FRAME_SIZES sizes{};
    Issue(SENSOR_CMD_LOAD_CALIBRATION, 320, reinterpret_cast<uintptr_t>(&sizes));
    Issue(SENSOR_CMD_SELECT_CLOCK);
    Issue(SENSOR_CMD_START_SENSOR, 1, 0);
}

typedef void (*PREPARE)();
typedef void (*DIRECT)(const BRIDGE_SERVICES*, void*);

// The loops' state set so that the next call is of the kind measured. With
// the null bridge every statistic reads 0: the exposure loop sees a dark
// frame, and the colour loop is given a red sum to act on.
void NoPreparation() {}
void ExposureFrame() {
    SensorTuning.AeFrameCount = 0;
}
void ExposureVerdict() {
    SensorTuning.AeFrameCount = 3;
    SensorTuning.AeDarkCount = 0;
}
void ExposureStep() {
    SensorTuning.AeFrameCount = 3;
    SensorTuning.AeDarkCount = 1;
}
void WhiteBalanceFrame() {
    SensorTuning.AwbFrameCount = 0;
}
void WhiteBalanceStep() {
    SensorTuning.AwbFrameCount = 3;
    SensorTuning.AwbSumRed = 400;
    SensorTuning.AwbRedHighCount = 1;
    SensorTuning.AwbRed = 45;
}

struct BENCH_CASE {
    const char* Label;
    int32_t Code;
    uintptr_t Value, Value2;
    PREPARE Prepare;
    DIRECT Direct;
};

const BENCH_CASE kCases[] = {
    {"cmd10 apply exposure index", SENSOR_CMD_APPLY_EXPOSURE_INDEX, 45, 0, NoPreparation,
     DirectApplyExposure},
    {"cmd14 frame, no decision", SENSOR_CMD_AUTO_EXPOSURE_STEP, 0, 0, ExposureFrame,
     DirectExposureFrame},
    {"cmd14 deciding, first verdict", SENSOR_CMD_AUTO_EXPOSURE_STEP, 0, 0, ExposureVerdict,
     DirectExposureVerdict},
    {"cmd14 deciding, index moves", SENSOR_CMD_AUTO_EXPOSURE_STEP, 0, 0, ExposureStep,
     DirectExposureStep},
    {"cmd17 frame, no decision", SENSOR_CMD_AUTO_WHITE_BALANCE_STEP, 0, 0, WhiteBalanceFrame,
     DirectWhiteBalanceFrame},
    {"cmd17 deciding, gains move", SENSOR_CMD_AUTO_WHITE_BALANCE_STEP, 0, 0, WhiteBalanceStep,
     DirectWhiteBalanceStep},
    {"cmd6 flicker timing, index converted", SENSOR_CMD_SET_FLICKER_TIMING, 1, 40, NoPreparation,
     DirectFlickerTiming},
    {"cmd3 start-up sequence", SENSOR_CMD_START_SENSOR, 1, 0, NoPreparation, DirectStartSensor},
};

bool SameSequence(const BENCH_CASE& c) {
    StartCamera();
    std::vector<int> viaOrvane;
    std::vector<int> direct;
    c.Prepare();
    SENSOR_COMMAND command = MakeCommand(&RecordingBridge, &viaOrvane, c.Code);
    command.Value = c.Value;
    command.Value2 = c.Value2;
    Command0(&command);
    c.Direct(&RecordingBridge, &direct);
    if (viaOrvane != direct) {
        std::fprintf(stderr, "%s: direct sequence differs (%zu calls through orvane, %zu direct)\n",
                     c.Label, viaOrvane.size(), direct.size());
        return false;
    }
    return true;
}

template <typename Prepare>
void CommandLoop(benchmark::State& state, const BENCH_CASE& c, Prepare prepare) {
    SENSOR_COMMAND command = MakeCommand(&NullBridge, nullptr, c.Code);
    const size_t allocationsBefore = allocations;
    for (auto _ : state) {
        prepare();
        command.Value = c.Value;
        command.Value2 = c.Value2;
        benchmark::DoNotOptimize(Command0(&command));
    }
    if (allocations != allocationsBefore) {
        state.SkipWithError("the command path allocated");
    }
}

// The preparation is expanded into the loop rather than called through a
// pointer, so that the loop adds no call of its own to orvane's figure.
void ThroughOrvane(benchmark::State& state, const BENCH_CASE& c) {
    if (!SameSequence(c)) {
        state.SkipWithError("direct sequence differs");
        return;
    }
    StartCamera();
    if (c.Prepare == ExposureFrame) {
        CommandLoop(state, c, [] { ExposureFrame(); });
    } else if (c.Prepare == ExposureVerdict) {
        CommandLoop(state, c, [] { ExposureVerdict(); });
    } else if (c.Prepare == ExposureStep) {
        CommandLoop(state, c, [] { ExposureStep(); });
    } else if (c.Prepare == WhiteBalanceFrame) {
        CommandLoop(state, c, [] { WhiteBalanceFrame(); });
    } else if (c.Prepare == WhiteBalanceStep) {
        CommandLoop(state, c, [] { WhiteBalanceStep(); });
    } else {
        CommandLoop(state, c, [] {});
    }
}

void Direct(benchmark::State& state, const BENCH_CASE& c) {
    const BRIDGE_SERVICES* bridge = &NullBridge;
    for (auto _ : state) {
        benchmark::DoNotOptimize(bridge);
        c.Direct(bridge, nullptr);
    }
}

// Keeps the console output and remembers each benchmark's time per
// iteration (the median when repetitions are asked for).
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    explicit RatioReporter(OutputOptions options) : ConsoleReporter(options) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred) {
                continue;
            }
            const std::string name = run.run_name.str();
            const double nanoseconds = run.GetAdjustedRealTime() *
                                       benchmark::GetTimeUnitMultiplier(benchmark::kNanosecond) /
                                       benchmark::GetTimeUnitMultiplier(run.time_unit);
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
                times[name] = nanoseconds;
                final[name] = true;
            } else if (run.run_type == Run::RT_Iteration && !final[name]) {
                times[name] = nanoseconds;
            }
        }
    }

    void PrintRatios() const {
        std::printf("\n%-40s %12s %12s %12s %8s\n", "command", "orvane ns", "direct ns", "own ns",
                    "ratio");
        for (const BENCH_CASE& c : kCases) {
            const auto through = times.find(std::string("orvane/") + c.Label);
            const auto direct = times.find(std::string("direct/") + c.Label);
            if (through == times.end() || direct == times.end()) {
                continue;
            }
            std::printf("%-40s %12.2f %12.2f %12.2f %8.2f\n", c.Label, through->second,
                        direct->second, through->second - direct->second,
                        through->second / direct->second);
        }
    }

  private:
    std::map<std::string, double> times;
    std::map<std::string, bool> final;
};

}  // namespace

// Counted so that an allocation on the command path fails the benchmark.
void* operator new(size_t size) {
    ++allocations;
    if (void* p = std::malloc(size ? size : 1)) {
        return p;
    }
    throw std::bad_alloc();
}

void operator delete(void* p) noexcept {
    std::free(p);
}

void operator delete(void* p, size_t) noexcept {
    std::free(p);
}

int main(int argc, char** argv) {
    for (const BENCH_CASE& c : kCases) {
        benchmark::RegisterBenchmark((std::string("orvane/") + c.Label).c_str(),
                                     [&c](benchmark::State& state) { ThroughOrvane(state, c); });
        benchmark::RegisterBenchmark((std::string("direct/") + c.Label).c_str(),
                                     [&c](benchmark::State& state) { Direct(state, c); });
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    // Colour only on a terminal, as the library's own reporter does.
    RatioReporter reporter(isatty(STDOUT_FILENO) ? benchmark::ConsoleReporter::OO_Defaults
                                                 : benchmark::ConsoleReporter::OO_Tabular);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    benchmark::Shutdown();
    return 0;
}
