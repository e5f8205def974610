// Shared set-up of the platform tests: a camera-like stack of the test bus,
// the configurable test driver as function driver and, where a test needs
// it, the probe filter on top.
#pragma once

#include "kernel_test.h"
#include "probe_driver.h"
#include "test_driver.h"

#include <memory>

class StackTest : public host_kernel::KernelTest {
  protected:
    void SetUp() override {
        KernelTest::SetUp();
        g_probe = ProbeConfig{};
    }

    void TearDown() override {
        g_probe = ProbeConfig{};
        KernelTest::TearDown();
    }

    // Builds pdo <- lower (function driver) <- probe filter (if wanted).
    void Build(bool withProbe = true, const host_kernel::TestDriverOptions& lower = {},
               const host_kernel::PhysicalDeviceOptions& physical = {}) {
        lower_ = std::make_unique<host_kernel::TestDriver>("lower", lower);
        pdo_ = host_kernel::CreatePhysicalDevice(physical);
        host_kernel::StackSpec layout;
        layout.Function = lower_->Driver();
        if (withProbe) {
            probe_ = host_kernel::LoadDriver("probe", ProbeEntry);
            layout.UpperFilters.push_back(probe_);
        }
        ASSERT_EQ(STATUS_SUCCESS, host_kernel::BuildDeviceStack(pdo_, layout));
    }

    PDEVICE_OBJECT LowerDevice() const { return lower_->Device(pdo_); }
    PDEVICE_OBJECT ProbeDevice() const { return host_kernel::DeviceOf(pdo_, probe_); }
    PDEVICE_OBJECT Top() const { return host_kernel::DeviceStack(pdo_).back(); }

    std::unique_ptr<host_kernel::TestDriver> lower_;
    PDEVICE_OBJECT pdo_ = nullptr;
    PDRIVER_OBJECT probe_ = nullptr;
};
