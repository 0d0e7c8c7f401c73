#pragma once

#include <QDialog>

struct SharedState;

// Setting parameters
class TForm6 : public QDialog {
  Q_OBJECT

 public:
  explicit TForm6(SharedState &state, QWidget *parent = nullptr);

 private:
  SharedState &state_;
};
