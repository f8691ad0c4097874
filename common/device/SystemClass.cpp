#include "common/device/SystemClass.h"

#include <vector>

namespace Kestrune::Tessarine {

namespace {

// Signed values travel as their 32-bit two's complement.
aErr _get_signed(EntityClass& entity, uint8_t option, int32_t* out)
{
    if (!out)
        return aErrParam;
    uint32_t raw = 0;
    aErr result = entity.getUEI32(option, &raw);
    if (result == aErrNone || result == aErrStreamStale)
        *out = static_cast<int32_t>(raw);
    return result;
}

}  // namespace

void SystemClass::init(Module* module, uint8_t index)
{
    EntityClass::init(module, cmdSYSTEM, index);
}

aErr SystemClass::getModule(uint8_t* address)
{
    return getUEI8(systemModule, address);
}
aErr SystemClass::setRouter(uint8_t address)
{
    return setUEI8(systemRouter, address);
}
aErr SystemClass::getRouter(uint8_t* address)
{
    return getUEI8(systemRouter, address);
}
aErr SystemClass::setHBInterval(uint8_t interval)
{
    return setUEI8(systemHBInterval, interval);
}
aErr SystemClass::getHBInterval(uint8_t* interval)
{
    return getUEI8(systemHBInterval, interval);
}
aErr SystemClass::setLED(uint8_t on)
{
    return setUEI8(systemLED, on);
}
aErr SystemClass::getLED(uint8_t* on)
{
    return getUEI8(systemLED, on);
}
aErr SystemClass::setBootSlot(uint8_t slot)
{
    return setUEI8(systemBootSlot, slot);
}
aErr SystemClass::getBootSlot(uint8_t* slot)
{
    return getUEI8(systemBootSlot, slot);
}
aErr SystemClass::getVersion(uint32_t* packed)
{
    return getUEI32(systemVersion, packed);
}
aErr SystemClass::getModel(uint8_t* model)
{
    return getUEI8(systemModel, model);
}
aErr SystemClass::getSerialNumber(uint32_t* serial)
{
    return getUEI32(systemSerialNumber, serial);
}
aErr SystemClass::save()
{
    return callUEI(systemSave);
}
aErr SystemClass::reset()
{
    return callUEI(systemReset);
}
aErr SystemClass::getInputVoltage(uint32_t* microvolts)
{
    return getUEI32(systemInputVoltage, microvolts);
}
aErr SystemClass::getModuleHardwareOffset(uint8_t* offset)
{
    return getUEI8(systemModuleHardwareOffset, offset);
}
aErr SystemClass::getModuleBaseAddress(uint8_t* address)
{
    return getUEI8(systemModuleBaseAddress, address);
}
aErr SystemClass::setModuleSoftwareOffset(uint8_t offset)
{
    return setUEI8(systemModuleSoftwareOffset, offset);
}
aErr SystemClass::getModuleSoftwareOffset(uint8_t* offset)
{
    return getUEI8(systemModuleSoftwareOffset, offset);
}
aErr SystemClass::getRouterAddressSetting(uint8_t* address)
{
    return getUEI8(systemRouterAddressSetting, address);
}
aErr SystemClass::routeToMe(uint8_t on)
{
    return setUEI8(systemRouteToMe, on);
}
aErr SystemClass::getInputCurrent(uint32_t* current)
{
    return getUEI32(systemInputCurrent, current);
}
aErr SystemClass::getUptime(uint32_t* minutes)
{
    return getUEI32(systemUptime, minutes);
}
aErr SystemClass::logEvents()
{
    return callUEI(systemLogEvents);
}
aErr SystemClass::getInputPowerSource(uint8_t* source)
{
    return getUEI8(systemInputPowerSource, source);
}
aErr SystemClass::setInputPowerBehavior(uint8_t behavior)
{
    return setUEI8(systemInputPowerBehavior, behavior);
}
aErr SystemClass::getInputPowerBehavior(uint8_t* behavior)
{
    return getUEI8(systemInputPowerBehavior, behavior);
}
aErr SystemClass::getPowerLimit(uint32_t* limit)
{
    return getUEI32(systemPowerLimit, limit);
}
aErr SystemClass::setPowerLimitMax(uint32_t limit)
{
    return setUEI32(systemPowerLimitMax, limit);
}
aErr SystemClass::getPowerLimitMax(uint32_t* limit)
{
    return getUEI32(systemPowerLimitMax, limit);
}
aErr SystemClass::getPowerLimitState(uint32_t* state)
{
    return getUEI32(systemPowerLimitState, state);
}
aErr SystemClass::resetDeviceToFactoryDefaults()
{
    return callUEI(systemResetDeviceToFactoryDefaults);
}
aErr SystemClass::setLinkInterface(uint8_t linkInterface)
{
    return setUEI8(systemLinkInterface, linkInterface);
}
aErr SystemClass::getLinkInterface(uint8_t* linkInterface)
{
    return getUEI8(systemLinkInterface, linkInterface);
}
aErr SystemClass::getHardwareVersion(uint32_t* version)
{
    return getUEI32(systemHardwareVersion, version);
}
aErr SystemClass::getErrors(uint32_t* errors)
{
    return getUEI32(systemErrors, errors);
}
aErr SystemClass::setLEDMaxBrightness(uint8_t brightness)
{
    return setUEI8(systemLEDMaxBrightness, brightness);
}
aErr SystemClass::getLEDMaxBrightness(uint8_t* brightness)
{
    return getUEI8(systemLEDMaxBrightness, brightness);
}
aErr SystemClass::getBuild(uint32_t* build)
{
    return getUEI32(systemBuild, build);
}
aErr SystemClass::getProtocolFeatures(uint32_t* features)
{
    return getUEI32(systemProtocolFeatures, features);
}

aErr SystemClass::getMaximumTemperature(int32_t* temperature)
{
    return _get_signed(*this, systemMaximumTemperature, temperature);
}

aErr SystemClass::getUnregulatedVoltage(int32_t* voltage)
{
    return _get_signed(*this, systemUnregulatedVoltage, voltage);
}

aErr SystemClass::getUnregulatedCurrent(int32_t* current)
{
    return _get_signed(*this, systemUnregulatedCurrent, current);
}

aErr SystemClass::getTemperature(int32_t* temperature)
{
    return _get_signed(*this, systemTemperature, temperature);
}

aErr SystemClass::getMinimumTemperature(int32_t* temperature)
{
    return _get_signed(*this, systemMinimumTemperature, temperature);
}

aErr SystemClass::setInputPowerBehaviorConfig(const uint32_t* words, size_t count)
{
    if (!words && count)
        return aErrParam;
    std::vector<uint8_t> bytes(count * 4);
    for (size_t i = 0; i < count; ++i)
        aUEI_StoreInt(bytes.data() + 4 * i, words[i]);
    return setUEIBytes(systemInputPowerBehaviorConfig, bytes.data(), bytes.size());
}

aErr SystemClass::getInputPowerBehaviorConfig(uint32_t* words, size_t capacity, size_t* count)
{
    if (!words || !count || capacity == 0)
        return aErrParam;
    std::vector<uint8_t> bytes(capacity * 4);
    aErr result = getUEIBytes(systemInputPowerBehaviorConfig, bytes.data(), bytes.size(), count);
    if (result == aErrNone)
        result = getUEIBytesCheck(count, 4);
    if (result != aErrNone)
        return result;
    for (size_t i = 0; i < *count; ++i)
        words[i] = aUEI_RetrieveInt(bytes.data() + 4 * i);
    return aErrNone;
}

aErr SystemClass::setName(const uint8_t* name, size_t length)
{
    return setUEIBytes(systemName, name, length);
}

aErr SystemClass::getName(uint8_t* buffer, size_t capacity, size_t* length)
{
    aErr result = getUEIBytes(systemName, buffer, capacity, length);
    if (result == aErrNone)
        result = getUEIBytesCheck(length, 1);
    return result;
}

}  // namespace Kestrune::Tessarine
