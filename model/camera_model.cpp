#include "camera_model.h"

#include "sensor_records.h"

namespace {

// A bridge colour gain of this value passes red or blue through unchanged.
constexpr uint32_t kUnityColourGain = 43;

// The bridge driver's exposure-index range before orvane narrows it.
constexpr int32_t kExposureIndexMax = 90;
constexpr int32_t kExposureIndexDefault = 30;
constexpr int32_t kBalanceCentre = 32;

// Three white-balance presets as the factory writes them at EEPROM offsets
// 67, 70 and 73, blue, green, red each.
constexpr uint32_t kPresetOffset = 67;
constexpr uint8_t kFactoryPresets[9] = {0x30, 0x26, 0x2C, 0x20, 0x24, 0x40, 0x38, 0x28, 0x2A};

constexpr CAMERA_SCENE kDimRoom = {50, 100, 100, 100};

uint8_t Saturate(uint64_t value) {
    return static_cast<uint8_t>(value < 255 ? value : 255);
}

bool SameName(const uint16_t* left, const uint16_t* right) {
    for (uint32_t i = 0; i < CAMERA_REGISTRY_NAME_UNITS; ++i) {
        if (left[i] != right[i]) {
            return false;
        }
        if (left[i] == 0) {
            return true;
        }
    }
    return false;
}

const CAMERA_CONTROL* ControlOf(const CAMERA* camera, uint32_t id) {
    return id < CAMERA_CONTROL_COUNT ? &camera->Controls[id] : nullptr;
}

CAMERA_CONTROL* ControlOf(CAMERA* camera, uint32_t id) {
    return id < CAMERA_CONTROL_COUNT ? &camera->Controls[id] : nullptr;
}

}  // namespace

void CameraInitialize(CAMERA* camera) {
    // Byte-wise, so that no library routine is needed in the kernel images.
    uint8_t* bytes = reinterpret_cast<uint8_t*>(camera);
    for (size_t i = 0; i < sizeof(*camera); ++i) {
        bytes[i] = 0;
    }
    camera->Sensor[0] = CAMERA_SENSOR_IDENTIFICATION;
    for (uint32_t i = 0; i < sizeof(kFactoryPresets); ++i) {
        camera->Eeprom[kPresetOffset + i] = kFactoryPresets[i];
    }
    camera->Scene = kDimRoom;

    camera->Controls[BRIDGE_CONTROL_AUTO_MODE].Value = 1;
    camera->Controls[BRIDGE_CONTROL_EXPOSURE_INDEX].Value = kExposureIndexDefault;
    camera->Controls[BRIDGE_CONTROL_EXPOSURE_INDEX].Max = kExposureIndexMax;
    camera->Controls[BRIDGE_CONTROL_RED_BALANCE].Value = kBalanceCentre;
    camera->Controls[BRIDGE_CONTROL_BLUE_BALANCE].Value = kBalanceCentre;
}

// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): bus address, then register, as on the bus
bool CameraSensorRead(const CAMERA* camera, uint32_t address, uint8_t reg, uint8_t reply[2]) {
    if (address != CAMERA_SENSOR_BUS_ADDRESS) {
        return false;
    }
    reply[0] = static_cast<uint8_t>(camera->Sensor[reg] >> 8);
    reply[1] = static_cast<uint8_t>(camera->Sensor[reg]);
    return true;
}

bool CameraSensorWrite(CAMERA* camera, uint32_t address, const uint8_t frame[3]) {
    if (address != CAMERA_SENSOR_BUS_ADDRESS) {
        return false;
    }
    if (frame[0] == 0) {
        return true;  // the identification register is read-only
    }
    camera->Sensor[frame[0]] = static_cast<uint16_t>(frame[1] << 8 | frame[2]);
    return true;
}

uint32_t CameraGainOf(uint16_t code) {
    uint32_t gain = code & 0x7F;
    for (uint16_t bit = 0x80; bit <= 0x400; bit <<= 1) {
        if (code & bit) {
            gain *= 2;
        }
    }
    return gain;
}

