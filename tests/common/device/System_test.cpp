// SystemClass and I2CClass against the virtual module over a real TCP link: each
// option as the module holds it, what setting it and a factory reset leave there,
// and the codes a wrong index, a bad argument or a module gone give back.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "common/device/I2CClass.h"
#include "common/device/Module.h"
#include "common/device/SystemClass.h"
#include "sim/TcpModuleServer.h"
#include "support/ScriptedModule.h"

using namespace Kestrune::Tessarine;
using testsupport::LoopbackSpec;
using testsupport::NoNetworking;

namespace {

constexpr uint32_t kSerial = 0x5EA1C0DE;
constexpr uint8_t kAddress = 6;
constexpr uint8_t kBusMember = 8;

Sim::ModuleConfig _config(uint32_t serial, uint8_t address)
{
    Sim::ModuleConfig c;
    c.serialNumber = serial;
    c.moduleAddress = address;
    c.model = 13;
    c.version = 0x2F030102;
    c.build = 777;
    c.name = "System under test";
    c.hardwareVersion = 0x00020001;
    c.protocolFeatures = 0x80000005;
    c.rebootPauseMs = 50;
    return c;
}

// Every getter read as a 64-bit number, whatever its width and sign.
using Read = std::function<aErr(SystemClass&, int64_t*)>;
using Write = std::function<aErr(SystemClass&, int64_t)>;

template <typename T>
Read _read(aErr (SystemClass::*getter)(T*))
{
    return [getter](SystemClass& system, int64_t* out) {
        T value{};
        aErr result = (system.*getter)(&value);
        *out = value;
        return result;
    };
}

template <typename T>
Write _write(aErr (SystemClass::*setter)(T))
{
    return [setter](SystemClass& system, int64_t value) { return (system.*setter)(static_cast<T>(value)); };
}

struct Option {
    const char* name;
    Read read;
    Write write;      // none for what the host can only read
    int64_t written;  // what is set, and then read back
    int64_t factory;  // what the module holds at first and after a factory reset
};

std::vector<Option> _options()
{
    using S = SystemClass;
    return {
        {"model", _read(&S::getModel), {}, 0, 13},
        {"serial number", _read(&S::getSerialNumber), {}, 0, kSerial},
        {"version", _read(&S::getVersion), {}, 0, 0x2F030102},
        {"build", _read(&S::getBuild), {}, 0, 777},
        {"hardware version", _read(&S::getHardwareVersion), {}, 0, 0x00020001},
        {"protocol features", _read(&S::getProtocolFeatures), {}, 0, 0x80000005},
        {"module address", _read(&S::getModule), {}, 0, kAddress},
        {"base address", _read(&S::getModuleBaseAddress), {}, 0, kAddress},
        {"hardware offset", _read(&S::getModuleHardwareOffset), {}, 0, 0},
        {"input voltage", _read(&S::getInputVoltage), {}, 0, 5000000},
        {"input current", _read(&S::getInputCurrent), {}, 0, 250000},
        {"input power source", _read(&S::getInputPowerSource), {}, 0, 0},
        {"uptime", _read(&S::getUptime), {}, 0, 0},
        {"temperature", _read(&S::getTemperature), {}, 0, 35000},
        {"maximum temperature", _read(&S::getMaximumTemperature), {}, 0, 45000},
        {"minimum temperature", _read(&S::getMinimumTemperature), {}, 0, 20000},
        {"unregulated voltage", _read(&S::getUnregulatedVoltage), {}, 0, 12000000},
        {"unregulated current", _read(&S::getUnregulatedCurrent), {}, 0, -150000},
        {"errors", _read(&S::getErrors), {}, 0, 0},
        {"power limit state", _read(&S::getPowerLimitState), {}, 0, 0},
        {"router", _read(&S::getRouter), _write(&S::setRouter), 4, 0},
        {"router address setting", _read(&S::getRouterAddressSetting), {}, 4, 0},
        {"heartbeat interval", _read(&S::getHBInterval), _write(&S::setHBInterval), 20, 0},
        {"LED", _read(&S::getLED), _write(&S::setLED), 1, 0},
        {"boot slot", _read(&S::getBootSlot), _write(&S::setBootSlot), 1, 0},
        {"software offset", _read(&S::getModuleSoftwareOffset), _write(&S::setModuleSoftwareOffset), 4, 0},
        {"input power behavior", _read(&S::getInputPowerBehavior), _write(&S::setInputPowerBehavior), 2, 0},
        {"power limit maximum", _read(&S::getPowerLimitMax), _write(&S::setPowerLimitMax), 15000, 20000},
        {"power limit", _read(&S::getPowerLimit), {}, 15000, 20000},
        {"link interface", _read(&S::getLinkInterface), _write(&S::setLinkInterface), 1, 0},
        {"LED brightness limit", _read(&S::getLEDMaxBrightness), _write(&S::setLEDMaxBrightness), 128, 255},
    };
}

class SystemTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string error;
        ASSERT_TRUE(server.Start(error)) << error;
        ASSERT_EQ(module.setConfig(NoNetworking()), aErrNone);
        ASSERT_EQ(module.connectFromSpec(LoopbackSpec(server.Port(), kSerial)), aErrNone);
        system.init(&module, 0);
    }

    std::string name()
    {
        uint8_t buffer[32];
        size_t length = 0;
        EXPECT_EQ(system.getName(buffer, sizeof buffer, &length), aErrNone);
        return std::string(reinterpret_cast<char*>(buffer), length);
    }

    std::shared_ptr<Sim::VirtualModule> served = std::make_shared<Sim::VirtualModule>(_config(kSerial, kAddress));
    Sim::TcpModuleServer server{served, "", 0, ""};
    Module module{2, true};
    SystemClass system;
};

}  // namespace

