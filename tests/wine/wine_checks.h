// The tally of the Wine proof: one line per check, and what Wine is known not
// to implement counted apart, so that a green run still says what it could
// not prove there.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

class WineChecks {
  public:
    // Returns `held` so that a check can guard the ones that depend on it.
    bool Check(bool held, const char* what) {
        printf("%s %s%s\n", held ? "PASS" : "FAIL", context_, what);
        (held ? passed_ : failed_)++;
        fflush(stdout);
        return held;
    }

    // A check of something Wine does not implement (`why`): its failure is
    // expected and counted apart; its success is a pass.
    void ExpectFailureUnderWine(bool held, const char* what, const char* why) {
        if (held) {
            Check(true, what);
            return;
        }
        printf("XFAIL %s%s (%s)\n", context_, what, why);
        expected_++;
        fflush(stdout);
    }

    // Printed before every check from now on ("" for none), e.g. "direct I/O: ".
    void SetContext(const char* context) { context_ = context; }

    // The exit status: 0 only when nothing failed.
    int Summary() const {
        printf("summary: %d passed, %d failed, %d expected failures\n", passed_, failed_,
               expected_);
        return failed_ == 0 ? 0 : 1;
    }

  private:
    int passed_ = 0;
    int failed_ = 0;
    int expected_ = 0;
    const char* context_ = "";
};

// catalog_checks.cpp: the package's catalog, read with wintrust, lists each
// file of the package in the stage folder by its own hash and nothing else.
void RunCatalogChecks(WineChecks& checks, const std::wstring& stage);

// camera_checks.cpp: everything done with the started camera, the snapshot
// of a camera whose requests use direct I/O, two cameras each delivering its
// own still image, and what must be gone once the cameras have been removed.
// WaitForCameras waits (10 s at most) until `count` cameras have started,
// each with the bridge driver's and tessip's interface.
bool WaitForCameras(size_t count);
std::vector<std::wstring> StillImagePaths();
void RunCameraChecks(WineChecks& checks);
void RunDirectIoChecks(WineChecks& checks);
void RunTwoCameraChecks(WineChecks& checks);
void RunRemovalChecks(WineChecks& checks);

// stack_checks.cpp: the arrangement around the drivers. The stack loader
// records each camera's stack in its device parameters (StackDevices, one
// device object an entry, bottom-up from the physical device); the filter
// above tessip counts in its service's Parameters key what it found in its
// device extension.
struct StackDevice {
    std::wstring Driver;    // \Driver\<service>
    std::wstring Name;      // empty for an unnamed device object
    bool NameKnown = true;  // false when the loader could not ask
};
using DeviceStack = std::vector<StackDevice>;
DeviceStack ParseStack(const std::vector<wchar_t>& multiString);
void RunStackChecks(WineChecks& checks, const std::vector<DeviceStack>& stacks,
                    const std::wstring& stillImagePath);

struct SentinelCounts {
    uint32_t Attached;
    uint32_t Intact;
    uint32_t Overwritten;
    uint32_t OverwrittenAt;
};
SentinelCounts ReadSentinelCounts();
void CheckSentinel(WineChecks& checks, const SentinelCounts& before, uint32_t cameras,
                   bool removed);