CAMERA_STATISTICS CameraStatistics(const CAMERA* camera) {
    // Exposure: scene brightness times integration time (rows) times gain
    // (in 1/32 steps). A dim room (50) reads mid-scale near 500 rows at
    // gain 5; daylight (2000) near 40 rows at gain 1.5.
    const uint16_t shutter = camera->Sensor[CAMERA_SHUTTER_REGISTER];
    const uint64_t rows = shutter > 1 ? shutter : 1;
    const CAMERA_SCENE& scene = camera->Scene;
    const uint64_t exposure =
        uint64_t(scene.Brightness) * rows * CameraGainOf(camera->Sensor[CAMERA_GAIN_REGISTER]);
    const uint64_t luminance = exposure / 40000;

    // Colour: green is the reference; red and blue follow the light's colour
    // and the bridge's colour gains.
    const uint64_t green = luminance * scene.Green / 100;
    const uint64_t red =
        luminance * scene.Red / 100 * camera->Bridge[CAMERA_RED_GAIN_REGISTER] / kUnityColourGain;
    const uint64_t blue =
        luminance * scene.Blue / 100 * camera->Bridge[CAMERA_BLUE_GAIN_REGISTER] / kUnityColourGain;
    return CAMERA_STATISTICS{Saturate(luminance), Saturate(red), Saturate(green), Saturate(blue)};
}

uint32_t CameraPackStatistics(CAMERA_STATISTICS statistics) {
    return uint32_t(statistics.Luminance) | uint32_t(statistics.Red) << 8 |
           uint32_t(statistics.Green) << 16 | uint32_t(statistics.Blue) << 24;
}

CAMERA_STATISTICS CameraUnpackStatistics(uint32_t packed) {
    return CAMERA_STATISTICS{static_cast<uint8_t>(packed), static_cast<uint8_t>(packed >> 8),
                             static_cast<uint8_t>(packed >> 16), static_cast<uint8_t>(packed >> 24)};
}

void CameraRenderLevels(CAMERA_STATISTICS levels, uint32_t width, uint32_t height, uint8_t* rgb) {
    uint8_t* pixel = rgb;
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            // A soft diagonal ramp around the measured levels, so the picture
            // shows both the exposure and the colour balance.
            const uint32_t shade = 64 + (x + y) * 128 / (width + height);
            *pixel++ = Saturate(uint64_t(levels.Red) * shade / 128);
            *pixel++ = Saturate(uint64_t(levels.Green) * shade / 128);
            *pixel++ = Saturate(uint64_t(levels.Blue) * shade / 128);
        }
    }
}

int32_t CameraGetControl(const CAMERA* camera, uint32_t id) {
    const CAMERA_CONTROL* control = ControlOf(camera, id);
    return control != nullptr ? control->Value : 0;
}

int32_t CameraGetControlMax(const CAMERA* camera, uint32_t id) {
    const CAMERA_CONTROL* control = ControlOf(camera, id);
    return control != nullptr ? control->Max : 0;
}

int32_t CameraGetControlMin(const CAMERA* camera, uint32_t id) {
    const CAMERA_CONTROL* control = ControlOf(camera, id);
    return control != nullptr ? control->Min : 0;
}

// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): id, then value, as the bridge services take them
void CameraSetControl(CAMERA* camera, uint32_t id, int32_t value) {
    if (CAMERA_CONTROL* control = ControlOf(camera, id)) {
        control->Value = value;
    }
}

// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): id, then value, as the bridge services take them
void CameraSetControlMax(CAMERA* camera, uint32_t id, int32_t value) {
    if (CAMERA_CONTROL* control = ControlOf(camera, id)) {
        control->Max = value;
    }
}

bool CameraSetRegistryValue(CAMERA* camera, const uint16_t* name, uint32_t value) {
    uint32_t length = 0;
    while (name[length] != 0) {
        if (++length == CAMERA_REGISTRY_NAME_UNITS) {
            return false;
        }
    }
    CAMERA_REGISTRY_VALUE* free = nullptr;
    for (CAMERA_REGISTRY_VALUE& slot : camera->Registry) {
        if (slot.Name[0] != 0 && SameName(slot.Name, name)) {
            slot.Value = value;
            return true;
        }
        if (slot.Name[0] == 0 && free == nullptr) {
            free = &slot;
        }
    }
    if (free == nullptr || length == 0) {
        return false;
    }
    for (uint32_t i = 0; i <= length; ++i) {
        free->Name[i] = name[i];
    }
    free->Value = value;
    return true;
}

bool CameraReadRegistryValue(const CAMERA* camera, const uint16_t* name, uint32_t* value) {
    for (const CAMERA_REGISTRY_VALUE& slot : camera->Registry) {
        if (slot.Name[0] != 0 && SameName(slot.Name, name)) {
            *value = slot.Value;
            return true;
        }
    }
    return false;
}
