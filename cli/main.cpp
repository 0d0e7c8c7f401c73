// tolvane-cli: the jobs of Tolvane's windows on several Skarvel units at once, from the command
// line (cli.h).
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <cerrno>
#include <iostream>

#include "cli/cli.h"

namespace {

// A standard stream that was closed when the program started is held by /dev/null opened the
// wrong way round, so that its writes fail and no file or unit opened later takes its number.
void HoldClosedStreams() {
  for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int held = open("/dev/null", fd == STDIN_FILENO ? O_WRONLY : O_RDONLY);
    if (held >= 0 && held != fd) {
      dup2(held, fd);
      close(held);
    }
  }
}

}  // namespace

int main(int argc, char **argv) {
  HoldClosedStreams();
  cli::CatchSignals();
  QCoreApplication app(argc, argv);
  // The windows' name: installed side by side, both programs find one VERT.ini in the user's
  // configuration folder (~/.config/Tolvane).
  QCoreApplication::setApplicationName("Tolvane");
  std::vector<std::string> arguments(argv, argv + argc);
  winsize size{};
  const bool outTerminal = isatty(STDOUT_FILENO) != 0;
  const bool errTerminal = isatty(STDERR_FILENO) != 0;
  int width = 80;
  if (ioctl(outTerminal ? STDOUT_FILENO : STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
    width = size.ws_col;
  return cli::Run(arguments, {std::cout, std::cerr, outTerminal, errTerminal, width});
}
