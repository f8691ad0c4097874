#include "common/discovery/zBeaconInterface.h"

#include <arpa/inet.h>
#include <czmq.h>

#include <mutex>

namespace {

std::mutex beaconInterfaceLock;
std::string _backupInterface;

bool _acceptable(const char* interface)
{
    if (!interface)
        return false;
    if (interface[0] == '\0' || (interface[0] == '*' && interface[1] == '\0'))
        return true;
    in_addr address;
    return inet_pton(AF_INET, interface, &address) == 1;
}

}  // namespace

bool zBeaconInterface_setAndLock(const char* interface)
{
    if (!_acceptable(interface))
        return false;
    beaconInterfaceLock.lock();
    zsys_set_interface(interface);
    return true;
}

void zBeaconInterface_unlock()
{
    beaconInterfaceLock.unlock();
}

bool zBeaconInterface_backupSetAndLock(const char* interface)
{
    if (!_acceptable(interface))
        return false;
    beaconInterfaceLock.lock();
    _backupInterface = zsys_interface();
    zsys_set_interface(interface);
    return true;
}

void zBeaconInterface_restoreAndUnlock()
{
    zsys_set_interface(_backupInterface.c_str());
    beaconInterfaceLock.unlock();
}

std::string zBeaconInterface_get()
{
    return zsys_interface();
}

std::string zBeaconInterface_getAndLock()
{
    beaconInterfaceLock.lock();
    return zsys_interface();
}

std::string zBeaconInterface_getBackup()
{
    return _backupInterface;
}

std::string zBeaconInterface_getBackupAndLock()
{
    beaconInterfaceLock.lock();
    return _backupInterface;
}
