#pragma once
// Requests the module server's broker has put on the device link and whose
// answers it still awaits, oldest first. The module answers in request order
// but may leave a request unanswered: an answer belongs to the oldest request
// whose key it echoes (module address and command; for UEI also the option
// code and the entity index; an empty packet answers a magic packet), and the
// requests it passes over are given up, as after a time-out. A piece of a
// multi-packet answer keeps its request waiting for the rest.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include "common/aPacket.h"

// How long the module may take to answer a request (each packet of an answer).
constexpr unsigned aSERVER_REPLY_TIMEOUT_MS = 2000;

struct aServerRequestKey {
    uint8_t address = 0;
    uint8_t size = 0;  // payload bytes of the request
    uint8_t command = 0;
    uint8_t option = 0;  // option code, UEI only
    uint8_t index = 0;   // entity index, UEI only
    bool uei = false;
};

struct aServerInFlightRequest {
    std::string client;  // the identity the answer goes to
    aServerRequestKey key;
    uint64_t deadlineMs = 0;
};

struct aServerInFlight {
    std::deque<aServerInFlightRequest> requests;
};

// The key a request's answer echoes.
aServerRequestKey aServerInFlight_Key(const aPacket* request);

// Whether the packet answers a request of this key.
bool aServerInFlight_Answers(const aServerRequestKey& key, const aPacket* answer);

void aServerInFlight_Add(aServerInFlight* flight, const std::string& client, const aPacket* request, uint64_t nowMs);

// The client an answer goes to, and how many older requests it passed over
// (they are given up); false when it answers none, and nothing changes.
bool aServerInFlight_Match(aServerInFlight* flight, const aPacket* answer, uint64_t nowMs, std::string* client,
                           size_t* skipped);

// Gives up the requests whose time ran out; how many.
size_t aServerInFlight_Expire(aServerInFlight* flight, uint64_t nowMs);
