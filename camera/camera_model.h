// The camera behind the bridge driver: the image sensor's register file on
// the bridge's serial bus, the camera EEPROM, the bridge chip's registers,
// the bridge driver's controls and registry values, and the scene in front
// of the lens.
//
// The scene is an image of reflectances (a built-in test chart unless the
// user gives one), lit by a light that may flicker with the mains. Every
// frame is rendered from the scene and from what the drivers have
// programmed: the exposure time is the sensor's shutter rows (register 9)
// times its row time, the analog gain comes from register 53, colour from
// the sensor's colour gains (registers 43, 44, 45) and the bridge chip's
// (registers 21 and 23). The frame statistics are averages over the
// rendered frame, so auto exposure and auto white balance see the effect
// of their own settings one frame later, as on the real camera.
//
// Freestanding like the sensor logic: integer arithmetic, fixed arrays, no
// heap, no library; it lives inside the bridge driver's device extension in
// the kernel images and in the host builds alike.
#pragma once

#include <stddef.h>
#include <stdint.h>

constexpr uint8_t CAMERA_SENSOR_BUS_ADDRESS = 0xBA;
constexpr uint16_t CAMERA_SENSOR_IDENTIFICATION = 0x8243;

constexpr uint8_t CAMERA_SHUTTER_REGISTER = 9;    // sensor: integration time in rows
constexpr uint8_t CAMERA_GAIN_REGISTER = 53;      // sensor: analog gain code
constexpr uint8_t CAMERA_RED_GAIN_REGISTER = 21;  // bridge chip: colour gains
constexpr uint8_t CAMERA_GREEN_GAIN_REGISTER = 22;
constexpr uint8_t CAMERA_BLUE_GAIN_REGISTER = 23;

// Controls are kept for ids below this; others read 0 and ignore writes.
constexpr uint32_t CAMERA_CONTROL_COUNT = 32;
constexpr uint32_t CAMERA_REGISTRY_VALUES = 8;
constexpr uint32_t CAMERA_REGISTRY_NAME_UNITS = 32;  // terminator included

constexpr uint8_t CAMERA_HEIGHT_REGISTER = 3;  // sensor: rows read out per frame
constexpr uint8_t CAMERA_WIDTH_REGISTER = 4;   // sensor: columns per row
constexpr uint8_t CAMERA_HBLANK_REGISTER = 5;  // sensor: horizontal blanking
constexpr uint8_t CAMERA_VBLANK_REGISTER = 6;  // sensor: vertical blanking, in rows
constexpr uint8_t CAMERA_CLOCK_CONTROL_REGISTER = 10;
constexpr uint8_t CAMERA_GREEN_COLOUR_REGISTER = 43;  // sensor: colour gains
constexpr uint8_t CAMERA_BLUE_COLOUR_REGISTER = 44;
constexpr uint8_t CAMERA_RED_COLOUR_REGISTER = 45;

// The largest scene image the camera keeps; the built-in chart has this size.
constexpr uint32_t CAMERA_SCENE_MAX_WIDTH = 320;
constexpr uint32_t CAMERA_SCENE_MAX_HEIGHT = 240;

// The built-in test chart, in scene pixels: a 6 x 4 grid of colour patches
// (neutrals from white to black in the bottom row), under it a grey ramp
// from 0 to 255 left to right and a row of black and white bars whose
// edges are one pixel sharp.
constexpr uint32_t CAMERA_CHART_COLUMNS = 6;
constexpr uint32_t CAMERA_CHART_ROWS = 4;
constexpr uint32_t CAMERA_CHART_LEFT = 16;
constexpr uint32_t CAMERA_CHART_TOP = 8;
constexpr uint32_t CAMERA_CHART_PATCH_WIDTH = 48;  // pitch; 4 pixels of it are the gap
constexpr uint32_t CAMERA_CHART_PATCH_HEIGHT = 40;
constexpr uint32_t CAMERA_CHART_RAMP_TOP = 176;
constexpr uint32_t CAMERA_CHART_RAMP_BOTTOM = 208;
constexpr uint32_t CAMERA_CHART_BARS_TOP = 214;
constexpr uint32_t CAMERA_CHART_BARS_BOTTOM = 236;
constexpr uint32_t CAMERA_CHART_BAR_WIDTH = 8;
// Reflectances (R, G, B, 0..255) of the patches, row by row from the top left.
// NOLINTNEXTLINE(bugprone-dynamic-static-initializers): a declaration; the definition is constant-initialised
extern const uint8_t CameraChartPatches[CAMERA_CHART_COLUMNS * CAMERA_CHART_ROWS][3];

// The light source: brightness (relative units; 50 is a dim room, 2000
// daylight), its colour as percentages per channel, and the mains that
// drives it (0 for a steady light) with the percentage of its intensity
// that flickers at twice the mains frequency.
struct CAMERA_LIGHT {
    uint32_t Brightness;
    uint32_t Red;
    uint32_t Green;
    uint32_t Blue;
    uint32_t MainsHz;
    uint32_t FlickerDepth;
};

