#include "wine_checks.h"
bool RenderedSnapshot(uint32_t, uint32_t, uint32_t, std::vector<uint8_t>*) { return false; }
