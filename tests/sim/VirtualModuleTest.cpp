// The module model driven directly with packets: what it answers, how its
// upgrade loader records flash, and what each injected fault does.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <numeric>

#include "sim/ModuleConnection.h"
#include "sim/VirtualModule.h"

using namespace Sim;
using Bytes = std::vector<uint8_t>;

namespace {

ModuleConfig _config()
{
    ModuleConfig c;
    c.serialNumber = 0x12345678;
    c.model = 17;
    c.build = 4242;
    c.version = 0x2F020F00;
    c.name = "Bench hub";
    c.moduleAddress = 2;
    c.loadPauseMs = 100;
    c.rebootPauseMs = 200;
    c.blockSize = 64;
    c.newVersion = 0x2F021000;
    c.newBuild = 5000;
    return c;
}

class ModelTest : public ::testing::Test {
protected:
    ModelTest() : module(std::make_shared<VirtualModule>(_config())) { module->HostConnected(now); }

    Reaction Send(uint8_t address, Bytes payload) { return module->Handle(Packet(address, std::move(payload)), now); }
    Reaction Send(Bytes payload) { return Send(2, std::move(payload)); }
    // The single reply's payload (empty and a failure when there is not exactly one).
    Bytes One(const Reaction& r)
    {
        EXPECT_EQ(r.packets.size(), 1u);
        if (r.packets.size() != 1)
            return {};
        EXPECT_EQ(r.packets[0].address, 2);
        return r.packets[0].payload;
    }
    void Advance(int ms) { now += std::chrono::milliseconds(ms); }

    Clock::time_point now = Clock::now();
    std::shared_ptr<VirtualModule> module;
};

Bytes _ramp(size_t n, uint8_t start = 1)
{
    Bytes b(n);
    std::iota(b.begin(), b.end(), start);
    return b;
}

}  // namespace

TEST_F(ModelTest, MagicPacketIsAnsweredEmptyFromItsAddressAndRoutePacketsAreSilent)
{
    Reaction r = Send(0xAD, {});
    ASSERT_EQ(r.packets.size(), 1u);
    EXPECT_EQ(r.packets[0], Packet(2, {}));
    EXPECT_TRUE(Send(0xAF, {1}).packets.empty());
    EXPECT_EQ(module->Stats().forceRoute, 1);
    EXPECT_TRUE(Send(0x10, {3, 0x49, 0x20}).packets.empty()) << "packets for other addresses go unanswered";
}

TEST_F(ModelTest, SystemEntityGetsSetsAndRefusals)
{
    EXPECT_EQ(One(Send({3, 0x49, 0x20})), (Bytes{3, 9, 0, 0x12, 0x34, 0x56, 0x78}));
    EXPECT_EQ(One(Send({3, 0x41, 0x20})), (Bytes{3, 1, 0, 2}));
    EXPECT_EQ(One(Send({3, 0x47, 0x20})), (Bytes{3, 7, 0, 0x2F, 0x02, 0x0F, 0x00}));
    EXPECT_EQ(One(Send({3, 0x48, 0x20})), (Bytes{3, 8, 0, 17}));
    EXPECT_EQ(One(Send({3, 0x6B, 0x20})), (Bytes{3, 43, 0, 0, 0, 0x10, 0x92}));
    EXPECT_EQ(One(Send({3, 0x6D, 0x20})), (Bytes{3, 45, 0, 0x80, 0, 0, 1}));
    EXPECT_EQ(One(Send({3, 0x94, 0x20, 1})), (Bytes{3, 0xD4, 0}));
    EXPECT_EQ(module->Stats().routeToMe, 1);
    EXPECT_EQ(One(Send({3, 0x82, 0x20, 6})), (Bytes{3, 0xC2, 0}));
    EXPECT_EQ(One(Send({3, 0x42, 0x20})), (Bytes{3, 2, 0, 6}));
    // Option 39 takes a subindex as its one value byte.
    EXPECT_EQ(One(Send({3, 0x67, 0x20, 2})), (Bytes{3, 39, 0, 0x33, 0x33, 0x33, 0x33}));
    EXPECT_EQ(One(Send({3, 0x67, 0x20, 4})), (Bytes{3, 39, 0x80, aErrIndexRange}));
    // Refusals carry the request's option form and the error bit.
    EXPECT_EQ(One(Send({3, 0x40 | 50, 0x20})), (Bytes{3, 50, 0x80, aErrInvalidOption}));
    EXPECT_EQ(One(Send({3, 0x89, 0x20, 0, 0, 0, 1})), (Bytes{3, 0xC9, 0x80, aErrPermission}));
    EXPECT_EQ(One(Send({3, 0x49, 0x21})), (Bytes{3, 9, 0x81, aErrIndexRange}));
    EXPECT_EQ(One(Send({3, 0x94, 0x20, 7})), (Bytes{3, 0xD4, 0x80, aErrRange}));
    EXPECT_EQ(One(Send({40, 0x41, 0x20})), (Bytes{40, 1, 0x80, aErrInvalidEntity}));
    EXPECT_TRUE(Send({3, 0x49, 0x00}).packets.empty()) << "a specifier without the request bit is no request";
}

