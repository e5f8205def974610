// Host stand-in for MmSecureVirtualMemory: the range counts as writable user
// memory when the process's own mappings (/proc/self/maps) cover it without
// a gap and every mapping on the way is writable. Nothing is pinned: the
// tests do not unmap buffers while a read is copying into them.
//
// Reads the table in fixed chunks on the stack, so it allocates nothing.
#include "snapshot_user_range.h"

#include <fcntl.h>
#include <unistd.h>

namespace {

// Streams the lines of /proc/self/maps without allocating.
class MapsReader {
 public:
  MapsReader() : fd_(open("/proc/self/maps", O_RDONLY | O_CLOEXEC)) {}
  ~MapsReader() {
    if (fd_ >= 0) close(fd_);
  }
  MapsReader(const MapsReader &) = delete;
  MapsReader &operator=(const MapsReader &) = delete;

  // The next mapping: [low, high) and whether it is writable.
  bool Next(unsigned long long *low, unsigned long long *high, bool *writable) {
    if (!Hex(low) || Get() != '-' || !Hex(high) || Get() != ' ') return false;
    char perms[4];
    for (char &p : perms) p = static_cast<char>(Get());
    *writable = perms[1] == 'w';
    int c;
    while ((c = Get()) != '\n' && c != -1) {
    }
    return true;
  }

 private:
  int Get() {
    if (pos_ == len_) {
      if (fd_ < 0) return -1;
      ssize_t n = read(fd_, buffer_, sizeof(buffer_));
      if (n <= 0) return -1;
      len_ = static_cast<size_t>(n);
      pos_ = 0;
    }
    return static_cast<unsigned char>(buffer_[pos_++]);
  }
  // Reads hex digits up to the next non-digit, which it leaves unread.
  bool Hex(unsigned long long *value) {
    *value = 0;
    bool any = false;
    for (;;) {
      if (pos_ == len_ && Peek() < 0) return any;
      char c = buffer_[pos_];
      int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
      if (digit < 0) return any;
      *value = *value * 16 + static_cast<unsigned>(digit);
      any = true;
      pos_++;
    }
  }
  int Peek() {
    int c = Get();
    if (c >= 0) pos_--;
    return c;
  }

  int fd_;
  char buffer_[4096];
  size_t pos_ = 0;
  size_t len_ = 0;
};

}  // namespace

extern "C" HANDLE SnapshotSecureUserRange(PVOID Address, SIZE_T Length) {
  unsigned long long cursor = reinterpret_cast<uintptr_t>(Address);
  unsigned long long end = cursor + Length;
  if (Length == 0 || end < cursor) return nullptr;

  MapsReader maps;
  unsigned long long low, high;
  bool writable;
  while (maps.Next(&low, &high, &writable)) {
    if (high <= cursor) continue;
    if (low > cursor || !writable) return nullptr;
    cursor = high;
    if (cursor >= end) return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(1));
  }
  return nullptr;
}

extern "C" VOID SnapshotUnsecureUserRange(HANDLE Secured) {
  (void)Secured;
}
