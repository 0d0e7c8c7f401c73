// A pseudo-terminal pair standing in for an FT232 tty: the test talks through the master, the
// code under test opens the slave path like /dev/ttyUSBn. Every wait is bounded.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "d2xx/backend.h"

class PtyPair {
 public:
  PtyPair() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0) {
      char name[128] = {};
      if (ptsname_r(master_, name, sizeof name) == 0) slave_ = name;
    }
  }
  ~PtyPair() { CloseMaster(); }
  PtyPair(const PtyPair &) = delete;
  PtyPair &operator=(const PtyPair &) = delete;

  bool ok() const { return master_ >= 0 && !slave_.empty(); }
  const std::string &SlavePath() const { return slave_; }
  int Master() const { return master_; }

  // The unit's side: bytes that the adapter receives from the unit.
  bool Send(const std::string &bytes) {
    return ::write(master_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  }
  // What reached the unit: up to `count` bytes, waiting at most `limit` for them.
  std::string Receive(std::size_t count,
                      std::chrono::milliseconds limit = std::chrono::milliseconds(3000)) {
    std::string got;
    const auto until = std::chrono::steady_clock::now() + limit;
    while (got.size() < count && std::chrono::steady_clock::now() < until) {
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      char buffer[512];
      const ssize_t n = ::read(master_, buffer, std::min(sizeof buffer, count - got.size()));
      if (n > 0) got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
  }
  // The unplug: the slave side is hung up.
  void CloseMaster() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
  }

 private:
  int master_ = -1;
  std::string slave_;
};

// Waits until the device reports at least `count` bytes in its receive queue; the last count.
inline DWORD WaitForQueue(d2xx::Device &device, DWORD count) {
  DWORD rx = 0, tx = 0;
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(3000);
  while (std::chrono::steady_clock::now() < until) {
    if (device.QueueStatus(&rx, &tx) != FT_OK || rx >= count) break;
    pollfd none{};
    poll(&none, 0, 5);
  }
  return rx;
}
