#include "common/aVersion.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint32_t LIBRARY_MAJOR = 2;
constexpr uint32_t LIBRARY_MINOR = 12;
constexpr uint32_t LIBRARY_PATCH = 2;
constexpr uint32_t CURRENT_MARK = 0x2F000000;

}  // namespace

bool aVersion_IsLegacyFormat(uint32_t packed)
{
    return packed < 0x30000000 && (packed >> 24) != 0x2F;
}

uint32_t aVersion_ParseMajor(uint32_t packed)
{
    return aVersion_IsLegacyFormat(packed) ? packed >> 28 : (packed >> 16) & 0xFF;
}

uint32_t aVersion_ParseMinor(uint32_t packed)
{
    return aVersion_IsLegacyFormat(packed) ? (packed >> 24) & 0xF : (packed >> 8) & 0xFF;
}

uint32_t aVersion_ParsePatch(uint32_t packed)
{
    return aVersion_IsLegacyFormat(packed) ? packed & 0xFFFFFF : packed & 0xFF;
}

int aVersion_ParseString(uint32_t packed, char* buffer, size_t size)
{
    return snprintf(buffer, buffer ? size : 0, "%d.%d.%d", int(aVersion_ParseMajor(packed)),
                    int(aVersion_ParseMinor(packed)), int(aVersion_ParsePatch(packed)));
}

uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch)
{
    if (major < 2 || (major == 2 && minor < 15))
        return uint32_t(major) << 28 | uint32_t(minor & 0xF) << 24 | patch;
    return CURRENT_MARK + (uint32_t(major) << 16 | uint32_t(minor) << 8 | patch);
}

bool aVersion_IsAtLeastCompare(unsigned major1, unsigned minor1, unsigned patch1, unsigned major2, unsigned minor2,
                               unsigned patch2)
{
    const uint8_t first[] = {uint8_t(major1), uint8_t(minor1), uint8_t(patch1)};
    const uint8_t second[] = {uint8_t(major2), uint8_t(minor2), uint8_t(patch2)};
    for (int i = 0; i < 3; ++i) {
        if (first[i] != second[i])
            return first[i] > second[i];
    }
    return true;
}

uint32_t aVersion_GetMajor()
{
    return LIBRARY_MAJOR;
}
uint32_t aVersion_GetMinor()
{
    return LIBRARY_MINOR;
}
uint32_t aVersion_GetPatch()
{
    return LIBRARY_PATCH;
}

const char* aVersion_GetString()
{
    static const struct Text {
        char value[15];
        Text()
        {
            snprintf(value, sizeof value, "%d.%d%s%d", int(LIBRARY_MAJOR), int(LIBRARY_MINOR), ".", int(LIBRARY_PATCH));
        }
    } text;
    return text.value;
}

bool aVersion_IsAtLeast(unsigned major, unsigned minor, unsigned patch)
{
    return aVersion_IsAtLeastCompare(LIBRARY_MAJOR, LIBRARY_MINOR, LIBRARY_PATCH, major, minor, patch);
}

bool aVersion_HasFeature(const char* feature)
{
    return feature && strcmp(feature, "VERSION") == 0;
}

char* aVersion_GetFeatureList()
{
    static const char LIST[] = "VERSION - Version Query API";
    char* list = static_cast<char*>(malloc(sizeof LIST));
    if (list)
        memcpy(list, LIST, sizeof LIST);
    return list;
}

void aVersion_DestroyFeatureList(char** list)
{
    if (!list)
        return;
    free(*list);
    *list = nullptr;
}
