#include "camera_model.h"

#include "camera_sensor_control.h"

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

constexpr CAMERA_LIGHT kDimRoom = {50, 100, 100, 100, 0, 0};

// Exposure scale: a surface of the chart's mean reflectance, lit by light
// of brightness B for T microseconds at analog gain g (1/32 steps), reads
// B * T * g / kLuminanceDivisor. It puts a dim room near 130 ms at gain 5
// and daylight near 10 ms at gain 1.5 in the window auto exposure aims for.
constexpr uint64_t kLuminanceDivisor = 10576000;
constexpr uint64_t kChartMeanReflectance = 103;
constexpr uint64_t kUnity = 65536;
// Intermediate products are held below this; anything above it saturates
// every pixel anyway.
constexpr uint64_t kScaleCeiling = uint64_t(1) << 40;
// The colour filters pass about half as much blue as red or green; the
// white-balance presets make up for it with the sensor's blue gain.
constexpr uint64_t kBlueSensitivity = kUnity / 2;

// Until the bridge feeds the sensor a clock, it runs at 30 / 3 MHz.
constexpr uint32_t kDefaultClock = 30;
constexpr uint32_t kDefaultDivider = 3;
// The row length in pixel clocks beyond the active columns and blanking.
constexpr uint32_t kRowOverhead = 122;
// A sensor not yet given a frame height reads out at 1/30 s.
constexpr uint32_t kDefaultFramesPerSecond = 30;

// The bridge chip's statistics read every fourth pixel of every fourth row.
constexpr uint32_t kStatisticsStride = 4;

// sin(i * pi / 128) for i = 0..64, in 1/32767 steps: a quarter wave.
constexpr int32_t kQuarterSine[65] = {
    0,     804,   1608,  2410,  3212,  4011,  4808,  5602,  6393,  7179,  7962,  8739,  9512,
    10278, 11039, 11793, 12539, 13279, 14010, 14732, 15446, 16151, 16846, 17530, 18204, 18868,
    19519, 20159, 20787, 21403, 22005, 22594, 23170, 23731, 24279, 24811, 25329, 25832, 26319,
    26790, 27245, 27683, 28105, 28510, 28898, 29268, 29621, 29956, 30273, 30571, 30852, 31113,
    31356, 31580, 31785, 31971, 32137, 32285, 32412, 32521, 32609, 32678, 32728, 32757, 32767};

// Neutral surround of the chart, and its bars.
constexpr uint8_t kChartSurround = 60;
constexpr uint8_t kChartGap = 20;
constexpr uint8_t kBarDark = 16;
constexpr uint8_t kBarLight = 235;
constexpr uint32_t kChartGapWidth = 4;

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
    // Byte-wise, so that no library routine is needed in the kernel images;
    // the scene is drawn over in full below.
    uint8_t* bytes = reinterpret_cast<uint8_t*>(camera);
    for (size_t i = 0; i < offsetof(CAMERA, Scene); ++i) {
        bytes[i] = 0;
    }
    camera->Sensor[0] = CAMERA_SENSOR_IDENTIFICATION;
    for (uint32_t i = 0; i < sizeof(kFactoryPresets); ++i) {
        camera->Eeprom[kPresetOffset + i] = kFactoryPresets[i];
    }
    camera->Light = kDimRoom;
    // The bridge chip powers up with its colour gains at unity.
    camera->Bridge[CAMERA_RED_GAIN_REGISTER] = kUnityColourGain;
    camera->Bridge[CAMERA_GREEN_GAIN_REGISTER] = kUnityColourGain;
    camera->Bridge[CAMERA_BLUE_GAIN_REGISTER] = kUnityColourGain;
    CameraSetScene(camera, 0, 0, nullptr);

    camera->Controls[BRIDGE_CONTROL_AUTO_MODE].Value = 1;
    camera->Controls[BRIDGE_CONTROL_EXPOSURE_INDEX].Value = kExposureIndexDefault;
    camera->Controls[BRIDGE_CONTROL_EXPOSURE_INDEX].Max = kExposureIndexMax;
    camera->Controls[BRIDGE_CONTROL_RED_BALANCE].Value = kBalanceCentre;
    camera->Controls[BRIDGE_CONTROL_BLUE_BALANCE].Value = kBalanceCentre;
}

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

