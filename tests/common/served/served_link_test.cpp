// Modules served on the network and reached as network clients: a virtual
// module served in this process (support/ServedModule.h), found by the
// local-server discovery and used through Module and Link with networking on.
#include <arpa/inet.h>
#include <czmq.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "common/device/Module.h"
#include "common/device/SystemClass.h"
#include "common/discovery/aDiscovery.h"
#include "common/aLink.h"
#include "common/served/aLinkNetwork.h"
#include "common/served/aServerZeroMQ.h"
#include "common/served/aStreamZeroMQClient.h"
#include "support/PrivateNetwork.h"
#include "support/ScriptedModule.h"
#include "support/ServedModule.h"

using namespace Kestrune::Tessarine;
using testsupport::ServedModule;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint32_t kSerial = 0x1A2B3C4D;
const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

struct Found {
    int count = 0;
    linkSpec spec{};
    uint32_t serial = 0;
};

bool _collect(const linkSpec* spec, bool* found, void* ref)
{
    Found* wanted = static_cast<Found*>(ref);
    if (spec->serialNumber == wanted->serial) {
        wanted->spec = *spec;
        wanted->count++;
        *found = true;
    }
    return true;
}

Found _discover(uint32_t serial)
{
    Found found;
    found.serial = serial;
    aDiscovery_Enumerate_PlexusModules(_collect, &found, 0);
    return found;
}

std::string _name(Module& module)
{
    SystemClass system;
    system.init(&module, 0);
    uint8_t buffer[64] = {};
    size_t length = 0;
    if (system.getName(buffer, sizeof buffer, &length) != aErrNone)
        return "<no name>";
    return std::string(reinterpret_cast<char*>(buffer), length);
}

}  // namespace

// One served module, found by discovery and used by two client modules in
// turn: gets, a set and a get of a two-packet byte string, the pieces reaching
// the module in one run.
TEST(ServedModule, ClientsFindItByDiscoveryAndUseIt)
{
    PRIVATE_NETWORK_OR_RERUN();
    ServedModule served;
    ASSERT_TRUE(served.Start("serial=1A2B3C4D,model=9,address=6,name=Served")) << served.Error();

    Found found = _discover(kSerial);
    ASSERT_EQ(found.count, 1);
    EXPECT_EQ(found.spec.type, PLEXUS_TCPIP);
    EXPECT_EQ(found.spec.model, 9u);
    EXPECT_EQ(found.spec.module, 6u);
    EXPECT_EQ(found.spec.ipAddress, kLoopback);
    EXPECT_EQ(found.spec.ipPort, served.Port());

    for (int round = 0; round < 2; ++round) {
        Module client(0, true, 0);
        ASSERT_EQ(client.connect(PLEXUS, kSerial), aErrNone) << "round " << round;
        EXPECT_EQ(client.getModuleAddress(), 6);
        SystemClass system;
        system.init(&client, 0);
        uint32_t serial = 0;
        uint8_t model = 0;
        EXPECT_EQ(system.getSerialNumber(&serial), aErrNone);
        EXPECT_EQ(serial, kSerial);
        EXPECT_EQ(system.getModel(&model), aErrNone);
        EXPECT_EQ(model, 9);
        EXPECT_EQ(_name(client), round == 0 ? "Served" : "A name of thirty bytes, 2 rounds");
        const std::string name = "A name of thirty bytes, 2 rounds";
        EXPECT_EQ(system.setName(reinterpret_cast<const uint8_t*>(name.data()), name.size()), aErrNone);
        EXPECT_EQ(_name(client), name);
        EXPECT_EQ(client.disconnect(), aErrNone);
    }
    // The set's two pieces reached the module one after the other.
    std::vector<std::string> received = served.Received();
    size_t firstPiece = 0;
    while (firstPiece < received.size() && received[firstPiece].rfind("06 1C 03 A0", 0) != 0)
        ++firstPiece;
    ASSERT_LT(firstPiece + 1, received.size());
    EXPECT_EQ(received[firstPiece + 1].substr(0, 11), "06 0C 03 A0");
}

