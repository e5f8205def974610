#!/usr/bin/env bash
# Compiles the public headers the way the other parties do.
#
# First each header alone, from a one-line source, as strict C11 and C++20
# with the MinGW-w64 i686 and x86-64 compilers (a bridge driver, an
# application) and the host compilers of this configuration (-m32 in the x86
# one): a header that leans on something it does not include, uses C++ in C,
# or lays out a record differently in either width (each header pins its
# offsets) fails here.
#
# Then behind what each party includes first: the DDK for a bridge driver in
# C, <windows.h> and <setupapi.h> for an application in C and C++. These
# catch GUID objects that do not become the platform's GUID, and record
# functions whose device object or calling convention differs from the
# DDK's, since C++ rejects and -Werror fails each mismatched assignment.
#
# usage: check_public_headers.sh <include dir> <host cc> <host c++> <host width flag>
set -euo pipefail
include=$1
host_cc=$2
host_cxx=$3
width=$4
ddk=/usr/share/mingw-w64/include/ddk
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

strict_c=(-std=c11 -Wall -Wextra -Werror -pedantic -fsyntax-only -I"$include")
strict_cxx=(-std=c++20 -Wall -Wextra -Werror -pedantic -fsyntax-only -I"$include")
c_compilers=(i686-w64-mingw32-gcc x86_64-w64-mingw32-gcc "$host_cc $width")
cxx_compilers=(i686-w64-mingw32-g++ x86_64-w64-mingw32-g++ "$host_cxx $width")
mingw_c=(i686-w64-mingw32-gcc x86_64-w64-mingw32-gcc)
mingw_cxx=(i686-w64-mingw32-g++ x86_64-w64-mingw32-g++)

failures=0
compiles=0
# compile <what> <compiler command> <flags...> <source>
compile() {
  local what=$1 compiler=$2
  shift 2
  compiles=$((compiles + 1))
  # shellcheck disable=SC2086  # the compiler command carries its width flag
  if ! output=$($compiler "$@" 2>&1); then
    echo "FAIL: $what with $compiler"
    echo "$output"
    failures=$((failures + 1))
  fi
}

headers=("$include"/*.h)
for header in "${headers[@]}"; do
  name=$(basename "$header" .h)
  echo "#include \"$name.h\"" >"$work/$name.c"
  cp "$work/$name.c" "$work/$name.cpp"
  for compiler in "${c_compilers[@]}"; do
    compile "$name.h alone as C" "$compiler" "${strict_c[@]}" "$work/$name.c"
  done
  for compiler in "${cxx_compilers[@]}"; do
    compile "$name.h alone as C++" "$compiler" "${strict_cxx[@]}" "$work/$name.cpp"
  done
done

# A bridge driver's use of both interfaces.
cat >"$work/bridge.c" <<'EOF'
#include <ntddk.h>
#include "camera_sensor_control.h"
#include "camera_snapshot.h"

static SENSOR_STATUS NTAPI ReadFrameStats(void *context, uint32_t *stats)
{
    (void)context;
    *stats = 0;
    return STATUS_SUCCESS;
}

const GUID *const QueriedGuids[] = {&GUID_SENSOR_CONTROL_INTERFACE, &GUID_SNAPSHOT_INTERFACE};

NTSTATUS UseSensorControl(const SENSOR_CONTROL_INTERFACE *record, BRIDGE_SERVICES *services)
{
    SENSOR_COMMAND command = {0};
    services->ReadFrameStats = ReadFrameStats;
    command.Code = SENSOR_CMD_AUTO_EXPOSURE_STEP;
    command.Bridge = services;
    return record->Command0(&command);
}

ULONG UseSnapshot(const SNAPSHOT_INTERFACE *record, PDEVICE_OBJECT filter,
                  const SNAPSHOT_IMAGE_INFO *info)
{
    record->SetImageInfo(filter, info);
    return record->TakeSnapshotRequest(filter);
}
EOF
for compiler in "${mingw_c[@]}"; do
  compile "a bridge driver in C behind <ntddk.h>" "$compiler" -std=c11 -Wall -Wextra -Werror \
      -fsyntax-only -isystem "$ddk" -I"$include" "$work/bridge.c"
done

# An application finding the camera and sending each control.
cat >"$work/application.c" <<'EOF'
#include <windows.h>
#include <setupapi.h>
#include "camera_still_image.h"

HDEVINFO FindCameras(void)
{
    return SetupDiGetClassDevsW(&GUID_DEVINTERFACE_IMAGE, NULL, NULL,
                                DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
}

BOOL QueryReady(HANDLE device, uint32_t *ready)
{
    uint32_t code = SNAPSHOT_CONTROL_QUERY_READY;
    DWORD bytes = 0;
    return DeviceIoControl(device, IOCTL_SNAPSHOT_CONTROL, &code, sizeof code, ready,
                           sizeof *ready, &bytes, NULL);
}

BOOL GetImageInfo(HANDLE device, SNAPSHOT_IMAGE_INFO *info)
{
    DWORD bytes = 0;
    return DeviceIoControl(device, IOCTL_SNAPSHOT_GET_IMAGE_INFO, NULL, 0, info, sizeof *info,
                           &bytes, NULL);
}

BOOL SetEvents(HANDLE device, HANDLE first, HANDLE second)
{
    HANDLE handles[2];
    DWORD bytes = 0;
    handles[0] = first;
    handles[1] = second;
    return DeviceIoControl(device, IOCTL_SNAPSHOT_SET_EVENTS, handles,
                           SNAPSHOT_SET_EVENTS_INPUT_SIZE, NULL, 0, &bytes, NULL);
}
EOF
cp "$work/application.c" "$work/application.cpp"
for compiler in "${mingw_c[@]}"; do
  compile "an application in C behind <windows.h>" "$compiler" "${strict_c[@]}" \
      "$work/application.c"
done
for compiler in "${mingw_cxx[@]}"; do
  compile "an application in C++ behind <windows.h>" "$compiler" "${strict_cxx[@]}" \
      "$work/application.cpp"
done

if [ "$failures" -ne 0 ]; then
  echo "FAIL: $failures of $compiles compilations"
  exit 1
fi
echo "ok: ${#headers[@]} headers alone and 2 party programs, $compiles compilations"
