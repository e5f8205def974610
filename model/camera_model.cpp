#include "camera_model.h"

#include <algorithm>

namespace camera_model {

namespace {

constexpr uint8_t kShutterRegister = 9;
constexpr uint8_t kGainRegister = 53;
constexpr uint8_t kRedGainRegister = 21;
constexpr uint8_t kBlueGainRegister = 23;

// A bridge colour gain of this value passes red or blue through unchanged.
constexpr uint32_t kUnityColourGain = 43;

uint8_t Saturate(uint64_t value) {
    return static_cast<uint8_t>(std::min<uint64_t>(value, 255));
}

}  // namespace

CameraModel::CameraModel() {
    sensor_[0] = kSensorIdentification;
}

bool CameraModel::SensorRead(uint32_t address, uint8_t reg, uint8_t reply[2]) const {
    if (address != kSensorBusAddress) {
        return false;
    }
    reply[0] = static_cast<uint8_t>(sensor_[reg] >> 8);
    reply[1] = static_cast<uint8_t>(sensor_[reg]);
    return true;
}

bool CameraModel::SensorWrite(uint32_t address, const uint8_t frame[3]) {
    if (address != kSensorBusAddress) {
        return false;
    }
    if (frame[0] == 0) {
        return true;  // the identification register is read-only
    }
    sensor_[frame[0]] = static_cast<uint16_t>(frame[1] << 8 | frame[2]);
    return true;
}

uint32_t CameraModel::GainOf(uint16_t code) {
    uint32_t gain = code & 0x7F;
    for (uint16_t bit = 0x80; bit <= 0x400; bit <<= 1) {
        if (code & bit) {
            gain *= 2;
        }
    }
    return gain;
}

FrameStatistics CameraModel::Statistics() const {
    // Exposure: scene brightness times integration time (rows) times gain
    // (in 1/32 steps). A dim room (50) reads mid-scale near 500 rows at
    // gain 5; daylight (2000) near 40 rows at gain 1.5.
    const uint64_t rows = std::max<uint16_t>(sensor_[kShutterRegister], 1);
    const uint64_t exposure = uint64_t(scene_.Brightness) * rows * GainOf(sensor_[kGainRegister]);
    const uint64_t luminance = exposure / 40000;

    // Colour: green is the reference; red and blue follow the light's colour
    // and the bridge's colour gains.
    const uint64_t green = luminance * scene_.Green / 100;
    const uint64_t red = luminance * scene_.Red / 100 * bridge_[kRedGainRegister] / kUnityColourGain;
    const uint64_t blue =
        luminance * scene_.Blue / 100 * bridge_[kBlueGainRegister] / kUnityColourGain;
    return FrameStatistics{Saturate(luminance), Saturate(red), Saturate(green), Saturate(blue)};
}

std::vector<uint8_t> CameraModel::RenderRgb(uint32_t width, uint32_t height) const {
    const FrameStatistics level = Statistics();
    std::vector<uint8_t> image(size_t(width) * height * 3);
    uint8_t* pixel = image.data();
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            // A soft diagonal ramp around the measured levels, so the picture
            // shows both the exposure and the colour balance.
            const uint32_t shade = 64 + (x + y) * 128 / (width + height);
            *pixel++ = Saturate(uint64_t(level.Red) * shade / 128);
            *pixel++ = Saturate(uint64_t(level.Green) * shade / 128);
            *pixel++ = Saturate(uint64_t(level.Blue) * shade / 128);
        }
    }
    return image;
}

}  // namespace camera_model
