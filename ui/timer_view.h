// The view of an exchange in a window: its ticking is one of the window's timers, its Show the
// window's own refresh of its controls.
#pragma once

#include <QTimer>
#include <functional>
#include <utility>

#include "session/exchange.h"

class TimerView : public ExchangeView {
 public:
  explicit TimerView(std::function<void()> show) : show_(std::move(show)) {}
  // The timer that ticks the exchange (made after the view, with the window's controls).
  void SetTimer(QTimer *timer) { timer_ = timer; }

  void StartTicking() override { timer_->start(); }
  void StopTicking() override { timer_->stop(); }
  void Show() override { show_(); }

 private:
  QTimer *timer_ = nullptr;
  std::function<void()> show_;
};
