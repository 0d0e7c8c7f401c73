#include "firmware/firmware_window.h"

#include "app/shared_state.h"

TForm2::TForm2(SharedState &state, QWidget *parent) : QDialog(parent), state_(state) {
  setObjectName("TForm2");
  setWindowTitle("Load Firmware");
}
