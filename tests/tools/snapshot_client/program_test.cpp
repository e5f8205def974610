// snapshot_client, the program, run inside the test against tessip: its exit
// status and the line it prints for each way a run can end, the file it
// saves, and a snapshot taken on the camera's button. A kernel thread plays
// the bridge driver where a run needs frames or button presses. The pictures
// it saves are decoded here and compared pixel by pixel with the frame
// delivered, last from the project's own bridge driver on a simulated camera.
#include "bridge_client.h"
#include "camera_stack.h"
#include "client_fixture.h"
#include "picture.h"
#include "program.h"

#if SNAPSHOT_CLIENT_HAVE_PNG
#include <png.h>
#endif

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>

#include <unistd.h>

using namespace host_kernel;
using namespace tessip_test;
using namespace std::chrono_literals;

namespace {

struct Outcome {
    int Status;
    std::string Out;
    std::string Err;
};

constexpr ULONG kByteCount = 64;

Outcome RunClient(const std::vector<std::string>& args) {
    char* outText = nullptr;
    char* errText = nullptr;
    size_t outSize = 0, errSize = 0;
    std::FILE* out = open_memstream(&outText, &outSize);
    std::FILE* err = open_memstream(&errText, &errSize);
    int status = snapshot_client::RunProgram(args, out, err);
    std::fclose(out);
    std::fclose(err);
    Outcome outcome{status, outText, errText};
    std::free(outText);
    std::free(errText);
    return outcome;
}

std::vector<UCHAR> ReadBytes(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::vector<UCHAR>(std::istreambuf_iterator<char>(file), {});
}

// Files the program writes, by their ending, removed when the test ends.
class Scratch {
  public:
    Scratch() = default;
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    ~Scratch() {
        for (const std::string& path : paths_) {
            std::remove(path.c_str());
        }
    }
    // ctest runs tests in processes of their own side by side: each file
    // name carries its process and its place in the test.
    std::string Path(const std::string& ending) {
        paths_.push_back(testing::TempDir() + "snapshot_client_test-" + std::to_string(getpid()) +
                         "-" + std::to_string(paths_.size()) + ending);
        return paths_.back();
    }

  private:
    std::vector<std::string> paths_;
};

// A picture as the camera renders it: R, G, B, top row first, rows packed.
struct Rgb {
    uint32_t Width = 0;
    uint32_t Height = 0;
    std::vector<UCHAR> Pixels;
    bool operator==(const Rgb&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Rgb& picture) {
    return out << picture.Width << " x " << picture.Height << " pixels";
}

// The picture `bytes` hold, laid out as a description of version 1 says.
Rgb Described(const std::vector<UCHAR>& bytes, uint32_t width, uint32_t height, size_t stride) {
    Rgb picture{width, height, {}};
    for (uint32_t y = 0; y < height; y++) {
        auto row = bytes.begin() + ptrdiff_t(y * stride);
        picture.Pixels.insert(picture.Pixels.end(), row, row + ptrdiff_t(width * 3));
    }
    return picture;
}

uint32_t Get32(const std::vector<UCHAR>& file, size_t at) {
    return uint32_t(file[at]) | uint32_t(file[at + 1]) << 8 | uint32_t(file[at + 2]) << 16 |
           uint32_t(file[at + 3]) << 24;
}

// Reads the file back as a viewer would: every header field it relies on
// is checked, rows bottom-up, padded to 4 bytes with zeros, blue first.
testing::AssertionResult DecodeBmp(const std::vector<UCHAR>& file, Rgb* picture) {
    if (file.size() < 54 || file[0] != 'B' || file[1] != 'M')
        return testing::AssertionFailure() << "no BMP header in " << file.size() << " bytes";
    const uint32_t width = Get32(file, 18);
    const uint32_t height = Get32(file, 22);
    const size_t rowBytes = (size_t(width) * 3 + 3) & ~size_t(3);
    const uint32_t expected[][2] = {{2, uint32_t(file.size())},
                                    {10, 54},
                                    {14, 40},
                                    {26, 1 | 24 << 16},  // one plane, 24 bits a pixel
                                    {30, 0},             // not compressed
                                    {34, uint32_t(rowBytes * height)}};
    for (const auto& [at, value] : expected)
        if (Get32(file, at) != value)
            return testing::AssertionFailure()
                   << "header field at " << at << " is " << Get32(file, at) << ", not " << value;
    if (width == 0 || width > 0x7FFFFFFF || height == 0 || height > 0x7FFFFFFF ||
        file.size() != 54 + rowBytes * height)
        return testing::AssertionFailure() << width << " x " << height << " in " << file.size();
    *picture = Rgb{width, height, {}};
    for (uint32_t y = 0; y < height; y++) {
        const UCHAR* row = file.data() + 54 + (height - 1 - y) * rowBytes;
        for (uint32_t x = 0; x < width; x++)
            picture->Pixels.insert(picture->Pixels.end(),
                                   {row[3 * x + 2], row[3 * x + 1], row[3 * x]});
        for (size_t pad = size_t(width) * 3; pad < rowBytes; pad++)
            if (row[pad] != 0) return testing::AssertionFailure() << "row " << y << " padding";
    }
    return testing::AssertionSuccess();
}

#if SNAPSHOT_CLIENT_HAVE_PNG
testing::AssertionResult DecodePng(const std::string& path, Rgb* picture) {
    png_image image;
    std::memset(&image, 0, sizeof(image));
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str()))
        return testing::AssertionFailure() << image.message;
    image.format = PNG_FORMAT_RGB;
    *picture = Rgb{image.width, image.height, std::vector<UCHAR>(PNG_IMAGE_SIZE(image))};
    if (!png_image_finish_read(&image, nullptr, picture->Pixels.data(), 0, nullptr))
        return testing::AssertionFailure() << image.message;
    return testing::AssertionSuccess();
}
#endif

