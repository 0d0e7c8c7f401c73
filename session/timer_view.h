// The view of an exchange whose ticks are a timer: a window's timer, or one of a job without a
// window. Show is the owner's refresh of what shows the exchange (nothing when none is given).
#pragma once

#include <QTimer>
#include <functional>
#include <utility>

#include "session/exchange.h"

class TimerView : public ExchangeView {
 public:
  explicit TimerView(std::function<void()> show = {}) : show_(std::move(show)) {}
  // The timer that ticks the exchange (made after the view, with the window's controls).
  void SetTimer(QTimer *timer) { timer_ = timer; }
  QTimer *Timer() const { return timer_; }

  void StartTicking() override { timer_->start(); }
  void StopTicking() override { timer_->stop(); }
  void Show() override {
    if (show_) show_();
  }

 private:
  QTimer *timer_ = nullptr;
  std::function<void()> show_;
};
