// What snapshot_client makes of a snapshot's bytes with the image
// description beside them: the description in words, and the picture files
// it saves them as. Only a description it fully understands makes a picture;
// for anything else the bytes stay as the driver handed them over, since a
// guess would save a wrong picture that looks right.
#pragma once

#include "snapshot_client.h"

#include <cstdint>
#include <string>
#include <vector>

namespace snapshot_client {

// The picture a description gives, its sizes checked against each other and
// against the bytes it describes.
struct Picture {
    uint32_t Width = 0;
    uint32_t Height = 0;
    uint64_t Stride = 0;  // bytes from one row's start to the next
};

// Why `info` is not a picture of `byteCount` bytes that this program can
// draw, or an empty string with `*picture` filled in.
std::string CheckPicture(const SNAPSHOT_IMAGE_INFO& info, uint64_t byteCount, Picture* picture);

// "640 x 480, 24-bit RGB, 1920 bytes per row, 921600 bytes", or the byte
// count and why there is no picture.
std::string DescribeInWords(const SNAPSHOT_IMAGE_INFO& info);

// What --out writes, chosen by the file name's ending: ".bmp" and ".png" in
// any case, and the raw bytes for every other name.
enum class FileFormat { Raw, Bmp, Png };
FileFormat FormatOfName(const std::string& path);

// Whether this build can write PNG files: only where libpng was found when
// it was built (not the Windows programs).
bool PngAvailable();

// `pixels`, laid out as `picture` says, as the whole of a BMP or PNG file;
// an empty string, or why the file could not be made.
std::string EncodePicture(FileFormat format, const Picture& picture, const uint8_t* pixels,
                          std::vector<uint8_t>* file);

}  // namespace snapshot_client
