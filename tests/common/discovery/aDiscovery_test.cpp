#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <chrono>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/discovery/aDiscovery.h"
#include "common/discovery/zBeaconInterface.h"
#include "support/DiscoveryPeers.h"
#include "support/PrivateNetwork.h"

using testsupport::kPrivateAddressIPv4;

namespace {

constexpr uint32_t kLoopback = 0x0100007F;

struct Collected {
    std::vector<linkSpec> specs;
    size_t stopAfter = 0;  // 0: never stop
};

bool _collect(const linkSpec* spec, bool* found, void* ref)
{
    Collected* collected = static_cast<Collected*>(ref);
    collected->specs.push_back(*spec);
    *found = true;
    return collected->stopAfter == 0 || collected->specs.size() < collected->stopAfter;
}

bool _fail_if_called(const linkSpec*, bool*, void*)
{
    ADD_FAILURE() << "no module can be found here";
    return true;
}

linkSpec _served_spec(uint32_t serial, uint32_t address, uint16_t port)
{
    linkSpec spec{};
    spec.type = PLEXUS_USB;
    spec.serialNumber = serial;
    spec.module = 4;
    spec.model = 12;
    spec.ipAddress = address;
    spec.ipPort = port;
    return spec;
}

}  // namespace

TEST(aDiscovery, ConvertIPv4InterfaceNeedsSixteenBytes)
{
    char buffer[16];
    EXPECT_EQ(aDiscovery_ConvertIPv4Interface(kLoopback, buffer, 15), 0u);
    ASSERT_EQ(aDiscovery_ConvertIPv4Interface(kLoopback, buffer, 16), 9u);
    EXPECT_STREQ(buffer, "127.0.0.1");
    EXPECT_EQ(aDiscovery_ConvertIPv4Interface(kPrivateAddressIPv4, buffer, sizeof buffer), 9u);
    EXPECT_STREQ(buffer, "192.0.2.1");
}

TEST(aDiscovery, TransportsWithoutEnumerationFindNothing)
{
    EXPECT_EQ(aDiscovery_EnumerateModules(0, _fail_if_called, nullptr, 0), 0);
    EXPECT_EQ(aDiscovery_EnumerateModules(SERIAL, _fail_if_called, nullptr, 0), 0);
    EXPECT_EQ(aDiscovery_EnumerateModules(8, _fail_if_called, nullptr, 0), 0);
    EXPECT_EQ(aDiscovery_FindFirstModule(SERIAL, 0), nullptr);
}

TEST(aDiscovery, InterfaceListHoldsTheUpInterfacesWithoutLoopback)
{
    PRIVATE_NETWORK_OR_RERUN();
    uint32_t addresses[4] = {};
    EXPECT_EQ(aDiscovery_GetIPv4Interfaces(addresses, 0), 0u);
    ASSERT_EQ(aDiscovery_GetIPv4Interfaces(addresses, 4), 1u);
    EXPECT_EQ(addresses[0], kPrivateAddressIPv4);
}

TEST(zBeaconInterface, OnlyAddressesEmptyTextOrAsteriskAreAccepted)
{
    std::string before = zBeaconInterface_get();
    EXPECT_FALSE(zBeaconInterface_setAndLock("eth0"));
    EXPECT_FALSE(zBeaconInterface_setAndLock("192.0.2"));
    EXPECT_FALSE(zBeaconInterface_setAndLock(nullptr));
    // A refused text left the lock free: another thread can take it.
    std::thread([] {
        zBeaconInterface_getAndLock();
        zBeaconInterface_unlock();
    }).join();

    ASSERT_TRUE(zBeaconInterface_setAndLock("*"));
    EXPECT_EQ(zBeaconInterface_get(), "*");
    zBeaconInterface_unlock();
    ASSERT_TRUE(zBeaconInterface_setAndLock(""));
    EXPECT_EQ(zBeaconInterface_get(), "");
    zBeaconInterface_unlock();

    ASSERT_TRUE(zBeaconInterface_setAndLock(before.c_str()));
    zBeaconInterface_unlock();
}