// The picture in the file the program wrote, by the file's ending.
testing::AssertionResult Decode(const std::string& path, Rgb* picture) {
#if SNAPSHOT_CLIENT_HAVE_PNG
    if (path.ends_with(".png")) return DecodePng(path, picture);
#endif
    return DecodeBmp(ReadBytes(path), picture);
}

// The picture files this build writes.
std::vector<std::string> PictureEndings() {
    if (snapshot_client::PngAvailable()) return {".bmp", ".png"};
    return {".bmp"};
}

class ProgramTest : public ClientFixture {
  protected:
    void TearDown() override {
        stop_ = true;
        JoinThreads();
        ClientFixture::TearDown();
    }

    void AddDescribedCamera() {
        AddStartedCamera();
        Describe(kByteCount);
    }

    // The bridge driver's description, whole.
    void DescribeAs(const SNAPSHOT_IMAGE_INFO& info) {
        const SNAPSHOT_INTERFACE& bridge = Bridge();
        IrqlScope dispatch(DISPATCH_LEVEL);
        bridge.SetImageInfo(Filter(), &info);
    }

    // The bridge driver until the test ends: answers each snapshot request
    // with `frame` and, with `button`, reports a trigger of alternating kind
    // every 5 ms.
    void PlayBridge(const std::vector<UCHAR>& frame, bool button) {
        StartThread([this, frame, button] {
            for (unsigned tick = 1; !stop_; tick++) {
                if (button && tick % 5 == 0) {
                    Trigger(tick % 2);
                }
                if (TakeRequest() != 0) {
                    Deliver(frame);
                }
                std::this_thread::sleep_for(1ms);
            }
        });
    }

    std::string FilePath() {
        path_ = scratch_.Path(".bin");
        return path_;
    }

    std::vector<UCHAR> FileBytes() const { return ReadBytes(path_); }

    std::atomic<bool> stop_{false};
    Scratch scratch_;
    std::string path_;
};

enum class Where { Camera, NoCamera, EventsRefused };

struct ProgramCase {
    const char* Name;
    std::vector<std::string> Args;
    Where Setting;
    int Status;
    // The whole of stderr for a failure; for a success, a line of stdout
    // (and stderr stays empty).
    const char* Text;
};

