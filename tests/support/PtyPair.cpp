#include "support/PtyPair.h"

#include "support/FdIo.h"

PtyPair::PtyPair()
{
    std::string error;
    line_.Open(error);  // ok() tells
}

bool PtyPair::write(const std::vector<uint8_t>& bytes)
{
    return fdio::writeAll(master(), bytes.data(), bytes.size());
}

std::vector<uint8_t> PtyPair::read(size_t max, int timeoutMs)
{
    return fdio::readFor(master(), max, timeoutMs);
}