const uint8_t CameraChartPatches[CAMERA_CHART_COLUMNS * CAMERA_CHART_ROWS][3] = {
    {115, 82, 68},   {194, 150, 130}, {98, 122, 157}, {87, 108, 67},   {133, 128, 177},
    {103, 189, 170}, {214, 126, 44},  {80, 91, 166},  {193, 90, 99},   {94, 60, 108},
    {157, 188, 64},  {224, 163, 46},  {56, 61, 150},  {70, 148, 73},   {175, 54, 60},
    {231, 199, 31},  {187, 86, 149},  {8, 133, 161},  {243, 243, 242}, {200, 200, 200},
    {160, 160, 160}, {122, 122, 121}, {85, 85, 85},   {52, 52, 52},
};

namespace {

// The chart's reflectance at scene pixel (x, y).
void ChartPixel(uint32_t x, uint32_t y, uint8_t rgb[3]) {
    uint8_t grey = kChartSurround;
    const uint32_t right = CAMERA_CHART_LEFT + CAMERA_CHART_COLUMNS * CAMERA_CHART_PATCH_WIDTH;
    const uint32_t bottom = CAMERA_CHART_TOP + CAMERA_CHART_ROWS * CAMERA_CHART_PATCH_HEIGHT;
    const bool across = x >= CAMERA_CHART_LEFT && x < right;
    if (across && y >= CAMERA_CHART_TOP && y < bottom) {
        const uint32_t px = (x - CAMERA_CHART_LEFT) % CAMERA_CHART_PATCH_WIDTH;
        const uint32_t py = (y - CAMERA_CHART_TOP) % CAMERA_CHART_PATCH_HEIGHT;
        if (px < kChartGapWidth || py < kChartGapWidth) {
            grey = kChartGap;
        } else {
            const uint32_t patch =
                (y - CAMERA_CHART_TOP) / CAMERA_CHART_PATCH_HEIGHT * CAMERA_CHART_COLUMNS +
                (x - CAMERA_CHART_LEFT) / CAMERA_CHART_PATCH_WIDTH;
            for (int c = 0; c < 3; ++c) {
                rgb[c] = CameraChartPatches[patch][c];
            }
            return;
        }
    } else if (across && y >= CAMERA_CHART_RAMP_TOP && y < CAMERA_CHART_RAMP_BOTTOM) {
        grey =
            static_cast<uint8_t>((x - CAMERA_CHART_LEFT) * 255 / (right - 1 - CAMERA_CHART_LEFT));
    } else if (across && y >= CAMERA_CHART_BARS_TOP && y < CAMERA_CHART_BARS_BOTTOM) {
        grey = ((x - CAMERA_CHART_LEFT) / CAMERA_CHART_BAR_WIDTH) % 2 == 0 ? kBarDark : kBarLight;
    }
    rgb[0] = rgb[1] = rgb[2] = grey;
}

// sin of a phase given in 1/2^32 of a turn, in 1/32767 steps, by linear
// interpolation between 256 points of the wave.
int32_t SineOf(uint32_t phase) {
    const auto at = [](uint32_t step) {
        const uint32_t r = step & 63;
        switch ((step >> 6) & 3) {
        case 0:
            return kQuarterSine[r];
        case 1:
            return kQuarterSine[64 - r];
        case 2:
            return -kQuarterSine[r];
        default:
            return -kQuarterSine[64 - r];
        }
    };
    const uint32_t step = phase >> 24;
    const int32_t from = at(step);
    const int32_t to = at((step + 1) & 255);
    const int32_t fraction = static_cast<int32_t>((phase >> 8) & 0xFFFF);
    return from + static_cast<int32_t>((int64_t(to - from) * fraction) >> 16);
}

int32_t CosineOf(uint32_t phase) {
    return SineOf(phase + 0x40000000u);
}

// Pixel clocks in half a second, the unit the flicker periods are made of.
uint64_t HalfSecondClocks(const CAMERA* camera) {
    const bool fed = camera->SensorClock != 0 && camera->ClockDivider != 0;
    const uint64_t clock = fed ? camera->SensorClock : kDefaultClock;
    const uint64_t divider = fed ? camera->ClockDivider : kDefaultDivider;
    return clock * 500000 / divider;
}

uint64_t RowClocks(const CAMERA* camera) {
    const uint16_t* sensor = camera->Sensor;
    return (uint64_t(sensor[CAMERA_WIDTH_REGISTER]) + sensor[CAMERA_HBLANK_REGISTER] +
            kRowOverhead) *
           (uint64_t(sensor[CAMERA_CLOCK_CONTROL_REGISTER]) + 2);
}

/*
 * FramePeriodClocks
 *
 * The sensor reads out its rows and then waits its vertical blanking, so
 * one frame starts (height + vertical blanking) row times after the last;
 * the exposure does not stretch the frame. Before the sensor is given a
 * frame height it runs at 1/30 s.
 */
uint64_t FramePeriodClocks(const CAMERA* camera) {
    const uint16_t* sensor = camera->Sensor;
    if (sensor[CAMERA_HEIGHT_REGISTER] == 0) {
        return HalfSecondClocks(camera) * 2 / kDefaultFramesPerSecond;
    }
    return (uint64_t(sensor[CAMERA_HEIGHT_REGISTER]) + sensor[CAMERA_VBLANK_REGISTER]) *
           RowClocks(camera);
}

// Where in the flicker period of `period` clocks the time `clocks` falls,
// in 1/2^32 of the period.
uint32_t PhaseOf(uint64_t clocks, uint64_t period) {
    return static_cast<uint32_t>(((clocks % period) << 32) / period);
}

/*
 * FlickerFactor
 *
 * The light's intensity relative to its mean, 1 + d sin(wt) with d the
 * flicker depth, averaged over the exposure [start, start + length]:
 * 1 + d (cos(w start) - cos(w (start + length))) / (w length), with
 * w length = 2 pi length / period and pi taken as 355/113. In 1/65536 steps.
 */
uint32_t FlickerFactor(const CAMERA* camera, uint64_t start, uint64_t length) {
    const CAMERA_LIGHT& light = camera->Light;
    const uint64_t period = light.MainsHz != 0 ? HalfSecondClocks(camera) / light.MainsHz : 0;
    if (light.FlickerDepth == 0 || period == 0 || length == 0) {
        return kUnity;
    }
    const int64_t swing =
        CosineOf(PhaseOf(start, period)) - CosineOf(PhaseOf(start + length, period));
    const int64_t term = int64_t(light.FlickerDepth) * swing * int64_t(period) * 113 /
                         (int64_t(100) * 355 * int64_t(length));
    const int64_t factor = int64_t(kUnity) + term;
    return static_cast<uint32_t>(factor < 0                     ? 0
                                 : factor > int64_t(2 * kUnity) ? 2 * kUnity
                                                                : factor);
}

uint64_t MulDiv(uint64_t value, uint64_t multiplier, uint64_t divisor) {
    const uint64_t clamped = value < kScaleCeiling ? value : kScaleCeiling;
    return clamped * multiplier / divisor;
}

// The sensor's colour gain of a register, decoded as orvane reads it back.
uint64_t ColourGainOf(uint16_t value) {
    return value < 128 ? value : 2 * uint64_t(value) - 256;
}

/*
 * ColourOf
 *
 * A channel's gain against green, in 1/65536 steps: the sensor's colour
 * gain over its green gain (a sensor whose gains are not yet written passes
 * colour through), the colour filter's sensitivity, and the bridge chip's
 * gain over unity. Green is the reference of both stages.
 */
uint64_t ColourOf(const CAMERA* camera, uint8_t sensorRegister, uint8_t bridgeRegister,
                  uint64_t sensitivity) {
    const uint64_t green = ColourGainOf(camera->Sensor[CAMERA_GREEN_COLOUR_REGISTER]);
    const uint64_t own = ColourGainOf(camera->Sensor[sensorRegister]);
    const uint64_t sensor = green != 0 && own != 0 ? MulDiv(sensitivity, own, green) : sensitivity;
    return MulDiv(sensor, camera->Bridge[bridgeRegister], kUnityColourGain);
}

CAMERA_FRAME FrameAt(const CAMERA* camera, uint64_t start, uint32_t number) {
    const uint16_t shutter = camera->Sensor[CAMERA_SHUTTER_REGISTER];
    const uint64_t rows = shutter > 1 ? shutter : 1;  // at least one row integrates
    const uint64_t clocks = rows * RowClocks(camera);
    // Microseconds: half a second holds HalfSecondClocks of them, times 500000.
    const uint64_t microseconds = clocks * 500000 / HalfSecondClocks(camera);

    const CAMERA_LIGHT& light = camera->Light;
    const uint64_t gain = CameraGainOf(camera->Sensor[CAMERA_GAIN_REGISTER]);
    uint64_t level = MulDiv(uint64_t(light.Brightness) * gain, microseconds, 1);
    level = MulDiv(level, kUnity, kLuminanceDivisor);
    level = MulDiv(level, FlickerFactor(camera, start, clocks), kUnity);

    const uint32_t percent[3] = {light.Red, light.Green, light.Blue};
    const uint64_t colour[3] = {
        ColourOf(camera, CAMERA_RED_COLOUR_REGISTER, CAMERA_RED_GAIN_REGISTER, kUnity), kUnity,
        ColourOf(camera, CAMERA_BLUE_COLOUR_REGISTER, CAMERA_BLUE_GAIN_REGISTER, kBlueSensitivity)};
    CAMERA_FRAME frame = {
        number,
        static_cast<uint32_t>(microseconds < 0xFFFFFFFFu ? microseconds : 0xFFFFFFFFu),
        {0, 0, 0}};
    for (int c = 0; c < 3; ++c) {
        uint64_t scale = MulDiv(level, percent[c], 100 * kChartMeanReflectance);
        scale = MulDiv(scale, colour[c], kUnity);
        frame.Scale[c] = static_cast<uint32_t>(scale < (1u << 24) ? scale : (1u << 24));
    }
    return frame;
}

// Noise of a pixel, -1, 0 or +1, the same for the same frame and pixel.
int32_t NoiseOf(uint32_t frame, uint32_t pixel) {
    uint32_t h = frame * 0x9E3779B1u ^ pixel * 0x85EBCA77u;
    h ^= h >> 16;
    h *= 0x7FEB352Du;
    h ^= h >> 15;
    h *= 0x846CA68Bu;
    h ^= h >> 16;
    return int32_t(h & 1) - int32_t((h >> 1) & 1);
}

// One pixel of a frame of width * height, nearest neighbour from the scene.
void PixelOf(const CAMERA* camera, const CAMERA_FRAME& frame, uint32_t width, uint32_t height,
             uint32_t x, uint32_t y, uint8_t rgb[3]) {
    const uint32_t sx = uint32_t(uint64_t(x) * camera->SceneWidth / width);
    const uint32_t sy = uint32_t(uint64_t(y) * camera->SceneHeight / height);
    const uint8_t* reflectance = &camera->Scene[(size_t(sy) * camera->SceneWidth + sx) * 3];
    const uint32_t index = (y * width + x) * 3;
    for (uint32_t c = 0; c < 3; ++c) {
        const int64_t value = int64_t((uint64_t(reflectance[c]) * frame.Scale[c]) >> 16) +
                              NoiseOf(frame.Number, index + c);
        rgb[c] = static_cast<uint8_t>(value < 0 ? 0 : value > 255 ? 255 : value);
    }
}

uint32_t LumaOf(const uint8_t rgb[3]) {
    return (77 * uint32_t(rgb[0]) + 150 * uint32_t(rgb[1]) + 29 * uint32_t(rgb[2]) + 128) >> 8;
}

}  // namespace

