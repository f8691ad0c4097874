#include "common/aDefs.h"

namespace {

// Model numbers 4 to 27, in order. Names fit the 12-character column of the
// device listing.
constexpr const char* kModelNames[] = {
    "HubLite4",     // 4
    "Hub3c",        // 5
    "Hub3p",        // 6
    "Hub3e",        // 7
    "Hub8p",        // 8
    "Switch2",      // 9
    "Switch4",      // 10
    "Switch8",      // 11
    "Router1",      // 12
    "Router2",      // 13
    "PowerMeter",   // 14
    "CurrentProbe", // 15
    "Thermo4",      // 16
    "Relay8",       // 17
    "GPIO32",       // 18
    "Servo8",       // 19
    "AnalogIn16",   // 20
    "AnalogOut4",   // 21
    "DigitalIO24",  // 22
    "LoadBank1",    // 23
    "Supply2",      // 24
    "Serial4",      // 25
    "Scope2",       // 26
    "EtherHub4",    // 27
};
constexpr uint32_t kFirstModel = 4;
static_assert(sizeof(kModelNames) / sizeof(kModelNames[0]) == 24);

}  // namespace

const char* aDefs_GetModelName(uint32_t model)
{
    if (model < kFirstModel || model - kFirstModel >= sizeof(kModelNames) / sizeof(kModelNames[0]))
        return "Unknown";
    return kModelNames[model - kFirstModel];
}
