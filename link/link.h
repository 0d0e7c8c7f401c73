// The two routines through which every window talks to the unit, on the one open port.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "link/ft232.h"

// All bytes waiting in the port's receive queue, in arrival order; possibly empty. When a read
// fails or nothing was waiting and the queue then reports a non-zero count (-1 while the unit is
// unplugged), the unit `serial` is opened anew and replaces `port`; a failed reopen is silent.
// The reopen never waits for the unit to answer: one that has not answered yet is taken up by a
// later call.
// Nothing is done without a port.
std::string ReceiveAll(std::unique_ptr<TFT232> &port, const std::string &serial);

// Before a job: a port that is gone (none, or one whose queue reports -1, lost to an unplugging)
// is replaced by the unit `serial` opened anew and configured, as the user's choice opens it;
// true when a port is there. A healthy port is kept.
bool FindUnit(std::unique_ptr<TFT232> &port, const std::string &serial);

// Writes `text` byte by byte; true when every byte was written. False for an empty text, and
// without a port.
bool SendText(TFT232 *port, const std::string &text);

// Puts a freshly opened port into the state the program works in: plain serial mode, DTR set,
// RTS cleared, 9600 baud.
void ConfigurePort(TFT232 &port);
// What a first open of a unit (discovery, tolvane-cli's units) waits before and after the
// configuration, for the adapter to settle.
inline constexpr std::chrono::milliseconds kOpenSettle{10};
// The unit of this serial number opened and configured, `settle` waited before and after the
// configuration: the one way a unit is opened. Raises TFT232Exception where it cannot be had.
std::unique_ptr<TFT232> OpenConfiguredPort(const std::string &serial,
                                           std::chrono::milliseconds settle = {});
