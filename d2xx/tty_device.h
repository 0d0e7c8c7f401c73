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

// The ioctls through which the port reaches the serial driver itself: the output queue count
// (TIOCOUTQ, an int), the output flush (TCFLSH, with TCOFLUSH as the argument's value) and the
// driver's settings (TIOCGSERIAL, TIOCSSERIAL, a serial_struct). A pseudo-terminal has no serial
// driver, so tests stand in for one here; the default is ioctl(2) itself.
using DriverControl = std::function<int(int fd, unsigned long request, void *arg)>;

// Opens `path` with O_NOCTTY|O_NONBLOCK|O_CLOEXEC, takes flock(LOCK_EX) and TIOCEXCL, and sets
// the tty raw (cfmakeraw), 8N1, CLOCAL|CREAD, no flow control, 9600 baud, with its stale input
// dropped. FT_DEVICE_NOT_OPENED when the path cannot be opened (gone, busy, no permission), is no
// tty, or refuses the settings; nothing is left locked or changed then.
//
// It then asks the driver for low latency (ASYNC_LOW_LATENCY, which ftdi_sio turns into a 1 ms
// latency timer in place of its 16 ms) and goes on without where the driver refuses. Closing
// the device waits for the written bytes to leave (at most their time at the line's rate plus
// 100 ms, never more than 1 s; what is still queued then is dropped), gives the driver its flag
// back as it was, and releases the port.
FT_STATUS OpenTty(const std::string &path, std::unique_ptr<Device> &device, ModemControl modem = {},
                  DriverControl driver = {});

// The driver's modem-status bits (0x10 CTS, 0x20 DSR, 0x40 RI, 0x80 DCD) of a TIOCMGET value.
ULONG ModemStatusFromLines(int lines);

}  // namespace d2xx
