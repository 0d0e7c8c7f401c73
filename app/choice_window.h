// The device choice window: offers the units of the last scan and records the user's choice in
// the shared state (DeviceChosen, ChosenIndex).
#pragma once

#include <QDialog>

class QComboBox;
class QLabel;
class QPushButton;
struct SharedState;

// Choose Skarvel
class TForm4 : public QDialog {
  Q_OBJECT

 public:
  explicit TForm4(SharedState &state, QWidget *parent = nullptr);

 protected:
  void showEvent(QShowEvent *event) override;

 private:
  void FormShow();
  void Button2Click();

  SharedState &state_;
  QLabel *Label1;
  QComboBox *ComboBox1;
  QPushButton *Button2;
  QPushButton *Button1;
};
