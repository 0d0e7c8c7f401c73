#include "d2xx/tty_speed.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>

namespace d2xx::tty {

int SetSpeedOther(int fd, unsigned rate, unsigned *taken) {
  struct termios2 t {};
  if (ioctl(fd, TCGETS2, &t) != 0) return errno;
  t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
  t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  t.c_ispeed = rate;
  t.c_ospeed = rate;
  if (ioctl(fd, TCSETS2, &t) != 0) return errno;
  struct termios2 back {};
  if (ioctl(fd, TCGETS2, &back) != 0) return errno;
  *taken = back.c_ospeed;
  return 0;
}

}  // namespace d2xx::tty
