// One serial tty opened as an FT232 port: locked against a second open, raw 8N1 without flow
// control, never blocking. The serial provider opens /dev/ttyUSBn through here; tests open the
// slave side of a pseudo-terminal the same way.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "d2xx/backend.h"

namespace d2xx {

// The modem-control ioctls of an open tty (TIOCMGET, TIOCMBIS, TIOCMBIC with a TIOCM_* bit set),
// returning what ioctl(2) returns with errno set. A pseudo-terminal has no modem lines, so tests
// stand in for them here; the default is ioctl(2) itself.
using ModemControl = std::function<int(int fd, unsigned long request, int *bits)>;

// Opens `path` with O_NOCTTY|O_NONBLOCK|O_CLOEXEC, takes flock(LOCK_EX) and TIOCEXCL, and sets
// the tty raw (cfmakeraw), 8N1, CLOCAL|CREAD, no flow control, 9600 baud, with its stale input
// dropped. FT_DEVICE_NOT_OPENED when the path cannot be opened (gone, busy, no permission), is no
// tty, or refuses the settings; nothing is left locked or changed then.
FT_STATUS OpenTty(const std::string &path, std::unique_ptr<Device> &device,
                  ModemControl modem = {});

// The driver's modem-status bits (0x10 CTS, 0x20 DSR, 0x40 RI, 0x80 DCD) of a TIOCMGET value.
ULONG ModemStatusFromLines(int lines);

}  // namespace d2xx
