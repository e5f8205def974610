#include "probe_driver.h"

ProbeConfig g_probe;
