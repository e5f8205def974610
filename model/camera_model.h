// The camera's hardware as the bridge driver sees it: the image sensor's
// register file on the bridge's serial bus, the camera EEPROM, the bridge
// chip's registers, and the scene in front of the lens.
//
// Frame statistics are computed from the scene and from what the drivers have
// programmed: the sensor's shutter rows (register 9) and gain code (register
// 53) set the brightness, the bridge chip's red and blue gains (registers 21
// and 23) scale those channels against green. That closes the loops: auto exposure and
// auto white balance see the effect of their own settings one frame later,
// as on the real camera.
#pragma once

#include <cstdint>
#include <vector>

namespace camera_model {

constexpr uint8_t kSensorBusAddress = 0xBA;
constexpr uint16_t kSensorIdentification = 0x8243;

// Light in front of the camera: brightness (relative units; 50 is a dim
// room, 2000 daylight) and the light's colour as percentages per channel.
struct Scene {
    uint32_t Brightness = 50;
    uint32_t Red = 100;
    uint32_t Green = 100;
    uint32_t Blue = 100;
};

// The four statistics bytes the bridge chip reports per frame.
struct FrameStatistics {
    uint8_t Luminance;
    uint8_t Red;
    uint8_t Green;
    uint8_t Blue;

    uint32_t Packed() const {
        return uint32_t(Luminance) | uint32_t(Red) << 8 | uint32_t(Green) << 16 |
               uint32_t(Blue) << 24;
    }
};

class CameraModel {
  public:
    CameraModel();

    // Sensor bus transfers at `address`; false when nothing answers there.
    bool SensorRead(uint32_t address, uint8_t reg, uint8_t reply[2]) const;
    bool SensorWrite(uint32_t address, const uint8_t frame[3]);
    uint16_t SensorRegister(uint8_t reg) const { return sensor_[reg]; }

    uint8_t Eeprom(uint32_t offset) const { return eeprom_[offset & 0xFF]; }
    void SetEeprom(uint32_t offset, uint8_t value) { eeprom_[offset & 0xFF] = value; }

    uint8_t BridgeRegister(uint32_t reg) const { return bridge_[reg & 0xFF]; }
    void SetBridgeRegister(uint32_t reg, uint8_t value) { bridge_[reg & 0xFF] = value; }

    void SetScene(const Scene& scene) { scene_ = scene; }
    const Scene& CurrentScene() const { return scene_; }

    // The sensor's analog gain for a gain code, in 1/32 steps: the low seven
    // bits are the fine gain, each of bits 7 to 10 doubles it.
    static uint32_t GainOf(uint16_t code);

    FrameStatistics Statistics() const;

    // An RGB image (8 bits per channel) of the scene as the sensor currently
    // exposes it, for snapshots.
    std::vector<uint8_t> RenderRgb(uint32_t width, uint32_t height) const;

  private:
    uint16_t sensor_[256] = {};
    uint8_t eeprom_[256] = {};
    uint8_t bridge_[256] = {};
    Scene scene_;
};

}  // namespace camera_model
