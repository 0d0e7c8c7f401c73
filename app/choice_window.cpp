#include "app/choice_window.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QShowEvent>

#include "session/discovery.h"
#include "session/shared_state.h"
#include "ui/guarded.h"
#include "ui/message_boxes.h"

TForm4::TForm4(SharedState &state, QWidget *parent) : QDialog(parent), state_(state) {
  setObjectName("TForm4");
  setWindowTitle("Choose Skarvel");
  setFixedSize(320, 120);

  // Created in their tab order: "Select" first.
  Button2 = new QPushButton("Select", this);
  Button2->setObjectName("Button2");
  Button2->setAutoDefault(false);
  Button2->setGeometry(64, 78, 90, 30);

  Button1 = new QPushButton("Cancel", this);
  Button1->setObjectName("Button1");
  Button1->setAutoDefault(false);
  Button1->setGeometry(166, 78, 90, 30);

  Label1 = new QLabel("Select the  device:", this);
  Label1->setObjectName("Label1");
  Label1->setGeometry(16, 14, 288, 20);

  ComboBox1 = new QComboBox(this);
  ComboBox1->setObjectName("ComboBox1");
  ComboBox1->setEditable(true);
  ComboBox1->setInsertPolicy(QComboBox::NoInsert);  // typed text never becomes an entry
  ComboBox1->setGeometry(16, 38, 288, 26);

  connect(Button2, &QPushButton::clicked, this, &TForm4::Button2Click);
  connect(Button1, &QPushButton::clicked, this, &QDialog::reject);
}

void TForm4::showEvent(QShowEvent *event) {
  QDialog::showEvent(event);
  if (!event->spontaneous()) FormShow();
}

void TForm4::FormShow() {
  Guarded([&] {
    ComboBox1->clear();
    ComboBox1->clearEditText();
    for (const auto &serial : OfferedUnits(state_))
      ComboBox1->addItem(QString::fromStdString(serial));
    ComboBox1->setCurrentIndex(-1);
    ComboBox1->clearEditText();
  });
}

void TForm4::Button2Click() {
  Guarded([&] {
    const auto index = FindChosenUnit(state_, ComboBox1->currentText().toStdString());
    if (!index) return;  // nothing or no offered unit named: the window stays open
    state_.ChosenIndex = *index;
    state_.DeviceChosen = true;
    accept();
  });
}
