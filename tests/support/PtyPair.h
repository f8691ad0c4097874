#pragma once
// A pseudo-terminal standing in for a serial line: the test holds the master side and
// the code under test opens slavePath() as its serial port.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class PtyPair {
public:
  // keepSlaveOpen holds a spare slave descriptor so that the master keeps working while
  // the code under test closes and reopens the port.
  explicit PtyPair(bool keepSlaveOpen = true);
  ~PtyPair();
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  bool ok() const { return master_ >= 0; }
  const std::string& slavePath() const { return slavePath_; }
  int master() const { return master_; }

  bool write(const std::vector<uint8_t>& bytes);
  // Whatever arrives within timeoutMs, at most max bytes (stops early once max are in).
  std::vector<uint8_t> read(size_t max, int timeoutMs);

private:
  int master_ = -1;
  int spareSlave_ = -1;
  std::string slavePath_;
};
