// The GoogleTest fixture over the user-mode kernel.
#include "kernel_test.h"

namespace host_kernel {

void KernelTest::SetUp() {
    Reset();
}

void KernelTest::TearDown() {
    Shutdown();
    ReportFaults();
    Reset();
}

size_t KernelTest::ExpectFault(const std::string& text) {
    std::vector<std::string> faults = TakeFaults();
    size_t matched = 0;
    for (const std::string& fault : faults) {
        if (fault.find(text) != std::string::npos) {
            matched++;
        } else {
            RecordFault(fault);
        }
    }
    return matched;
}

void KernelTest::ReportFaults() {
    for (const std::string& fault : TakeFaults()) ADD_FAILURE() << "kernel fault: " << fault;
}

}  // namespace host_kernel
