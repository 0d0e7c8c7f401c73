#include "console/console_window.h"

#include "app/shared_state.h"

TForm1::TForm1(SharedState &state, QWidget *parent) : QDialog(parent), state_(state) {
  setObjectName("TForm1");
  setWindowTitle("Test VertikoCenter");
}