void CameraSetClock(CAMERA* camera, uint32_t clock, uint32_t divider) {
    camera->SensorClock = clock;
    camera->ClockDivider = divider;
}

bool CameraSetScene(CAMERA* camera, uint32_t width, uint32_t height, const uint8_t* rgb) {
    if (width > CAMERA_SCENE_MAX_WIDTH || height > CAMERA_SCENE_MAX_HEIGHT) {
        return false;
    }
    if (width == 0 || height == 0) {
        camera->SceneWidth = CAMERA_SCENE_MAX_WIDTH;
        camera->SceneHeight = CAMERA_SCENE_MAX_HEIGHT;
        uint8_t* pixel = camera->Scene;
        for (uint32_t y = 0; y < CAMERA_SCENE_MAX_HEIGHT; ++y) {
            for (uint32_t x = 0; x < CAMERA_SCENE_MAX_WIDTH; ++x, pixel += 3) {
                ChartPixel(x, y, pixel);
            }
        }
        return true;
    }
    camera->SceneWidth = width;
    camera->SceneHeight = height;
    for (uint32_t i = 0; i < width * height * 3; ++i) {
        camera->Scene[i] = rgb[i];
    }
    return true;
}

CAMERA_FRAME CameraPeek(const CAMERA* camera) {
    return FrameAt(camera, camera->Time, camera->FrameCount + 1);
}

