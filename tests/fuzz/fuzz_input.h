// A fuzzer's input read as a stream of choices. Every read succeeds: once the
// bytes run out, each choice is 0, so any input, however short, is a valid
// script, and a fuzzer that changes one byte changes one choice.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

class FuzzInput {
  public:
    FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool Empty() const { return size_ == 0; }

    uint8_t Byte() {
        if (size_ == 0) {
            return 0;
        }
        size_--;
        return *data_++;
    }

    uint16_t Half() { return static_cast<uint16_t>(Byte() | (Byte() << 8)); }

    uint32_t Word() { return Half() | (static_cast<uint32_t>(Half()) << 16); }

    // One of the table's entries.
    template <typename T, size_t N>
    const T& Pick(const T (&table)[N]) {
        return table[Byte() % N];
    }

    // Up to `count` bytes into `out`, the rest of it zero.
    void Fill(void* out, size_t count) {
        size_t take = count < size_ ? count : size_;
        memcpy(out, data_, take);
        memset(static_cast<uint8_t*>(out) + take, 0, count - take);
        data_ += take;
        size_ -= take;
    }

  private:
    const uint8_t* data_;
    size_t size_;
};
