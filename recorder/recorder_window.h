#pragma once

#include <QDialog>

struct SharedState;

// Recorder of message to Skarvel
class TForm5 : public QDialog {
  Q_OBJECT

 public:
  explicit TForm5(SharedState &state, QWidget *parent = nullptr);

 private:
  SharedState &state_;
};
