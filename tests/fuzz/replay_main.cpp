// The fuzz targets without libFuzzer: runs the target once on every file
// named, or on every file of every folder named, so that the stored corpus
// and any crashing input found later run as ordinary tests in every host
// configuration (the sanitizer ones included).
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace fs = std::filesystem;

static bool Replay(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        fprintf(stderr, "cannot read %s\n", file.c_str());
        return false;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    return true;
}

int main(int argc, char** argv) {
    size_t replayed = 0;
    for (int i = 1; i < argc; ++i) {
        std::vector<fs::path> files;
        if (fs::is_directory(argv[i])) {
            for (const fs::directory_entry& entry : fs::directory_iterator(argv[i])) {
                files.push_back(entry.path());
            }
        } else {
            files.push_back(argv[i]);
        }
        for (const fs::path& file : files) {
            if (!Replay(file)) {
                return 1;
            }
            replayed++;
        }
    }
    printf("%zu inputs replayed\n", replayed);
    return replayed == 0 ? 1 : 0;
}
