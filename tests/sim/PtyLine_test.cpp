// The simulated end of a serial line: bytes pass untranslated both ways, the line stays
// up while the host closes and reopens its port, and a closed line has no path.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include "sim/PtyLine.h"
#include "support/FdIo.h"

namespace {

using Bytes = std::vector<uint8_t>;

int _openHost(const Sim::PtyLine& line)
{
    return open(line.SlavePath().c_str(), O_RDWR | O_NOCTTY);
}

}  // namespace

TEST(PtyLine, RawBothWaysAcrossAReopenedPort)
{
    Sim::PtyLine line;
    std::string error;
    ASSERT_TRUE(line.Open(error)) << error;
    EXPECT_EQ(fcntl(line.Master(), F_GETFL) & O_NONBLOCK, O_NONBLOCK);
    const Bytes lineEnds{'?', '\r', '\n', 0x03, 0x7F, 0x00};  // echo, CR/LF mapping and ^C would change these
    for (int attempt = 0; attempt < 2; ++attempt) {
        int host = _openHost(line);
        ASSERT_GE(host, 0) << line.SlavePath();
        ASSERT_TRUE(fdio::writeAll(host, lineEnds.data(), lineEnds.size()));
        EXPECT_EQ(fdio::readFor(line.Master(), lineEnds.size(), 5000), lineEnds) << "attempt " << attempt;
        ASSERT_TRUE(fdio::writeAll(line.Master(), lineEnds.data(), lineEnds.size()));
        EXPECT_EQ(fdio::readFor(host, lineEnds.size(), 5000), lineEnds) << "attempt " << attempt;
        close(host);
    }
    line.Close();
    EXPECT_EQ(line.Master(), -1);
    EXPECT_TRUE(line.SlavePath().empty());
}
