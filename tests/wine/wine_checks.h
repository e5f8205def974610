// The tally of the Wine proof: one line per check, and what Wine is known not
// to implement counted apart, so that a green run still says what it could
// not prove there.
#pragma once

#include <cstdint>
#include <cstdio>
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

// camera_checks.cpp: everything done with the started camera, the snapshot
// of a camera whose requests use direct I/O, and what must be gone once a
// camera has been removed.
void RunCameraChecks(WineChecks& checks);
void RunDirectIoChecks(WineChecks& checks);
void RunRemovalChecks(WineChecks& checks);