TEST(zBeaconInterface, RestoreBringsBackTheSavedInterface)
{
    ASSERT_TRUE(zBeaconInterface_setAndLock("10.1.2.3"));
    zBeaconInterface_unlock();
    ASSERT_TRUE(zBeaconInterface_backupSetAndLock("192.0.2.1"));
    EXPECT_EQ(zBeaconInterface_get(), "192.0.2.1");
    EXPECT_EQ(zBeaconInterface_getBackup(), "10.1.2.3");
    zBeaconInterface_restoreAndUnlock();
    EXPECT_EQ(zBeaconInterface_get(), "10.1.2.3");
    EXPECT_EQ(zBeaconInterface_getBackupAndLock(), "10.1.2.3");
    zBeaconInterface_unlock();
    ASSERT_TRUE(zBeaconInterface_setAndLock(""));
    zBeaconInterface_unlock();
}

TEST(aDiscovery, DirectTcpipReplyBecomesASpec)
{
    PRIVATE_NETWORK_OR_RERUN();
    // The byte example: module 6, port 0x2724, serial 0x1A2B3C4D little-endian;
    // the responder answers twice, the module is reported once.
    std::vector<uint8_t> reply = {0x01, 0x06, 0x24, 0x27, 0x4D, 0x3C, 0x2B, 0x1A, 0, 0, 0, 0, 0x0B, 0, 0, 0};
    testsupport::TcpipDiscoveryResponder responder(kPrivateAddressIPv4, reply, 2);
    ASSERT_TRUE(responder.ready());

    Collected collected;
    EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, _collect, &collected, 0), 1);
    ASSERT_EQ(collected.specs.size(), 1u);
    const linkSpec& spec = collected.specs[0];
    EXPECT_EQ(spec.type, TCPIP);
    EXPECT_EQ(spec.module, 6u);
    EXPECT_EQ(spec.router, 6u);
    EXPECT_EQ(spec.ipPort, 10020);
    EXPECT_EQ(spec.serialNumber, 0x1A2B3C4Du);
    EXPECT_EQ(spec.routerSerialNumber, 0x1A2B3C4Du);
    EXPECT_EQ(spec.model, 0x0Bu);
    EXPECT_EQ(spec.ipAddress, kPrivateAddressIPv4);
    EXPECT_EQ(responder.requests(), 1) << "one request per interface: va only";
}

TEST(aDiscovery, DirectTcpipReplyLengthsDecideWhatIsTaken)
{
    uint8_t reply[20];
    for (size_t i = 0; i < sizeof reply; ++i)
        reply[i] = static_cast<uint8_t>(0x10 + i);
    const struct {
        size_t length;
        bool taken;
        uint32_t model;
    } cases[] = {{0, false, 0},    {7, false, 0},    {8, true, 0xFF}, {12, true, 0xFF},
                 {13, true, 0x1C}, {16, true, 0x1C}, {17, false, 0}};
    for (const auto& c : cases) {
        linkSpec spec{};
        spec.serialNumber = 0xDEADDEAD;
        EXPECT_EQ(aDiscovery_SpecFromTCPIPReply(reply, c.length, 0x0A0B0C0D, &spec), c.taken) << c.length;
        if (!c.taken) {
            EXPECT_EQ(spec.serialNumber, 0xDEADDEADu) << c.length;
            continue;
        }
        EXPECT_EQ(spec.type, TCPIP);
        EXPECT_EQ(spec.serialNumber, 0x17161514u) << c.length;
        EXPECT_EQ(spec.routerSerialNumber, 0x17161514u);
        EXPECT_EQ(spec.module, 0x11u);
        EXPECT_EQ(spec.router, 0x11u);
        EXPECT_EQ(spec.ipPort, 0x1312);
        EXPECT_EQ(spec.ipAddress, 0x0A0B0C0Du);
        EXPECT_EQ(spec.model, c.model) << c.length;
    }
    linkSpec spec{};
    EXPECT_FALSE(aDiscovery_SpecFromTCPIPReply(nullptr, 16, 0, &spec));
    EXPECT_FALSE(aDiscovery_SpecFromTCPIPReply(reply, 16, 0, nullptr));
}

