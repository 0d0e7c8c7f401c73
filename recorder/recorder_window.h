// The recorder window: choose the audio file that becomes the unit's voice message, listen to it
// on a chosen sound output, and record it into the unit. The recording itself is a
// recorder::MessageRecording that the window's handlers and its three timers drive.
#pragma once

#include <QDialog>
#include <QString>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "history/journal.h"
#include "recorder/recording.h"
#include "ui/message_boxes.h"
#include "ui/window_fit.h"

struct SharedState;
class QCheckBox;
class QComboBox;
class QFileDialog;
class QGroupBox;
class QLabel;
class QPushButton;
class QSlider;
class QTimer;

// The text of a position or a duration: with `showAsTime`, the value in 100 ns units as a time
// of day "hh:nn:ss:zzz" (to the nearest millisecond; a day and more wraps round); otherwise the
// plain decimal number.
QString LongTimeToStr(std::int64_t value, bool showAsTime);

// What the window says of a recording in `phase` whose unit has recorded for `seconds`:
// "Recording…" and the whole seconds while the unit records, nothing otherwise.
QString RecordingText(recorder::Phase phase, double seconds);

// Recorder of message to Skarvel
class TForm5 : public QDialog, private recorder::RecordingView {
  Q_OBJECT

 public:
  explicit TForm5(SharedState &state, QWidget *parent = nullptr);
  ~TForm5() override;

  // Opens a file's player on an output device (an index into the output-device list). Made with
  // TAudioPlay; tests may put a player of their own in its place.
  std::function<std::unique_ptr<recorder::Player>(const std::string &fileName, int deviceIndex)>
      OpenPlayer;

  // The recording, for tests that replace its pauses or look at its state.
  recorder::MessageRecording &Recording() { return recording_; }
  // The output device for the files opened next.
  int DeviceIndex() const { return deviceIndex_; }
  bool ShowAsTime() const { return showAsTime_; }
  bool CanSeek() const { return canSeek_; }
  recorder::Player *CurrentPlayer() const { return player_.get(); }

  // Handlers. Each catches what its work raises and hands it to the general error handler once
  // its own state changes are done.
  void FormShow();
  void Button2Click();  // "Open audio file"
  void btnPlayClick();
  void btnPauseClick();
  void btnStopClick();
  void Button1Click();  // "RECORD MESSAGE"
  void Button3Click();  // "Cancel"
  void ComboBox1Change(int index);
  void tbarPositionChange(int value);
  void tbarBalanceChange(int value);
  void tbarVolumeChange(int value);
  void Timer1Timer();
  void Timer2Timer();
  void Timer3Timer();

  void done(int result) override;

  // Where the recording keeps its record; none: no history.
  history::Journal *History = nullptr;

 protected:
  void showEvent(QShowEvent *event) override;
  void keyPressEvent(QKeyEvent *event) override;

 private:
  // The close steps, once per showing: timers off, the file closed, a recording or reply wait in
  // progress given its stop signal, the audio path saved.
  void FormClose();
  void OpenAudioPlay(const std::string &fileName);
  void FreeAudioPlay();
  void RefreshFileInfo();
  QString LongTimeToStr(std::int64_t value) const;
  void UpdateControls();
  // A recording's record starts when the recording has, and ends when it has.
  void FollowRecord();

  // recorder::RecordingView
  void StartLimit() override;
  void StopLimit() override;
  void ShowPosition() override;
  int PositionShown() const override;
  void Show() override;
  void StartSoundWatch() override;
  void StopSoundWatch() override;

  SharedState &state_;
  MessageBoxPrompt prompt_;
  recorder::MessageRecording recording_;
  history::JobEntry record_;
  std::unique_ptr<recorder::Player> player_;

  int deviceIndex_ = 0;
  bool showAsTime_ = true;
  bool updatingPosition_ = false;
  bool updatingBalance_ = false;
  bool updatingVolume_ = false;
  bool canSeek_ = false;
  bool closed_ = true;  // the close steps have run since the last show
  FocusReturn focusReturn_;

  QPushButton *Button2;
  QLabel *Label4;
  QFileDialog *OpenDialog1;
  QSlider *tbarPosition;
  QLabel *lblPosition;
  QLabel *Label1;
  QLabel *lblDuration;
  QPushButton *btnPlay;
  QPushButton *btnPause;
  QPushButton *btnStop;
  QLabel *Label5;
  QComboBox *ComboBox1;
  QGroupBox *GroupBox2;
  QLabel *Label2;
  QSlider *tbarBalance;
  QLabel *Label3;
  QSlider *tbarVolume;
  QLabel *Label7;
  QLabel *Label6;
  QLabel *LabelRecording;  // "Recording…" and the seconds, while the unit records
  QPushButton *Button1;
  QPushButton *Button3;
  QGroupBox *GroupBox1;
  std::array<QCheckBox *, 8> capabilityBoxes_{};
  QTimer *Timer1;
  QTimer *Timer2;
  QTimer *Timer3;  // the poll of the output while a recording's sound starts
};
