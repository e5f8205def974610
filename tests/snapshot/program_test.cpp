// snapshot_client, the program, run inside the test against tessip: its exit
// status and the line it prints for each way a run can end, the file it
// saves, and a snapshot taken on the camera's button. A kernel thread plays
// the bridge driver where a run needs frames or button presses.
#include "client_fixture.h"
#include "program.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <thread>

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

class ProgramTest : public ClientFixture {
  protected:
    void TearDown() override {
        stop_ = true;
        JoinThreads();
        if (!path_.empty()) {
            std::remove(path_.c_str());
        }
        ClientFixture::TearDown();
    }

    void AddDescribedCamera() {
        AddStartedCamera();
        Describe(kByteCount);
    }

    Outcome Run(const std::vector<std::string>& args) {
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
        path_ = testing::TempDir() + "snapshot_client_test.bin";
        return path_;
    }

    std::vector<UCHAR> FileBytes() const {
        std::ifstream file(path_, std::ios::binary);
        return std::vector<UCHAR>(std::istreambuf_iterator<char>(file), {});
    }

    std::atomic<bool> stop_{false};
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
    {"info", {"--info"}, Where::Camera, 0, "byte count: 64\nleading bytes: 5a 5a 5a"},
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
    Outcome outcome = Run(c.Args);
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
    Outcome outcome = Run({"--out", FilePath()});
    EXPECT_EQ(outcome.Status, 0) << outcome.Err;
    EXPECT_EQ(FileBytes(), NumberedFrame());
}

// The button's snapshot is saved, and the program leaves the driver with
// trigger events off and none of its events held.
TEST_F(ProgramTest, SavesTheSnapshotTheButtonTook) {
    AddDescribedCamera();
    PlayBridge(NumberedFrame(), true);
    Outcome outcome = Run({"--wait-button", "--out", FilePath()});
    EXPECT_EQ(outcome.Status, 0) << outcome.Err;
    EXPECT_EQ(FileBytes(), NumberedFrame());
    EXPECT_EQ(CurrentFlags().EventsDisabled, 1u);
    EXPECT_EQ(Extension()->FirstEvent, nullptr);
    EXPECT_EQ(Extension()->SecondEvent, nullptr);
}

}  // namespace
