// snapshot_client, the program: lists still-image devices, shows a device's
// image description, takes a snapshot on request or on the camera's button
// and saves it as a BMP or PNG picture or as its raw bytes. `args` are the
// arguments after the program name, in UTF-8; the program writes its report
// to `out` and one-line errors to `err`, and returns the exit status: 0
// done, 1 failed at run time, 2 bad usage.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace snapshot_client {

int RunProgram(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);

}  // namespace snapshot_client
