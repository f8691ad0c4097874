// module-server: serves one module on the network until SIGINT or SIGTERM.
// It opens the module (USB, TCP/IP or a serial port) with networking on, so
// that the device link is served, prints where and what it announces, and
// waits. Exit status 0 after a signal, 1 when the module cannot be served,
// 2 for a bad command line.
#include <arpa/inet.h>
#include <czmq.h>
#include <signal.h>

#include <cstdio>
#include <cstring>

#include "app/ModuleServerOptions.h"
#include "common/Module.h"
#include "common/SystemClass.h"
#include "common/aDefs.h"

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
    printf("ready\n");
    fflush(stdout);

    int received = 0;
    sigwait(&stopSignals, &received);
    module.disconnect();
    printf("stopped on %s\n", strsignal(received));
    return 0;
}
