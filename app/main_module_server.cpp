// module-server: serves one module on the network until SIGINT or SIGTERM.
// It opens the module (USB, TCP/IP or a serial port) with networking on, so
// that the device link is served, prints where and what it announces, and
// watches the module: when it goes away and comes back that is said on
// standard error. A module reached by its address (--tcp, a serial port) is
// served only when it is the one asked for: another module answering there is
// named, and nothing is served or announced until the right one is back.
// Exit status 0 after a signal, 1 when the module cannot be served, 2 for a
// bad command line.
#include <arpa/inet.h>
#include <czmq.h>
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "app/ModuleServerOptions.h"
#include "common/device/Module.h"
#include "common/device/SystemClass.h"
#include "app/aDefs.h"
#include "common/aLink.h"
#include "common/served/aServerZeroMQ.h"
#include "unix/aTime.h"

using namespace Kestrune::Tessarine;

namespace {

linkSpec _spec(const ModuleServerOptions& options)
{
    linkSpec spec{};
    spec.serialNumber = options.serial;
    switch (options.transport) {
    case ModuleServerOptions::Transport::Usb:
        spec.type = USB;
        spec.usbId = options.serial;
        break;
    case ModuleServerOptions::Transport::Tcp:
    case ModuleServerOptions::Transport::Tcpip:
        spec.type = TCPIP;
        spec.ipAddress = options.tcpAddress;
        spec.ipPort = options.tcpPort;
        break;
    case ModuleServerOptions::Transport::Serial:
        spec.type = SERIAL;
        spec.baudRate = options.baudRate;
        snprintf(spec.portName, sizeof spec.portName, "%s", options.serialPort.c_str());
        break;
    }
    return spec;
}

aErr _connect(Module& module, const ModuleServerOptions& options)
{
    PlexusConfig config;
    config.fallback = false;  // serve the module itself, never someone else's server
    config.localOnly = options.interfaceAddress ? 0 : 1;
    if (options.interfaceAddress)
        config.networkInterface = options.interfaceAddress;
    aErr err = module.setConfig(config);
    if (err != aErrNone)
        return err;
    if (options.transport == ModuleServerOptions::Transport::Tcpip)
        return module.connect(TCPIP, options.serial);
    return module.connectFromSpec(_spec(options));
}

const char* _transportName(int32_t type)
{
    switch (type) {
    case USB:
        return "USB";
    case TCPIP:
        return "TCP/IP";
    case SERIAL:
        return "serial";
    default:
        return "?";
    }
}

// Where the module is reached when that is by its address, where another module
// may answer; "" when the module is found by its serial number (USB, --tcpip).
std::string _address(const ModuleServerOptions& options)
{
    if (options.transport == ModuleServerOptions::Transport::Serial)
        return options.serialPort;
    if (options.transport != ModuleServerOptions::Transport::Tcp)
        return "";
    char address[INET_ADDRSTRLEN] = "";
    in_addr where{options.tcpAddress};
    inet_ntop(AF_INET, &where, address, sizeof address);
    return std::string(address) + ":" + std::to_string(options.tcpPort);
}

// The serial number the module says it has; 0 when it does not answer.
uint32_t _serialOf(Module& module)
{
    SystemClass system;
    system.init(&module, 0);
    uint32_t serial = 0;
    return system.getSerialNumber(&serial) == aErrNone ? serial : 0;
}

// The serial number of the module at the address, asked over a link of its own that
// serves nothing; 0 when no module answers there.
uint32_t _serialAt(const ModuleServerOptions& options)
{
    Module probe(0, false, 0);
    uint8_t address = 0;
    uint32_t serial = 0;
    if (probe.connectFromSpec(_spec(options)) == aErrNone && probe.getLink()->getModuleAddress(&address) == aErrNone) {
        probe.setModuleAddress(address);
        serial = _serialOf(probe);
    }
    probe.disconnect();
    return serial;
}

// Says once per module that the one at the address is not the one to serve.
class StrangerNotice {
public:
    explicit StrangerNotice(const ModuleServerOptions& options) : options_(options), address_(_address(options)) {}

    bool byAddress() const { return !address_.empty(); }
    // True when serial is another module than the one to serve (and says so).
    bool isStranger(uint32_t serial)
    {
        if (!byAddress() || serial == 0 || serial == options_.serial)
            return false;
        if (serial != named_)
            fprintf(stderr, "module at %s is %08X, not %08X; waiting\n", address_.c_str(), serial, options_.serial);
        named_ = serial;
        return true;
    }
    void forget() { named_ = 0; }

private:
    const ModuleServerOptions& options_;
    std::string address_;
    uint32_t named_ = 0;
};

// Waits until the module at the address is the one to serve, or no module answers
// there (the connection then says why). False when a stop signal came first.
bool _awaitTheModule(const ModuleServerOptions& options, StrangerNotice& notice, const sigset_t& stopSignals,
                     int* received)
{
    static constexpr timespec kProbeInterval{1, 0};
    while (notice.byAddress() && notice.isStranger(_serialAt(options))) {
        *received = sigtimedwait(&stopSignals, nullptr, &kProbeInterval);
        if (*received >= 0)
            return false;
    }
    notice.forget();
    return true;
}

// Reports the module going away and coming back. The device link finds its
// module again by itself (a socket reconnects, a serial line resynchronises);
// a USB device is opened again here.
class ModuleWatch {
public:
    ModuleWatch(Module& module, uint32_t serial, StrangerNotice& notice)
        : module_(module), notice_(notice), serial_(serial), deviceId_(aLink_GetDeviceId(module.getLink()->getLinkId()))
    {
    }

