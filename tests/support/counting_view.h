// The view of an exchange in a test: counts what the exchange asked of it.
#pragma once

#include "session/exchange.h"

struct CountingView : ExchangeView {
  void StartTicking() override {
    ++started;
    ticking = true;
  }
  void StopTicking() override {
    ++stopped;
    ticking = false;
  }
  void Show() override { ++shown; }

  int started = 0, stopped = 0, shown = 0;
  bool ticking = false;
};
