// Arbitrary line speeds of a tty through termios2 (BOTHER). Kept apart from the rest of the tty
// code: the kernel's termbits header and the C library's termios header cannot meet in one file.
#pragma once

namespace d2xx::tty {

// Sets the input and output speed of the tty to `rate` bits per second and reads back the output
// speed that the driver kept into `taken`. 0 on success, otherwise the errno of the failed ioctl.
int SetSpeedOther(int fd, unsigned rate, unsigned *taken);

}  // namespace d2xx::tty
