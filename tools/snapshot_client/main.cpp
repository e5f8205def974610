// snapshot_client as a Windows program: the wide command line, in UTF-8, to
// the program (program.h). Built by the MinGW-w64 configurations with
// -municode, which makes wmain the entry point.
#include "program.h"
#include "snapshot_client.h"

int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; i++) args.push_back(snapshot_client::Utf8(argv[i]));
    return snapshot_client::RunProgram(args, stdout, stderr);
}
