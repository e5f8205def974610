#include "outputs.h"

#if CAMERA_SIM_HAVE_PNG
#include <png.h>
#endif

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>

namespace camera_sim {

namespace {

constexpr uint32_t kMinSceneWidth = 32;
constexpr uint32_t kMinSceneHeight = 24;
constexpr uint32_t kMaxPngSide = 16384;  // anything larger is not a scene but a mistake

#if CAMERA_SIM_HAVE_PNG
// libpng prints its errors and warnings unless given handlers; the error
// becomes the caller's one-line message instead, through the longjmp.
void PngError(png_structp png, png_const_charp) {
    png_longjmp(png, 1);
}
void PngWarning(png_structp, png_const_charp) {}

#endif

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;

}  // namespace

#if CAMERA_SIM_HAVE_PNG

bool PngAvailable() {
    return true;
}

/*
 * WritePng
 *
 * libpng reports errors by longjmp to the setjmp below; nothing with a
 * destructor is created between the two, so the jump skips no cleanup.
 */
std::string WritePng(const std::string& path, const RgbImage& image) {
    File file(std::fopen(path.c_str(), "wb"));
    if (!file) return "cannot write " + path;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, PngError, PngWarning);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    if (info == nullptr) {
        png_destroy_write_struct(&png, nullptr);
        return "out of memory writing " + path;
    }
    std::vector<png_bytep> rows(image.height);
    for (uint32_t y = 0; y < image.height; ++y)
        rows[y] = const_cast<png_bytep>(image.pixels.data() + size_t(y) * image.width * 3);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return "cannot write " + path;
    }
    png_init_io(png, file.get());
    png_set_IHDR(png, info, image.width, image.height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    png_write_image(png, rows.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return std::fflush(file.get()) == 0 ? std::string() : "cannot write " + path;
}

/*
 * ReadPng
 *
 * Any PNG is accepted: palettes, grey, 16-bit channels and alpha are turned
 * into 8-bit RGB by libpng's transformations (alpha is dropped, not
 * composited: the scene is reflectance, not a picture on a background).
 */
std::string ReadPng(const std::string& path, RgbImage* image) {
    File file(std::fopen(path.c_str(), "rb"));
    if (!file) return "cannot read " + path;
    png_byte signature[8] = {};
    if (std::fread(signature, 1, sizeof(signature), file.get()) != sizeof(signature) ||
        png_sig_cmp(signature, 0, sizeof(signature)) != 0)
        return path + " is not a PNG file";
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, PngError, PngWarning);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    if (info == nullptr) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        return "out of memory reading " + path;
    }
    std::vector<png_bytep> rows;
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        return path + " is a damaged PNG file";
    }
    png_init_io(png, file.get());
    png_set_sig_bytes(png, sizeof(signature));
    png_read_info(png, info);
    const png_uint_32 width = png_get_image_width(png, info);
    const png_uint_32 height = png_get_image_height(png, info);
    if (width > kMaxPngSide || height > kMaxPngSide) {
        png_destroy_read_struct(&png, &info, nullptr);
        return path + " is " + std::to_string(width) + "x" + std::to_string(height) +
               ", larger than any scene (at most " + std::to_string(kMaxPngSide) + " a side)";
    }
    png_set_expand(png);
    png_set_strip_16(png);
    png_set_strip_alpha(png);
    png_set_gray_to_rgb(png);
    png_read_update_info(png, info);
    image->width = width;
    image->height = height;
    image->pixels.assign(size_t(width) * height * 3, 0);
    rows.resize(height);
    for (uint32_t y = 0; y < height; ++y) rows[y] = image->pixels.data() + size_t(y) * width * 3;
    png_read_image(png, rows.data());
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    return {};
}

#else

bool PngAvailable() {
    return false;
}

std::string WritePng(const std::string& path, const RgbImage&) {
    return "cannot write " + path + ": this build of camera_sim has no libpng";
}

std::string ReadPng(const std::string& path, RgbImage*) {
    return "cannot read " + path + ": this build of camera_sim has no libpng";
}

#endif

std::string LoadScene(const std::string& path, RgbImage* scene) {
    RgbImage source;
    std::string error = ReadPng(path, &source);
    if (!error.empty()) return error;
    if (source.width < kMinSceneWidth || source.height < kMinSceneHeight)
        return path + " is " + std::to_string(source.width) + "x" + std::to_string(source.height) +
               ", smaller than a scene (at least " + std::to_string(kMinSceneWidth) + "x" +
               std::to_string(kMinSceneHeight) + ")";

    // Centre crop to 4:3, then the smallest whole factor that fits 320x240.
    uint32_t cropW = std::min(source.width, source.height * 4 / 3);
    uint32_t cropH = std::min(source.height, cropW * 3 / 4);
    const uint32_t left = (source.width - cropW) / 2;
    const uint32_t top = (source.height - cropH) / 2;
    const uint32_t factor = std::max({1u, (cropW + 319) / 320, (cropH + 239) / 240});
    scene->width = cropW / factor;
    scene->height = cropH / factor;
    scene->pixels.assign(size_t(scene->width) * scene->height * 3, 0);
    for (uint32_t y = 0; y < scene->height; ++y) {
        for (uint32_t x = 0; x < scene->width; ++x) {
            for (uint32_t c = 0; c < 3; ++c) {
                uint32_t sum = 0;
                for (uint32_t dy = 0; dy < factor; ++dy)
                    for (uint32_t dx = 0; dx < factor; ++dx)
                        sum += source.pixels[(size_t(top + y * factor + dy) * source.width + left +
                                              x * factor + dx) *
                                                 3 +
                                             c];
                scene->pixels[(size_t(y) * scene->width + x) * 3 + c] =
                    uint8_t(sum / (factor * factor));
            }
        }
    }
    return {};
}

