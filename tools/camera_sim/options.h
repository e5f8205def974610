// camera_sim's command line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace camera_sim {

struct Options {
    uint32_t frames = 720;  // the whole scenario; its phases are scaled to it
    uint32_t mains = 50;    // Hz of the lamp's supply
    uint32_t flicker = 0;   // anti-flicker mode at start (set from `mains` unless given)
    bool flickerGiven = false;
    std::string scene;    // PNG the camera looks at; empty: the built-in chart
    std::string out;      // folder of the outputs
    bool eeprom = false;  // white-balance presets from the camera EEPROM, not the registry
    bool trace = false;
    bool quiet = false;
    bool help = false;
};

// The anti-flicker mode that matches `mains` (1 for 50 Hz, 0 for 60 Hz),
// and the one a camera set up for the other supply would be left in.
uint32_t RightFlickerMode(uint32_t mains);
uint32_t WrongFlickerMode(uint32_t mains);

// Fills `options` from the arguments after the program name. Returns an
// empty string, or what is wrong with them in a few words.
std::string ParseOptions(const std::vector<std::string>& args, Options* options);

// The --help text.
const char* UsageText();

// Where the outputs go when --out is not given: the repository's build folder.
std::string DefaultOutputFolder();

}  // namespace camera_sim
