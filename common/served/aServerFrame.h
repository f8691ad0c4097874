#pragma once
// Frames between network clients and the module server: every packet travels
// as one frame, its address byte, its length byte and that many payload bytes.
#include <cstddef>
#include <cstdint>

#include "common/aPacket.h"

// Frames that carry one packet are 2 to 30 bytes long.
constexpr size_t aSERVER_FRAME_MIN = 2;
constexpr size_t aSERVER_FRAME_MAX = aPACKET_MAXWIRE;

// Fills *packet with the packet a frame carries; false, and nothing filled, for a
// frame outside 2..30 bytes or whose length byte does not match the bytes present.
bool aServerFrame_ToPacket(const uint8_t* frame, size_t size, aPacket* packet);

// A packet's frame (its wire bytes); the frame's size, 0 when the buffer is short.
size_t aServerFrame_FromPacket(const aPacket* packet, uint8_t* frame, size_t size);

// Whether the module answers the packet: not for a route packet (address
// 0xAF) nor for a piece of a byte string that more pieces follow.
bool aServerFrame_NeedsReply(const aPacket* packet);

// A UEI byte-string piece that fills its packet and has more pieces after it.
bool aServerFrame_IsContinuedPiece(const aPacket* packet);

// A client asking for stream samples: length 7, payload beginning 0x5D, 0x81.
bool aServerFrame_IsStreamEnable(const aPacket* packet);

// A route packet that only asks to force routing (address 0xAF, length 1):
// it concerns the client's own link and never reaches the module.
bool aServerFrame_IsRouteRequest(const aPacket* packet);

// A heartbeat (length 2, first payload byte 0).
bool aServerFrame_IsHeartbeat(const aPacket* packet);