// One captured frame: which frame it is, how long it integrated, and the
// factor (1/65536 steps per unit of reflectance over the chart's mean) that
// turns a reflectance into a pixel in each of red, green and blue.
struct CAMERA_FRAME {
    uint32_t Number;
    uint32_t ExposureMicroseconds;
    uint32_t Scale[3];
};

// The four statistics bytes the bridge chip reports per frame.
struct CAMERA_STATISTICS {
    uint8_t Luminance;
    uint8_t Red;
    uint8_t Green;
    uint8_t Blue;
};

struct CAMERA_CONTROL {
    int32_t Value;
    int32_t Max;
    int32_t Min;
};

struct CAMERA_REGISTRY_VALUE {
    uint16_t Name[CAMERA_REGISTRY_NAME_UNITS];  // empty: the slot is free
    uint32_t Value;
};

struct CAMERA {
    uint16_t Sensor[256];
    uint8_t Eeprom[256];
    uint8_t Bridge[256];
    CAMERA_LIGHT Light;
    CAMERA_CONTROL Controls[CAMERA_CONTROL_COUNT];
    CAMERA_REGISTRY_VALUE Registry[CAMERA_REGISTRY_VALUES];
    // The sensor's clock as the bridge feeds it: SensorClock / ClockDivider MHz.
    uint32_t SensorClock;
    uint32_t ClockDivider;
    uint64_t Time;        // pixel clocks from power-on to the start of the next frame
    uint32_t FrameCount;  // frames captured
    uint32_t SceneWidth;
    uint32_t SceneHeight;
    uint8_t Scene[CAMERA_SCENE_MAX_WIDTH * CAMERA_SCENE_MAX_HEIGHT * 3];
};

// A camera as it leaves the factory: the sensor identifies itself, the
// EEPROM holds three white-balance presets, the bridge driver's controls
// have their defaults and nothing is in the registry; the test chart in a
// dim room under a steady light.
void CameraInitialize(CAMERA* camera);

// Sensor bus transfers at `address`; false when nothing answers there.
bool CameraSensorRead(const CAMERA* camera, uint32_t address, uint8_t reg, uint8_t reply[2]);
bool CameraSensorWrite(CAMERA* camera, uint32_t address, const uint8_t frame[3]);

// The sensor's analog gain for a gain code, in 1/32 steps: the low seven
// bits are the fine gain, each of bits 7 to 10 doubles it.
uint32_t CameraGainOf(uint16_t code);

// The clock the bridge feeds the sensor, in MHz as numerator and divider.
void CameraSetClock(CAMERA* camera, uint32_t clock, uint32_t divider);

// The scene: an RGB image of width * height reflectances (at most the
// maximum size), or the built-in chart again for width or height 0.
bool CameraSetScene(CAMERA* camera, uint32_t width, uint32_t height, const uint8_t* rgb);

// Captures the next frame with the sensor's settings now: the light is
// integrated over its exposure, which starts one frame period after the
// previous frame's.
CAMERA_FRAME CameraCapture(CAMERA* camera);
// The frame the camera would capture next, without capturing it.
CAMERA_FRAME CameraPeek(const CAMERA* camera);

// A frame of width * height pixels as the sensor delivers it (8 bits per
// channel, R, G, B), and its statistics as the bridge chip measures them
// over the same pixels.
void CameraRenderFrame(const CAMERA* camera, const CAMERA_FRAME& frame, uint32_t width,
                       uint32_t height, uint8_t* rgb);
CAMERA_STATISTICS CameraFrameStatistics(const CAMERA* camera, const CAMERA_FRAME& frame,
                                        uint32_t width, uint32_t height);
// Luminance, red, green, blue in bits 0-7, 8-15, 16-23, 24-31, as the bridge
// chip hands them over.
uint32_t CameraPackStatistics(CAMERA_STATISTICS statistics);
CAMERA_STATISTICS CameraUnpackStatistics(uint32_t packed);

int32_t CameraGetControl(const CAMERA* camera, uint32_t id);
int32_t CameraGetControlMax(const CAMERA* camera, uint32_t id);
int32_t CameraGetControlMin(const CAMERA* camera, uint32_t id);
void CameraSetControl(CAMERA* camera, uint32_t id, int32_t value);
void CameraSetControlMax(CAMERA* camera, uint32_t id, int32_t value);

// Registry values by name (UTF-16, zero-terminated). Setting fails when the
// name is too long or every slot is taken by another name.
bool CameraSetRegistryValue(CAMERA* camera, const uint16_t* name, uint32_t value);
bool CameraReadRegistryValue(const CAMERA* camera, const uint16_t* name, uint32_t* value);