TEST(aDiscovery, DirectTcpipFindsEachModuleAndStopsWhenAsked)
{
    PRIVATE_NETWORK_OR_RERUN();
    testsupport::TcpipDiscoveryResponder first(kPrivateAddressIPv4,
                                               testsupport::TcpipDiscoveryReply(2, 9000, 0x11111111, 9));
    testsupport::TcpipDiscoveryResponder second(kPrivateAddressIPv4,
                                                testsupport::TcpipDiscoveryReply(4, 9001, 0x22222222, 10));
    // A reply cut after the serial number has no model: 0xFF.
    std::vector<uint8_t> shortReply = testsupport::TcpipDiscoveryReply(8, 9002, 0x33333333, 11);
    shortReply.resize(12);
    testsupport::TcpipDiscoveryResponder third(kPrivateAddressIPv4, shortReply);
    ASSERT_TRUE(first.ready() && second.ready() && third.ready());

    linkSpec* found = aDiscovery_FindModule(TCPIP, 0x33333333, kPrivateAddressIPv4);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->module, 8u);
    EXPECT_EQ(found->ipPort, 9002);
    EXPECT_EQ(found->model, 0xFFu);
    EXPECT_EQ(found->ipAddress, kPrivateAddressIPv4);
    aLinkSpec_Destroy(&found);

    Collected all;
    EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, _collect, &all, 0), 3);
    Collected one;
    one.stopAfter = 1;
    EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, _collect, &one, 0), 1);
    EXPECT_EQ(one.specs.size(), 1u);

    EXPECT_EQ(aDiscovery_FindModule(TCPIP, 0x44444444, 0), nullptr);
}

TEST(aDiscovery, DirectTcpipRepeatsTheRequestUntilTheModuleAnswers)
{
    PRIVATE_NETWORK_OR_RERUN();
    // A module that is still restarting misses the first requests. Requests go
    // out again within the 2 s window until the wanted module answers (others
    // answering, each time, do not stop them), and no more after.
    struct Case {
        int unanswered;
        bool othersAnswer;
        bool found;
        int fewestRequests, mostRequests;
    } cases[] = {
        // (The answer to a request may come after the next one went out on a busy machine.)
        {0, false, true, 1, 2},       // answered at once: one request
        {2, false, true, 3, 4},       // found through the third request
        {2, true, true, 3, 4},        // the same among modules that answer every request
        {1000, false, false, 2, 11},  // never answers: a request every 200 ms until the window ends
        {1000, true, false, 2, 11},   // nor do repeated answers of others stretch the window
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.unanswered) + (c.othersAnswer ? " among others" : " alone"));
        testsupport::TcpipDiscoveryResponder module(
            kPrivateAddressIPv4, testsupport::TcpipDiscoveryReply(6, 9000, 0x5A5A0001, 9), 1, c.unanswered);
        std::unique_ptr<testsupport::TcpipDiscoveryResponder> other;
        if (c.othersAnswer)
            other = std::make_unique<testsupport::TcpipDiscoveryResponder>(
                kPrivateAddressIPv4, testsupport::TcpipDiscoveryReply(8, 9001, 0x5A5A0002, 9), 2);
        ASSERT_TRUE(module.ready() && (!other || other->ready()));
        auto start = std::chrono::steady_clock::now();
        linkSpec* found = aDiscovery_FindModule(TCPIP, 0x5A5A0001, kPrivateAddressIPv4);
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_EQ(found != nullptr, c.found);
        if (found) {
            EXPECT_EQ(found->ipPort, 9000);
        }
        aLinkSpec_Destroy(&found);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));  // a late request reaches the responder
        EXPECT_GE(module.requests(), c.fewestRequests);
        EXPECT_LE(module.requests(), c.mostRequests);
        // Repeated requests and answers do not stretch the window (2 s, far below).
        EXPECT_LT(seconds, 10.0);
    }
}

