// The real images in a kernel someone else wrote: installs root-enumerated
// test cameras from the driver package (the filters) and the test camera's
// own INF (bridge driver, stack loader, a pass-through filter above tessip),
// waits for them to start, drives and checks them through the bridge
// driver's private control and tessip's still-image interface, and removes
// them: one camera with buffered I/O, one with direct I/O, then two at once.
// A Windows program (MinGW-w64), run under Wine by tools/wine_proof.sh, one
// width per prefix.
//
//   camera_wine_test <stage folder>
//
// The stage folder holds the package (INF, images, catalog), the test
// camera's INF, stack_loader.sys, the pass-through filter's and the bridge
// driver's images. Checks the package's catalog first. Prints one line per
// check (PASS, FAIL, XFAIL for what Wine does not implement) and a summary;
// exits 0 only when nothing failed.
#include <windows.h>
#include <cfgmgr32.h>
#include <newdev.h>
#include <setupapi.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "wine_checks.h"

namespace {

// GUID_DEVCLASS_IMAGE, the Image setup class.
const GUID kImageClass = {
    0x6bdd1fc6, 0x810f, 0x11d0, {0xbe, 0xc7, 0x08, 0x00, 0x2b, 0xe2, 0x09, 0x2f}};
const wchar_t kHardwareId[] = L"ROOT\\CAMFILTERSTEST";
const wchar_t kFilterInf[] = L"camfilters.inf";
const wchar_t kCameraInf[] = L"wine_camera.inf";

std::wstring Join(const std::wstring& folder, const wchar_t* name) {
    return folder + L"\\" + name;
}

// A REG_MULTI_SZ of the names, in order.
std::vector<BYTE> MultiString(std::initializer_list<const wchar_t*> names) {
    std::wstring text;
    for (const wchar_t* name : names) {
        text += name;
        text.push_back(L'\0');
    }
    text.push_back(L'\0');
    const BYTE* bytes = reinterpret_cast<const BYTE*>(text.data());
    return std::vector<BYTE>(bytes, bytes + text.size() * sizeof(wchar_t));
}

/*
 * InstallFilters
 *
 * What the package's INF does for a camera on Windows: copies the two
 * images and adds the two filter services. Its filter lists go into the
 * device's hardware key, which Wine's setupapi does not write, so
 * RegisterCamera sets them itself.
 */
bool InstallFilters(const std::wstring& stage) {
    std::wstring path = Join(stage, kFilterInf);
    HINF inf = SetupOpenInfFileW(path.c_str(), nullptr, INF_STYLE_WIN4, nullptr);
    if (inf == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "cannot open %ls: error %lu\n", path.c_str(), GetLastError());
        return false;
    }
    // The models section names the install section for the camera.
    INFCONTEXT line;
    wchar_t install[256] = {};
    bool found = false;
    if (SetupFindFirstLineW(inf, L"Manufacturer", nullptr, &line)) {
        wchar_t models[256] = {};
        wchar_t decoration[64] = {};
        SetupGetStringFieldW(&line, 1, models, ARRAYSIZE(models), nullptr);
        SetupGetStringFieldW(&line, 2, decoration, ARRAYSIZE(decoration), nullptr);
        std::wstring section = std::wstring(models) + L"." + decoration;
        INFCONTEXT model;
        found = SetupFindFirstLineW(inf, section.c_str(), nullptr, &model) &&
                SetupGetStringFieldW(&model, 1, install, ARRAYSIZE(install), nullptr);
    }
    // The install section as this platform decorates it (.NT, .NTAMD64 ...).
    wchar_t actual[256] = {};
    found = found && SetupDiGetActualSectionToInstallW(inf, install, actual, ARRAYSIZE(actual),
                                                       nullptr, nullptr);
    bool installed = false;
    if (found) {
        void* context = SetupInitDefaultQueueCallbackEx(
            nullptr, reinterpret_cast<HWND>(INVALID_HANDLE_VALUE), 0, 0, nullptr);
        installed =
            SetupInstallFromInfSectionW(nullptr, inf, actual, SPINST_FILES | SPINST_REGISTRY,
                                        nullptr, stage.c_str(), SP_COPY_NEWER,
                                        SetupDefaultQueueCallbackW, context, nullptr, nullptr) &&
            SetupInstallServicesFromInfSectionW(inf, (std::wstring(actual) + L".Services").c_str(),
                                                0);
        SetupTermDefaultQueueCallback(context);
    }
    if (!installed) {
        fprintf(stderr, "installing %ls [%ls] failed: error %lx\n", path.c_str(), actual,
                GetLastError());
    }
    SetupCloseInfFile(inf);
    return installed;
}

struct Camera {
    HDEVINFO set = INVALID_HANDLE_VALUE;
    SP_DEVINFO_DATA device;
};

// A value in the device's parameters key, as a camera's INF writes it.
bool SetDeviceParameter(Camera* camera, const wchar_t* name, DWORD value) {
    HKEY key = SetupDiCreateDevRegKeyW(camera->set, &camera->device, DICS_FLAG_GLOBAL, 0, DIREG_DEV,
                                       nullptr, nullptr);
    if (key == INVALID_HANDLE_VALUE) {
        return false;
    }
    bool set = RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                              sizeof(value)) == ERROR_SUCCESS;
    RegCloseKey(key);
    return set;
}

