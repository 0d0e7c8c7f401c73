// The guard of every handler of a window: an exception that leaves the handler goes to the
// general error handler, after the window has put itself back into a state it can go on from.
#pragma once

#include <QString>
#include <exception>
#include <utility>

#include "ui/message_boxes.h"

// Calls `handler`; an exception goes to the general error handler after `finish` has run.
// True when the handler ran to its end.
template <class Handler, class Finish>
bool Guarded(Handler &&handler, Finish &&finish) {
  try {
    handler();
    return true;
  } catch (const std::exception &e) {
    finish();
    ShowError(e);
  } catch (...) {
    finish();
    ShowError(QStringLiteral("Unknown error"));
  }
  return false;
}

// Calls `handler`; an exception goes to the general error handler.
template <class Handler>
bool Guarded(Handler &&handler) {
  return Guarded(std::forward<Handler>(handler), [] {});
}

// Calls `handler`, then `after`, which puts the window's controls in line with what happened:
// an exception of the handler goes to the general error handler once `after` has run.
template <class Handler, class After>
void GuardedThen(Handler &&handler, After &&after) {
  if (Guarded(std::forward<Handler>(handler), after)) after();
}
