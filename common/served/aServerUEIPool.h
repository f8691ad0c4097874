#pragma once
// UEI-bytes pools: the pieces of a byte string that one network client is
// sending, held by the module server until the last piece arrives, so that
// the module gets the whole string in order with no other client's packets
// in between. A pool forgets itself after 2000 UEI packets of any client
// without completing.
#include <cstdint>
#include <string>
#include <vector>

#include "common/aPacket.h"

struct aServerUEIPool {
    std::string identity;         // the client's identity frame
    std::vector<aPacket> pieces;  // the pieces so far, in order
    uint8_t sequence = 0;         // the last piece's sequence number
    uint16_t timeToLive = 0;
};

struct aServerUEIPools {
    std::vector<aServerUEIPool> pools;
};

constexpr uint16_t aSERVER_POOL_TIME_TO_LIVE = 2000;

// One UEI packet went by: every pool ages, and one already at 0 goes.
void aServerUEIPools_Age(aServerUEIPools* pools);

// The client's pool, or null.
aServerUEIPool* aServerUEIPools_Find(aServerUEIPools* pools, const std::string& identity);

// Starts the client's pool with its first piece (sequence 0).
void aServerUEIPools_Start(aServerUEIPools* pools, const std::string& identity, const aPacket* first);

// Removes the client's pool.
void aServerUEIPools_Remove(aServerUEIPools* pools, const std::string& identity);
