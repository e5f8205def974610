// The bridge driver on the camera stack the package installs, driven as a
// test program drives it: through its private interface and controls, with
// an application on tessip's still-image interface beside it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "bridge_client.h"
#include "camera_stack.h"
#include "host_win32.h"
#include "kernel_test.h"
#include "snapshot_client.h"

using namespace host_kernel;
using namespace std::chrono_literals;

namespace {

constexpr uint32_t kCameraUp = BRIDGE_FLAG_SENSOR_INTERFACE | BRIDGE_FLAG_SNAPSHOT_INTERFACE |
                               BRIDGE_FLAG_SENSOR_FOUND | BRIDGE_FLAG_SENSOR_STARTED;

// A started camera and a test program holding the bridge driver open.
class BridgeTest : public KernelTest {
  protected:
    void SetUp() override {
        KernelTest::SetUp();
        drivers_ = std::make_unique<camera_stack::CameraDrivers>(Configuration());
        ASSERT_EQ(drivers_->PlugIn(DO_BUFFERED_IO | DO_POWER_PAGABLE, &pdo_), STATUS_SUCCESS);
        ASSERT_EQ(StartDevice(pdo_), STATUS_SUCCESS);
        program_ = CreateProcess("camera test program");
        bridge_ = std::make_unique<camera_stack::BridgeClient>(program_);
        const std::vector<std::u16string> links = camera_stack::BridgeClient::FindBridges();
        ASSERT_EQ(links.size(), 1u);
        ASSERT_EQ(bridge_->Open(links[0]), STATUS_SUCCESS);
    }

    void TearDown() override {
        bridge_.reset();
        TerminateProcess(program_);
        drivers_.reset();
        KernelTest::TearDown();
    }

    virtual BRIDGE_CONFIGURATION Configuration() const { return BRIDGE_DEFAULT_CONFIGURATION; }

    // The next frame, delivered as a snapshot (the button asks for one):
    // its record, and its bytes as the bridge driver handed them to tessip.
    BRIDGE_FRAME_RECORD Snapshot(std::vector<uint8_t>* image) {
        EXPECT_EQ(bridge_->Press(1), STATUS_SUCCESS);
        BRIDGE_STREAM_RESULT result{};
        EXPECT_EQ(bridge_->Stream(1, &result), STATUS_SUCCESS);
        EXPECT_EQ(result.Snapshots, 1u);
        *image = drivers_->LastDeliveredFrame(pdo_);
        EXPECT_EQ(camera_stack::FrameChecksum(*image), result.Last.SnapshotChecksum);
        return result.Last;
    }

    std::unique_ptr<BRIDGE_QUERY_RESULT> Seen() {
        std::unique_ptr<BRIDGE_QUERY_RESULT> seen = bridge_->Query();
        EXPECT_NE(seen, nullptr);
        return seen;
    }

    // Streams `frames` of `scene`; the last frame's record.
    BRIDGE_FRAME_RECORD Stream(const BRIDGE_SCENE& scene, uint32_t frames) {
        EXPECT_EQ(bridge_->SetScene(scene), STATUS_SUCCESS);
        BRIDGE_STREAM_RESULT result{};
        EXPECT_EQ(bridge_->Stream(frames, &result), STATUS_SUCCESS);
        EXPECT_EQ(result.Frames, frames);
        return result.Last;
    }