// A root-enumerated device with the camera's hardware id and filter lists:
// tessip first among the upper filters, so that the pass-through filter sits
// above it, as another vendor's filter would. `directIo` sets the device
// parameter that has the bridge driver ask for direct I/O.
bool RegisterCamera(Camera* camera, bool directIo) {
    camera->set = SetupDiCreateDeviceInfoList(&kImageClass, nullptr);
    memset(&camera->device, 0, sizeof(camera->device));
    camera->device.cbSize = sizeof(camera->device);
    std::vector<BYTE> hardwareId = MultiString({kHardwareId});
    std::vector<BYTE> lower = MultiString({L"orvane"});
    std::vector<BYTE> upper = MultiString({L"tessip", L"passthrough"});
    return camera->set != INVALID_HANDLE_VALUE &&
           SetupDiCreateDeviceInfoW(camera->set, L"IMAGE", &kImageClass, nullptr, nullptr,
                                    DICD_GENERATE_ID, &camera->device) &&
           SetupDiSetDeviceRegistryPropertyW(camera->set, &camera->device, SPDRP_HARDWAREID,
                                             hardwareId.data(), hardwareId.size()) &&
           SetupDiSetDeviceRegistryPropertyW(camera->set, &camera->device, SPDRP_LOWERFILTERS,
                                             lower.data(), lower.size()) &&
           SetupDiSetDeviceRegistryPropertyW(camera->set, &camera->device, SPDRP_UPPERFILTERS,
                                             upper.data(), upper.size()) &&
           SetupDiCallClassInstaller(DIF_REGISTERDEVICE, camera->set, &camera->device) &&
           (!directIo || SetDeviceParameter(camera, L"DirectIo", 1));
}

// The camera's own INF: the bridge driver, with the loader as function service.
bool InstallCamera(const std::wstring& stage) {
    std::wstring path = Join(stage, kCameraInf);
    BOOL reboot = FALSE;
    if (!UpdateDriverForPlugAndPlayDevicesW(nullptr, kHardwareId, path.c_str(), INSTALLFLAG_FORCE,
                                            &reboot)) {
        fprintf(stderr, "installing %ls failed: error %lu\n", path.c_str(), GetLastError());
        return false;
    }
    return true;
}

// The camera's stack as the stack loader recorded it in its device parameters.
DeviceStack ReadStack(Camera* camera) {
    std::vector<wchar_t> list;
    HKEY key = SetupDiOpenDevRegKey(camera->set, &camera->device, DICS_FLAG_GLOBAL, 0, DIREG_DEV,
                                    KEY_READ);
    if (key == INVALID_HANDLE_VALUE) {
        return DeviceStack();
    }
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExW(key, L"StackDevices", nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
        type == REG_MULTI_SZ) {
        list.resize(size / sizeof(wchar_t) + 2, L'\0');  // ends even if stored without its NULs
        RegQueryValueExW(key, L"StackDevices", nullptr, &type, reinterpret_cast<BYTE*>(list.data()),
                         &size);
    }
    RegCloseKey(key);
    return ParseStack(list);
}

bool RemoveCamera(Camera* camera) {
    bool removed = SetupDiCallClassInstaller(DIF_REMOVE, camera->set, &camera->device);
    SetupDiDestroyDeviceInfoList(camera->set);
    camera->set = INVALID_HANDLE_VALUE;
    return removed;
}

// The folder this program runs from, where the stage puts the package
// beside it, with no trailing separator.
std::wstring OwnFolder() {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length == MAX_PATH) {
        return L".";
    }
    std::wstring folder(path, length);
    return folder.substr(0, folder.find_last_of(L'\\'));
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc > 2) {
        fprintf(stderr, "usage: camera_wine_test [stage folder, by default its own]\n");
        return 2;
    }
    const std::wstring stage = argc == 2 ? argv[1] : OwnFolder();
    WineChecks checks;

    RunCatalogChecks(checks, stage);
    checks.Check(InstallFilters(stage), "the package's INF installs both filters");

    // A camera as installed by default (buffered I/O), checked in full; one
    // whose installation asks for direct I/O, for the snapshot's path; then
    // two cameras at once.
    struct Variant {
        const char* context;
        bool directIo;
        size_t cameras;
        void (*run)(WineChecks&);
    };
    const Variant variants[] = {
        {"", false, 1, RunCameraChecks},
        {"direct I/O: ", true, 1, RunDirectIoChecks},
        {"two cameras: ", false, 2, RunTwoCameraChecks},
    };
    for (const Variant& variant : variants) {
        checks.SetContext(variant.context);
        const SentinelCounts before = ReadSentinelCounts();
        std::vector<Camera> cameras(variant.cameras);
        bool registered = true;
        for (Camera& camera : cameras) {
            registered = RegisterCamera(&camera, variant.directIo) && registered;
        }
        checks.Check(registered, variant.cameras == 1
                                     ? "a root-enumerated camera with both filter lists registers"
                                     : "root-enumerated cameras with both filter lists register");
        if (!checks.Check(InstallCamera(stage), "the camera's function driver installs")) {
            break;
        }
        // The checks of each variant say whether the cameras started.
        WaitForCameras(variant.cameras);
        CheckSentinel(checks, before, static_cast<uint32_t>(variant.cameras), false);
        std::vector<DeviceStack> stacks;
        for (Camera& camera : cameras) {
            stacks.push_back(ReadStack(&camera));
        }
        std::vector<std::wstring> stills = StillImagePaths();
        RunStackChecks(checks, stacks, stills.empty() ? std::wstring() : stills.front());
        variant.run(checks);
        bool removed = true;
        for (Camera& camera : cameras) {
            removed = RemoveCamera(&camera) && removed;
        }
        checks.Check(removed,
                     variant.cameras == 1 ? "the camera is removed" : "both cameras are removed");
        RunRemovalChecks(checks);
        CheckSentinel(checks, before, static_cast<uint32_t>(variant.cameras), true);
    }
    checks.SetContext("");
    return checks.Summary();
}
