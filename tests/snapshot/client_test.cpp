// The user-mode client library against tessip in a camera stack: it finds
// the camera by its still-image interface and runs the application's side
// of the exchange; the test plays the bridge driver.
#include "snapshot_client.h"
#include "snapshot_fixture.h"

using namespace host_kernel;
using namespace tessip_test;
using namespace std::chrono_literals;

namespace {

class ClientTest : public SnapshotTest {
 protected:
    void SetUp() override
    {
        SnapshotTest::SetUp();
        AddStartedCamera();
    }
};

TEST_F(ClientTest, FindsOpensRequestsPollsAndReads)
{
    const ULONG byteCount = 5000;
    Describe(byteCount);
    std::vector<std::u16string> devices = snapshot_client::FindStillImageDevices();
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0], InterfaceLink());

    snapshot_client::Client client(app_);
    ASSERT_EQ(client.Open(devices[0]), STATUS_SUCCESS);
    SNAPSHOT_IMAGE_INFO info;
    ASSERT_EQ(client.GetImageInfo(&info), STATUS_SUCCESS);
    EXPECT_EQ(info.ByteCount, byteCount);
    ASSERT_EQ(client.RegisterEvents(), STATUS_SUCCESS);
    EXPECT_EQ(Extension()->FirstEvent, ObjectFromHandle(app_, client.FirstEvent()));
    EXPECT_EQ(Extension()->SecondEvent, ObjectFromHandle(app_, client.SecondEvent()));
    ASSERT_EQ(client.Control(SNAPSHOT_CONTROL_EVENTS_ON), STATUS_SUCCESS);

    ASSERT_EQ(client.Control(SNAPSHOT_CONTROL_REQUEST), STATUS_SUCCESS);
    EXPECT_EQ(client.WaitUntilReady(5ms), STATUS_TIMEOUT);
    ASSERT_EQ(TakeRequest(), 1u);
    std::vector<UCHAR> frame = MakeFrame(byteCount, 0x42);
    Deliver(frame);
    EXPECT_EQ(client.WaitUntilReady(100ms), STATUS_SUCCESS);

    std::vector<uint8_t> image;
    ASSERT_EQ(client.ReadImage(&image), STATUS_SUCCESS);
    EXPECT_EQ(image, frame);
    bool ready = true;
    ASSERT_EQ(client.QueryReady(&ready), STATUS_SUCCESS);
    EXPECT_FALSE(ready);

    client.Close();
    EXPECT_EQ(Extension()->FirstEvent, nullptr);
    EXPECT_EQ(Extension()->SecondEvent, nullptr);
}

TEST_F(ClientTest, CaptureTimesOutWhenNoFrameComes)
{
    Describe(64);
    snapshot_client::Client client(app_);
    ASSERT_EQ(client.Open(InterfaceLink()), STATUS_SUCCESS);
    std::vector<uint8_t> image;
    EXPECT_EQ(client.Capture(&image, 10ms), STATUS_TIMEOUT);
    EXPECT_EQ(TakeRequest(), 1u);  // the request reached the bridge driver's side
}

}  // namespace
