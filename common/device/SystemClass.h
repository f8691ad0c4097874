#pragma once
// The system entity (command 3): the module's identity, addresses, version,
// power, temperatures and name.
#include <cstddef>
#include <cstdint>

#include "common/device/EntityClass.h"

namespace Kestrune::Tessarine {

class SystemClass : public EntityClass {
public:
    void init(Module* module, uint8_t index);

    aErr getModule(uint8_t* address);
    aErr setRouter(uint8_t address);
    aErr getRouter(uint8_t* address);
    aErr setHBInterval(uint8_t interval);
    aErr getHBInterval(uint8_t* interval);
    aErr setLED(uint8_t on);
    aErr getLED(uint8_t* on);
    aErr setBootSlot(uint8_t slot);
    aErr getBootSlot(uint8_t* slot);
    aErr getVersion(uint32_t* packed);
    aErr getModel(uint8_t* model);
    aErr getSerialNumber(uint32_t* serial);
    aErr save();
    aErr reset();
    aErr getInputVoltage(uint32_t* microvolts);
    aErr getModuleHardwareOffset(uint8_t* offset);
    aErr getModuleBaseAddress(uint8_t* address);
    aErr setModuleSoftwareOffset(uint8_t offset);
    aErr getModuleSoftwareOffset(uint8_t* offset);
    aErr getRouterAddressSetting(uint8_t* address);
    aErr routeToMe(uint8_t on);
    aErr getInputCurrent(uint32_t* current);
    aErr getUptime(uint32_t* minutes);
    aErr getMaximumTemperature(int32_t* temperature);
    aErr logEvents();
    aErr getUnregulatedVoltage(int32_t* voltage);
    aErr getUnregulatedCurrent(int32_t* current);
    aErr getTemperature(int32_t* temperature);
    aErr getMinimumTemperature(int32_t* temperature);
    aErr getInputPowerSource(uint8_t* source);
    aErr setInputPowerBehavior(uint8_t behavior);
    aErr getInputPowerBehavior(uint8_t* behavior);
    // Lists of 32-bit words; counts are in words.
    aErr setInputPowerBehaviorConfig(const uint32_t* words, size_t count);
    aErr getInputPowerBehaviorConfig(uint32_t* words, size_t capacity, size_t* count);
    aErr setName(const uint8_t* name, size_t length);
    aErr getName(uint8_t* buffer, size_t capacity, size_t* length);
    aErr getPowerLimit(uint32_t* limit);
    aErr setPowerLimitMax(uint32_t limit);
    aErr getPowerLimitMax(uint32_t* limit);
    aErr getPowerLimitState(uint32_t* state);
    aErr resetDeviceToFactoryDefaults();
    aErr setLinkInterface(uint8_t linkInterface);
    aErr getLinkInterface(uint8_t* linkInterface);
    aErr getHardwareVersion(uint32_t* version);
    aErr getErrors(uint32_t* errors);
    aErr setLEDMaxBrightness(uint8_t brightness);
    aErr getLEDMaxBrightness(uint8_t* brightness);
    aErr getBuild(uint32_t* build);
    aErr getProtocolFeatures(uint32_t* features);
};

// Option codes of the system entity.
enum : uint8_t {
    systemModule = 1,
    systemRouter = 2,
    systemHBInterval = 3,
    systemLED = 4,
    systemBootSlot = 6,
    systemVersion = 7,
    systemModel = 8,
    systemSerialNumber = 9,
    systemSave = 10,
    systemReset = 11,
    systemInputVoltage = 12,
    systemModuleHardwareOffset = 13,
    systemModuleBaseAddress = 14,
    systemModuleSoftwareOffset = 15,
    systemRouterAddressSetting = 16,
    systemRouteToMe = 20,
    systemInputCurrent = 21,
    systemUptime = 22,
    systemMaximumTemperature = 23,
    systemLogEvents = 24,
    systemUnregulatedVoltage = 25,
    systemUnregulatedCurrent = 26,
    systemTemperature = 27,
    systemMinimumTemperature = 28,
    systemInputPowerSource = 29,
    systemInputPowerBehavior = 30,
    systemInputPowerBehaviorConfig = 31,
    systemName = 32,
    systemPowerLimit = 33,
    systemPowerLimitMax = 34,
    systemPowerLimitState = 35,
    systemResetDeviceToFactoryDefaults = 37,
    systemLinkInterface = 38,
    systemHardwareVersion = 40,
    systemErrors = 41,
    systemLEDMaxBrightness = 42,
    systemBuild = 43,
    systemProtocolFeatures = 45,
};

}  // namespace Kestrune::Tessarine