TEST_F(SystemTest, EachOptionReadsWhatTheModuleHoldsAndSetsTakeUntilTheFactoryReset)
{
    const std::vector<Option> options = _options();
    int64_t value = 0;
    for (const Option& o : options) {
        ASSERT_EQ(o.read(system, &value), aErrNone) << o.name;
        EXPECT_EQ(value, o.factory) << o.name;
    }
    for (const Option& o : options) {
        if (o.write) {
            ASSERT_EQ(o.write(system, o.written), aErrNone) << o.name;
        }
    }
    for (const Option& o : options) {
        if (o.written) {
            ASSERT_EQ(o.read(system, &value), aErrNone) << o.name;
            EXPECT_EQ(value, o.written) << o.name << " after the sets";
        }
    }
    const std::string renamed = "Renamed";
    ASSERT_EQ(system.setName(reinterpret_cast<const uint8_t*>(renamed.data()), renamed.size()), aErrNone);
    EXPECT_EQ(name(), renamed);
    EXPECT_EQ(system.routeToMe(1), aErrNone);
    EXPECT_EQ(served->Stats().routeToMe, 1);
    EXPECT_EQ(system.save(), aErrNone);
    EXPECT_EQ(system.logEvents(), aErrNone);

    ASSERT_EQ(system.resetDeviceToFactoryDefaults(), aErrNone);
    EXPECT_EQ(name(), "System under test");
    for (const char* option : {"LED", "boot slot", "software offset", "input power behavior", "power limit maximum",
                               "power limit", "link interface", "LED brightness limit"}) {
        for (const Option& o : options) {
            if (o.name == std::string(option)) {
                ASSERT_EQ(o.read(system, &value), aErrNone) << o.name;
                EXPECT_EQ(value, o.factory) << o.name << " after the factory reset";
            }
        }
    }
}

TEST_F(SystemTest, PowerBehaviorConfigurationIsAListOfWords)
{
    const uint32_t words[] = {1, 0xDEADBEEF, 0x80000000};
    uint32_t back[4] = {};
    size_t count = 99;
    ASSERT_EQ(system.getInputPowerBehaviorConfig(back, 4, &count), aErrNone);
    EXPECT_EQ(count, 0u) << "none before one is set";
    ASSERT_EQ(system.setInputPowerBehaviorConfig(words, 3), aErrNone);
    ASSERT_EQ(system.getInputPowerBehaviorConfig(back, 4, &count), aErrNone);
    EXPECT_EQ(std::vector<uint32_t>(back, back + count), std::vector<uint32_t>(words, words + 3));
    EXPECT_EQ(system.getInputPowerBehaviorConfig(back, 2, &count), aErrMemory) << "more words than room";

    EXPECT_EQ(system.setInputPowerBehaviorConfig(nullptr, 1), aErrParam);
    EXPECT_EQ(system.getInputPowerBehaviorConfig(nullptr, 4, &count), aErrParam);
    EXPECT_EQ(system.getInputPowerBehaviorConfig(back, 4, nullptr), aErrParam);
    EXPECT_EQ(system.getInputPowerBehaviorConfig(back, 0, &count), aErrParam);
    ASSERT_EQ(system.setInputPowerBehaviorConfig(nullptr, 0), aErrNone) << "an empty list clears it";
    ASSERT_EQ(system.getInputPowerBehaviorConfig(back, 4, &count), aErrNone);
    EXPECT_EQ(count, 0u);
}

