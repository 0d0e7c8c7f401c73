// The main window: owns the shared state, shows the version and the device state, runs
// "Select device" and opens the other windows modally.
//
// Its caption is complete as soon as it is shown. What start-up need not do before the window is
// on screen follows its first paint, through the event loop: the device scan, whose count the
// status label then shows, and the first list of sound outputs, read on a thread of its own so
// that GStreamer's start never holds up the window. The history's writer (its file, its server)
// is started by whoever makes the windows, once they are made.
#pragma once

#include <QImage>
#include <QPointer>
#include <QWidget>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "history/journal.h"
#include "session/discovery.h"
#include "session/shared_state.h"

class QDialog;
class QFrame;
class QLabel;
class QPushButton;
class TForm1;
class TForm2;
class TForm4;
class TForm5;
class TForm6;
class HistoryWindow;

// TolvaneAlarm
class TForm3 : public QWidget, private SelectionView {
  Q_OBJECT

 public:
  explicit TForm3(std::string programFolder, QWidget *parent = nullptr);
  // With the banner picture from `banner` (BannerPicture(), or one drawn on another thread at
  // start-up), asked for once the other controls are made.
  TForm3(std::string programFolder, const std::function<QImage()> &banner,
         QWidget *parent = nullptr);
  ~TForm3() override;

  SharedState &State() { return state_; }
  // The history of the program's jobs, which the other windows record into.
  history::Journal *History() { return journal_.get(); }
  // Starts the history's writer, which opens its file and, with a server, its sender (start-up
  // does so once the windows are made). Once is enough.
  void StartHistory();
  // The window has had its first paint since it was shown.
  bool Painted() const { return painted_; }

  // The windows that the buttons open. They are children of this window and live as long as it.
  void SetWindows(TForm1 *console, TForm2 *firmware, TForm4 *choice, TForm5 *recorder,
                  TForm6 *settings);

  // Lists the sound outputs: once after the first paint, on a thread of its own, and afresh at
  // every press of "Message recorder", since outputs on USB or Bluetooth come and go. Without it
  // there are none.
  std::function<std::vector<std::string>()> ListOutputs;

 protected:
  bool event(QEvent *event) override;
  void showEvent(QShowEvent *event) override;

 private:
  void FormShow();
  void AfterFirstPaint();
  void TakeFirstOutputs(const std::vector<std::string> &outputs);
  void Button1Click();
  void Button2Click();
  void Button3Click();
  void Button4Click();
  void Button5Click();
  void Button6Click();
  void ButtonHistoryClick();
  void ShowHistoryState();

  void ShowSelection(const std::string &label) override;
  void ChooseUnit() override;
  void ShowModally(QDialog *window);
  void UpdateButtons();

  SharedState state_;
  bool shown_ = false;
  bool painted_ = false;
  // The scan of the show steps is still to come; "Select device" scans itself and supersedes it.
  bool startScanDue_ = false;
  // "Message recorder" has read the list; the start-up list, older, is then not taken.
  bool outputsReadByPress_ = false;
  std::thread firstOutputs_;

  QFrame *Panel1;
  QLabel *Label2;
  QLabel *Label3;
  QLabel *Image1;
  QPushButton *Button5;
  QLabel *Label1;
  QPushButton *Button6;
  QPushButton *Button1;
  QPushButton *Button2;
  QPushButton *Button3;
  QPushButton *Button4;
  QPushButton *ButtonHistory;
  QLabel *LabelHistory;

  QPointer<TForm1> Form1;
  QPointer<TForm2> Form2;
  QPointer<TForm4> Form4;
  QPointer<TForm5> Form5;
  QPointer<TForm6> Form6;
  QPointer<HistoryWindow> historyWindow_;
  std::unique_ptr<history::Journal> journal_;
};

// The history label's text for the history's state ("kept", "off", "not kept: <reason>").
QString HistoryLabelText(history::HistoryState state, const QString &text);
// Its text with a server, for the sender's state and the records that wait: "History: shared",
// or "History: on this bench, 1 record waits (N records wait) for the server (<reason>)".
QString SharedHistoryLabel(const QString &state, qint64 waiting);

// The banner picture: 473 x 157 pixels, 24-bit colour.
QImage BannerPicture();

// The caption of the main window for a version text.
QString MainCaption(const std::string &version);

inline constexpr char kNoSoundCard[] =
    "It is impossible to play sound files, a sound card isn't installed";
