// tolvane-cli: the jobs of Tolvane's windows on several Skarvel units at once, from the command
// line (cli.h).
#include <sys/ioctl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <iostream>

#include "cli/cli.h"

int main(int argc, char **argv) {
  QCoreApplication app(argc, argv);
  std::vector<std::string> arguments(argv, argv + argc);
  winsize size{};
  const bool outTerminal = isatty(STDOUT_FILENO) != 0;
  const bool errTerminal = isatty(STDERR_FILENO) != 0;
  int width = 80;
  if (ioctl(outTerminal ? STDOUT_FILENO : STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
    width = size.ws_col;
  return cli::Run(arguments, {std::cout, std::cerr, outTerminal, errTerminal, width});
}
