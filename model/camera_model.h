// The camera behind the bridge driver: the image sensor's register file on
// the bridge's serial bus, the camera EEPROM, the bridge chip's registers,
// the bridge driver's controls and registry values, and the scene in front
// of the lens.
//
// Frame statistics are computed from the scene and from what the drivers
// have programmed: the sensor's shutter rows (register 9) and gain code
// (register 53) set the brightness, the bridge chip's red and blue gains
// (registers 21 and 23) scale those channels against green. That closes the
// loops: auto exposure and auto white balance see the effect of their own
// settings one frame later, as on the real camera.
//
// Freestanding like the sensor logic: integer arithmetic, fixed arrays, no
// heap, no library; it lives inside the bridge driver's device extension in
// the kernel images and in the host builds alike.
#pragma once

#include <stddef.h>
#include <stdint.h>

constexpr uint8_t CAMERA_SENSOR_BUS_ADDRESS = 0xBA;
constexpr uint16_t CAMERA_SENSOR_IDENTIFICATION = 0x8243;

constexpr uint8_t CAMERA_SHUTTER_REGISTER = 9;     // sensor: integration time in rows
constexpr uint8_t CAMERA_GAIN_REGISTER = 53;       // sensor: analog gain code
constexpr uint8_t CAMERA_RED_GAIN_REGISTER = 21;   // bridge chip: colour gains
constexpr uint8_t CAMERA_GREEN_GAIN_REGISTER = 22;
constexpr uint8_t CAMERA_BLUE_GAIN_REGISTER = 23;

// Controls are kept for ids below this; others read 0 and ignore writes.
constexpr uint32_t CAMERA_CONTROL_COUNT = 32;
constexpr uint32_t CAMERA_REGISTRY_VALUES = 8;
constexpr uint32_t CAMERA_REGISTRY_NAME_UNITS = 32;  // terminator included

// Light in front of the camera: brightness (relative units; 50 is a dim
// room, 2000 daylight) and the light's colour as percentages per channel.
struct CAMERA_SCENE {
    uint32_t Brightness;
    uint32_t Red;
    uint32_t Green;
    uint32_t Blue;
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
    CAMERA_SCENE Scene;
    CAMERA_CONTROL Controls[CAMERA_CONTROL_COUNT];
    CAMERA_REGISTRY_VALUE Registry[CAMERA_REGISTRY_VALUES];
};

// A camera as it leaves the factory: the sensor identifies itself, the
// EEPROM holds three white-balance presets, the bridge driver's controls
// have their defaults and nothing is in the registry; a dim room.
void CameraInitialize(CAMERA* camera);

// Sensor bus transfers at `address`; false when nothing answers there.
bool CameraSensorRead(const CAMERA* camera, uint32_t address, uint8_t reg, uint8_t reply[2]);
bool CameraSensorWrite(CAMERA* camera, uint32_t address, const uint8_t frame[3]);

// The sensor's analog gain for a gain code, in 1/32 steps: the low seven
// bits are the fine gain, each of bits 7 to 10 doubles it.
uint32_t CameraGainOf(uint16_t code);

CAMERA_STATISTICS CameraStatistics(const CAMERA* camera);
// Luminance, red, green, blue in bits 0-7, 8-15, 16-23, 24-31, as the bridge
// chip hands them over.
uint32_t CameraPackStatistics(CAMERA_STATISTICS statistics);
CAMERA_STATISTICS CameraUnpackStatistics(uint32_t packed);

// An RGB image (8 bits per channel, width * height * 3 bytes) drawn around
// the levels a frame measured: the camera renders its snapshots from its
// current statistics, and an image can be rebuilt from the levels it was
// rendered from.
void CameraRenderLevels(CAMERA_STATISTICS levels, uint32_t width, uint32_t height, uint8_t* rgb);

int32_t CameraGetControl(const CAMERA* camera, uint32_t id);
int32_t CameraGetControlMax(const CAMERA* camera, uint32_t id);
int32_t CameraGetControlMin(const CAMERA* camera, uint32_t id);
void CameraSetControl(CAMERA* camera, uint32_t id, int32_t value);
void CameraSetControlMax(CAMERA* camera, uint32_t id, int32_t value);

// Registry values by name (UTF-16, zero-terminated). Setting fails when the
// name is too long or every slot is taken by another name.
bool CameraSetRegistryValue(CAMERA* camera, const uint16_t* name, uint32_t value);
bool CameraReadRegistryValue(const CAMERA* camera, const uint16_t* name, uint32_t* value);