TEST_F(ModelTest, NameTravelsAsSequencedByteStrings)
{
    Reaction r = Send({3, 0x60, 0x20});
    ASSERT_EQ(r.packets.size(), 1u);
    Bytes expected{3, 32, 0};
    expected.insert(expected.end(), {'B', 'e', 'n', 'c', 'h', ' ', 'h', 'u', 'b', 0x00});
    EXPECT_EQ(r.packets[0].payload, expected);

    std::string name = "A name of exactly thirty-two ch.";
    ASSERT_EQ(name.size(), 32u);
    Bytes first{3, 0xA0, 0x20};
    first.insert(first.end(), name.begin(), name.begin() + 24);
    first.push_back(0x80);
    Bytes second{3, 0xA0, 0x20};
    second.insert(second.end(), name.begin() + 24, name.end());
    second.push_back(0x01);
    EXPECT_TRUE(Send(first).packets.empty());
    EXPECT_EQ(One(Send(second)), (Bytes{3, 0xE0, 0}));
    EXPECT_EQ(module->Stats().name, name);

    r = Send({3, 0x60, 0x20});
    ASSERT_EQ(r.packets.size(), 2u);
    EXPECT_EQ(r.packets[0].payload.size(), 28u);
    EXPECT_EQ(r.packets[0].payload.back(), 0x80);
    EXPECT_EQ(r.packets[1].payload.back(), 0x01);

    // A chunk out of sequence is refused and the string forgotten.
    Bytes skipped{3, 0xA0, 0x20, 'x', 0x02};
    EXPECT_TRUE(Send(Bytes{3, 0xA0, 0x20, 'a', 0x80}).packets.empty());
    EXPECT_EQ(One(Send(skipped)), (Bytes{3, 0xE0, 0x80, aErrPacket}));
    EXPECT_EQ(module->Stats().name, name);
}

TEST_F(ModelTest, ModuleDescriptionQueries)
{
    EXPECT_EQ(One(Send({73, 0xFF})), (Bytes{73, 0xFF, 0, 0, 0x10, 0x92}));
    EXPECT_EQ(One(Send({73, 1, 95, 10, 0, 0x80})), (Bytes{73, 1, 95, 10, 0, 0}));
    EXPECT_EQ(One(Send({73, 1, 3, 9, 0, 0x40})), (Bytes{73, 1, 3, 9, 0, 0}));
    EXPECT_EQ(One(Send({73, 1, 3, 9, 0, 0x80})), (Bytes{73, 1, 3, 9, 0, aErrMode}));
    EXPECT_EQ(One(Send({73, 1, 3, 63, 0, 0})), (Bytes{73, 1, 3, 63, 0, aErrInvalidOption}));
    EXPECT_EQ(One(Send({73, 4, 3})), (Bytes{73, 4, 3, 1}));

    ModuleConfig c = _config();
    c.ueiData = false;
    VirtualModule plain(c);
    Reaction r = plain.Handle(Packet(2, {73, 1, 95, 10, 0, 0x80}), now);
    ASSERT_EQ(r.packets.size(), 1u);
    EXPECT_EQ(r.packets[0].payload, (Bytes{73, 1, 95, 10, 0, aErrInvalidOption}));
}

TEST_F(ModelTest, DebugEchoAndUnknownRawCommandsGoUnanswered)
{
    EXPECT_EQ(One(Send({23, 1, 2, 3})), (Bytes{23, 1, 2, 3}));
    EXPECT_TRUE(Send({9, 1, 2}).packets.empty());
}

