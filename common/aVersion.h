#pragma once
// Packed firmware versions and the device library's own version.
//
// A packed version has one of two layouts: legacy (major in bits 28-31, minor
// in 24-27, patch in 0-23) for values below 0x30000000 whose top byte is not
// 0x2F, and current (0x2F in the top byte as packed here, major in bits 16-23,
// minor in 8-15, patch in 0-7) for the rest.
#include <cstddef>
#include <cstdint>

bool aVersion_IsLegacyFormat(uint32_t packed);
uint32_t aVersion_ParseMajor(uint32_t packed);
uint32_t aVersion_ParseMinor(uint32_t packed);
uint32_t aVersion_ParsePatch(uint32_t packed);

// Prints "major.minor.patch" into buffer; returns what snprintf returns.
int aVersion_ParseString(uint32_t packed, char* buffer, size_t size);

// Legacy layout below 2.15, current layout from 2.15 on.
uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch);

// True when version 1 >= version 2, part by part; only the low 8 bits of each
// part count.
bool aVersion_IsAtLeastCompare(unsigned major1, unsigned minor1, unsigned patch1, unsigned major2, unsigned minor2,
                               unsigned patch2);

// The device library's own version, 2.12.2.
uint32_t aVersion_GetMajor();
uint32_t aVersion_GetMinor();
uint32_t aVersion_GetPatch();
const char* aVersion_GetString();
bool aVersion_IsAtLeast(unsigned major, unsigned minor, unsigned patch);

// True only for "VERSION".
bool aVersion_HasFeature(const char* feature);

// A new text owned by the caller, released with aVersion_DestroyFeatureList.
char* aVersion_GetFeatureList();
void aVersion_DestroyFeatureList(char** list);
