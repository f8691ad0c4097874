#pragma once
// Names of the module models, as a link specifier's model number gives them.
#include <cstdint>

// A constant text naming the model; numbers outside 4 to 27 give "Unknown".
const char* aDefs_GetModelName(uint32_t model);