const ProgramCase kProgramCases[] = {
    {"help", {"--bogus", "--help"}, Where::NoCamera, 0, "usage: snapshot_client --list"},
    {"unknown_option",
     {"--bogus"},
     Where::NoCamera,
     2,
     "snapshot_client: unknown option --bogus (--help shows the options)\n"},
    {"missing_value",
     {"--info", "--device"},
     Where::NoCamera,
     2,
     "snapshot_client: --device needs a value (--help shows the options)\n"},
    {"timeout_not_a_number",
     {"--out", "f", "--timeout", "5s"},
     Where::NoCamera,
     2,
     "snapshot_client: --timeout takes milliseconds, not 5s (--help shows the options)\n"},
    {"device_zero",
     {"--info", "--device", "0"},
     Where::NoCamera,
     2,
     "snapshot_client: --device takes a number from 1, not 0 (--help shows the options)\n"},
    {"nothing_to_do",
     {"--timeout", "5"},
     Where::NoCamera,
     2,
     "snapshot_client: nothing to do: give --list, --info, --out FILE or --wait-button "
     "(--help shows the options)\n"},
    {"two_actions",
     {"--list", "--out", "f"},
     Where::NoCamera,
     2,
     "snapshot_client: give one of --list, --info and a snapshot (--out, --wait-button) "
     "(--help shows the options)\n"},
    {"no_device", {"--list"}, Where::NoCamera, 1, "snapshot_client: no still-image device found\n"},
    {"device_beyond_the_list",
     {"--info", "--device", "2"},
     Where::Camera,
     1,
     "snapshot_client: no still-image device 2 (1 found)\n"},
    {"no_snapshot_in_time",
     {"--out", "unused", "--timeout", "20"},
     Where::Camera,
     1,
     "snapshot_client: no snapshot within 20 ms\n"},
    {"no_button_in_time",
     {"--wait-button", "--timeout", "20"},
     Where::Camera,
     1,
     "snapshot_client: no button press within 20 ms\n"},
    {"events_refused_as_under_wine",
     {"--wait-button"},
     Where::EventsRefused,
     1,
     "snapshot_client: the driver cannot take this program's events here (error 1, "
     "ERROR_INVALID_FUNCTION); --wait-button is not available\n"},
    {"list", {"--list"}, Where::Camera, 0, "1: \\\\?\\HOSTBUS#CAMERA#"},
    {"info_not_understood",
     {"--info"},
     Where::Camera,
     0,
     "64 bytes, no picture: description version 1515870810 is unknown to this program\n"
     "description bytes: 5a 5a 5a 5a"},
};

class ProgramCaseTest : public ProgramTest, public testing::WithParamInterface<ProgramCase> {};

TEST_P(ProgramCaseTest, EndsWithItsStatusAndLine) {
    const ProgramCase& c = GetParam();
    if (c.Setting != Where::NoCamera) {
        AddDescribedCamera();
    }
    if (c.Setting == Where::EventsRefused) {
        FailNext(Call::ObReferenceObjectByHandle, STATUS_NOT_IMPLEMENTED, 0);
    }
    Outcome outcome = RunClient(c.Args);
    EXPECT_EQ(outcome.Status, c.Status);
    if (c.Status == 0) {
        EXPECT_NE(outcome.Out.find(c.Text), std::string::npos) << outcome.Out;
        EXPECT_EQ(outcome.Err, "");
    } else {
        EXPECT_EQ(outcome.Err, c.Text);
    }
}

INSTANTIATE_TEST_SUITE_P(Runs, ProgramCaseTest, testing::ValuesIn(kProgramCases),
                         [](const testing::TestParamInfo<ProgramCase>& info) {
                             return std::string(info.param.Name);
                         });

std::vector<UCHAR> NumberedFrame() {
    std::vector<UCHAR> frame(kByteCount);
    for (ULONG i = 0; i < kByteCount; i++) {
        frame[i] = UCHAR(i * 7 + 1);
    }
    return frame;
}

TEST_F(ProgramTest, SavesTheRequestedSnapshotsBytes) {
    AddDescribedCamera();
    PlayBridge(NumberedFrame(), false);
    Outcome outcome = RunClient({"--out", FilePath()});
    EXPECT_EQ(outcome.Status, 0) << outcome.Err;
    EXPECT_EQ(FileBytes(), NumberedFrame());
}

// The button's snapshot is saved, and the program leaves the driver with
// trigger events off and none of its events held.
TEST_F(ProgramTest, SavesTheSnapshotTheButtonTook) {
    AddDescribedCamera();
    PlayBridge(NumberedFrame(), true);
    Outcome outcome = RunClient({"--wait-button", "--out", FilePath()});
    EXPECT_EQ(outcome.Status, 0) << outcome.Err;
    EXPECT_EQ(FileBytes(), NumberedFrame());
    EXPECT_EQ(CurrentFlags().EventsDisabled, 1u);
    EXPECT_EQ(Extension()->FirstEvent, nullptr);
    EXPECT_EQ(Extension()->SecondEvent, nullptr);
}

// --- Pictures -----------------------------------------------------------------------------