TEST_F(SystemTest, RefusalsComeBackAsTheirCodes)
{
    EXPECT_EQ(system.setBootSlot(2), aErrRange) << "the module has two slots";
    EXPECT_EQ(system.getTemperature(nullptr), aErrParam);
    EXPECT_EQ(system.getModel(nullptr), aErrParam);
    SystemClass second;
    second.init(&module, 1);
    uint8_t model = 0;
    EXPECT_EQ(second.getModel(&model), aErrIndexRange);
    int32_t temperature = 0;
    EXPECT_EQ(second.getTemperature(&temperature), aErrIndexRange);

    // A reset restarts the module: the link goes, and no request is answered.
    const uint64_t restarts = served->Stats().restarts;
    EXPECT_EQ(system.reset(), aErrNone);
    server.Stop();
    EXPECT_EQ(served->Stats().restarts, restarts + 1);
    uint32_t serial = 0;
    // Whether the host has seen the link go yet decides between the two.
    const aErr gone = system.getSerialNumber(&serial);
    EXPECT_TRUE(gone == aErrConnection || gone == aErrTimeout) << "the module went with its link: " << gone;
    module.disconnect();
    EXPECT_EQ(system.getSerialNumber(&serial), aErrConnection) << "and the host let go of it";
    EXPECT_EQ(system.setLED(1), aErrConnection);
}

TEST_F(SystemTest, I2CBusWritesReadsAndPullUps)
{
    served->Attach(std::make_shared<Sim::VirtualModule>(_config(0x0B0B0B0B, kBusMember)));
    I2CClass bus;
    bus.init(&module, 0);
    uint8_t speed = 9;
    EXPECT_EQ(bus.getSpeed(&speed), aErrNone);
    EXPECT_EQ(speed, 0);
    ASSERT_EQ(bus.setSpeed(2), aErrNone);
    EXPECT_EQ(bus.setSpeed(4), aErrParam);
    EXPECT_EQ(bus.getSpeed(&speed), aErrNone);
    EXPECT_EQ(speed, 2) << "a refused speed leaves the last one";
    EXPECT_EQ(bus.getSpeed(nullptr), aErrParam);

    const uint8_t written[] = {0x11, 0x22, 0x33, 0x44};
    uint8_t read[I2CClass::MAX_TRANSFER + 1] = {};
    ASSERT_EQ(bus.write(kBusMember, sizeof written, written), aErrNone);
    ASSERT_EQ(bus.read(kBusMember, 2, read), aErrNone);
    EXPECT_EQ(std::vector<uint8_t>(read, read + 3), (std::vector<uint8_t>{0x11, 0x22, 0})) << "only what was asked";
    EXPECT_EQ(bus.write(kBusMember + 2, sizeof written, written), aErrNotFound) << "nobody there";
    EXPECT_EQ(bus.read(kBusMember + 2, 2, read), aErrNotFound);
    EXPECT_EQ(bus.setPullup(true), aErrNone);
    EXPECT_EQ(bus.setPullup(false), aErrNone);

    EXPECT_EQ(bus.read(kBusMember, I2CClass::MAX_TRANSFER + 1, read), aErrSize);
    EXPECT_EQ(bus.read(kBusMember, 2, nullptr), aErrParam);
    EXPECT_EQ(bus.write(kBusMember, 2, nullptr), aErrParam);
    I2CClass second;
    second.init(&module, 1);
    EXPECT_EQ(second.setPullup(true), aErrIndexRange);
    EXPECT_EQ(second.read(kBusMember, 2, read), aErrIndexRange);

    module.disconnect();
    EXPECT_EQ(bus.write(kBusMember, sizeof written, written), aErrConnection);
    EXPECT_EQ(bus.read(kBusMember, 2, read), aErrConnection);
    EXPECT_EQ(bus.setPullup(true), aErrConnection);
}
