#include "picture.h"

#if SNAPSHOT_CLIENT_HAVE_PNG
#include <png.h>
#endif

#include <cstring>

namespace snapshot_client {

namespace {

using std::to_string;

constexpr uint64_t kBytesPerPixel = 3;
constexpr uint32_t kBmpHeaderBytes = 14 + 40;  // BITMAPFILEHEADER, BITMAPINFOHEADER
constexpr uint64_t kLargestSigned32 = 0x7FFFFFFF;

// BMP fields are little-endian whatever the machine.
void Put16(uint8_t* at, uint32_t value) {
    at[0] = uint8_t(value);
    at[1] = uint8_t(value >> 8);
}

void Put32(uint8_t* at, uint32_t value) {
    Put16(at, value);
    Put16(at + 2, value >> 16);
}

/*
 * EncodeBmp
 *
 * A BITMAPINFOHEADER file of 24 bits a pixel, uncompressed: a positive
 * height puts the bottom row first, every row holds blue, green, red and is
 * padded with zeros to a multiple of 4 bytes. The header fields are 32 bits,
 * the width and height signed; the sizes are worked out in 64 bits and
 * checked against those limits before any is written.
 */
std::string EncodeBmp(const Picture& picture, const uint8_t* pixels, std::vector<uint8_t>* file) {
    if (picture.Width > kLargestSigned32 || picture.Height > kLargestSigned32)
        return "a picture of " + to_string(picture.Width) + " x " + to_string(picture.Height) +
               " pixels is too large for a BMP file";
    const uint64_t rowBytes = (uint64_t(picture.Width) * kBytesPerPixel + 3) & ~uint64_t(3);
    const uint64_t imageBytes = rowBytes * picture.Height;
    const uint64_t fileBytes = kBmpHeaderBytes + imageBytes;
    if (fileBytes > 0xFFFFFFFF)
        return "a picture of " + to_string(picture.Width) + " x " + to_string(picture.Height) +
               " pixels is too large for a BMP file";

    file->assign(size_t(fileBytes), 0);
    uint8_t* header = file->data();
    Put16(header, 0x4D42);  // "BM"
    Put32(header + 2, uint32_t(fileBytes));
    Put32(header + 10, kBmpHeaderBytes);  // where the rows start
    Put32(header + 14, 40);               // BITMAPINFOHEADER's own size
    Put32(header + 18, picture.Width);
    Put32(header + 22, picture.Height);
    Put16(header + 26, 1);   // planes
    Put16(header + 28, 24);  // bits a pixel
    Put32(header + 30, 0);   // BI_RGB: not compressed
    Put32(header + 34, uint32_t(imageBytes));
    for (uint32_t row = 0; row < picture.Height; row++) {
        const uint8_t* from = pixels + size_t((picture.Height - 1 - row) * picture.Stride);
        uint8_t* to = header + kBmpHeaderBytes + size_t(row * rowBytes);
        for (uint32_t x = 0; x < picture.Width; x++, from += 3, to += 3) {
            to[0] = from[2];
            to[1] = from[1];
            to[2] = from[0];
        }
    }
    return {};
}

#if SNAPSHOT_CLIENT_HAVE_PNG
// libpng's simplified interface takes the rows as they are, top row first,
// `Stride` bytes apart, and reports failures in the image record instead of
// jumping out of this function.
std::string EncodePng(const Picture& picture, const uint8_t* pixels, std::vector<uint8_t>* file) {
    if (picture.Stride > kLargestSigned32)
        return "rows of " + to_string(picture.Stride) + " bytes are too long for libpng";
    png_image image;
    std::memset(&image, 0, sizeof(image));
    image.version = PNG_IMAGE_VERSION;
    image.width = picture.Width;
    image.height = picture.Height;
    image.format = PNG_FORMAT_RGB;
    png_alloc_size_t size = PNG_IMAGE_PNG_SIZE_MAX(image);
    file->assign(size, 0);
    const int written = png_image_write_to_memory(&image, file->data(), &size, 0, pixels,
                                                  png_int_32(picture.Stride), nullptr);
    png_image_free(&image);
    if (!written) {
        file->clear();
        return std::string("libpng could not make the file: ") + image.message;
    }
    file->resize(size);
    return {};
}
#endif

}  // namespace

std::string CheckPicture(const SNAPSHOT_IMAGE_INFO& info, uint64_t byteCount, Picture* picture) {
    if (info.Version == SNAPSHOT_IMAGE_INFO_VERSION_NONE)
        return "the driver describes only the byte count (description version 0)";
    if (info.Version != SNAPSHOT_IMAGE_INFO_VERSION_1)
        return "description version " + to_string(info.Version) + " is unknown to this program";
    if (info.PixelFormat != SNAPSHOT_PIXEL_FORMAT_RGB24_TOP_DOWN)
        return "pixel format " + to_string(info.PixelFormat) + " is unknown to this program";
    if (info.Width == 0 || info.Height == 0)
        return "a picture of " + to_string(info.Width) + " x " + to_string(info.Height) +
               " pixels is empty";
    // 32-bit operands, so neither product can overflow in 64 bits.
    const uint64_t pixelBytes = uint64_t(info.Width) * kBytesPerPixel;
    if (info.Stride < pixelBytes)
        return "rows of " + to_string(info.Width) + " pixels need " + to_string(pixelBytes) +
               " bytes, the stride is " + to_string(info.Stride);
    const uint64_t described = uint64_t(info.Stride) * info.Height;
    if (described != info.ByteCount)
        return to_string(info.Height) + " rows of " + to_string(info.Stride) + " bytes are " +
               to_string(described) + " bytes, the byte count is " + to_string(info.ByteCount);
    if (byteCount != info.ByteCount)
        return "the snapshot is " + to_string(byteCount) + " bytes, the description's byte count " +
               to_string(info.ByteCount);
    picture->Width = info.Width;
    picture->Height = info.Height;
    picture->Stride = info.Stride;
    return {};
}

std::string DescribeInWords(const SNAPSHOT_IMAGE_INFO& info) {
    Picture picture;
    std::string problem = CheckPicture(info, info.ByteCount, &picture);
    if (!problem.empty()) return to_string(info.ByteCount) + " bytes, no picture: " + problem;
    return to_string(picture.Width) + " x " + to_string(picture.Height) + ", 24-bit RGB, " +
           to_string(picture.Stride) + " bytes per row, " + to_string(info.ByteCount) + " bytes";
}

FileFormat FormatOfName(const std::string& path) {
    if (path.size() < 4) return FileFormat::Raw;
    std::string ending = path.substr(path.size() - 4);
    for (char& c : ending)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    if (ending == ".bmp") return FileFormat::Bmp;
    if (ending == ".png") return FileFormat::Png;
    return FileFormat::Raw;
}

bool PngAvailable() {
#if SNAPSHOT_CLIENT_HAVE_PNG
    return true;
#else
    return false;
#endif
}

std::string EncodePicture(FileFormat format, const Picture& picture, const uint8_t* pixels,
                          std::vector<uint8_t>* file) {
    if (format == FileFormat::Bmp) return EncodeBmp(picture, pixels, file);
#if SNAPSHOT_CLIENT_HAVE_PNG
    if (format == FileFormat::Png) return EncodePng(picture, pixels, file);
#endif
    return "this build cannot write that kind of file";
}

}  // namespace snapshot_client
