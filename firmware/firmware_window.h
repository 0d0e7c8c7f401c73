// The firmware window: choose an Intel HEX file, look at it, download it into the chosen unit,
// follow the download and read its transfer log afterwards.
#pragma once

#include <QByteArray>
#include <QDialog>
#include <QPushButton>
#include <QString>
#include <vector>

#include "firmware/download.h"
#include "firmware/firmware_file.h"
#include "history/journal.h"
#include "ui/message_boxes.h"
#include "ui/window_fit.h"

struct SharedState;
class QCheckBox;
class QFileDialog;
class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QSocketNotifier;
class QTimer;

using firmware::AcceptableFirmwareName;
using firmware::FileExtension;
// Pages by which the file view scrolls after loading a file of `lineCount` lines.
int ScrollPages(int lineCount);

// A push button whose caption wraps onto further lines.
class WrappingButton : public QPushButton {
  Q_OBJECT
 public:
  using QPushButton::QPushButton;

 protected:
  void paintEvent(QPaintEvent *event) override;
};

// The window's message boxes; the download's question is a stop box with No as its default.
class FirmwarePrompt : public MessageBoxPrompt {
 public:
  explicit FirmwarePrompt(QWidget *parent) : MessageBoxPrompt(parent), parent_(parent) {}
  bool Ask(const std::string &question, const std::string &caption = {}) override;

 private:
  QWidget *parent_;
};

// Load Firmware
class TForm2 : public QDialog, private firmware::DownloadView {
  Q_OBJECT

 public:
  explicit TForm2(SharedState &state, QWidget *parent = nullptr);
  ~TForm2() override;

  void done(int result) override;

  // Where the download keeps its record; none: no history.
  history::Journal *History = nullptr;

 protected:
  void showEvent(QShowEvent *event) override;
  void keyPressEvent(QKeyEvent *event) override;

 private:
  void FormShow();
  void FormClose();
  void Button1Click();
  void Button2Click();
  void Button3Click();
  void Timer1Timer();
  void FastStep();  // a step of a fast transfer
  // Runs one step of the download, then shows its state; a failure ends it with its message.
  void Advance(void (firmware::FirmwareDownload::*step)());
  // A failure: the download stops where it is and its state is shown.
  void Failed();
  void LoadFile(const QString &fileName);
  // The download's record ends: with its ending, or interrupted where it stands.
  void EndRecord(history::Outcome outcome, const QString &message);

  // firmware::DownloadView
  void SetBusy(bool busy) override;
  void StartTicking() override;
  void StopTicking() override;
  void Show() override;
  void Await(int descriptor, std::chrono::nanoseconds wait) override;

  SharedState &state_;
  FirmwarePrompt prompt_;
  firmware::FirmwareDownload download_;

  WrappingButton *Button1;
  QPushButton *Button2;
  QPushButton *Button3;
  QLabel *Label1;
  QLabel *Label2;
  QLabel *Label3;
  QPlainTextEdit *Memo1;
  QPlainTextEdit *Memo2;
  QProgressBar *ProgressBar1;
  QProgressBar *ProgressBar2;
  QFileDialog *OpenDialog1;
  QTimer *Timer1;
  QCheckBox *CheckBoxFast;  // "Fast transfer", remembered in VERT.ini
  // A fast transfer is stepped when the port has received data, and at the latest by the timer.
  QTimer *fastTimer_;
  QSocketNotifier *portNotifier_ = nullptr;

  QString fileName_;
  QByteArray imageText_;         // the file view's text: the file's lines joined by CR LF
  std::size_t imageLength_ = 0;  // its length when the file was loaded
  bool fileLoaded_ = false;
  bool busy_ = false;
  bool closed_ = true;       // the close steps have run since the last show
  FocusReturn focusReturn_;  // "Write to VertikoMate PCB" once the download has ended
  bool logShown_ = false;
  firmware::StatusColour shownColour_ = firmware::StatusColour::None;

  history::JobEntry record_;
};
