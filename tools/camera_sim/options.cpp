#include "options.h"

#include <cerrno>
#include <cstdlib>

namespace camera_sim {

namespace {

// The scenario needs a few deciding periods per phase to show anything, and
// the bridge driver's frame counter is 32-bit.
constexpr uint32_t kMinFrames = 40;
constexpr uint32_t kMaxFrames = 1000000;

bool ParseNumber(const std::string& text, uint32_t low, uint32_t high, uint32_t* value) {
    if (text.empty() || text[0] < '0' || text[0] > '9') return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long parsed = std::strtoull(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || parsed < low || parsed > high) return false;
    *value = uint32_t(parsed);
    return true;
}

}  // namespace

uint32_t RightFlickerMode(uint32_t mains) {
    return mains == 50 ? 1 : 0;
}
uint32_t WrongFlickerMode(uint32_t mains) {
    return mains == 50 ? 0 : 1;
}

const char* UsageText() {
    return "usage: camera_sim [options]\n"
           "Plugs a simulated camera in under orvane, the bridge driver and tessip, streams a\n"
           "scripted scene (dim to bright, daylight to a warm lamp, a fluorescent tube on mains\n"
           "with the wrong then the right anti-flicker mode), takes a still image with the "
           "camera's\n"
           "button, unplugs, and reports how auto exposure and white balance settled.\n"
           "\n"
           "  --frames N        frames of the whole scenario, scaled over its phases (default "
           "720,\n"
           "                    at least 40)\n"
           "  --mains 50|60     the tube's mains frequency (default 50)\n"
           "  --flicker 0..3    anti-flicker mode at start (default: the wrong one for the mains;\n"
           "                    0 is 60 Hz, 1 is 50 Hz)\n"
           "  --scene FILE.png  what the camera looks at, scaled and cropped to at most 320x240\n"
           "  --out DIR         folder of the outputs (default build/camera_sim in the "
           "repository)\n"
           "  --eeprom          white-balance presets from the camera EEPROM (default: registry)\n"
           "  --trace           print every I/O request packet passed to a driver, every bridge\n"
           "                    control, every call orvane makes into the bridge driver's\n"
           "                    services and every frame, one line each\n"
           "  --quiet           print only errors and where the outputs are\n"
           "  --help            this text\n"
           "\n"
           "Outputs in DIR: snapshot.png, frames.csv, luminance.png, exposure.png, gains.png.\n"
           "Exit status: 0 done, 1 the camera misbehaved, 2 bad usage or an unusable file.\n";
}

std::string DefaultOutputFolder() {
    return CAMERA_SIM_BUILD_FOLDER "/camera_sim";
}

std::string ParseOptions(const std::vector<std::string>& args, Options* options) {
    options->out = DefaultOutputFolder();
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--help" || arg == "-h")
            options->help = true;
        else if (arg == "--trace")
            options->trace = true;
        else if (arg == "--eeprom")
            options->eeprom = true;
        else if (arg == "--quiet")
            options->quiet = true;
        else if (arg == "--frames" || arg == "--mains" || arg == "--flicker" || arg == "--scene" ||
                 arg == "--out") {
            if (i + 1 >= args.size()) return arg + " needs a value";
            const std::string& value = args[++i];
            if (arg == "--frames") {
                if (!ParseNumber(value, kMinFrames, kMaxFrames, &options->frames))
                    return "--frames wants a number from 40 to 1000000, not '" + value + "'";
            } else if (arg == "--mains") {
                if (!ParseNumber(value, 50, 60, &options->mains) ||
                    (options->mains != 50 && options->mains != 60))
                    return "--mains wants 50 or 60, not '" + value + "'";
            } else if (arg == "--flicker") {
                if (!ParseNumber(value, 0, 3, &options->flicker))
                    return "--flicker wants a mode from 0 to 3, not '" + value + "'";
                options->flickerGiven = true;
            } else if (arg == "--scene") {
                if (value.empty()) return "--scene wants a file name";
                options->scene = value;
            } else {
                if (value.empty()) return "--out wants a folder";
                options->out = value;
            }
        } else {
            return "unknown option '" + arg + "' (see --help)";
        }
    }
    if (!options->flickerGiven) options->flicker = WrongFlickerMode(options->mains);
    return {};
}

}  // namespace camera_sim
