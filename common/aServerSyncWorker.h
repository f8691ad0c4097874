#pragma once
// The module server's sync worker: the only thread that touches the device
// link for clients. It puts one request at a time on the link and hands the
// module's answer (one packet, or the packets of a multi-packet answer) back
// to the broker, announced by SERVER_CMD_INCOMING_PACKETS; a request that
// gets no answer within 2 s is reported as SERVER_CMD_DROPPED_PACKET.
#include <czmq.h>

// The actor; args is the aServer.
void aServerSyncWorker_Actor(zsock_t* pipe, void* args);

constexpr unsigned aSERVER_REPLY_TIMEOUT_MS = 2000;
