// The fault log: every check of the kernel records its finding here, with
// or without the kernel lock held, and a test (or a tool's observer) reads
// them back. Also the driver-facing reports that end up in it (ASSERT) and
// the debugger output a driver writes (DbgPrint).
#include "kernel_internal.h"

#include <cstdio>
#include <cstdlib>

namespace host_kernel {
namespace detail {

std::string VFormat(const char* format, va_list args) {
    char buffer[1024];
    vsnprintf(buffer, sizeof buffer, format, args);
    return buffer;
}

std::string Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = VFormat(format, args);
    va_end(args);
    return text;
}

namespace {
// A lock of its own, not the kernel lock: checks record faults while they
// hold the kernel lock, and the observer runs without either.
std::mutex& FaultLock() {
    static std::mutex* lock = new std::mutex;
    return *lock;
}
}  // namespace

void Fault(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = VFormat(format, args);
    va_end(args);
    std::function<void(const std::string&)> observer;
    {
        std::lock_guard<std::mutex> guard(FaultLock());
        K().Faults.push_back(text);
        observer = K().FaultObserver;
    }
    if (observer) observer(text);
}

}  // namespace detail

using namespace detail;

std::vector<std::string> Faults() {
    std::lock_guard<std::mutex> guard(FaultLock());
    return K().Faults;
}

std::vector<std::string> TakeFaults() {
    std::lock_guard<std::mutex> guard(FaultLock());
    std::vector<std::string> faults;
    faults.swap(K().Faults);
    return faults;
}

void RecordFault(const std::string& message) {
    Fault("%s", message.c_str());
}

void SetFaultObserver(std::function<void(const std::string&)> observer) {
    std::lock_guard<std::mutex> guard(FaultLock());
    K().FaultObserver = std::move(observer);
}

}  // namespace host_kernel

using namespace host_kernel::detail;

extern "C" {

VOID NTAPI HostKernelAssertFailed(PCSTR Expression, PCSTR File, ULONG Line) {
    Fault("ASSERT failed: %s (%s:%u)", Expression, File, Line);
}

ULONG DbgPrint(PCSTR Format, ...) {
    if (getenv("HOST_KERNEL_DBGPRINT")) {
        va_list args;
        va_start(args, Format);
        vfprintf(stderr, Format, args);
        va_end(args);
    }
    return 0;
}

}  // extern "C"