TEST(ServedModule, AServedDeviceIsReachedAsAClientThroughTheFallback)
{
    PRIVATE_NETWORK_OR_RERUN();
    ServedModule served;
    ASSERT_TRUE(served.Start("serial=1A2B3C4D")) << served.Error();

    // Its device link is taken: opening the module directly again is refused.
    Module direct(0, true, 0);
    EXPECT_EQ(direct.connectFromSpec(testsupport::LoopbackSpec(served.ModulePort(), kSerial)), aErrConnection);

    // Not on USB: the fallback finds it served on this host.
    Module viaFallback(0, true, 0);
    ASSERT_EQ(viaFallback.connect(USB, kSerial), aErrNone);
    linkSpec spec{};
    ASSERT_EQ(viaFallback.getLinkSpecifier(&spec), aErrNone);
    EXPECT_EQ(spec.type, PLEXUS_TCPIP);
    EXPECT_EQ(spec.ipPort, served.Port());

    PlexusConfig config;
    config.fallback = false;
    Module noFallback(0, true, 0);
    ASSERT_EQ(noFallback.setConfig(config), aErrNone);
    EXPECT_EQ(noFallback.connect(USB, kSerial), aErrNotFound);
}

// Networking on: connecting serves the device link, and a module behind it
// (a routed module) shares the client link.
TEST(ServedModule, ConnectingServesTheDeviceLinkForRoutedModulesToo)
{
    PRIVATE_NETWORK_OR_RERUN();
    Sim::ModuleSet modules;
    std::vector<Sim::ModuleSpec> specs(1);
    std::string error;
    ASSERT_TRUE(specs[0].config.SetList("serial=1A2B3C4D", error)) << error;
    specs[0].attached.emplace_back();
    ASSERT_TRUE(specs[0].attached[0].SetList("serial=0B0B0B0B,address=4", error)) << error;
    specs[0].attached[0].transport = Sim::Transport::None;
    ASSERT_TRUE(modules.Start(specs, error)) << error;
    uint16_t modulePort = 0;
    for (const std::string& line : modules.Endpoints())
        if (line.find(" tcp ") != std::string::npos)
            modulePort = static_cast<uint16_t>(std::stoi(line.substr(line.rfind(' ') + 1)));

    Module router(0, true, 0);
    ASSERT_EQ(router.connectFromSpec(testsupport::LoopbackSpec(modulePort, kSerial)), aErrNone);
    PlexusConfig config;
    ASSERT_EQ(router.getConfig(&config), aErrNone);
    EXPECT_NE(config.assignedPort, 0);
    EXPECT_EQ(config.networkInterface, kLoopback);
    EXPECT_EQ(_discover(kSerial).count, 1);

    auto routed = std::make_unique<Module>(4, true, 0);
    ASSERT_EQ(routed->connectThroughLinkModule(&router), aErrNone);
    EXPECT_EQ(routed->getLink()->getLinkId(), router.getLink()->getLinkId());
    SystemClass system;
    system.init(routed.get(), 0);
    uint32_t serial = 0;
    EXPECT_EQ(system.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(serial, 0x0B0B0B0Bu);
    routed.reset();
    EXPECT_TRUE(router.isConnected());
    EXPECT_EQ(router.disconnect(), aErrNone);
    EXPECT_EQ(_discover(kSerial).count, 0) << "the server outlived the last use of its device link";
}

TEST(ServedModule, AServerWithoutAModelAnswersNoDiscovery)
{
    PRIVATE_NETWORK_OR_RERUN();
    testsupport::ScriptedModule peer(2);
    uint32_t deviceId = aLink_CreateTCPIP(kSerial, kLoopback, peer.port());
    ASSERT_NE(deviceId, 0u);
    aServer* server = aServer_Create(deviceId, 0, 1);
    ASSERT_NE(server, nullptr);
    ASSERT_EQ(aServer_Start(server), aErrNone);
    EXPECT_EQ(_discover(kSerial).count, 0);
    ASSERT_EQ(aServer_SetModel(server, 11), aErrNone);
    ASSERT_EQ(aServer_SetModuleAddress(server, 2), aErrNone);
    Found found = _discover(kSerial);
    EXPECT_EQ(found.count, 1);
    EXPECT_EQ(found.spec.model, 11u);
    EXPECT_EQ(found.spec.module, 2u);
    uint32_t address = 0;
    EXPECT_EQ(aServer_GetInterface(server, &address), aErrNone);
    EXPECT_EQ(address, kLoopback);
    EXPECT_EQ(aServer_Destroy(&server), aErrNone);
    EXPECT_EQ(server, nullptr);
    aLink_Destroy(&deviceId);
}

TEST(ClientLink, SharesAnExistingIdAndRefusesAnUnknownOne)
{
    uint32_t id = aLink_CreateClient(kLoopback, 1, 0);
    ASSERT_NE(id, 0u);
    EXPECT_EQ(aLink_CreateClient(kLoopback, 1, id), id);
    EXPECT_EQ(aLink_CreateClient(kLoopback, 1, 0xFFFFFF), 0u);
    int32_t type = 0;
    uint32_t address = 0, port = 0;
    EXPECT_EQ(aLink_GetIdentity(id, &type, &address, &port, nullptr), aErrNone);
    EXPECT_EQ(type, 4);
    EXPECT_EQ(address, kLoopback);
    EXPECT_EQ(port, 1u);
    uint32_t second = id;
    EXPECT_EQ(aLink_Destroy(&second), aErrNone);
    EXPECT_EQ(aLink_GetStatus(id), 2) << "the first use still holds it";
    EXPECT_EQ(aLink_Reset(id), aErrNone);
    EXPECT_EQ(aLink_GetStatus(id), 2);
    uint32_t gone = id;
    EXPECT_EQ(aLink_Destroy(&id), aErrNone);
    EXPECT_EQ(aLink_GetStatus(gone), 5);
    uint16_t port16 = 0;
    uint32_t iface = 0;
    EXPECT_EQ(aLink_CreateServer(0, &port16, &iface, 1), 0u);
    EXPECT_EQ(aLink_CreateServer(0xFFFFFF, &port16, &iface, 1), 0u);
}

// The client stream against a bare ROUTER standing in for a server.
TEST(ClientStream, FramesBothWaysAndAQuietSecondIsNotReady)
{
    zsock_t* router = zsock_new(ZMQ_ROUTER);
    int port = zsock_bind(router, "tcp://127.0.0.1:*");
    ASSERT_GT(port, 0);
    zsock_set_rcvtimeo(router, 5000);
    aStreamRef stream = nullptr;
    ASSERT_EQ(aStream_CreateClient(kLoopback, static_cast<uint16_t>(port), &stream), aErrNone);

    // Two packets in one write (a pooled write) leave as two frames.
    const uint8_t two[] = {2, 1, 0x11, 4, 2, 0x22, 0x33};
    ASSERT_EQ(aStream_Write(stream, two, sizeof two), aErrNone);
    zframe_t* identity = nullptr;
    std::vector<std::vector<uint8_t>> frames;
    for (int i = 0; i < 2; ++i) {
        zmsg_t* message = zmsg_recv(router);
        ASSERT_NE(message, nullptr);
        zframe_destroy(&identity);
        identity = zmsg_pop(message);
        zframe_t* frame = zmsg_pop(message);
        frames.emplace_back(zframe_data(frame), zframe_data(frame) + zframe_size(frame));
        zframe_destroy(&frame);
        zmsg_destroy(&message);
    }
    EXPECT_EQ(frames[0], (std::vector<uint8_t>{2, 1, 0x11}));
    EXPECT_EQ(frames[1], (std::vector<uint8_t>{4, 2, 0x22, 0x33}));

    // Nothing to read: a get says so at once, a wait waits the time it was given.
    uint8_t byte = 0;
    auto start = Clock::now();
    EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNotReady);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(100));
    EXPECT_EQ(aStream_Wait(stream, 1000), aErrTimeout);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(900));

    // An empty frame is skipped; the next frame is read byte by byte.
    zframe_t* copy = zframe_dup(identity);
    zframe_send(&copy, router, ZFRAME_MORE);
    zmq_send(zsock_resolve(router), "", 0, 0);
    copy = zframe_dup(identity);
    zframe_send(&copy, router, ZFRAME_MORE);
    const uint8_t reply[] = {2, 1, 0x55};
    zmq_send(zsock_resolve(router), reply, sizeof reply, 0);
    uint8_t got[3] = {};
    for (uint8_t& b : got) {
        aErr err = aErrNotReady;
        for (int attempt = 0; attempt < 5 && err == aErrNotReady; ++attempt)
            err = aStream_Wait(stream, 1000) == aErrNone ? aStream_Read(stream, &b, 1) : aErrNotReady;
        ASSERT_EQ(err, aErrNone);
    }
    EXPECT_EQ(std::vector<uint8_t>(got, got + 3), std::vector<uint8_t>(reply, reply + 3));
    EXPECT_EQ(stream->putProc(&byte, stream->procRef), aErrUnimplemented);

    EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
    EXPECT_EQ(aStream_CreateClient(kLoopback, 1, nullptr), aErrParam);
    zframe_destroy(&identity);
    zsock_destroy(&router);
}

