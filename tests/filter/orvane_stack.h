// A camera stack for orvane's frame: the test bus's physical device, a
// configurable test driver as the lower driver, and orvane's filter device on
// top. Requests from above (the Plug and Play manager, the power manager, the
// bridge driver's interface query) enter at orvane; the lower driver records
// what reaches it and answers as each test tells it.
//
// Every test runs on a fresh user-mode kernel whose verifier checks and leak
// checks fail the test (KernelTest).
#pragma once

#include <memory>

#include "filter.h"
#include "kernel_test.h"
#include "orvane_entry.h"
#include "sensor_records.h"
#include "test_driver.h"

namespace orvane_test {

using host_kernel::Behavior;
using host_kernel::IrpResult;

class OrvaneStack : public host_kernel::KernelTest {
  protected:
    void SetUp() override {
        KernelTest::SetUp();
        orvane_ = host_kernel::LoadDriver("orvane", OrvaneDriverEntry);
        ASSERT_NE(orvane_, nullptr);
        lower_ = std::make_unique<host_kernel::TestDriver>("lower");
    }

    // Builds the stack; returns the status of the add-device sequence.
    NTSTATUS Build(const host_kernel::PhysicalDeviceOptions& options = {}) {
        pdo_ = host_kernel::CreatePhysicalDevice(options);
        host_kernel::StackSpec layout;
        layout.Function = lower_->Driver();
        layout.UpperFilters = {orvane_};
        const NTSTATUS status = host_kernel::BuildDeviceStack(pdo_, layout);
        filter_ = host_kernel::DeviceOf(pdo_, orvane_);
        return status;
    }

    // Builds the stack and starts it; the lower driver's start and capability
    // answers are the bus's defaults.
    void BuildStarted() {
        ASSERT_EQ(Build(), STATUS_SUCCESS);
        ASSERT_EQ(host_kernel::StartDevice(pdo_), STATUS_SUCCESS);
        ASSERT_EQ(State(), FilterStarted);
        lower_->ClearSeen();
    }

    FILTER_EXTENSION* Extension() const { return FilterExtension(filter_); }
    ULONG State() const { return GetFilterState(Extension()); }
    void ForceState(FILTER_STATE state) { SetFilterState(Extension(), state); }
    LONG Outstanding() const {
        return __atomic_load_n(&Extension()->OutstandingIo, __ATOMIC_SEQ_CST);
    }
    PDEVICE_OBJECT LowerDevice() const { return lower_->Device(pdo_); }

    // Sends a request of any major function to orvane's device.
    IrpResult Send(UCHAR major, UCHAR minor = 0, KIRQL irql = PASSIVE_LEVEL) {
        return host_kernel::SendIrp(filter_, major, minor, {}, STATUS_NOT_SUPPORTED, irql);
    }

    PDRIVER_OBJECT orvane_ = nullptr;
    std::unique_ptr<host_kernel::TestDriver> lower_;
    PDEVICE_OBJECT pdo_ = nullptr;
    PDEVICE_OBJECT filter_ = nullptr;
};

}  // namespace orvane_test