TEST(RouterModel, I2CBusAcknowledgesAttachedModulesAndRoutesTheirPackets)
{
    auto now = Clock::now();
    auto router = std::make_shared<VirtualModule>(_config());
    ModuleConfig c = _config();
    c.serialNumber = 0xCAFE0004;
    c.moduleAddress = 4;
    auto member = std::make_shared<VirtualModule>(c);
    router->Attach(member);
    router->HostConnected(now);
    auto send = [&](uint8_t address, Bytes payload) { return router->Handle(Packet(address, payload), now).packets; };

    EXPECT_EQ(send(2, {8, 0, 4, 2, 3, 0, 0}), (std::vector<Packet>{Packet(2, {8, 0, 4, 0, 0})}));
    EXPECT_EQ(send(2, {8, 0, 6, 2, 3, 0, 0}), (std::vector<Packet>{Packet(2, {8, 0, 6, 0, 0x80 | aErrNotFound})}));
    EXPECT_EQ(send(2, {8, 0, 5, 2, 3}), (std::vector<Packet>{Packet(2, {8, 0, 5, 2, 0, 0, 0})}));
    EXPECT_EQ(send(2, {8, 0, 1, 1}), (std::vector<Packet>{Packet(2, {8, 0, 1, 1, 0})}));
    // The module on the bus answers for itself over the router's link.
    EXPECT_EQ(send(4, {3, 0x49, 0x20}), (std::vector<Packet>{Packet(4, {3, 9, 0, 0xCA, 0xFE, 0, 4})}));
    EXPECT_EQ(send(4, {3, 0x42, 0x20}), (std::vector<Packet>{Packet(4, {3, 2, 0, 2})}));
    EXPECT_EQ(send(0xAD, {}), (std::vector<Packet>{Packet(2, {})})) << "only the router answers the magic packet";

    // While the member restarts it neither answers nor acknowledges on the bus.
    EXPECT_EQ(send(4, {95, 2}), (std::vector<Packet>{Packet(4, {95, 2})}));
    EXPECT_TRUE(send(4, {3, 0x49, 0x20}).empty());
    EXPECT_EQ(send(2, {8, 0, 4, 2, 3, 0, 0}), (std::vector<Packet>{Packet(2, {8, 0, 4, 0, 0x80 | aErrNotFound})}));
    now += std::chrono::milliseconds(100);
    // The router kept the request that came during the restart and delivers it now.
    Reaction held = router->Poll(now);
    EXPECT_TRUE(member->Stats().loaderRunning);
    EXPECT_EQ(held.packets, (std::vector<Packet>{Packet(4, {3, 9, 0, 0xCA, 0xFE, 0, 4})}));
    EXPECT_EQ(send(4, {3, 0x49, 0x20}).size(), 1u);
    EXPECT_TRUE(router->Poll(now).packets.empty()) << "delivered once";
}

