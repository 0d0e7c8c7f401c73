// The recorder window's part in a recording, without the window: Timer2 and the position bar,
// which follows the player as the window's ShowPosition makes it follow.
#pragma once

#include "recorder/recording.h"

class WindowStandIn : public recorder::RecordingView {
 public:
  void StartLimit() override {
    timer2 = true;
    ++timer2Starts;
  }
  void StopLimit() override { timer2 = false; }
  void ShowPosition() override {
    if (player == nullptr) return;
    if (auto percent = recorder::PositionPercent(player->GetPosition(), player->Duration(),
                                                 player->Capabilities()))
      bar = *percent;
  }
  int PositionShown() const override { return bar; }
  void Show() override { ++refreshes; }
  void StartSoundWatch() override { soundWatch = true; }
  void StopSoundWatch() override { soundWatch = false; }

  recorder::Player *player = nullptr;
  bool timer2 = false;
  bool soundWatch = false;
  int timer2Starts = 0;
  int bar = 0;
  int refreshes = 0;
};