TEST(aDiscovery, FirstModuleHasASerialNumber)
{
    PRIVATE_NETWORK_OR_RERUN();
    testsupport::TcpipDiscoveryResponder unnamed(kPrivateAddressIPv4, testsupport::TcpipDiscoveryReply(2, 9000, 0, 9));
    testsupport::TcpipDiscoveryResponder named(kPrivateAddressIPv4,
                                               testsupport::TcpipDiscoveryReply(4, 9001, 0x22222222, 10));
    ASSERT_TRUE(unnamed.ready() && named.ready());
    linkSpec* first = aDiscovery_FindFirstModule(TCPIP, 0);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->serialNumber, 0x22222222u);
    EXPECT_EQ(first->ipPort, 9001);
    aLinkSpec_Destroy(&first);
}

TEST(aDiscovery, LocalServersAnswerOnLoopbackAndEachIsReportedOnce)
{
    PRIVATE_NETWORK_OR_RERUN();
    linkSpec local = _served_spec(0xAAAA0001, kLoopback, 41000);
    linkSpec remote = _served_spec(0xAAAA0002, kPrivateAddressIPv4, 41001);
    testsupport::LocalServerPeer first(1, local);
    testsupport::LocalServerPeer twin(2, local);  // the same module announced twice
    testsupport::LocalServerPeer elsewhere(5, remote);
    ASSERT_TRUE(first.ready() && twin.ready() && elsewhere.ready());

    Collected collected;
    EXPECT_EQ(aDiscovery_EnumerateModules(PLEXUS, _collect, &collected, kLoopback), 1);
    ASSERT_EQ(collected.specs.size(), 1u);
    EXPECT_EQ(collected.specs[0].serialNumber, 0xAAAA0001u);
    EXPECT_EQ(collected.specs[0].type, PLEXUS_USB);
    EXPECT_EQ(collected.specs[0].ipPort, 41000);
    EXPECT_EQ(first.requests() + twin.requests(), 2);
    EXPECT_EQ(elsewhere.requests(), 1) << "its spec was heard and skipped as not local";

    linkSpec* spec = aDiscovery_FindModule(PLEXUS_TCPIP, 0xAAAA0001, 0);
    ASSERT_NE(spec, nullptr);
    EXPECT_EQ(spec->ipPort, 41000);
    aLinkSpec_Destroy(&spec);
}

TEST(aDiscovery, BeaconOnTheGivenInterfaceIsFoundOnce)
{
    PRIVATE_NETWORK_OR_RERUN();
    std::string before = zBeaconInterface_get();
    linkSpec spec = _served_spec(0xBBBB0001, kPrivateAddressIPv4, 42000);
    spec.type = PLEXUS_TCPIP;
    testsupport::BeaconPeer peer(testsupport::kPrivateAddress, spec);
    ASSERT_TRUE(peer.ready());

    Collected collected;
    EXPECT_EQ(aDiscovery_EnumerateModules(PLEXUS, _collect, &collected, kPrivateAddressIPv4), 1);
    ASSERT_EQ(collected.specs.size(), 1u) << "the peer beacons every 50 ms, yet counts once";
    EXPECT_EQ(collected.specs[0].serialNumber, 0xBBBB0001u);
    EXPECT_EQ(collected.specs[0].type, PLEXUS_TCPIP);
    EXPECT_EQ(collected.specs[0].ipPort, 42000);
    EXPECT_EQ(zBeaconInterface_get(), before) << "the beacon interface is restored";
}
