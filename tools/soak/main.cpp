// soak: cameras plugged in and out of the user-mode kernel for a long
// while, with the bridge driver streaming and the application reading
// snapshots concurrently (see soak.h). Prints what it held and fails on any
// kernel fault, leak or bad read.
//
// usage: soak [--cycles N] [--frames-per-cycle M] [--seconds S]
//             [--cycles-per-kernel K] [--snapshot WxH]
// Without --cycles or --seconds it runs for 25 seconds.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "soak.h"

namespace {

bool Parse(int argc, char** argv, soak::Options* options) {
    bool bounded = false;
    for (int i = 1; i < argc; i += 2) {
        if (i + 1 >= argc) return false;
        const std::string arg = argv[i];
        const char* value = argv[i + 1];
        const unsigned number = unsigned(std::strtoul(value, nullptr, 0));
        if (arg == "--cycles") {
            options->cycles = number;
            bounded = true;
        } else if (arg == "--seconds") {
            options->duration = std::chrono::seconds(number);
            bounded = true;
        } else if (arg == "--frames-per-cycle") {
            options->framesPerCycle = number;
        } else if (arg == "--cycles-per-kernel") {
            options->cyclesPerKernel = number;
        } else if (arg == "--snapshot") {
            unsigned width = 0, height = 0;
            if (std::sscanf(value, "%ux%u", &width, &height) != 2 || width == 0 || height == 0 ||
                width * height * 3 > 0x258000u) {
                return false;
            }
            options->snapshotWidth = width;
            options->snapshotHeight = height;
        } else {
            return false;
        }
    }
    if (!bounded) options->duration = std::chrono::seconds(25);
    return options->framesPerCycle > 0;
}

}  // namespace

int main(int argc, char** argv) {
    soak::Options options;
    if (!Parse(argc, argv, &options)) {
        std::fprintf(stderr,
                     "usage: %s [--cycles N] [--frames-per-cycle M] [--seconds S] "
                     "[--cycles-per-kernel K] [--snapshot WxH]\n",
                     argv[0]);
        return 2;
    }
    const soak::Report report = soak::Run(options);
    soak::Print(report, stdout);
    return report.Passed() ? 0 : 1;
}
