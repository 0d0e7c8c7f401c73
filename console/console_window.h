#pragma once

#include <QDialog>

struct SharedState;

// Test VertikoCenter
class TForm1 : public QDialog {
  Q_OBJECT

 public:
  explicit TForm1(SharedState &state, QWidget *parent = nullptr);

 private:
  SharedState &state_;
};
