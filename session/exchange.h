// The one shape of every timer-driven exchange with a unit: the settings write and the default
// exchange, the firmware download, the message recording and the console session.
//
// An exchange begins with its Start (whose arguments are its own), then runs one Step per tick
// of the timer that drives it, in a window or in a job without one; Stop ends it where it stands
// (the window closes, the job is broken off). Running tells whether it runs; CurrentPhase and
// Result (types of its own) tell where it is and how it ended, and beside it stands the rule
// that enables its window's controls from its state. It drives what shows it through a view: a
// small interface that the window implements (and a job without a window, and a test), which
// names no control.
#pragma once

class Exchange {
 public:
  virtual ~Exchange() = default;
  // One tick.
  virtual void Step() = 0;
  // Ends the exchange where it stands: nothing further is sent.
  virtual void Stop() = 0;
  virtual bool Running() const = 0;
};

// What an exchange drives besides its prompt.
class ExchangeView {
 public:
  virtual ~ExchangeView() = default;
  // Step is due at every tick from now on; and no longer.
  virtual void StartTicking() = 0;
  virtual void StopTicking() = 0;
  // Shows the exchange's state now: at its ending, before any message about it.
  virtual void Show() = 0;
};
