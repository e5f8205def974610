// camera_sim: the whole camera on the user-mode kernel.
//
// Loads orvane, the bridge driver and tessip, plugs a camera in as the
// package installs it (orvane below the bridge driver, tessip above) and
// starts it through the Plug and Play manager. It then streams a scripted
// scene through the bridge driver's private controls while auto exposure
// and auto white balance settle, presses the camera's button so that an
// application waiting on tessip's event reads a still image, and unplugs
// the camera. The kernel's checks run throughout; any fault fails the run.
// See UsageText() for the options and the outputs.
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "options.h"
#include "outputs.h"
#include "report.h"
#include "scenario.h"

using namespace camera_sim;

namespace {

constexpr int kUsageError = 2;
// Runs longer than the default one show a progress line on a terminal.
constexpr uint32_t kProgressAbove = 1000;

int Fail(const std::string& message) {
    std::fprintf(stderr, "camera_sim: %s\n", message.c_str());
    return kUsageError;
}

// Table rows, trace lines and the progress line, as the options ask.
Observers MakeObservers(const Options& options, uint32_t totalFrames) {
    Observers observers;
    const bool progress =
        !options.quiet && !options.trace && totalFrames > kProgressAbove && isatty(STDERR_FILENO);
    if (options.trace) {
        observers.request = [](const std::string& request) {
            std::printf("%s\n", request.c_str());
        };
        observers.control = [](const std::string& control, NTSTATUS status) {
            std::printf("bridge %-40s -> 0x%08X\n", control.c_str(), unsigned(status));
        };
        observers.call = [](const BRIDGE_SERVICE_CALL& call) {
            std::printf("%s\n", DescribeCall(call).c_str());
        };
    }
    if (options.quiet) return observers;
    observers.frame = [options, progress, totalFrames](const Run& run, const FrameRow& row) {
        const BRIDGE_FRAME_RECORD& r = row.record;
        if (progress) std::fprintf(stderr, "\r\033[K");
        if (options.trace) {
            const Statistics s = Unpack(r.Statistics);
            std::printf(
                "frame %u %s: index %d rows %u gain %u stats %u/%u/%u/%u gains %u/%u/%u "
                "AE %d AWB %d%s\n",
                r.Frame, run.phases[row.phase].name.c_str(), r.ExposureIndex, r.ShutterRows,
                r.GainCode, s.luminance, s.red, s.green, s.blue, r.RedGain, r.GreenGain, r.BlueGain,
                row.aeSettled, row.awbSettled, r.SnapshotDelivered ? " snapshot" : "");
        } else {
            PrintTableRow(stdout, run, row);
        }
        if (progress && r.Frame % kTablePeriod == 0) {
            std::fflush(stdout);
            std::fprintf(stderr, "camera_sim: frame %u of %u", r.Frame, totalFrames);
        }
    };
    return observers;
}

OutputFiles WriteOutputs(const Options& options, const Run& run, int* status) {
    OutputFiles files;
    files.folder = options.out;
    const auto check = [status](const std::string& error) {
        if (error.empty()) return true;
        std::fprintf(stderr, "camera_sim: %s\n", error.c_str());
        *status = 1;
        return false;
    };
    if (check(WriteTrace(options.out + "/frames.csv", run)))
        files.trace = options.out + "/frames.csv";
    if (run.snapshotTaken && !PngAvailable()) {
        std::fprintf(stderr, "camera_sim: no snapshot.png: this build has no libpng\n");
    } else if (run.snapshotTaken) {
        const RgbImage image{run.snapshotWidth, run.snapshotHeight, run.snapshot};
        if (image.pixels.size() != size_t(image.width) * image.height * 3) {
            check("the still image holds " + std::to_string(image.pixels.size()) +
                  " bytes, not an RGB image of " + std::to_string(image.width) + "x" +
                  std::to_string(image.height));
        } else if (check(WritePng(options.out + "/snapshot.png", image))) {
            files.snapshot = options.out + "/snapshot.png";
        }
    }
    std::string note;
    files.plots = WritePlots(options.out, run, &note);
    if (!note.empty()) std::fprintf(stderr, "camera_sim: no plots: %s\n", note.c_str());
    return files;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    const std::string error =
        ParseOptions(std::vector<std::string>(argv + 1, argv + argc), &options);
    if (!error.empty()) return Fail(error);
    if (options.help) {
        std::fputs(UsageText(), stdout);
        return 0;
    }
    RgbImage scene;
    if (!options.scene.empty()) {
        const std::string sceneError = LoadScene(options.scene, &scene);
        if (!sceneError.empty()) return Fail(sceneError);
    }
    const std::string folderError = PrepareFolder(options.out);
    if (!folderError.empty()) return Fail(folderError);

    std::vector<Phase> phases = DefaultScenario(options);
    if (!options.quiet && !options.trace) PrintTableHeader(stdout);
    const Run run = RunScenario(std::move(phases), scene, MakeObservers(options, options.frames),
                                options.eeprom);
    if (!options.quiet && !options.trace && isatty(STDERR_FILENO)) std::fprintf(stderr, "\r\033[K");

    int status = 0;
    const OutputFiles files = WriteOutputs(options, run, &status);
    if (options.quiet) {
        std::printf("camera_sim: outputs in %s\n", files.folder.c_str());
    } else {
        PrintSummary(stdout, run, files);
    }
    for (const std::string& fault : run.faults)
        std::fprintf(stderr, "camera_sim: kernel fault: %s\n", fault.c_str());
    if (!run.failure.empty()) {
        std::fprintf(stderr, "camera_sim: %s\n", run.failure.c_str());
        status = 1;
    }
    return status;
}