    std::unique_ptr<camera_stack::CameraDrivers> drivers_;
    PDEVICE_OBJECT pdo_ = nullptr;
    Process* program_ = nullptr;
    std::unique_ptr<camera_stack::BridgeClient> bridge_;
};

// --- Lengths --------------------------------------------------------------------------

constexpr ULONG kStreamOut = sizeof(BRIDGE_STREAM_RESULT);
constexpr ULONG kQueryOut = sizeof(BRIDGE_QUERY_RESULT);

struct LengthCase {
    const char* name;
    ULONG code;
    ULONG inputLength;
    ULONG outputLength;
    NTSTATUS status;
    ULONG_PTR information;
};

const LengthCase kLengthCases[] = {
    {"stream, no output", IOCTL_BRIDGE_STREAM, 4, 0, STATUS_SUCCESS, 0},
    {"stream, its result", IOCTL_BRIDGE_STREAM, 4, kStreamOut, STATUS_SUCCESS, kStreamOut},
    {"stream, a longer buffer", IOCTL_BRIDGE_STREAM, 4, kStreamOut + 100, STATUS_SUCCESS,
     kStreamOut},
    {"stream, output one byte short", IOCTL_BRIDGE_STREAM, 4, kStreamOut - 1,
     STATUS_BUFFER_TOO_SMALL, 0},
    {"stream, one output byte", IOCTL_BRIDGE_STREAM, 4, 1, STATUS_BUFFER_TOO_SMALL, 0},
    {"stream, no input", IOCTL_BRIDGE_STREAM, 0, kStreamOut, STATUS_INVALID_PARAMETER, 0},
    {"stream, input short", IOCTL_BRIDGE_STREAM, 3, 0, STATUS_INVALID_PARAMETER, 0},
    {"stream, input long", IOCTL_BRIDGE_STREAM, 8, 0, STATUS_INVALID_PARAMETER, 0},
    {"press", IOCTL_BRIDGE_PRESS, 4, 0, STATUS_SUCCESS, 0},
    {"press, input short", IOCTL_BRIDGE_PRESS, 2, 0, STATUS_INVALID_PARAMETER, 0},
    {"press, input long", IOCTL_BRIDGE_PRESS, 5, 0, STATUS_INVALID_PARAMETER, 0},
    {"press, with output", IOCTL_BRIDGE_PRESS, 4, 4, STATUS_INVALID_PARAMETER, 0},
    {"scene", IOCTL_BRIDGE_SET_SCENE, 16, 0, STATUS_SUCCESS, 0},
    {"scene, input short", IOCTL_BRIDGE_SET_SCENE, 15, 0, STATUS_INVALID_PARAMETER, 0},
    {"scene, input long", IOCTL_BRIDGE_SET_SCENE, 17, 0, STATUS_INVALID_PARAMETER, 0},
    {"scene, with output", IOCTL_BRIDGE_SET_SCENE, 16, 16, STATUS_INVALID_PARAMETER, 0},
    {"query", IOCTL_BRIDGE_QUERY, 0, kQueryOut, STATUS_SUCCESS, kQueryOut},
    {"query, a longer buffer", IOCTL_BRIDGE_QUERY, 0, kQueryOut + 1000, STATUS_SUCCESS, kQueryOut},
    {"query, one byte short", IOCTL_BRIDGE_QUERY, 0, kQueryOut - 1, STATUS_BUFFER_TOO_SMALL, 0},
    {"query, no output", IOCTL_BRIDGE_QUERY, 0, 0, STATUS_BUFFER_TOO_SMALL, 0},
    {"query, with input", IOCTL_BRIDGE_QUERY, 4, kQueryOut, STATUS_INVALID_PARAMETER, 0},
    {"light", IOCTL_BRIDGE_SET_LIGHT, 24, 0, STATUS_SUCCESS, 0},
    {"light, input short", IOCTL_BRIDGE_SET_LIGHT, 23, 0, STATUS_INVALID_PARAMETER, 0},
    {"light, the scene's length", IOCTL_BRIDGE_SET_LIGHT, 16, 0, STATUS_INVALID_PARAMETER, 0},
    {"light, with output", IOCTL_BRIDGE_SET_LIGHT, 24, 4, STATUS_INVALID_PARAMETER, 0},
    {"chart again: header only", IOCTL_BRIDGE_SET_SCENE_IMAGE, 8, 0, STATUS_SUCCESS, 0},
    {"chart again, a stray byte", IOCTL_BRIDGE_SET_SCENE_IMAGE, 9, 0, STATUS_INVALID_PARAMETER, 0},
    {"image, header short", IOCTL_BRIDGE_SET_SCENE_IMAGE, 7, 0, STATUS_INVALID_PARAMETER, 0},
    {"image, with output", IOCTL_BRIDGE_SET_SCENE_IMAGE, 8, 8, STATUS_INVALID_PARAMETER, 0},
    {"flicker", IOCTL_BRIDGE_SET_FLICKER, 4, 0, STATUS_SUCCESS, 0},
    {"flicker, input short", IOCTL_BRIDGE_SET_FLICKER, 3, 0, STATUS_INVALID_PARAMETER, 0},
    {"flicker, input long", IOCTL_BRIDGE_SET_FLICKER, 5, 0, STATUS_INVALID_PARAMETER, 0},
    {"flicker, with output", IOCTL_BRIDGE_SET_FLICKER, 4, 4, STATUS_INVALID_PARAMETER, 0},
    {"unknown function", BRIDGE_CTL_CODE(0x907u, 0), 0, 0, STATUS_INVALID_DEVICE_REQUEST, 0},
    {"stream's function, direct", IOCTL_BRIDGE_STREAM | 1u, 4, 0, STATUS_INVALID_DEVICE_REQUEST, 0},
    {"another device type", (FILE_DEVICE_UNKNOWN << 16) | (0x900u << 2), 4, 0,
     STATUS_INVALID_DEVICE_REQUEST, 0},
};

// Every control takes exactly its lengths; anything else is refused before
// it acts, returns nothing and leaves the caller's buffer as it was.
TEST_F(BridgeTest, EveryControlChecksItsLengths) {
    constexpr uint8_t kUntouched = 0xA5;
    for (const LengthCase& c : kLengthCases) {
        SCOPED_TRACE(c.name);
        // A valid record at the front of the input: one frame, button kind
        // 1, anti-flicker mode 1, daylight, the chart (an image of 0 by 0).
        std::vector<uint8_t> input(c.inputLength + sizeof(BRIDGE_LIGHT), 0);
        const BRIDGE_LIGHT light{2000, 100, 100, 100, 50, 20};
        const uint32_t one = 1;
        if (c.code == IOCTL_BRIDGE_SET_SCENE || c.code == IOCTL_BRIDGE_SET_LIGHT) {
            std::memcpy(input.data(), &light, sizeof(light));
        } else if (c.code != IOCTL_BRIDGE_SET_SCENE_IMAGE) {
            std::memcpy(input.data(), &one, sizeof(one));
        }
        std::vector<uint8_t> output(c.outputLength + 1, kUntouched);
        const BRIDGE_QUERY_RESULT before = *Seen();

        IoResult result = DeviceIoControl(program_, bridge_->Handle(), c.code, input.data(),
                                          c.inputLength, output.data(), c.outputLength);
        EXPECT_EQ(result.Status, c.status);
        EXPECT_EQ(result.Information, c.information);
        EXPECT_EQ(output[c.outputLength], kUntouched);
        if (!NT_SUCCESS(c.status)) {
            for (uint8_t byte : output) ASSERT_EQ(byte, kUntouched);
            const std::unique_ptr<BRIDGE_QUERY_RESULT> after = Seen();
            EXPECT_EQ(after->FramesStreamed, before.FramesStreamed);
            EXPECT_EQ(after->TriggersReported, before.TriggersReported);
        }
    }
}

// Values out of range are refused like lengths.
TEST_F(BridgeTest, OutOfRangeValuesAreRefused) {
    EXPECT_EQ(bridge_->Stream(0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(bridge_->Stream(BRIDGE_STREAM_MAX_FRAMES + 1), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(bridge_->SetScene({BRIDGE_SCENE_MAX_BRIGHTNESS + 1, 100, 100, 100}),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(bridge_->SetScene({100, 100, BRIDGE_SCENE_MAX_COLOUR + 1, 100}),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(bridge_->SetLight({100, 100, 100, 100, 55, 10}), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(bridge_->SetLight({100, 100, 100, 100, 50, 101}), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(bridge_->SetSceneImage(BRIDGE_SCENE_IMAGE_MAX_WIDTH + 1, 1,
                                     std::vector<uint8_t>((BRIDGE_SCENE_IMAGE_MAX_WIDTH + 1) * 3)),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(bridge_->SetSceneImage(0, 1, {}), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(bridge_->SetSceneImage(2, 2, std::vector<uint8_t>(11)), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(bridge_->SetFlicker(4), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Seen()->FramesStreamed, 0u);
}

// --- Who may open and drive the camera ---------------------------------------------------

// The camera has no namespace: an open with a path after a device's name is
// refused whichever named device of the stack it goes through, and orvane's
// device has no name to go through. A handle opened only to read, as the
// still-image application opens it, cannot change the camera.
TEST_F(BridgeTest, OpensWithAPathAndControlsBeyondTheHandlesRightsAreRefused) {
    const std::u16string link = camera_stack::BridgeClient::FindBridges().at(0);
    HANDLE file = nullptr;
    EXPECT_EQ(OpenDevice(program_, link + u"\\x", &file), STATUS_ACCESS_DENIED);
    EXPECT_TRUE(DeviceObjectName(drivers_->OrvaneDevice(pdo_)).empty());
    for (PDEVICE_OBJECT device : DeviceStack(pdo_)) {
        const std::u16string name = DeviceObjectName(device);
        if (!name.empty()) {
            EXPECT_EQ(OpenDeviceByName(program_, name + u"\\x", &file), STATUS_ACCESS_DENIED);
        }
    }

    camera_stack::BridgeClient reader(program_);
    ASSERT_EQ(reader.Open(link, FILE_READ_DATA), STATUS_SUCCESS);
    EXPECT_EQ(reader.Stream(1), STATUS_ACCESS_DENIED);
    EXPECT_EQ(reader.Press(1), STATUS_ACCESS_DENIED);
    EXPECT_EQ(reader.SetScene({100, 100, 100, 100}), STATUS_ACCESS_DENIED);
    EXPECT_EQ(reader.SetLight({100, 100, 100, 100, 0, 0}), STATUS_ACCESS_DENIED);
    EXPECT_EQ(reader.SetSceneImage(0, 0, {}), STATUS_ACCESS_DENIED);
    EXPECT_EQ(reader.SetFlicker(1), STATUS_ACCESS_DENIED);
    EXPECT_NE(reader.Query(), nullptr);
    EXPECT_EQ(Seen()->FramesStreamed, 0u);
}

// --- Bring-up ---------------------------------------------------------------------------

constexpr uint32_t kProbe = BRIDGE_COMMAND_PROBE;
const BRIDGE_SERVICE_CALL kBringUpTrace[] = {
#include "bring_up_trace.inc"
};

// The driver brings the sensor up exactly as the recorded trace says it
// does: the same service calls, in the same order, with the same arguments
// and answers, from the probe to the last command.
TEST_F(BridgeTest, BringUpMakesTheSameServiceCallsAsBefore) {
    const std::unique_ptr<BRIDGE_QUERY_RESULT> seen = Seen();
    EXPECT_EQ(seen->Flags, kCameraUp);
    EXPECT_EQ(seen->SensorType, SENSOR_TYPE_DRIVEN);
    EXPECT_EQ(seen->SensorAddress, CAMERA_SENSOR_BUS_ADDRESS);
    EXPECT_EQ(seen->SensorWidth, 640u);
    EXPECT_EQ(seen->PreviewWidth, 320u);
    ASSERT_EQ(seen->LogCount, std::size(kBringUpTrace));
    for (size_t i = 0; i < std::size(kBringUpTrace); ++i) {
        const BRIDGE_SERVICE_CALL& want = kBringUpTrace[i];
        const BRIDGE_SERVICE_CALL& got = seen->Log[i];
        SCOPED_TRACE(testing::Message() << "call " << i << ": slot " << want.Slot << " in command "
                                        << int32_t(want.Command));
        EXPECT_EQ(got.Command, want.Command);
        EXPECT_EQ(got.Slot, want.Slot);
        for (int a = 0; a < 4; ++a)
            EXPECT_EQ(got.Arguments[a], want.Arguments[a]) << "argument " << a;
        EXPECT_EQ(got.Result, want.Result);
        if (want.Slot != BRIDGE_SLOT_READ_FRAME_STATS) {
            EXPECT_EQ(got.Data, want.Data);
            continue;
        }
        // The statistics are the camera's, not the drivers': the chart in a
        // dim room (50) at the start-up exposure, 123 rows of 264.4 us at
        // gain 2 (64 / 32), reads 50 * 32521 * 64 / 10576000 = 9 at the
        // chart's mean reflectance.
        EXPECT_NEAR(double(CameraUnpackStatistics(got.Data).Luminance), 9.0, 1.0);
    }
    // The snapshot frame buffer is the camera's one allocation.
    EXPECT_EQ(PoolUsage(BRIDGE_POOL_TAG).Blocks, 1u);
    EXPECT_EQ(PoolUsage(BRIDGE_POOL_TAG).Bytes, 640u * 480u * 3u);
}

// --- Streaming ----------------------------------------------------------------------------

// Auto exposure brings a scene of any brightness into its window, and auto
// white balance evens out coloured light, frame by frame through the
// drivers: each loop sees its own settings one frame later.
TEST_F(BridgeTest, StreamingSettlesExposureAndWhiteBalance) {
    const BRIDGE_FRAME_RECORD dim = Stream({60, 100, 100, 100}, 96);
    const BRIDGE_FRAME_RECORD day = Stream({2000, 100, 100, 100}, 96);
    EXPECT_LT(day.ExposureIndex, dim.ExposureIndex);
    EXPECT_LT(day.ShutterRows, dim.ShutterRows);
    const CAMERA_STATISTICS dayLevels = CameraUnpackStatistics(day.Statistics);
    EXPECT_GE(dayLevels.Luminance, 90);
    EXPECT_LE(dayLevels.Luminance, 125);

    const BRIDGE_FRAME_RECORD warm = Stream({400, 120, 100, 70}, 160);
    EXPECT_LT(warm.RedGain, day.RedGain);
    EXPECT_GT(warm.BlueGain, day.BlueGain);
    const CAMERA_STATISTICS warmLevels = CameraUnpackStatistics(warm.Statistics);
    EXPECT_NEAR(warmLevels.Red, warmLevels.Green, 12);
    EXPECT_NEAR(warmLevels.Blue, warmLevels.Green, 12);

    // The query keeps the last frames in order, the last one as streamed.
    const std::unique_ptr<BRIDGE_QUERY_RESULT> seen = Seen();
    EXPECT_EQ(seen->FramesStreamed, 96u + 96u + 160u);
    ASSERT_EQ(seen->FrameCount, BRIDGE_FRAME_RING);
    for (uint32_t i = 0; i < BRIDGE_FRAME_RING; ++i) {
        EXPECT_EQ(seen->Frames[i].Frame, seen->FramesStreamed - BRIDGE_FRAME_RING + 1 + i);
    }
    EXPECT_EQ(std::memcmp(&seen->Frames[BRIDGE_FRAME_RING - 1], &warm, sizeof(warm)), 0);
}

// --- What the camera sees ---------------------------------------------------------------------

// The chart under a steady neutral light, before either loop has moved
// (they wait for two periods of four frames): each patch renders its
// reflectance in the same proportion as the white patch, every channel
// linear and unclipped; the statistics are the averages over that frame;
// the exposure is the shutter rows times the row time of the start-up
// timing, (640 + 560 + 122) * 2 pixel clocks at 30 / 3 MHz.
TEST_F(BridgeTest, ChartRendersItsPatchesAndTheStatisticsAverageThatFrame) {
    ASSERT_EQ(bridge_->SetLight({250, 100, 100, 100, 0, 0}), STATUS_SUCCESS);
    ASSERT_EQ(bridge_->Stream(3), STATUS_SUCCESS);
    std::vector<uint8_t> image;
    const BRIDGE_FRAME_RECORD frame = Snapshot(&image);
    ASSERT_EQ(image.size(), 640u * 480u * 3u);
    EXPECT_EQ(frame.ExposureMicroseconds, frame.ShutterRows * 2644u / 10u);

    // A patch's channel, averaged over 8 x 8 frame pixels at its centre
    // (the scene is half the frame's size).
    const auto patch = [&](uint32_t index, int channel) {
        const uint32_t x =
            2 * (CAMERA_CHART_LEFT + index % CAMERA_CHART_COLUMNS * CAMERA_CHART_PATCH_WIDTH +
                 CAMERA_CHART_PATCH_WIDTH / 2) -
            4;
        const uint32_t y =
            2 * (CAMERA_CHART_TOP + index / CAMERA_CHART_COLUMNS * CAMERA_CHART_PATCH_HEIGHT +
                 CAMERA_CHART_PATCH_HEIGHT / 2) -
            4;
        uint32_t sum = 0;
        for (uint32_t dy = 0; dy < 8; ++dy) {
            for (uint32_t dx = 0; dx < 8; ++dx)
                sum += image[((y + dy) * 640 + x + dx) * 3 + channel];
        }
        return sum / 64.0;
    };
    constexpr uint32_t kWhite = 3 * CAMERA_CHART_COLUMNS;  // the bottom row starts with white
    for (int c = 0; c < 3; ++c) {
        const double white = patch(kWhite, c);
        ASSERT_GT(white, 60.0);
        ASSERT_LT(white, 250.0);
        for (uint32_t p = 0; p < CAMERA_CHART_COLUMNS * CAMERA_CHART_ROWS; ++p) {
            SCOPED_TRACE(testing::Message() << "patch " << p << ", channel " << c);
            EXPECT_NEAR(patch(p, c),
                        white * CameraChartPatches[p][c] / CameraChartPatches[kWhite][c], 2.0);
        }
    }

    double sums[4] = {0, 0, 0, 0};
    for (size_t i = 0; i < image.size(); i += 3) {
        sums[0] += (77 * image[i] + 150 * image[i + 1] + 29 * image[i + 2] + 128) / 256;
        for (int c = 0; c < 3; ++c) sums[1 + c] += image[i + c];
    }
    const CAMERA_STATISTICS stats = CameraUnpackStatistics(frame.Statistics);
    const double pixels = 640.0 * 480.0;
    EXPECT_NEAR(stats.Luminance, sums[0] / pixels, 2.0);
    EXPECT_NEAR(stats.Red, sums[1] / pixels, 2.0);
    EXPECT_NEAR(stats.Green, sums[2] / pixels, 2.0);
    EXPECT_NEAR(stats.Blue, sums[3] / pixels, 2.0);
}

// The user's image replaces the chart, scaled to the frame nearest
// neighbour: a 2 x 1 image of white beside black fills the frame's halves.
// 0 x 0 brings the chart back.
TEST_F(BridgeTest, AUserImageReplacesTheChartUntilTheChartIsAskedBack) {
    ASSERT_EQ(bridge_->SetLight({400, 100, 100, 100, 0, 0}), STATUS_SUCCESS);
    ASSERT_EQ(bridge_->SetSceneImage(2, 1, {255, 255, 255, 0, 0, 0}), STATUS_SUCCESS);
    std::vector<uint8_t> image;
    Snapshot(&image);
    ASSERT_EQ(image.size(), 640u * 480u * 3u);
    for (const uint32_t y : {0u, 240u, 479u}) {
        EXPECT_GT(image[(y * 640 + 319) * 3 + 1], 100) << "row " << y;
        EXPECT_LE(image[(y * 640 + 320) * 3 + 1], 1) << "row " << y;  // black, up to the noise
    }

    ASSERT_EQ(bridge_->SetSceneImage(0, 0, {}), STATUS_SUCCESS);
    Snapshot(&image);
    // The chart's black bar and the white one beside it, at the bars' row.
    const uint32_t y = CAMERA_CHART_BARS_TOP + CAMERA_CHART_BARS_BOTTOM;
    const uint32_t x = 2 * CAMERA_CHART_LEFT;
    EXPECT_LT(image[(y * 640 + x) * 3 + 1] + 40,
              image[(y * 640 + x + 2 * CAMERA_CHART_BAR_WIDTH) * 3 + 1]);
}

// A camera whose anti-flicker steps are whole flicker periods: rate level 1
// without the extra clock times them from the sensor's clock (1/100 s in
// mode 1, 1/120 s in mode 0); its frames come every 481 rows of 1526
// clocks at 20 MHz, 36.7 ms, so each starts at another phase of the light.
class FlickerTest : public BridgeTest {
  protected:
    BRIDGE_CONFIGURATION Configuration() const override {
        BRIDGE_CONFIGURATION configuration = BRIDGE_DEFAULT_CONFIGURATION;
        configuration.RateLevel = 1;
        configuration.TimingFlag = 1;
        return configuration;
    }
};

struct FlickerCase {
    const char* name;
    uint32_t mainsHz;
    uint32_t mode;  // orvane's anti-flicker mode: 0 for 60 Hz mains, 1 for 50 Hz
    bool steady;
};

const FlickerCase kFlickerCases[] = {
    {"50 Hz mains, 50 Hz timing", 50, 1, true},
    {"50 Hz mains, 60 Hz timing", 50, 0, false},
    {"60 Hz mains, 60 Hz timing", 60, 0, true},
    {"60 Hz mains, 50 Hz timing", 60, 1, false},
};

// Under a lamp that flickers fully, frames exposed for whole flicker
// periods all catch the same light, and frames exposed otherwise wander
// with the phase at which they start. The exposure is orvane's, settled by
// auto exposure under the anti-flicker mode the bridge driver switched to.
TEST_F(FlickerTest, OnlyTheMatchingAntiFlickerModeHoldsTheBrightnessSteady) {
    for (const FlickerCase& c : kFlickerCases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(bridge_->SetFlicker(c.mode), STATUS_SUCCESS);
        ASSERT_EQ(bridge_->SetLight({1000, 100, 100, 100, c.mainsHz, 100}), STATUS_SUCCESS);
        ASSERT_EQ(bridge_->Stream(200), STATUS_SUCCESS);
        const std::unique_ptr<BRIDGE_QUERY_RESULT> seen = Seen();
        uint32_t lowest = 255, highest = 0;
        const uint32_t periodMicroseconds = 1000000 / (2 * c.mainsHz);
        for (const BRIDGE_FRAME_RECORD& frame : seen->Frames) {
            const uint32_t luminance = CameraUnpackStatistics(frame.Statistics).Luminance;
            lowest = std::min(lowest, luminance);
            highest = std::max(highest, luminance);
            if (c.steady) {
                // Whole periods, up to the shutter's steps of one row.
                const uint32_t past = frame.ExposureMicroseconds % periodMicroseconds;
                EXPECT_LT(std::min(past, periodMicroseconds - past), periodMicroseconds / 20)
                    << frame.ExposureMicroseconds << " us in frame " << frame.Frame;
            }
        }
        if (c.steady) {
            EXPECT_LE(highest - lowest, 6u);
        } else {
            EXPECT_GE(highest - lowest, 20u);
        }
    }
}

// --- The button -----------------------------------------------------------------------------

// A press pulses the application's event of its kind at once, and the
// snapshot it asks for comes with the next frame: the application reads
// exactly the image that frame delivered.
TEST_F(BridgeTest, ButtonPulsesTheApplicationsEventAndTheNextFrameDelivers) {
    Process* app = CreateProcess("still-image application");
    {
        host_win32::CurrentProcessScope current(app);
        snapshot_client::Client client;
        std::vector<snapshot_client::DevicePath> stills;
        ASSERT_EQ(snapshot_client::FindStillImageDevices(&stills), DWORD(ERROR_SUCCESS));
        ASSERT_EQ(stills.size(), 1u);
        ASSERT_EQ(client.Open(stills[0]), DWORD(ERROR_SUCCESS));
        ASSERT_EQ(client.RegisterEvents(), DWORD(ERROR_SUCCESS));
        ASSERT_EQ(client.Control(SNAPSHOT_CONTROL_EVENTS_ON), DWORD(ERROR_SUCCESS));
        Stream({400, 100, 100, 100}, 8);

        NTSTATUS waited = STATUS_PENDING;
        StartThread([&] { waited = WaitForEvent(app, client.FirstEvent(), 5s); });
        ASSERT_TRUE(WaitUntil(
            [&] { return WaitingThreads(ObjectFromHandle(app, client.FirstEvent())) == 1; }));
        ASSERT_EQ(bridge_->Press(1), STATUS_SUCCESS);
        JoinThreads();
        EXPECT_EQ(waited, STATUS_SUCCESS);
        EXPECT_EQ(EventState(app, client.FirstEvent()), 0);  // pulsed, not left signalled
        EXPECT_EQ(EventState(app, client.SecondEvent()), 0);

        BRIDGE_STREAM_RESULT result{};
        ASSERT_EQ(bridge_->Stream(1, &result), STATUS_SUCCESS);
        EXPECT_EQ(result.Snapshots, 1u);
        bool ready = false;
        ASSERT_EQ(client.QueryReady(&ready), DWORD(ERROR_SUCCESS));
        EXPECT_TRUE(ready);
        std::vector<uint8_t> image;
        ASSERT_EQ(client.ReadImage(&image), DWORD(ERROR_SUCCESS));
        EXPECT_EQ(camera_stack::FrameChecksum(image), result.Last.SnapshotChecksum);
        EXPECT_EQ(image, drivers_->LastDeliveredFrame(pdo_));
        EXPECT_EQ(Seen()->TriggersReported, 1u);
        client.Close();
    }
    TerminateProcess(app);
}

// --- Plug and Play ----------------------------------------------------------------------------

// The interface is offered while the camera runs; a stopped camera does not
// stream, and once it is unplugged every control and open is refused.
TEST_F(BridgeTest, StopAndSurpriseRemovalEndStreaming) {
    ASSERT_EQ(StopDevice(pdo_), STATUS_SUCCESS);
    EXPECT_TRUE(camera_stack::BridgeClient::FindBridges().empty());
    EXPECT_EQ(bridge_->Stream(1), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(bridge_->Press(0), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(bridge_->SetFlicker(1), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(bridge_->SetScene({100, 100, 100, 100}), STATUS_SUCCESS);
    EXPECT_NE(bridge_->Query(), nullptr);

    // Started again, it comes up afresh.
    ASSERT_EQ(StartDevice(pdo_), STATUS_SUCCESS);
    EXPECT_EQ(camera_stack::BridgeClient::FindBridges().size(), 1u);
    EXPECT_EQ(bridge_->Stream(2), STATUS_SUCCESS);
    EXPECT_EQ(Seen()->Flags, kCameraUp);

    ASSERT_EQ(SurpriseRemoveDevice(pdo_), STATUS_SUCCESS);
    EXPECT_TRUE(camera_stack::BridgeClient::FindBridges().empty());
    EXPECT_EQ(bridge_->Stream(1), STATUS_DELETE_PENDING);
    auto refused = std::make_unique<BRIDGE_QUERY_RESULT>();
    EXPECT_EQ(bridge_->Query(refused.get()), STATUS_DELETE_PENDING);
    HANDLE second = nullptr;
    EXPECT_EQ(OpenDevice(program_, pdo_, &second), STATUS_DELETE_PENDING);
    bridge_->Close();
    EXPECT_EQ(RemoveDevice(pdo_), STATUS_SUCCESS);
    EXPECT_EQ(PoolUsage(BRIDGE_POOL_TAG).Blocks, 0u);
    DeletePhysicalDevice(pdo_);
}

}  // namespace