// A version 1 description of a picture of 24-bit RGB.
SNAPSHOT_IMAGE_INFO Picture(uint32_t width, uint32_t height, uint32_t stride, uint32_t byteCount) {
    SNAPSHOT_IMAGE_INFO info{};
    info.Version = SNAPSHOT_IMAGE_INFO_VERSION_1;
    info.Width = width;
    info.Height = height;
    info.Stride = stride;
    info.PixelFormat = SNAPSHOT_PIXEL_FORMAT_RGB24_TOP_DOWN;
    info.ByteCount = byteCount;
    return info;
}

SNAPSHOT_IMAGE_INFO WithVersion(SNAPSHOT_IMAGE_INFO info, uint32_t version) {
    info.Version = version;
    return info;
}

SNAPSHOT_IMAGE_INFO WithFormat(SNAPSHOT_IMAGE_INFO info, uint32_t format) {
    info.PixelFormat = format;
    return info;
}

struct RefusalCase {
    const char* Name;
    SNAPSHOT_IMAGE_INFO Info;  // in effect when the program reads the snapshot
    const char* Reason;
};

// 64 bytes delivered under a picture of 5 x 4 in rows of 16 bytes, then
// described as each case says. The overflow cases pass checks done in 32
// bits: 1431655766 * 3 wraps to 2, and 4 * 1073741840 to 64.
const RefusalCase kRefusalCases[] = {
    {"no_description", MakeImageInfo(kByteCount, 0),
     "the driver describes only the byte count (description version 0)"},
    {"unknown_version", WithVersion(Picture(5, 4, 16, 64), 2),
     "description version 2 is unknown to this program"},
    {"unknown_format", WithFormat(Picture(5, 4, 16, 64), 2),
     "pixel format 2 is unknown to this program"},
    {"no_format", WithFormat(Picture(5, 4, 16, 64), 0),
     "pixel format 0 is unknown to this program"},
    {"zero_width", Picture(0, 4, 16, 64), "a picture of 0 x 4 pixels is empty"},
    {"zero_height", Picture(5, 0, 16, 64), "a picture of 5 x 0 pixels is empty"},
    {"stride_too_small", Picture(6, 4, 16, 64), "rows of 6 pixels need 18 bytes, the stride is 16"},
    {"rows_short_of_the_byte_count", Picture(5, 3, 16, 64),
     "3 rows of 16 bytes are 48 bytes, the byte count is 64"},
    {"rows_beyond_the_byte_count", Picture(5, 5, 16, 64),
     "5 rows of 16 bytes are 80 bytes, the byte count is 64"},
    {"row_bytes_overflow", Picture(1431655766, 32, 2, 64),
     "rows of 1431655766 pixels need 4294967298 bytes, the stride is 2"},
    {"picture_bytes_overflow", Picture(1, 4, 1073741840, 64),
     "4 rows of 1073741840 bytes are 4294967360 bytes, the byte count is 64"},
    {"described_anew_after_the_delivery", Picture(4, 3, 16, 48),
     "the snapshot is 64 bytes, the description's byte count 48"},
};

class RefusalTest : public ProgramTest, public testing::WithParamInterface<RefusalCase> {};

// No picture is better than a wrong one: the file holds the bytes as they
// came, and the one line says why.
TEST_P(RefusalTest, SavesTheRawBytesAndSaysWhy) {
    const RefusalCase& c = GetParam();
    AddStartedCamera();
    for (const std::string& ending : PictureEndings()) {
        DescribeAs(Picture(5, 4, 16, kByteCount));
        Deliver(NumberedFrame());
        DescribeAs(c.Info);
        path_ = scratch_.Path(ending);
        Outcome outcome = RunClient({"--out", path_});
        EXPECT_EQ(outcome.Status, 1) << ending;
        EXPECT_EQ(outcome.Err, "snapshot_client: cannot make a picture: " + std::string(c.Reason) +
                                   "; " + path_ + " holds the raw 64 bytes\n");
        EXPECT_EQ(FileBytes(), NumberedFrame()) << ending;
    }
}

INSTANTIATE_TEST_SUITE_P(Descriptions, RefusalTest, testing::ValuesIn(kRefusalCases),
                         [](const testing::TestParamInfo<RefusalCase>& info) {
                             return std::string(info.param.Name);
                         });

