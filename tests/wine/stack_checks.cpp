// What the Wine proof checks of the arrangement around the drivers: the stack
// as the stack loader recorded it (the filter above tessip on top), that
// orvane's device cannot be opened by a name of its own nor an interface with
// a path after it, and that the filter above tessip found its device
// extension untouched.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "wine_checks.h"

namespace {

// Bottom-up above the physical device, as the package and the test camera
// install them: LowerFilters, function driver, UpperFilters in list order.
const wchar_t* const kExpectedDrivers[] = {L"\\Driver\\orvane", L"\\Driver\\bridge",
                                           L"\\Driver\\tessip", L"\\Driver\\passthrough"};

bool SameText(const std::wstring& left, const wchar_t* right) {
    return _wcsicmp(left.c_str(), right) == 0;
}

// An open as an application makes it; true if it succeeded (and is closed).
bool Opens(const std::wstring& path) {
    HANDLE file =
        CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    CloseHandle(file);
    return true;
}

DWORD ReadCount(HKEY key, const wchar_t* name) {
    DWORD value = 0;
    DWORD size = sizeof(value);
    DWORD type = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD) {
        return 0;
    }
    return value;
}

void PrintStack(const DeviceStack& stack) {
    fprintf(stderr, "stack, bottom-up:");
    for (const StackDevice& device : stack) {
        fprintf(stderr, " [%ls%s%ls]", device.Driver.c_str(), device.Name.empty() ? "" : " ",
                device.Name.c_str());
    }
    fprintf(stderr, "\n");
}

}  // namespace

DeviceStack ParseStack(const std::vector<wchar_t>& multiString) {
    DeviceStack stack;
    size_t at = 0;
    while (at < multiString.size() && multiString[at] != L'\0') {
        std::wstring entry(&multiString[at]);
        at += entry.size() + 1;
        StackDevice device;
        size_t space = entry.find(L' ');
        device.Driver = entry.substr(0, space);
        if (space != std::wstring::npos) {
            device.Name = entry.substr(space + 1);
            device.NameKnown = device.Name[0] != L'(';
        }
        stack.push_back(device);
    }
    return stack;
}

/*
 * RunStackChecks
 *
 * An open of any device of a stack goes to the top of that stack, in Wine's
 * I/O manager as in Windows': a name on orvane's device would be a way into
 * the camera past its interfaces. What follows a device's name reaches the
 * drivers on Windows as the file name, which no driver of this stack
 * serves; Wine 8's object manager refuses such a path itself
 * (ERROR_FILE_NOT_FOUND) before any driver sees it, so under Wine that
 * check holds whatever the drivers do.
 */
void RunStackChecks(WineChecks& checks, const std::vector<DeviceStack>& stacks,
                    const std::wstring& stillImagePath) {
    bool arranged = !stacks.empty();
    for (const DeviceStack& stack : stacks) {
        PrintStack(stack);
        arranged = arranged && stack.size() == 1 + ARRAYSIZE(kExpectedDrivers);
        for (size_t i = 0; arranged && i < ARRAYSIZE(kExpectedDrivers); ++i) {
            arranged = SameText(stack[1 + i].Driver, kExpectedDrivers[i]);
        }
    }
    checks.Check(arranged,
                 "each camera's stack is orvane, the bridge driver, tessip and the filter above "
                 "it, bottom-up");

    bool named = false;
    size_t found = 0;
    bool known = true;
    bool refused = true;
    for (const DeviceStack& stack : stacks) {
        for (const StackDevice& device : stack) {
            if (!SameText(device.Driver, kExpectedDrivers[0])) {
                continue;
            }
            ++found;
            known = known && device.NameKnown;
            if (device.NameKnown && !device.Name.empty()) {
                named = true;
                std::wstring path = L"\\\\.\\GLOBALROOT" + device.Name;
                refused = refused && !Opens(path) && !Opens(path + L"\\x");
            }
        }
    }
    if (!named) {
        checks.Check(known && found == stacks.size() && found != 0,
                     "orvane's device object has no name to be opened by");
    } else {
        checks.Check(refused,
                     "an open of orvane's named device object, with and without a path after the "
                     "name, is refused");
    }
    checks.Check(!stillImagePath.empty() && !Opens(stillImagePath + L"\\x"),
                 "the still-image interface with a path after its name does not open");
}

SentinelCounts ReadSentinelCounts() {
    SentinelCounts counts = {};
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                      L"System\\CurrentControlSet\\Services\\passthrough\\Parameters", 0, KEY_READ,
                      &key) != ERROR_SUCCESS) {
        return counts;
    }
    counts.Attached = ReadCount(key, L"Attached");
    counts.Intact = ReadCount(key, L"Intact");
    counts.Overwritten = ReadCount(key, L"Overwritten");
    counts.OverwrittenAt = ReadCount(key, L"OverwrittenAt");
    RegCloseKey(key);
    return counts;
}

/*
 * CheckSentinel
 *
 * The filter above tessip counts what it finds in its device extension;
 * these are the counts since `before`. After the start every camera's
 * filter must be attached and nothing overwritten: the bridge driver's
 * bring-up is where it first reaches for the devices of its stack. After
 * removal every one must have gone with its extension as written.
 */
void CheckSentinel(WineChecks& checks, const SentinelCounts& before, uint32_t cameras,
                   bool removed) {
    SentinelCounts now = ReadSentinelCounts();
    uint32_t overwritten = now.Overwritten - before.Overwritten;
    if (overwritten != 0) {
        fprintf(stderr,
                "passthrough: %u of its device extensions written by another driver, the last "
                "from byte %u on\n",
                static_cast<unsigned>(overwritten), static_cast<unsigned>(now.OverwrittenAt));
    }
    if (!removed) {
        checks.Check(now.Attached - before.Attached == cameras && overwritten == 0,
                     "nothing below the filter above tessip wrote into its device extension "
                     "during the start");
    } else {
        checks.Check(now.Intact - before.Intact == cameras && overwritten == 0,
                     "the filter above tessip was removed with its device extension as it wrote "
                     "it");
    }
}
