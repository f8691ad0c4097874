#pragma once
// The lpcrom program (a simulated LPC17xx boot ROM on a pseudo-terminal) as a test's
// peer: SIGUSR1 writes the flash image given with --flash-out, SIGUSR2 resets the chip,
// SIGTERM writes the image and ends it.
//
//   testsupport::LpcRomProcess rom;
//   ASSERT_TRUE(rom.Start({"--flash-out", path})) << rom.Error();
//   run the tool on rom.PtyPath() ...
#include <string>

#include "support/PeerProcess.h"

namespace testsupport {

// build/sim/lpcrom
std::string LpcRomPath();

class LpcRomProcess : public PeerProcess {
public:
    LpcRomProcess() : PeerProcess(LpcRomPath()) {}
    // The port it printed ("pty /dev/pts/N"); "" when it has not started.
    std::string PtyPath() const;
};

}  // namespace testsupport
