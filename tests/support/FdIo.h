#pragma once
// Small descriptor helpers for test peers.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace fdio {

bool writeAll(int fd, const uint8_t* bytes, size_t length);
// Bytes arriving within timeoutMs, at most max; returns early once max bytes are in.
std::vector<uint8_t> readFor(int fd, size_t max, int timeoutMs);
// Waits up to timeoutMs for fd to become readable.
bool waitReadable(int fd, int timeoutMs);

}  // namespace fdio
