#pragma once
// The network interface czmq's beacons use is one process-wide setting. These
// functions change it only with beaconInterfaceLock held: the setters return
// with the lock held, and only the matching unlock or restore releases it.
#include <string>

// Locks and sets the interface. Accepts a dotted IPv4 address, an empty text
// (czmq's default choice) or "*" (every interface); anything else returns
// false without locking.
bool zBeaconInterface_setAndLock(const char* interface);

// Releases the lock.
void zBeaconInterface_unlock();

// As zBeaconInterface_setAndLock, first saving the current interface.
bool zBeaconInterface_backupSetAndLock(const char* interface);

// Sets the saved interface back and releases the lock.
void zBeaconInterface_restoreAndUnlock();

// The current interface text; the second form locks first.
std::string zBeaconInterface_get();
std::string zBeaconInterface_getAndLock();

// The saved interface text; the second form locks first.
std::string zBeaconInterface_getBackup();
std::string zBeaconInterface_getBackupAndLock();
