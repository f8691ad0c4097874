#include "support/PtyPair.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include "support/FdIo.h"

PtyPair::PtyPair(bool keepSlaveOpen) {
  master_ = posix_openpt(O_RDWR | O_NOCTTY);
  if (master_ < 0) return;
  char name[128];
  if (grantpt(master_) != 0 || unlockpt(master_) != 0 || ptsname_r(master_, name, sizeof name) != 0) {
    close(master_);
    master_ = -1;
    return;
  }
  slavePath_ = name;
  struct termios settings;
  tcgetattr(master_, &settings);
  cfmakeraw(&settings);  // a fresh pty echoes
  tcsetattr(master_, TCSANOW, &settings);
  if (keepSlaveOpen) spareSlave_ = open(name, O_RDWR | O_NOCTTY);
}

PtyPair::~PtyPair() {
  if (spareSlave_ >= 0) close(spareSlave_);
  if (master_ >= 0) close(master_);
}

bool PtyPair::write(const std::vector<uint8_t>& bytes) { return fdio::writeAll(master_, bytes.data(), bytes.size()); }

std::vector<uint8_t> PtyPair::read(size_t max, int timeoutMs) { return fdio::readFor(master_, max, timeoutMs); }
