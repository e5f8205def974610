// Poisoning: memory the kernel keeps after a driver let go of it (freed
// IRPs, deleted devices), so that later misuse is seen, not undefined, is
// poisoned under AddressSanitizer until Reset releases it.
#include "kernel_internal.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace host_kernel {
namespace detail {

void Poison(const void* address, size_t size) {
#if defined(__SANITIZE_ADDRESS__)
    __asan_poison_memory_region(address, size);
#else
    (void)address;
    (void)size;
#endif
}

void Unpoison(const void* address, size_t size) {
#if defined(__SANITIZE_ADDRESS__)
    __asan_unpoison_memory_region(address, size);
#else
    (void)address;
    (void)size;
#endif
}

}  // namespace detail
}  // namespace host_kernel
