// camera_sim: what its user sees when a command line or a file is wrong,
// and what a whole session shows about the loops, the still image and the
// unplugging.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bridge_client.h"
#include "outputs.h"
#include "report.h"
#include "scenario.h"

using namespace camera_sim;

namespace {

// Scratch files of this test process, removed when it ends.
std::string TempFolder();
struct RemoveTempFolder : ::testing::Environment {
    void TearDown() override { std::filesystem::remove_all(TempFolder()); }
};
const auto* const kRemoveTempFolder = ::testing::AddGlobalTestEnvironment(new RemoveTempFolder);

std::string TempFolder() {
    static const std::string folder = [] {
        std::string path = (std::filesystem::temp_directory_path() /
                            ("camera_sim_test." + std::to_string(::getpid())))
                               .string();
        std::filesystem::create_directories(path);
        return path;
    }();
    return folder;
}

// --- The program's refusals -------------------------------------------------------------------

struct Outcome {
    int status;
    std::vector<std::string> errorLines;
};

Outcome RunProgram(const std::string& arguments) {
    const std::string errors = TempFolder() + "/stderr.txt";
    const std::string command =
        std::string(CAMERA_SIM_PROGRAM) + " " + arguments + " >/dev/null 2>" + errors;
    const int raw = std::system(command.c_str());
    Outcome outcome{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, {}};
    std::ifstream in(errors);
    for (std::string line; std::getline(in, line);) outcome.errorLines.push_back(line);
    return outcome;
}

// Files a scene argument can name, made once.
struct SceneFiles {
    std::string text, tiny, truncated, plainFile;
    SceneFiles() {
        const std::string folder = TempFolder();
        text = folder + "/notes.png";
        std::ofstream(text) << "not a picture\n";
        tiny = folder + "/tiny.png";
        EXPECT_EQ(WritePng(tiny, {8, 6, std::vector<uint8_t>(8 * 6 * 3, 128)}), "");
        const std::string whole = folder + "/whole.png";
        EXPECT_EQ(WritePng(whole, {64, 48, std::vector<uint8_t>(64 * 48 * 3, 77)}), "");
        truncated = folder + "/truncated.png";
        std::filesystem::copy_file(whole, truncated,
                                   std::filesystem::copy_options::overwrite_existing);
        std::filesystem::resize_file(truncated, 60);
        plainFile = folder + "/a_file";
        std::ofstream(plainFile) << "x";
    }
};

const SceneFiles& Files() {
    static const SceneFiles files;
    return files;
}

// Every refusal is one line naming the program, and exit status 2, before
// any camera is plugged in.
TEST(CameraSimProgram, RefusesBadUsageAndUnusableFilesWithOneLine) {
    const std::string out = " --out " + TempFolder() + "/refused";
    const struct {
        const char* what;
        std::string arguments;
    } cases[] = {
        {"unknown option", "--colour red"},
        {"option without its value", "--frames"},
        {"frames not a number", "--frames many"},
        {"frames too few for the script", "--frames 3"},
        {"mains neither 50 nor 60", "--mains 55"},
        {"no such anti-flicker mode", "--flicker 4"},
        {"negative mode", "--flicker -1"},
        {"scene file missing", "--scene " + TempFolder() + "/absent.png" + out},
        {"scene not a PNG", "--scene " + Files().text + out},
        {"scene damaged", "--scene " + Files().truncated + out},
        {"scene too small", "--scene " + Files().tiny + out},
        {"output folder under a file", "--out " + Files().plainFile + "/sub"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Outcome outcome = RunProgram(c.arguments);
        EXPECT_EQ(outcome.status, 2);
        ASSERT_EQ(outcome.errorLines.size(), 1u);
        EXPECT_EQ(outcome.errorLines[0].rfind("camera_sim: ", 0), 0u) << outcome.errorLines[0];
    }
}

// --- Whole sessions ---------------------------------------------------------------------------

// A session of `frames` under `first`, then `frames` under `second`, in
// the anti-flicker mode that matches the mains.
camera_sim::Run StepSession(uint32_t first, uint32_t second, uint32_t frames) {
    const uint32_t mode = RightFlickerMode(50);
    std::vector<Phase> phases = {
        {"before", {first, 100, 100, 100, 0, 0}, mode, frames},
        {"after", {second, 100, 100, 100, 0, 0}, mode, frames},
    };
    return RunScenario(std::move(phases), {}, {});
}

/*
 * The longest auto exposure may take to reach the window after a change
 * that moves the exposure index by `indexDistance`: the loop moves at least
 * one index per two deciding periods (8 frames) while outside the window,
 * the period in progress at the change (up to 4 frames) still averages
 * light from before it, and a frame's statistics show the settings of the
 * frame before.
 */
constexpr int SettleBound(int indexDistance) {
    return 8 * indexDistance + 4 + 1;
}

int IndexAt(const camera_sim::Run& run, uint32_t frame) {
    return run.frames.at(frame - 1).record.ExposureIndex;
}

// A step in light from each side of the window: the first frame after it
// is outside the window on that side, and auto exposure ends inside it
// within the bound its steps allow.
TEST(CameraSimSession, AutoExposureSettlesAfterAStepFromTooDarkAndFromTooBright) {
    const struct {
        const char* what;
        uint32_t before, after;
        bool dark;
    } cases[] = {
        {"bright light to a dim room: too dark", 1000, 120, true},
        {"a dim room to bright light: too bright", 120, 1000, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const camera_sim::Run run = StepSession(c.before, c.after, 320);
        ASSERT_EQ(run.failure, "");
        const std::vector<PhaseSummary> summary = Summarise(run);
        ASSERT_GT(summary[0].aeFrames, 0) << "the first light never settled";

        const Phase& after = run.phases[1];
        const uint32_t luma = Unpack(run.frames.at(after.firstFrame).record.Statistics).luminance;
        EXPECT_TRUE(c.dark ? luma < kAeLow : luma > kAeHigh) << "luminance " << luma;
        ASSERT_GT(summary[1].aeFrames, 0) << "never settled after the step";
        const uint32_t settledAt = after.firstFrame + uint32_t(summary[1].aeFrames) - 1;
        const int distance = std::abs(IndexAt(run, settledAt) - IndexAt(run, after.firstFrame));
        EXPECT_GT(distance, 0);
        EXPECT_LE(summary[1].aeFrames, SettleBound(distance)) << "index moved by " << distance;
    }
}

/*
 * The same bound for auto white balance: a channel outside its tolerance
 * moves at least one gain step per two deciding periods (8 frames), the
 * period in progress at the change still sums light from before it, and a
 * frame's statistics show the gains of the frame before. `gainDistance` is
 * the farther of the red and blue gains' moves.
 */
constexpr int AwbSettleBound(int gainDistance) {
    return 8 * gainDistance + 4 + 1;
}

int GainDistance(const camera_sim::Run& run, uint32_t from, uint32_t to) {
    const BRIDGE_FRAME_RECORD& a = run.frames.at(from - 1).record;
    const BRIDGE_FRAME_RECORD& b = run.frames.at(to - 1).record;
    return std::max(std::abs(int(a.RedGain) - int(b.RedGain)),
                    std::abs(int(a.BlueGain) - int(b.BlueGain)));
}

// A change of light colour at steady brightness, to a warmer and to a
// cooler light: white balance ends with red and blue within tolerance
// within the bound its steps allow.
TEST(CameraSimSession, AutoWhiteBalanceSettlesAfterAChangeOfLightColour) {
    const struct {
        const char* what;
        BRIDGE_LIGHT after;
    } cases[] = {
        {"neutral to a warm lamp", {400, 115, 100, 85, 0, 0}},
        {"neutral to a cool light", {400, 90, 100, 110, 0, 0}},
        {"neutral to a fluorescent tube", {400, 92, 108, 100, 0, 0}},
    };
    const uint32_t mode = RightFlickerMode(50);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<Phase> phases = {
            {"before", {400, 100, 100, 100, 0, 0}, mode, 320},
            {"after", c.after, mode, 400},
        };
        const camera_sim::Run run = RunScenario(std::move(phases), {}, {});
        ASSERT_EQ(run.failure, "");
        const std::vector<PhaseSummary> summary = Summarise(run);
        ASSERT_GT(summary[0].awbFrames, 0) << "the first light never balanced";
        ASSERT_GT(summary[1].awbFrames, 0) << "never balanced after the change";
        const Phase& after = run.phases[1];
        const uint32_t settledAt = after.firstFrame + uint32_t(summary[1].awbFrames) - 1;
        const int distance = GainDistance(run, after.firstFrame, settledAt);
        EXPECT_GT(distance, 0);
        EXPECT_LE(summary[1].awbFrames, AwbSettleBound(distance)) << "gains moved by " << distance;
    }
}

// One default session, shared by the checks of its still image, its
// unplugging and its flicker.
class DefaultSession : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        Options options;
        options.frames = 240;
        options.flicker = WrongFlickerMode(options.mains);
        run_ = new camera_sim::Run(RunScenario(DefaultScenario(options), {}, {}));
    }
    static void TearDownTestSuite() {
        delete run_;
        run_ = nullptr;
    }
    static const camera_sim::Run& run() { return *run_; }

