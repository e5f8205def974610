// The host simulation's side of the bring-up comparison: plugs the same
// camera in on the user-mode kernel (orvane, the bridge driver and tessip
// from the same sources as the images), starts it, and writes the bridge
// driver's bring-up log in the form the Wine proof compares with.
//
//   host_bring_up FILE
#include <cstdio>
#include <memory>

#include "bridge_client.h"
#include "bring_up_log.h"
#include "camera_stack.h"

using namespace host_kernel;

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: host_bring_up FILE\n");
        return 2;
    }
    int status = 1;
    {
        camera_stack::CameraDrivers drivers;
        PDEVICE_OBJECT pdo = nullptr;
        Process* program = CreateProcess("bring-up log");
        camera_stack::BridgeClient bridge(program);
        std::unique_ptr<BRIDGE_QUERY_RESULT> seen;
        if (NT_SUCCESS(drivers.PlugIn(DO_BUFFERED_IO | DO_POWER_PAGABLE, &pdo)) &&
            NT_SUCCESS(StartDevice(pdo)) && NT_SUCCESS(bridge.Open(pdo))) {
            seen = bridge.Query();
        }
        bridge.Close();
        TerminateProcess(program);
        FILE* out = seen != nullptr ? fopen(argv[1], "wb") : nullptr;
        if (out != nullptr) {
            const std::string log = DescribeBringUp(*seen);
            status = fwrite(log.data(), 1, log.size(), out) == log.size() ? 0 : 1;
            fclose(out);
        }
    }
    Shutdown();
    for (const std::string& fault : Faults()) {
        fprintf(stderr, "host_bring_up: %s\n", fault.c_str());
        status = 1;
    }
    if (status != 0) {
        fprintf(stderr, "host_bring_up: no bring-up log written to %s\n", argv[1]);
    }
    return status;
}
