// ntddk.h of the user-mode kernel: everything the drivers use is in wdm.h.
#pragma once
#include "wdm.h"