  private:
    static camera_sim::Run* run_;
};
camera_sim::Run* DefaultSession::run_ = nullptr;

// What the application read after the button is the frame the bridge
// driver delivered, and the PNG holds exactly those pixels.
TEST_F(DefaultSession, StillImageIsTheDeliveredFrameAndSurvivesThePng) {
    ASSERT_EQ(run().failure, "");
    ASSERT_TRUE(run().snapshotTaken);
    EXPECT_EQ(run().snapshotFrame.SnapshotDelivered, 1u);
    EXPECT_EQ(run().snapshot.size(), size_t(run().snapshotWidth) * run().snapshotHeight * 3);
    EXPECT_EQ(camera_stack::FrameChecksum(run().snapshot), run().snapshotFrame.SnapshotChecksum);
    const std::string path = TempFolder() + "/snapshot.png";
    ASSERT_EQ(WritePng(path, {run().snapshotWidth, run().snapshotHeight, run().snapshot}), "");
    RgbImage decoded;
    ASSERT_EQ(ReadPng(path, &decoded), "");
    EXPECT_EQ(decoded.width, run().snapshotWidth);
    EXPECT_EQ(decoded.height, run().snapshotHeight);
    EXPECT_TRUE(decoded.pixels == run().snapshot);
}

// Unplugged, the camera leaves no pool, no request, no device object, and
// the kernel's leak check at shutdown finds no reference left.
TEST_F(DefaultSession, UnpluggingLeavesNoPoolAndNoReferences) {
    EXPECT_EQ(run().poolBlocks, 0u);
    EXPECT_EQ(run().poolBytes, 0u);
    EXPECT_EQ(run().liveIrps, 0u);
    EXPECT_EQ(run().liveDevices, 0u);
    EXPECT_TRUE(run().faults.empty()) << (run().faults.empty() ? "" : run().faults.front());
}

// The right anti-flicker mode calms the lamp's wander that the wrong one
// leaves. Needs the bridge driver's light and anti-flicker controls.
TEST_F(DefaultSession, RightAntiFlickerModeCalmsTheWander) {
    if (!run().lightControl || !run().flickerControl)
        GTEST_SKIP() << "the bridge driver has no SET_LIGHT or SET_FLICKER control yet";
    const std::vector<PhaseSummary> summary = Summarise(run());
    const PhaseSummary& wrong = summary[summary.size() - 2];
    const PhaseSummary& right = summary.back();
    ASSERT_TRUE(wrong.flickering && right.flickering);
    EXPECT_GT(wrong.wanderSpan, right.wanderSpan);
    EXPECT_LT(right.wanderStdDev, wrong.wanderStdDev);
}

}  // namespace