std::string PrepareFolder(const std::string& folder) {
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error) return "cannot create the output folder " + folder + ": " + error.message();
    const std::string probe = folder + "/.camera_sim_probe";
    File file(std::fopen(probe.c_str(), "wb"));
    if (!file) return "cannot write to the output folder " + folder;
    file.reset();
    std::filesystem::remove(probe, error);
    return {};
}

std::string WriteTrace(const std::string& path, const Run& run) {
    File file(std::fopen(path.c_str(), "w"));
    if (!file) return "cannot write " + path;
    std::fprintf(file.get(),
                 "frame,phase,flicker_mode,exposure_index,shutter_rows,gain_code,luminance,red,"
                 "green,blue,red_gain,green_gain,blue_gain,ae_settled,awb_settled,snapshot,"
                 "exposure_us\n");
    for (const FrameRow& row : run.frames) {
        const BRIDGE_FRAME_RECORD& r = row.record;
        const Statistics s = Unpack(r.Statistics);
        std::fprintf(file.get(), "%u,%s,%u,%d,%u,%u,%u,%u,%u,%u,%u,%u,%u,%d,%d,%u,%u\n", r.Frame,
                     run.phases[row.phase].name.c_str(), row.flickerMode, r.ExposureIndex,
                     r.ShutterRows, r.GainCode, s.luminance, s.red, s.green, s.blue, r.RedGain,
                     r.GreenGain, r.BlueGain, row.aeSettled ? 1 : 0, row.awbSettled ? 1 : 0,
                     r.SnapshotDelivered, r.ExposureMicroseconds);
    }
    return std::fflush(file.get()) == 0 ? std::string() : "cannot write " + path;
}

namespace {

struct Plot {
    const char* file;
    const char* title;
    const char* ylabel;
    const char* series;  // gnuplot plot clauses over the CSV's columns
};

constexpr Plot kPlots[] = {
    {"luminance.png", "Average luminance (target window 100..116)", "luminance",
     "100 with lines dt 2 lc 'gray' notitle, 116 with lines dt 2 lc 'gray' notitle, "
     "'frames.csv' using 1:7 with lines lw 1.5 title 'luminance'"},
    {"exposure.png", "Exposure index", "index",
     "'frames.csv' using 1:4 with steps lw 1.5 title 'exposure index'"},
    {"gains.png", "Bridge colour gains", "gain",
     "'frames.csv' using 1:11 with steps lc 'red' title 'red', "
     "'' using 1:12 with steps lc 'dark-green' title 'green', "
     "'' using 1:13 with steps lc 'blue' title 'blue'"},
};

}  // namespace

/*
 * WritePlots
 *
 * The plain png terminal (libgd) is used because the cairo one is not in
 * every gnuplot build. The script is kept in the folder so that a plot can
 * be redrawn or restyled by hand.
 */
std::vector<std::string> WritePlots(const std::string& folder, const Run& run, std::string* note) {
    const std::string script = folder + "/plots.gp";
    {
        File file(std::fopen(script.c_str(), "w"));
        if (!file) {
            *note = "cannot write " + script;
            return {};
        }
        std::fprintf(file.get(), "set datafile separator ','\nset key autotitle columnhead\n");
        std::fprintf(file.get(),
                     "set terminal png size 960,420\nset xlabel 'frame'\nset grid\n"
                     "set key below horizontal\nset offsets 0, 0, graph 0.1, 0\n");
        for (size_t i = 1; i < run.phases.size(); ++i) {
            const uint32_t at = run.phases[i].firstFrame;
            std::fprintf(file.get(),
                         "set arrow from %u, graph 0 to %u, graph 1 nohead dt 3 lc 'black'\n"
                         "set label '%s' at %u, graph 0.97 left offset 0.3,0 font ',8'\n",
                         at, at, run.phases[i].name.c_str(), at);
        }
        for (const Plot& plot : kPlots) {
            std::fprintf(file.get(), "set output '%s'\nset title '%s'\nset ylabel '%s'\nplot %s\n",
                         plot.file, plot.title, plot.ylabel, plot.series);
        }
    }
    const std::string command =
        "cd '" + folder + "' && gnuplot plots.gp >gnuplot.log 2>&1 && rm -f gnuplot.log";
    if (std::system(command.c_str()) != 0) {
        *note = "gnuplot failed or is not installed (tools/setup.sh installs it); see " + folder +
                "/gnuplot.log";
        return {};
    }
    std::vector<std::string> written;
    for (const Plot& plot : kPlots) written.push_back(folder + "/" + plot.file);
    return written;
}

}  // namespace camera_sim
