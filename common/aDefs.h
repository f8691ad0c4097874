#pragma once
// Names of the module models, as the listings show them.
#include <cstdint>

// The model's name (the model number of a linkSpec); "Unknown" outside the
// model numbers 4 to 27.
const char* aDefs_GetModelName(uint32_t model);