// Ctrl+C while a program waits on a network client link ends the program,
// although czmq catches the signal for itself. The test runs itself as that
// program.
TEST(ClientLink, InterruptDuringAWaitEndsTheProgram)
{
    if (getenv("CLIENT_INTERRUPT_CHILD")) {
        uint32_t id = aLink_CreateClient(kLoopback, 1, 0);
        fprintf(stdout, "waiting\n");
        fflush(stdout);
        aPacket* packet = aLink_AwaitPacket(id, 30000);
        aPacket_Destroy(&packet);
        _exit(3);  // the wait ran out: the interrupt did not end us
    }
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        setenv("CLIENT_INTERRUPT_CHILD", "1", 1);
        unsetenv("ZSYS_SIGHANDLER");
        const char* name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::string filter = std::string("--gtest_filter=ClientLink.") + name;
        execl("/proc/self/exe", "served_link_child", filter.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    std::string seen;
    char buffer[256];
    ssize_t n;
    while (seen.find("waiting") == std::string::npos && (n = read(out[0], buffer, sizeof buffer)) > 0)
        seen.append(buffer, static_cast<size_t>(n));
    close(out[0]);
    ASSERT_NE(seen.find("waiting"), std::string::npos) << seen;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    kill(child, SIGINT);
    int status = 0;
    auto start = Clock::now();
    while (waitpid(child, &status, WNOHANG) == 0) {
        if (Clock::now() - start > std::chrono::seconds(20)) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            FAIL() << "the program went on after Ctrl+C";
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(WIFSIGNALED(status)) << "exit status " << WEXITSTATUS(status);
    EXPECT_EQ(WTERMSIG(status), SIGINT);
}

// Stream samples batched by the server at the module's heartbeat reach a
// client Link as separate samples: each recorded value, the callback for each.
TEST(ServedModule, BatchedStreamSamplesReachAClientLinkOneByOne)
{
    testsupport::ScriptedModule module(2);
    module.setHandler([](const testsupport::WirePacket& request) {
        return std::vector<testsupport::WirePacket>{{2, {static_cast<uint8_t>(request.payload[0] + 0x10)}}};
    });
    uint32_t deviceId = aLink_CreateTCPIP(kSerial, kLoopback, module.port());
    aServer* server = aServer_Create(deviceId, 0, 1);
    ASSERT_NE(server, nullptr);
    ASSERT_EQ(aServer_Start(server), aErrNone);
    linkSpec spec{};
    spec.type = PLEXUS_TCPIP;
    spec.serialNumber = kSerial;
    spec.ipAddress = kLoopback;
    aServer_GetPort(server, &spec.ipPort);

    Link link("client");
    ASSERT_EQ(link.setLinkSpecifier(spec), aErrNone);
    ASSERT_EQ(link.connect(), aErrNone);
    struct Calls {
        std::atomic<int> count{0};
    } calls;
    ASSERT_EQ(link.registerStreamCallback(
                  2, 0x12, 5, 1, [](const aPacket*, void* ref) { static_cast<Calls*>(ref)->count++; }, &calls),
              aErrNone);
    const uint8_t enable[6] = {0x81, 0, 0, 0, 0, 1};
    ASSERT_EQ(link.sendPacket(2, 0x5D, sizeof enable, enable), aErrNone);
    ASSERT_TRUE(module.waitForReceived(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the subscription is in place

    module.send({2, {0x12, 0x05, 0x41, 0, 0, 0, 7}});
    module.send({2, {0x12, 0x05, 0x42, 0, 0, 1, 9}});
    module.send({2, {0, 1}});  // heartbeat: the batch leaves
    uint32_t first = 0, second = 0;
    auto end = Clock::now() + std::chrono::seconds(5);
    while ((link.getStreamValue(2, 0x12, 5, 2, 0, &second) == aErrNotFound || calls.count < 1) && Clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(link.getStreamValue(2, 0x12, 5, 1, 0, &first), aErrNone);
    EXPECT_EQ(first, 7u);
    EXPECT_EQ(second, 0x109u);
    EXPECT_EQ(calls.count, 1) << "the callback is for index 1 only";
    EXPECT_EQ(link.removeStreamCallbacks(), aErrNone);
    EXPECT_EQ(link.disconnect(), aErrNone);
    aServer_Destroy(&server);
    aLink_Destroy(&deviceId);
}
