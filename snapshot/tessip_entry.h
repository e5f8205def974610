// The host build's name for tessip's entry routine. Each driver library of
// the host build renames its DriverEntry, so that a test can load tessip
// (and orvane beside it) into the user-mode kernel by pointer.
#pragma once

#include "platform.h"

extern "C" NTSTATUS NTAPI TessipDriverEntry(PDRIVER_OBJECT DriverObject,
                                            PUNICODE_STRING RegistryPath);
