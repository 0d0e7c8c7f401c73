#include "settings/settings_window.h"

#include "app/shared_state.h"

TForm6::TForm6(SharedState &state, QWidget *parent) : QDialog(parent), state_(state) {
  setObjectName("TForm6");
  setWindowTitle("Setting parameters");
}
