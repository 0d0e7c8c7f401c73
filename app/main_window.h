// The main window: owns the shared state, shows the version and the device state, runs
// "Select device" and opens the other windows modally.
#pragma once

#include <QImage>
#include <QPointer>
#include <QWidget>
#include <functional>
#include <string>
#include <vector>

#include "app/discovery.h"
#include "app/shared_state.h"

class QDialog;
class QFrame;
class QLabel;
class QPushButton;
class TForm1;
class TForm2;
class TForm4;
class TForm5;
class TForm6;

// TolvaneAlarm
class TForm3 : public QWidget, private SelectionView {
  Q_OBJECT

 public:
  explicit TForm3(std::string programFolder, QWidget *parent = nullptr);
  ~TForm3() override;

  SharedState &State() { return state_; }

  // The windows that the buttons open. They are children of this window and live as long as it.
  void SetWindows(TForm1 *console, TForm2 *firmware, TForm4 *choice, TForm5 *recorder,
                  TForm6 *settings);

  // Lists the sound outputs; "Message recorder" reads the list afresh with it at every press,
  // since outputs on USB or Bluetooth come and go. Without it there are none.
  std::function<std::vector<std::string>()> ListOutputs;

 protected:
  void showEvent(QShowEvent *event) override;

 private:
  void FormShow();
  void Button1Click();
  void Button2Click();
  void Button3Click();
  void Button4Click();
  void Button5Click();
  void Button6Click();

  void ShowSelection(const std::string &label) override;
  void ChooseUnit() override;
  void ShowModally(QDialog *window);
  void UpdateButtons();

  SharedState state_;
  bool shown_ = false;

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

  QPointer<TForm1> Form1;
  QPointer<TForm2> Form2;
  QPointer<TForm4> Form4;
  QPointer<TForm5> Form5;
  QPointer<TForm6> Form6;
};

// The banner picture: 473 x 157 pixels, 24-bit colour.
QImage BannerPicture();

// The caption of the main window for a version text.
QString MainCaption(const std::string &version);

inline constexpr char kNoSoundCard[] =
    "It is impossible to play sound files, a sound card isn't installed";