// Rows of 17 bytes for 15 bytes of pixels, and 16 in the BMP file: the
// picture takes neither the camera's padding nor its own from the other.
TEST_F(ProgramTest, LeavesOutTheCamerasRowPadding) {
    AddStartedCamera();
    std::vector<UCHAR> frame(17 * 3);
    for (size_t i = 0; i < frame.size(); i++) {
        frame[i] = UCHAR(i * 7 + 1);
    }
    DescribeAs(Picture(5, 3, 17, ULONG(frame.size())));
    for (const std::string& ending : PictureEndings()) {
        Deliver(frame);
        const std::string path = scratch_.Path(ending);
        Outcome outcome = RunClient({"--out", path});
        ASSERT_EQ(outcome.Status, 0) << outcome.Err;
        Rgb picture;
        ASSERT_TRUE(Decode(path, &picture));
        EXPECT_EQ(picture, Described(frame, 5, 3, 17)) << ending;
    }
}

// Without libpng the Windows program refuses a PNG name before it takes
// the snapshot, so none is lost.
TEST_F(ProgramTest, RefusesPngNamesWithoutLibpng) {
    if (snapshot_client::PngAvailable()) {
        GTEST_SKIP() << "this build writes PNG files";
    }
    Outcome outcome = RunClient({"--out", "still.PNG"});
    EXPECT_EQ(outcome.Status, 2);
    EXPECT_EQ(outcome.Err,
              "snapshot_client: this build cannot write PNG files; name the file .bmp for a "
              "picture, or anything else for the raw bytes (--help shows the options)\n");
}

// The project's bridge driver on a simulated camera, as the package installs
// it: its description and the pictures the program saves of the frames it
// delivers. 161 pixels make rows of 483 bytes, which a BMP pads to 484.
class CameraProgramTest : public KernelTest {
  protected:
    static constexpr uint32_t kWidth = 161;
    static constexpr uint32_t kHeight = 121;

    void SetUp() override {
        KernelTest::SetUp();
        BRIDGE_CONFIGURATION configuration = BRIDGE_DEFAULT_CONFIGURATION;
        configuration.SnapshotWidth = kWidth;
        configuration.SnapshotHeight = kHeight;
        drivers_ = std::make_unique<camera_stack::CameraDrivers>(configuration);
        ASSERT_EQ(drivers_->PlugIn(DO_BUFFERED_IO | DO_POWER_PAGABLE, &pdo_), STATUS_SUCCESS);
        ASSERT_EQ(StartDevice(pdo_), STATUS_SUCCESS);
        program_ = CreateProcess("camera test program");
        bridge_ = std::make_unique<camera_stack::BridgeClient>(program_);
        ASSERT_EQ(bridge_->Open(pdo_), STATUS_SUCCESS);
        app_ = CreateProcess("still-image application");
        host_win32::SetCurrentProcess(app_);
    }

    void TearDown() override {
        stop_ = true;
        JoinThreads();
        host_win32::SetCurrentProcess(nullptr);
        EXPECT_EQ(host_win32::LiveDeviceInfoSets(), 0u);
        bridge_.reset();
        drivers_.reset();
        KernelTest::TearDown();
    }

    // Frames stream until the test ends; the bridge driver serves a
    // requested snapshot with the next one.
    void Stream() {
        StartThread([this] {
            while (!stop_ && bridge_->Stream(1) == STATUS_SUCCESS) {
                std::this_thread::sleep_for(1ms);
            }
        });
    }

    std::unique_ptr<camera_stack::CameraDrivers> drivers_;
    std::unique_ptr<camera_stack::BridgeClient> bridge_;
    PDEVICE_OBJECT pdo_ = nullptr;
    Process* program_ = nullptr;
    Process* app_ = nullptr;
    std::atomic<bool> stop_{false};
    Scratch scratch_;
};

TEST_F(CameraProgramTest, SavesThePictureTheBridgeDriverDelivered) {
    Outcome info = RunClient({"--info"});
    EXPECT_EQ(info.Status, 0) << info.Err;
    EXPECT_EQ(info.Out, "161 x 121, 24-bit RGB, 483 bytes per row, 58443 bytes\n");

    Stream();
    for (const std::string& ending : PictureEndings()) {
        const std::string path = scratch_.Path(ending);
        Outcome outcome = RunClient({"--out", path});
        ASSERT_EQ(outcome.Status, 0) << outcome.Err;
        Rgb picture;
        ASSERT_TRUE(Decode(path, &picture));
        EXPECT_EQ(picture,
                  Described(drivers_->LastDeliveredFrame(pdo_), kWidth, kHeight, kWidth * 3))
            << ending;
    }
}

}  // namespace
