// What camera_sim leaves in its output folder: the snapshot as PNG, a CSV
// trace of every frame and plots drawn by gnuplot; and the scene image it
// reads.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "scenario.h"

namespace camera_sim {

// Whether this build reads and writes PNG files (it has libpng).
bool PngAvailable();

// PNG in and out through libpng. Each returns an empty string or the reason
// it failed.
std::string WritePng(const std::string& path, const RgbImage& image);
std::string ReadPng(const std::string& path, RgbImage* image);

// A scene for the camera from a PNG: cropped to the frame's 4:3 shape and
// scaled down (box filter) to at most 320x240. Too small a picture is
// refused rather than blown up into blocks.
std::string LoadScene(const std::string& path, RgbImage* scene);

// Creates `folder` (and its parents) and proves a file can be written there.
std::string PrepareFolder(const std::string& folder);

// frames.csv: one row per streamed frame.
std::string WriteTrace(const std::string& path, const Run& run);

// luminance.png, exposure.png and gains.png in `folder`, with the phase
// changes marked. Returns the files written; `note` says why not, if not.
std::vector<std::string> WritePlots(const std::string& folder, const Run& run, std::string* note);

}  // namespace camera_sim
