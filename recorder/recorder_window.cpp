#include "recorder/recorder_window.h"

#include "app/shared_state.h"

TForm5::TForm5(SharedState &state, QWidget *parent) : QDialog(parent), state_(state) {
  setObjectName("TForm5");
  setWindowTitle("Recorder of message to Skarvel");
}
