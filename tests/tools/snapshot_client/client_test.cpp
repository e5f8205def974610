// The user-mode client library against tessip in a camera stack, through the
// Win32 layer: it finds the camera by its still-image interface with
// SetupAPI and runs the application's side of the exchange; the test plays
// the bridge driver.
#include "client_fixture.h"

using namespace host_kernel;
using namespace tessip_test;
using namespace std::chrono_literals;

namespace {

class ClientTest : public ClientFixture {
  protected:
    void SetUp() override {
        ClientFixture::SetUp();
        AddStartedCamera();
    }
};

TEST_F(ClientTest, FindsOpensRequestsPollsAndReads) {
    const ULONG byteCount = 5000;
    Describe(byteCount);
    std::vector<snapshot_client::DevicePath> devices;
    ASSERT_EQ(snapshot_client::FindStillImageDevices(&devices), ERROR_SUCCESS);
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0], DevicePath());

    snapshot_client::Client client;
    ASSERT_EQ(client.Open(devices[0]), ERROR_SUCCESS);
    SNAPSHOT_IMAGE_INFO info;
    ASSERT_EQ(client.GetImageInfo(&info), ERROR_SUCCESS);
    EXPECT_EQ(info.ByteCount, byteCount);
    ASSERT_EQ(client.RegisterEvents(), ERROR_SUCCESS);
    EXPECT_EQ(Extension()->FirstEvent, ObjectFromHandle(app_, client.FirstEvent()));
    EXPECT_EQ(Extension()->SecondEvent, ObjectFromHandle(app_, client.SecondEvent()));
    ASSERT_EQ(client.Control(SNAPSHOT_CONTROL_EVENTS_ON), ERROR_SUCCESS);

    ASSERT_EQ(client.Control(SNAPSHOT_CONTROL_REQUEST), ERROR_SUCCESS);
    EXPECT_EQ(client.WaitUntilReady(5ms), ERROR_TIMEOUT);
    ASSERT_EQ(TakeRequest(), 1u);
    std::vector<UCHAR> frame = MakeFrame(byteCount, 0x42);
    Deliver(frame);
    EXPECT_EQ(client.WaitUntilReady(100ms), ERROR_SUCCESS);

    std::vector<uint8_t> image;
    ASSERT_EQ(client.ReadImage(&image), ERROR_SUCCESS);
    EXPECT_EQ(image, frame);
    bool ready = true;
    ASSERT_EQ(client.QueryReady(&ready), ERROR_SUCCESS);
    EXPECT_FALSE(ready);

    client.Close();
    EXPECT_EQ(Extension()->FirstEvent, nullptr);
    EXPECT_EQ(Extension()->SecondEvent, nullptr);
}

TEST_F(ClientTest, CaptureTimesOutWhenNoFrameComes) {
    Describe(64);
    snapshot_client::Client client;
    ASSERT_EQ(client.Open(DevicePath()), ERROR_SUCCESS);
    std::vector<uint8_t> image;
    EXPECT_EQ(client.Capture(&image, 10ms), ERROR_TIMEOUT);
    EXPECT_EQ(TakeRequest(), 1u);  // the request reached the bridge driver's side
}

// The driver keeps the size of the frame it stored; a description that
// shrank since then must not cut the image short or lose it.
TEST_F(ClientTest, ReadsTheStoredFrameWholeAfterTheDescriptionShrank) {
    Describe(5000);
    std::vector<UCHAR> frame = MakeFrame(5000, 0x17);
    Deliver(frame);
    Describe(100);
    snapshot_client::Client client;
    ASSERT_EQ(client.Open(DevicePath()), ERROR_SUCCESS);
    std::vector<uint8_t> image;
    ASSERT_EQ(client.ReadImage(&image), ERROR_SUCCESS);
    EXPECT_EQ(image, frame);
}

}  // namespace
