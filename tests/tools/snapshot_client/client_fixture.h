// tessip's camera stack with the application on the Win32 layer: the
// fixture's application process is the current process of the test's
// thread, so that the client library and the program act in it, and no
// SetupAPI list may outlive a test.
#pragma once

#include "host_win32.h"
#include "snapshot_client.h"
#include "snapshot_fixture.h"

namespace tessip_test {

class ClientFixture : public SnapshotTest {
  protected:
    void SetUp() override {
        SnapshotTest::SetUp();
        host_win32::SetCurrentProcess(app_);
    }
    void TearDown() override {
        host_win32::SetCurrentProcess(nullptr);
        EXPECT_EQ(host_win32::LiveDeviceInfoSets(), 0u);
        SnapshotTest::TearDown();
    }

    // What SetupAPI names tessip's interface: \\?\ for the kernel's \??\.
    snapshot_client::DevicePath DevicePath() const {
        return u"\\\\?\\" + InterfaceLink().substr(4);
    }
};

}  // namespace tessip_test