// The whole upgrade, as the host runs it: loader into RAM, LOAD, firmware in
// pieces of the module's block size (raw DATA and UEI byte strings), REBOOT.
TEST_F(ModelTest, UpgradeSequenceRecordsExactlyWhatWasSent)
{
    namespace fs = std::filesystem;
    fs::path dir = fs::temp_directory_path() / ("vmodule-flash-" + std::to_string(getpid()));
    fs::remove_all(dir);
    ModuleConfig c = _config();
    c.flashDir = dir.string();
    module = std::make_shared<VirtualModule>(c);
    module->HostConnected(now);

    EXPECT_EQ(One(Send({95, 0})), (Bytes{95, 0, 0x20, 0, 0, 0}));
    Bytes loader = _ramp(60);
    EXPECT_EQ(One(Send({95, 3, 0, 0x20, 0, 0x10, 0})), (Bytes{95, 7, 0, 0, 64}));
    for (size_t at = 0; at < loader.size(); at += 26) {
        size_t n = std::min<size_t>(26, loader.size() - at);
        Bytes data{95, 1};
        data.insert(data.end(), loader.begin() + at, loader.begin() + at + n);
        EXPECT_EQ(One(Send(data)), (Bytes{95, 1, static_cast<uint8_t>(n)}));
    }
    uint32_t sum = std::accumulate(loader.begin(), loader.end(), 0u);
    Bytes sumReply{95, 7, 0};
    PutBE(sumReply, sum, 4);
    EXPECT_EQ(One(Send({95, 4})), sumReply);
    EXPECT_EQ(One(Send({95, 5, 0, 60})), (Bytes{95, 7, aErrMode})) << "the application does not write flash";

    Reaction load = Send({95, 2});
    EXPECT_EQ(One(load), (Bytes{95, 2}));
    EXPECT_EQ(load.action, LinkAction::Restart);
    EXPECT_FALSE(module->Online(now));
    EXPECT_TRUE(Send(0xAD, {}).packets.empty()) << "a restarting module hears nothing";
    Advance(100);
    EXPECT_TRUE(module->Online(now));
    EXPECT_TRUE(module->Stats().loaderRunning);
    module->HostConnected(now);

    // Firmware block of 100 bytes at 0x00010000: pieces of 64 and 36 bytes, the
    // first as raw DATA packets, the second as one UEI byte string.
    Bytes firmware = _ramp(100, 7);
    EXPECT_EQ(One(Send({95, 3, 1, 0, 1, 0, 0})), (Bytes{95, 7, 0, 0, 64}));
    for (size_t at = 0; at < 64; at += 26) {
        size_t n = std::min<size_t>(26, 64 - at);
        Bytes data{95, 1};
        data.insert(data.end(), firmware.begin() + at, firmware.begin() + at + n);
        EXPECT_EQ(One(Send(data)), (Bytes{95, 1, static_cast<uint8_t>(n)}));
    }
    sumReply = {95, 7, 0};
    PutBE(sumReply, std::accumulate(firmware.begin(), firmware.begin() + 64, 0u), 4);
    EXPECT_EQ(One(Send({95, 4})), sumReply);
    EXPECT_EQ(One(Send({95, 5, 0, 64})), (Bytes{95, 7, 0}));
    Bytes chunk1{95, 0x8A, 0x20};
    chunk1.insert(chunk1.end(), firmware.begin() + 64, firmware.begin() + 88);
    chunk1.push_back(0x80);
    Bytes chunk2{95, 0x8A, 0x20};
    chunk2.insert(chunk2.end(), firmware.begin() + 88, firmware.end());
    chunk2.push_back(0x01);
    EXPECT_TRUE(Send(chunk1).packets.empty());
    EXPECT_EQ(One(Send(chunk2)), (Bytes{95, 0xCA, 0}));
    sumReply = {95, 7, 0};
    PutBE(sumReply, std::accumulate(firmware.begin() + 64, firmware.end(), 0u), 4);
    EXPECT_EQ(One(Send({95, 4})), sumReply);
    EXPECT_EQ(One(Send({95, 5, 0, 35})), (Bytes{95, 7, aErrSize})) << "a count that is not what came is refused";
    EXPECT_EQ(One(Send({95, 5, 0, 36})), (Bytes{95, 7, 0}));

    Reaction reboot = Send({95, 6});
    EXPECT_TRUE(reboot.packets.empty());
    EXPECT_EQ(reboot.action, LinkAction::Restart);
    Advance(200);
    module->Poll(now);
    ModuleStats s = module->Stats();
    EXPECT_FALSE(s.loaderRunning);
    EXPECT_EQ(s.version, 0x2F021000u);
    EXPECT_EQ(s.build, 5000u);

    auto images = module->FlashImages();
    ASSERT_EQ(images.size(), 2u);
    EXPECT_EQ(images[0x20001000], loader);
    EXPECT_EQ(images[0x00010000], firmware);
    std::ifstream file(module->FlashPath(0x00010000), std::ios::binary);
    EXPECT_EQ(module->FlashPath(0x00010000), (dir / "12345678-00010000.bin").string());
    Bytes onDisk((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_EQ(onDisk, firmware);
    fs::remove_all(dir);
}

TEST_F(ModelTest, RebootWithoutFlashingKeepsTheFirmwareAndAResetRestartsToo)
{
    EXPECT_EQ(Send({95, 6}).action, LinkAction::Restart);
    Advance(200);
    EXPECT_TRUE(module->Online(now));
    EXPECT_EQ(module->Stats().build, 4242u);
    Reaction reset = Send({3, 0x8B, 0x20});
    EXPECT_EQ(One(reset), (Bytes{3, 0xCB, 0}));
    EXPECT_EQ(reset.action, LinkAction::Restart);
    EXPECT_EQ(module->Stats().restarts, 2u);
}

TEST_F(ModelTest, PrepareStartsTheImageAtItsAddressAnew)
{
    Send({95, 2});
    Advance(100);
    ASSERT_TRUE(module->Online(now));
    for (int attempt = 0; attempt < 2; ++attempt) {
        EXPECT_EQ(One(Send({95, 3, 1, 0, 0, 0x40, 0})), (Bytes{95, 7, 0, 0, 64}));
        EXPECT_EQ(One(Send({95, 1, 9, 8, 7})), (Bytes{95, 1, 3}));
        EXPECT_EQ(One(Send({95, 5, 0, 3})), (Bytes{95, 7, 0}));
    }
    EXPECT_EQ(module->FlashImages()[0x4000], (Bytes{9, 8, 7}));
}

TEST_F(ModelTest, HeartbeatsStartOnceTheLinkIsInUseAndAnswersAreChecked)
{
    ModuleConfig c = _config();
    c.heartbeatMs = 500;
    module = std::make_shared<VirtualModule>(c);
    module->HostConnected(now);
    Advance(600);
    EXPECT_TRUE(module->Poll(now).packets.empty()) << "no heartbeat before the host uses the link";
    Send({3, 0x49, 0x20});
    EXPECT_EQ(module->NextDeadline(), now + std::chrono::milliseconds(500));
    Advance(500);
    Reaction hb = module->Poll(now);
    ASSERT_EQ(hb.packets.size(), 1u);
    EXPECT_EQ(hb.packets[0], Packet(2, {0, 0}));
    EXPECT_TRUE(Send({0, 2}).packets.empty());
    Advance(500);
    hb = module->Poll(now);
    ASSERT_EQ(hb.packets.size(), 1u);
    EXPECT_EQ(hb.packets[0], Packet(2, {0, 1}));
    Send({0, 1});  // wrong: 1 + 2 expected
    Advance(500);
    module->Poll(now);
    ModuleStats s = module->Stats();
    EXPECT_EQ(s.heartbeatsSent, 3u);
    EXPECT_EQ(s.heartbeatsAnswered, 1u);
    EXPECT_EQ(s.heartbeatAnswersWrong, 1u);
    EXPECT_EQ(s.heartbeatsMissed, 1u);
    // Option 3 reads and sets the interval in tenths of a second.
    EXPECT_EQ(One(Send({3, 0x43, 0x20})), (Bytes{3, 3, 0, 5}));
    EXPECT_EQ(One(Send({3, 0x83, 0x20, 0})), (Bytes{3, 0xC3, 0}));
    Advance(5000);
    EXPECT_TRUE(module->Poll(now).packets.empty());
}

// --- faults -------------------------------------------------------------

class FaultTest : public ModelTest {
protected:
    void Arm(const std::string& spec)
    {
        Fault f;
        std::string error;
        ASSERT_TRUE(Fault::Parse(spec, f, error)) << error;
        module->AddFault(f);
    }
    void StartLoader()
    {
        Send({95, 2});
        Advance(100);
        ASSERT_TRUE(module->Online(now));
        module->HostConnected(now);
    }
};

TEST_F(FaultTest, WrongDataCountOnceLeavesTheBytesUntaken)
{
    Arm("wrong-data-count");
    StartLoader();
    Send({95, 3, 1, 0, 0, 0, 0});
    EXPECT_EQ(One(Send({95, 1, 1, 2, 3})), (Bytes{95, 1, 2}));
    EXPECT_EQ(One(Send({95, 1, 1, 2, 3})), (Bytes{95, 1, 3}));
    EXPECT_EQ(One(Send({95, 4})), (Bytes{95, 7, 0, 0, 0, 0, 6}));
}

TEST_F(FaultTest, WrongSumOnceOrAlways)
{
    Arm("wrong-sum");
    Send({95, 3, 0, 0, 0, 0, 0});
    Send({95, 1, 0xFF, 0x01});
    EXPECT_EQ(One(Send({95, 4})), (Bytes{95, 7, 0, 0, 0, 1, 1}));
    EXPECT_EQ(One(Send({95, 4})), (Bytes{95, 7, 0, 0, 0, 1, 0}));
    module->ClearFaults();
    Arm("wrong-sum,always");
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(One(Send({95, 4})), (Bytes{95, 7, 0, 0, 0, 1, 1}));
}

TEST_F(FaultTest, ErrorStatusAtAStep)
{
    Arm("error-status=WRITE,code=8");
    StartLoader();
    Send({95, 3, 1, 0, 0, 0, 0});
    Send({95, 1, 5});
    EXPECT_EQ(One(Send({95, 5, 0, 1})), (Bytes{95, 7, 8}));
    EXPECT_EQ(One(Send({95, 5, 0, 1})), (Bytes{95, 7, 0}));
    EXPECT_EQ(module->FlashImages()[0], (Bytes{5}));
}

TEST_F(FaultTest, DropAtAStepTakesTheRequestAway)
{
    Arm("drop-at=SUM,after=1");
    Send({95, 3, 0, 0, 0, 0, 0});
    EXPECT_EQ(Send({95, 4}).packets.size(), 1u);
    Reaction r = Send({95, 4});
    EXPECT_TRUE(r.packets.empty());
    EXPECT_EQ(r.action, LinkAction::Drop);
    EXPECT_EQ(module->Stats().drops, 1u);
    EXPECT_TRUE(module->Online(now)) << "without a drop pause the module is back at once";
    EXPECT_EQ(Send({95, 4}).packets.size(), 1u);
}

TEST_F(FaultTest, DropAfterBytesCountsPacketBytesPerConnection)
{
    Arm("drop-after-bytes=12,always");
    EXPECT_EQ(Send({3, 0x49, 0x20}).packets.size(), 1u);  // 5 bytes
    EXPECT_EQ(Send({3, 0x49, 0x20}).packets.size(), 1u);  // 10
    Reaction r = Send({3, 0x49, 0x20});                   // 15: dropped
    EXPECT_TRUE(r.packets.empty());
    EXPECT_EQ(r.action, LinkAction::Drop);
    module->HostConnected(now);
    EXPECT_EQ(Send({3, 0x49, 0x20}).packets.size(), 1u);
    EXPECT_EQ(Send({3, 0x49, 0x20}).packets.size(), 1u);
    EXPECT_EQ(Send({3, 0x49, 0x20}).action, LinkAction::Drop);
}

TEST_F(FaultTest, SilentEverywhereOrAtOneStep)
{
    Arm("silent=INIT");
    EXPECT_TRUE(Send({95, 0}).packets.empty());
    EXPECT_EQ(Send({95, 0}).packets.size(), 1u);
    Arm("silent");
    EXPECT_TRUE(Send(0xAD, {}).packets.empty());
    EXPECT_TRUE(Send({3, 0x49, 0x20}).packets.empty());
}

TEST_F(FaultTest, BusyRefusesRequestsButKeepsTheLink)
{
    Arm("busy");
    EXPECT_EQ(Send(0xAD, {}).packets.size(), 1u);
    EXPECT_EQ(One(Send({3, 0x49, 0x20})), (Bytes{3, 9, 0x80, aErrBusy}));
    EXPECT_EQ(One(Send({3, 0x94, 0x20, 1})), (Bytes{3, 0xD4, 0x80, aErrBusy}));
    EXPECT_EQ(One(Send({95, 3, 0, 0, 0, 0, 0})), (Bytes{95, 7, aErrBusy}));
    EXPECT_TRUE(Send({95, 0}).packets.empty());
    EXPECT_TRUE(Send({73, 0xFF}).packets.empty());
}

TEST_F(FaultTest, DropPauseKeepsADroppedModuleAway)
{
    ModuleConfig c = _config();
    c.dropPauseMs = 300;
    module = std::make_shared<VirtualModule>(c);
    Arm("drop-at=INIT");
    EXPECT_EQ(Send({95, 0}).action, LinkAction::Drop);
    EXPECT_FALSE(module->Online(now));
    Advance(300);
    EXPECT_TRUE(module->Online(now));
    EXPECT_EQ(Send({95, 0}).packets.size(), 1u);
}

// --- configuration --------------------------------------------------------

TEST(ModuleConfigText, SettingsAndFaultsParse)
{
    ModuleConfig c;
    std::string error;
    ASSERT_TRUE(
        c.SetList("serial=0x1A2B3C4D,model=9,version=2.10.4,build=99,address=6,block-size=256,pooled=no", error))
        << error;
    EXPECT_EQ(c.serialNumber, 0x1A2B3C4Du);
    EXPECT_EQ(c.version, 0x2A000004u);
    EXPECT_EQ(c.moduleAddress, 6);
    EXPECT_EQ(c.protocolFeatures & 0x80000000u, 0u);
    ASSERT_TRUE(c.Set("name", "Lab switch", error));
    EXPECT_FALSE(c.Set("address", "7", error)) << "module addresses are even";
    EXPECT_FALSE(c.Set("serial", "XYZ", error));
    EXPECT_FALSE(c.Set("colour", "blue", error));
    EXPECT_FALSE(c.SetList("fault=busy", error));
    EXPECT_FALSE(c.Set("discovery", "eth0", error));

    Fault f;
    ASSERT_TRUE(Fault::Parse("error-status=sum,code=8,times=2,after=1", f, error)) << error;
    EXPECT_EQ(f.kind, FaultKind::ErrorStatus);
    EXPECT_EQ(f.step, UpgradeStep::Sum);
    EXPECT_EQ(f.code, 8);
    EXPECT_EQ(f.times, 2);
    EXPECT_EQ(f.skip, 1);
    EXPECT_EQ(f.Describe(), "error-status=SUM,code=8,times=2,after=1");
    EXPECT_FALSE(Fault::Parse("error-status=INIT", f, error));
    EXPECT_FALSE(Fault::Parse("drop-at", f, error));
    EXPECT_FALSE(Fault::Parse("drop-after-bytes=0", f, error));
    EXPECT_FALSE(Fault::Parse("wrong-sum,sometimes", f, error));
    ASSERT_TRUE(Fault::Parse("silent", f, error));
    EXPECT_EQ(f.times, -1);
}

TEST(ByteLink, AssemblesSplitPacketsAndEndsTheLinkAtADrop)
{
    ModuleConfig c = _config();
    Fault f;
    std::string error;
    ASSERT_TRUE(Fault::Parse("drop-at=INIT", f, error));
    c.faults.push_back(f);
    auto module = std::make_shared<VirtualModule>(c);
    ModuleByteLink link(module);
    std::vector<std::string> trace;
    link.SetTrace([&](const std::string& line) { trace.push_back(line); });
    auto now = Clock::now();
    link.Connected(now);
    // Garbage that the packet record refuses (a zero address) is skipped.
    Bytes first{0x00, 0xAD, 0x00, 2, 3, 3};
    auto out = link.FromHost(first.data(), first.size(), now);
    EXPECT_EQ(out.bytes, (Bytes{2, 0}));
    Bytes rest{0x49, 0x20, 2, 2, 95, 0, 0xAD, 0};
    out = link.FromHost(rest.data(), rest.size(), now);
    EXPECT_EQ(out.bytes, (Bytes{2, 7, 3, 9, 0, 0x12, 0x34, 0x56, 0x78}));
    EXPECT_EQ(out.action, LinkAction::Drop) << "the magic packet after the drop is lost with the link";
    ASSERT_EQ(trace.size(), 5u);
    EXPECT_EQ(trace[0], "12345678 <- AD 00");
    EXPECT_EQ(trace[1], "12345678 -> 02 00");
    EXPECT_EQ(trace[4], "12345678 <- 02 02 5F 00");
}

// A module that a boot ROM started runs its loader at once: it writes flash
// without any LOAD, and a reboot after writing brings up the new firmware.
TEST(LoaderModel, StartedInItsLoaderWritesFlashAtOnce)
{
    ModuleConfig c = _config();
    std::string error;
    ASSERT_TRUE(c.SetList("loader=yes,serial=DEADDEAD", error)) << error;
    auto module = std::make_shared<VirtualModule>(c);
    Clock::time_point now = Clock::now();
    module->HostConnected(now);
    EXPECT_TRUE(module->Stats().loaderRunning);
    auto send = [&](Bytes payload) { return module->Handle(Packet(2, std::move(payload)), now); };

    EXPECT_EQ(send({95, 3, 1, 0, 1, 0, 0}).packets.at(0).payload, (Bytes{95, 7, 0, 0, 64}));
    EXPECT_EQ(send({95, 1, 4, 5, 6, 7}).packets.at(0).payload, (Bytes{95, 1, 4}));
    EXPECT_EQ(send({95, 5, 0, 4}).packets.at(0).payload, (Bytes{95, 7, 0}));
    EXPECT_EQ(send({95, 6}).action, LinkAction::Restart);
    now += std::chrono::milliseconds(200);
    module->Poll(now);
    ModuleStats s = module->Stats();
    EXPECT_FALSE(s.loaderRunning);
    EXPECT_EQ(s.build, 5000u);
    EXPECT_EQ(module->FlashImages()[0x10000], (Bytes{4, 5, 6, 7}));

    ModuleConfig plain;
    EXPECT_FALSE(plain.startInLoader);
    EXPECT_FALSE(plain.SetList("loader=perhaps", error));
}