CAMERA_FRAME CameraCapture(CAMERA* camera) {
    const CAMERA_FRAME frame = CameraPeek(camera);
    camera->Time += FramePeriodClocks(camera);
    camera->FrameCount++;
    return frame;
}

void CameraRenderFrame(const CAMERA* camera, const CAMERA_FRAME& frame, uint32_t width,
                       uint32_t height, uint8_t* rgb) {
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x, rgb += 3) {
            PixelOf(camera, frame, width, height, x, y, rgb);
        }
    }
}

CAMERA_STATISTICS CameraFrameStatistics(const CAMERA* camera, const CAMERA_FRAME& frame,
                                        uint32_t width, uint32_t height) {
    uint64_t sums[4] = {0, 0, 0, 0};
    uint64_t count = 0;
    for (uint32_t y = 0; y < height; y += kStatisticsStride) {
        for (uint32_t x = 0; x < width; x += kStatisticsStride) {
            uint8_t rgb[3];
            PixelOf(camera, frame, width, height, x, y, rgb);
            sums[0] += LumaOf(rgb);
            sums[1] += rgb[0];
            sums[2] += rgb[1];
            sums[3] += rgb[2];
            count++;
        }
    }
    if (count == 0) {
        return CAMERA_STATISTICS{0, 0, 0, 0};
    }
    return CAMERA_STATISTICS{Saturate(sums[0] / count), Saturate(sums[1] / count),
                             Saturate(sums[2] / count), Saturate(sums[3] / count)};
}

uint32_t CameraPackStatistics(CAMERA_STATISTICS statistics) {
    return uint32_t(statistics.Luminance) | uint32_t(statistics.Red) << 8 |
           uint32_t(statistics.Green) << 16 | uint32_t(statistics.Blue) << 24;
}

CAMERA_STATISTICS CameraUnpackStatistics(uint32_t packed) {
    return CAMERA_STATISTICS{static_cast<uint8_t>(packed), static_cast<uint8_t>(packed >> 8),
                             static_cast<uint8_t>(packed >> 16),
                             static_cast<uint8_t>(packed >> 24)};
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

void CameraSetControl(CAMERA* camera, uint32_t id, int32_t value) {
    if (CAMERA_CONTROL* control = ControlOf(camera, id)) {
        control->Value = value;
    }
}

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
