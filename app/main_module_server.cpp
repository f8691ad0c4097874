// module-server: serves one module on the network until SIGINT or SIGTERM.
// It opens the module (USB, TCP/IP or a serial port) with networking on, so
// that the device link is served, prints where and what it announces, and
// watches the module: when it goes away and comes back that is said on
// standard error. Exit status 0 after a signal, 1 when the module cannot be
// served, 2 for a bad command line.
#include <arpa/inet.h>
#include <czmq.h>
#include <signal.h>

#include <cstdio>
#include <cstring>

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

// Reports the module going away and coming back. The device link finds its
// module again by itself (a socket reconnects, a serial line resynchronises);
// a USB device is opened again here.
class ModuleWatch {
public:
    ModuleWatch(uint32_t serial, uint32_t deviceId) : serial_(serial), deviceId_(deviceId) {}

    // How long to wait before the next check: while all is well a little longer, as
    // a loss is only reported after a second of trouble anyway.
    timespec check()
    {
        int32_t status = aLink_GetStatus(deviceId_);
        uint64_t now = aTime_GetMSTicks();
        if (status == LinkStatus::running) {
            troubleSince_ = 0;
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

private:
    static constexpr uint64_t kLostAfterMs = 1000;
    static constexpr timespec kQuietInterval{0, 500 * 1000 * 1000};
    static constexpr timespec kTroubleInterval{0, 200 * 1000 * 1000};

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

    uint32_t serial_;
    uint32_t deviceId_;
    bool lost_ = false;
    uint64_t troubleSince_ = 0;
};

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
    Module module(0, true, 0);
    aErr err = _connect(module, options);
    if (err != aErrNone) {
        fprintf(stderr, "module-server: cannot serve module %08X (error %d)\n", options.serial, err);
        return 1;
    }
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
    if (!options.curveKey.empty())
        printf("admitting CURVE clients of %s\n", options.allowDirectory.c_str());
    printf("ready\n");
    fflush(stdout);

    ModuleWatch watch(options.serial, aLink_GetDeviceId(module.getLink()->getLinkId()));
    timespec interval = watch.check();
    int received = -1;
    while (received < 0) {
        received = sigtimedwait(&stopSignals, nullptr, &interval);
        if (received < 0)
            interval = watch.check();
    }
    module.disconnect();
    printf("stopped on %s\n", strsignal(received));
    return 0;
}
