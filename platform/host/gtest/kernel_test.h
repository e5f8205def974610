// GoogleTest side of the user-mode kernel: a fixture that starts every test
// with a fresh kernel and ends it with the orderly shutdown and leak checks,
// failing the test with the message of every fault the kernel recorded.
#pragma once

#include "host_kernel.h"

#include <gtest/gtest.h>

#include <string>

namespace host_kernel {

class KernelTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // For tests that provoke a fault on purpose: removes the recorded faults
    // whose message contains `text` and returns how many there were.
    static size_t ExpectFault(const std::string& text);
    // Reports and clears the faults recorded so far (as the end of the test
    // would); lets a test check a phase ran clean before it goes on.
    static void ReportFaults();
};

}  // namespace host_kernel