    // How long to wait before the next check: while all is well a little longer, as
    // a loss is only reported after a second of trouble anyway.
    timespec check()
    {
        int32_t status = aLink_GetStatus(deviceId_);
        uint64_t now = aTime_GetMSTicks();
        if (status == LinkStatus::running) {
            troubleSince_ = 0;
            if (lost_ && _strangerBack())
                return kTroubleInterval;
            if (lost_)
                fprintf(stderr, "module %08X back\n", serial_);
            lost_ = false;
            return kQuietInterval;
        }
        if (troubleSince_ == 0)
            troubleSince_ = now;
        // A link resynchronises now and then; only a lasting loss counts.
        if (!lost_ && now - troubleSince_ >= kLostAfterMs) {
            lost_ = true;
            fprintf(stderr, "module %08X lost: %s; reconnecting\n", serial_, _reason(status));
        }
        int32_t type = 0;
        aLink_GetIdentity(deviceId_, &type, nullptr, nullptr, nullptr);
        if (lost_ && type == USB && status != LinkStatus::syncing)
            aLink_Reset(deviceId_);
        return kTroubleInterval;
    }

    // Another module took the address while this one was away: it must not be served.
    bool stranger() const { return stranger_; }

private:
    static constexpr uint64_t kLostAfterMs = 1000;
    static constexpr timespec kQuietInterval{0, 500 * 1000 * 1000};
    static constexpr timespec kTroubleInterval{0, 100 * 1000 * 1000};

    // What comes back after a loss may be another module at the same address.
    bool _strangerBack()
    {
        stranger_ = notice_.isStranger(_serialOf(module_));
        return stranger_;
    }

    static const char* _reason(int32_t status)
    {
        switch (status) {
        case LinkStatus::syncing:
            return "no answer";
        case LinkStatus::ioError:
            return "connection lost";
        case LinkStatus::noStream:
            return "cannot be opened";
        default:
            return "link failed";
        }
    }

    Module& module_;
    StrangerNotice& notice_;
    uint32_t serial_;
    uint32_t deviceId_;
    bool lost_ = false;
    bool stranger_ = false;
    uint64_t troubleSince_ = 0;
};

// Says where the module is served and what is announced; "ready" the first time.
void _announce(Module& module, const ModuleServerOptions& options, bool first)
{
    SystemClass system;
    system.init(&module, 0);
    uint8_t model = 0;
    system.getModel(&model);
    PlexusConfig config;
    module.getConfig(&config);
    linkSpec device{};
    module.getLinkSpecifier(&device);
    char address[INET_ADDRSTRLEN] = "";
    in_addr where{config.networkInterface};
    inet_ntop(AF_INET, &where, address, sizeof address);

    printf("serving %08X (%s, module %u, model %u %s) on %s port %u\n", options.serial, _transportName(device.type),
           module.getModuleAddress(), model, aDefs_GetModelName(model), address, config.assignedPort);
    printf("announcing type %d serial %08X module %u model %u at %s:%u %s\n", device.type + 4, options.serial,
           module.getModuleAddress(), model, address, config.assignedPort,
           options.interfaceAddress ? "by beacon on UDP 8585" : "by multicast on 224.0.0.7");
    if (first && !options.curveKey.empty())
        printf("admitting CURVE clients of %s\n", options.allowDirectory.c_str());
    if (first)
        printf("ready\n");
    fflush(stdout);
}

// Serves the module until a stop signal (returned) or until another module took its
// address (-1).
int _serve(Module& module, uint32_t serial, StrangerNotice& notice, const sigset_t& stopSignals)
{
    ModuleWatch watch(module, serial, notice);
    timespec interval = watch.check();
    while (!watch.stranger()) {
        int received = sigtimedwait(&stopSignals, nullptr, &interval);
        if (received >= 0)
            return received;
        interval = watch.check();
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv)
{
    ModuleServerOptions options;
    if (!options.Parse(argc, argv)) {
        fprintf(stderr, "module-server: %s\n%s", options.Error().c_str(), ModuleServerOptions::Usage());
        return 2;
    }
    if (options.help) {
        fputs(ModuleServerOptions::Usage(), stdout);
        return 0;
    }
    // The signals are taken by this thread alone: blocked before any other starts.
    zsys_handler_set(nullptr);
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    const aErr curve = options.curveKey.empty()
                           ? aErrNone
                           : aServer_UseCurve(options.curveKey.c_str(), options.allowDirectory.c_str());
    if (curve == aErrConfiguration) {
        fprintf(stderr, "module-server: %s holds no secret key (--curve-key needs the server's secret certificate)\n",
                options.curveKey.c_str());
        return 1;
    }
    if (curve != aErrNone) {
        fprintf(stderr, "module-server: cannot use the certificate %s and the directory %s\n", options.curveKey.c_str(),
                options.allowDirectory.c_str());
        return 1;
    }
    StrangerNotice notice(options);
    bool first = true;
    int received = -1;
    while (_awaitTheModule(options, notice, stopSignals, &received)) {
        Module module(0, true, 0);
        aErr err = _connect(module, options);
        if (err != aErrNone && first) {
            fprintf(stderr, "module-server: cannot serve module %08X (error %d)\n", options.serial, err);
            return 1;
        }
        if (err == aErrNone) {
            if (!first)
                fprintf(stderr, "module %08X back\n", options.serial);
            _announce(module, options, first);
            first = false;
            received = _serve(module, options.serial, notice, stopSignals);
            module.disconnect();
        } else {
            static constexpr timespec kRetryInterval{1, 0};
            received = sigtimedwait(&stopSignals, nullptr, &kRetryInterval);
        }
        if (received >= 0)
            break;
    }
    printf("stopped on %s\n", strsignal(received));
    return 0;
}
