#include "app/aDefs.h"

namespace {

constexpr uint32_t FIRST_MODEL = 4;
constexpr const char* MODEL_NAMES[] = {
    "Router2",      // 4
    "Hub2x4",       // 5
    "Hub3x8",       // 6
    "HubC4",        // 7
    "HubC8",        // 8
    "SwitchC2",     // 9
    "SwitchC4",     // 10
    "SwitchA8",     // 11
    "MeterPM1",     // 12
    "MeterPM2",     // 13
    "MeterIO24",    // 14
    "MeterRelay4",  // 15
    "MeterDAQ8",    // 16
    "MeterSerial",  // 17
    "MeterHub",     // 18
    "EtherLink",    // 19
    "Module40",     // 20
    "Module40v2",   // 21
    "RouterEth",    // 22
    "HubC16",       // 23
    "SwitchC6",     // 24
    "MeterLoad",    // 25
    "MeterPD",      // 26
    "DevKit",       // 27
};
constexpr uint32_t MODEL_COUNT = sizeof MODEL_NAMES / sizeof MODEL_NAMES[0];
static_assert(MODEL_COUNT == 24);

}  // namespace

const char* aDefs_GetModelName(uint32_t model)
{
    if (model < FIRST_MODEL || model >= FIRST_MODEL + MODEL_COUNT)
        return "Unknown";
    return MODEL_NAMES[model - FIRST_MODEL];
}
