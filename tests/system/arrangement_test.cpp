// The camera stack as real machines build it rather than as the test bench
// does: another vendor's filters above tessip (a class upper filter loads
// there) and below orvane, and two cameras streaming at once, each with its
// application reading its own still images. Labelled for ThreadSanitizer:
// two cameras share orvane's driver-wide tuning record.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "bridge_client.h"
#include "camera_stack.h"
#include "kernel_test.h"
#include "test_driver.h"

using namespace host_kernel;

namespace {

constexpr ULONG kPdoFlags = DO_BUFFERED_IO | DO_POWER_PAGABLE;

class ArrangementTest : public KernelTest {
  protected:
    void SetUp() override {
        KernelTest::SetUp();
        drivers_ = std::make_unique<camera_stack::CameraDrivers>();
        TestDriverOptions filter;
        filter.Filter = true;
        above_ = std::make_unique<TestDriver>("class upper filter", filter);
        below_ = std::make_unique<TestDriver>("bus lower filter", filter);
        drivers_->AddForeignFilters({above_->Driver()}, {below_->Driver()});
    }

    void TearDown() override {
        drivers_.reset();
        KernelTest::TearDown();
    }

    PDEVICE_OBJECT PlugInStarted() {
        PDEVICE_OBJECT pdo = nullptr;
        EXPECT_EQ(drivers_->PlugIn(kPdoFlags, &pdo), STATUS_SUCCESS);
        EXPECT_EQ(StartDevice(pdo), STATUS_SUCCESS);
        return pdo;
    }

    // One still image from the camera over `pdo`, the whole exchange: the
    // application asks for it, the camera program streams until the bridge
    // driver has delivered it, the application reads it. True when the read
    // returned exactly the frame the bridge driver delivered.
    bool SnapshotArrivesWhole(Process* app, HANDLE image, camera_stack::BridgeClient& program,
                              PDEVICE_OBJECT pdo) {
        ULONG request = SNAPSHOT_CONTROL_REQUEST;
        if (DeviceIoControl(app, image, IOCTL_SNAPSHOT_CONTROL, &request, sizeof(request), nullptr,
                            0)
                .Status != STATUS_SUCCESS) {
            return false;
        }
        BRIDGE_STREAM_RESULT result{};
        if (program.Stream(4, &result) != STATUS_SUCCESS || result.Snapshots != 1) {
            return false;
        }
        std::vector<uint8_t> read(SNAPSHOT_BUFFER_SIZE);
        const IoResult got = ReadFile(app, image, read.data(), SNAPSHOT_BUFFER_SIZE);
        read.resize(got.Information);
        return got.Status == STATUS_SUCCESS && !read.empty() &&
               read == drivers_->LastDeliveredFrame(pdo);
    }

    std::unique_ptr<camera_stack::CameraDrivers> drivers_;
    std::unique_ptr<TestDriver> above_;
    std::unique_ptr<TestDriver> below_;
};

// The bridge driver hands tessip's functions tessip's own device, however
// many devices sit above it, and the snapshot still arrives byte for byte.
TEST_F(ArrangementTest, ForeignFiltersAboveAndBelowLeaveTheExchangeWhole) {
    PDEVICE_OBJECT pdo = PlugInStarted();
    ASSERT_EQ(DeviceStack(pdo).size(), 6u);
    const BRIDGE_EXTENSION* bridge = BridgeExtension(drivers_->BridgeDevice(pdo));
    EXPECT_EQ(bridge->SnapshotDevice, drivers_->TessipDevice(pdo));

    Process* app = CreateProcess("still-image application");
    HANDLE image = nullptr;
    ASSERT_EQ(OpenDevice(app, pdo, &image), STATUS_SUCCESS);
    camera_stack::BridgeClient program(CreateProcess("camera program"));
    ASSERT_EQ(program.Open(pdo), STATUS_SUCCESS);
    EXPECT_TRUE(SnapshotArrivesWhole(app, image, program, pdo));

    program.Close();
    CloseHandle(app, image);
    EXPECT_EQ(RemoveDevice(pdo), STATUS_SUCCESS);
}

// Two cameras stream at once, each from its own thread, with different
// light, and each application reads the stills of its own camera. orvane
// serves both from one tuning record, so the bridge driver must not let
// their commands interleave (ThreadSanitizer sees it if it does).
TEST_F(ArrangementTest, TwoCamerasStreamAtOnceAndEachDeliversItsOwnStills) {
    constexpr int kCameras = 2;
    constexpr int kSnapshots = 6;
    PDEVICE_OBJECT pdos[kCameras];
    int whole[kCameras] = {};
    for (int i = 0; i < kCameras; i++) {
        pdos[i] = PlugInStarted();
    }
    for (int i = 0; i < kCameras; i++) {
        StartThread([this, &pdos, &whole, i] {
            Process* app = CreateProcess("still-image application");
            HANDLE image = nullptr;
            camera_stack::BridgeClient program(CreateProcess("camera program"));
            if (OpenDevice(app, pdos[i], &image) != STATUS_SUCCESS ||
                program.Open(pdos[i]) != STATUS_SUCCESS) {
                return;
            }
            const BRIDGE_SCENE scene{static_cast<uint32_t>(200 + 300 * i), 100, 100, 100};
            if (program.SetScene(scene) != STATUS_SUCCESS) {
                return;
            }
            for (int shot = 0; shot < kSnapshots; shot++) {
                whole[i] += SnapshotArrivesWhole(app, image, program, pdos[i]) ? 1 : 0;
            }
            program.Close();
            CloseHandle(app, image);
        });
    }
    JoinThreads();
    for (int i = 0; i < kCameras; i++) {
        EXPECT_EQ(whole[i], kSnapshots) << "camera " << i;
    }
    EXPECT_NE(drivers_->LastDeliveredFrame(pdos[0]), drivers_->LastDeliveredFrame(pdos[1]));
    for (PDEVICE_OBJECT pdo : pdos) {
        EXPECT_EQ(RemoveDevice(pdo), STATUS_SUCCESS);
    }
}

}  // namespace
