// Post-link step for the kernel images: marks named sections discardable and
// rewrites the image checksum.
//
// GNU as has no way to give a section IMAGE_SCN_MEM_DISCARDABLE, so the INIT
// section of a driver image comes out of the linker resident. The kernel loader
// frees discardable sections once the entry routine has returned; without the
// flag the entry code stays in memory for the life of the driver. Editing a
// section header invalidates the checksum, which the loader verifies for boot
// drivers, so the checksum is recomputed afterwards.
//
// Usage: pe_mark_discardable <image> <section>...
//
// Built with the host compiler by the kernel configurations (the images are
// cross-compiled, this tool is not), so it is portable C++ with no platform
// headers: the PE layout is read byte by byte, little-endian.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kDiscardable = 0x02000000;  // IMAGE_SCN_MEM_DISCARDABLE
constexpr size_t kSectionHeaderSize = 40;
constexpr size_t kChecksumOffsetInOptionalHeader = 64;  // same for PE32 and PE32+
constexpr size_t kCharacteristicsOffsetInSection = 36;

struct Image {
    std::vector<uint8_t> bytes;
    size_t checksumOffset = 0;
    size_t sectionTable = 0;
    unsigned sectionCount = 0;
};

uint32_t Read16(const std::vector<uint8_t>& b, size_t at) {
    return static_cast<uint32_t>(b[at]) | static_cast<uint32_t>(b[at + 1]) << 8;
}

uint32_t Read32(const std::vector<uint8_t>& b, size_t at) {
    return Read16(b, at) | Read16(b, at + 2) << 16;
}

void Write32(std::vector<uint8_t>& b, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

bool Fail(const std::string& message) {
    std::fprintf(stderr, "pe_mark_discardable: %s\n", message.c_str());
    return false;
}

// Locates the checksum and the section table, rejecting anything that is not
// a PE image with every header inside the file.
bool Parse(Image& image, const std::string& path) {
    const auto& b = image.bytes;
    if (b.size() < 0x40 || b[0] != 'M' || b[1] != 'Z') return Fail(path + ": not an MZ image");
    const size_t pe = Read32(b, 0x3C);
    if (pe > b.size() || b.size() - pe < 24 || std::memcmp(&b[pe], "PE\0\0", 4) != 0)
        return Fail(path + ": no PE signature");
    const size_t fileHeader = pe + 4;
    image.sectionCount = Read16(b, fileHeader + 2);
    const size_t optionalSize = Read16(b, fileHeader + 16);
    const size_t optionalHeader = fileHeader + 20;
    if (optionalSize < kChecksumOffsetInOptionalHeader + 4 ||
        optionalHeader + optionalSize > b.size())
        return Fail(path + ": optional header truncated");
    image.checksumOffset = optionalHeader + kChecksumOffsetInOptionalHeader;
    image.sectionTable = optionalHeader + optionalSize;
    if (image.sectionTable + image.sectionCount * kSectionHeaderSize > b.size())
        return Fail(path + ": section table truncated");
    return true;
}

// The PE checksum: a 16-bit one's-complement style sum of the file with the
// checksum field taken as zero, folded to 16 bits, plus the file length.
uint32_t ComputeChecksum(const Image& image) {
    const auto& b = image.bytes;
    uint64_t sum = 0;
    for (size_t at = 0; at < b.size(); at += 2) {
        if (at == image.checksumOffset || at == image.checksumOffset + 2) continue;
        uint32_t word = b[at];
        if (at + 1 < b.size()) word |= static_cast<uint32_t>(b[at + 1]) << 8;
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint32_t>(sum + b.size());
}

bool MarkDiscardable(Image& image, const std::string& name, const std::string& path) {
    if (name.empty() || name.size() > 8)
        return Fail("section name must be 1 to 8 characters: " + name);
    for (unsigned i = 0; i < image.sectionCount; ++i) {
        const size_t header = image.sectionTable + i * kSectionHeaderSize;
        char field[9] = {};
        std::memcpy(field, &image.bytes[header], 8);
        if (name != field) continue;
        const size_t at = header + kCharacteristicsOffsetInSection;
        Write32(image.bytes, at, Read32(image.bytes, at) | kDiscardable);
        return true;
    }
    return Fail(path + ": no section named " + name);
}

bool Load(Image& image, const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return Fail("cannot open " + path);
    image.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return Parse(image, path);
}

bool Store(const Image& image, const std::string& path) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(image.bytes.data()),
              static_cast<std::streamsize>(image.bytes.size()));
    return out ? true : Fail("cannot write " + path);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3 || argv[1][0] == '-') {
        std::fprintf(stderr, "usage: pe_mark_discardable <image> <section>...\n");
        return 2;
    }
    Image image;
    if (!Load(image, argv[1])) return 1;
    for (int i = 2; i < argc; ++i)
        if (!MarkDiscardable(image, argv[i], argv[1])) return 1;
    Write32(image.bytes, image.checksumOffset, ComputeChecksum(image));
    return Store(image, argv[1]) ? 0 : 1;
}
