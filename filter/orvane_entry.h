// orvane's entry routine as the host build names it. Every driver loaded into
// one test process needs its own entry symbol, so the host build renames
// DriverEntry; tests hand this pointer to the host kernel's loader.
#pragma once

#include "platform.h"

extern "C" NTSTATUS NTAPI OrvaneDriverEntry(PDRIVER_OBJECT DriverObject,
                                            PUNICODE_STRING RegistryPath);
