#include "app/choice_window.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QShowEvent>
#include <QVBoxLayout>

#include "session/discovery.h"
#include "session/shared_state.h"
#include "ui/guarded.h"
#include "ui/message_boxes.h"
#include "ui/window_fit.h"

TForm4::TForm4(SharedState &state, QWidget *parent) : QDialog(parent), state_(state) {
  setObjectName("TForm4");
  setWindowTitle("Choose Skarvel");

  // Created in their tab order: "Select" first.
  Button2 = new QPushButton("Select", this);
  Button2->setObjectName("Button2");
  Button2->setAutoDefault(false);

  Button1 = new QPushButton("Cancel", this);
  Button1->setObjectName("Button1");
  Button1->setAutoDefault(false);

  Label1 = new QLabel("Select the  device:", this);
  Label1->setObjectName("Label1");

  ComboBox1 = new QComboBox(this);
  ComboBox1->setObjectName("ComboBox1");
  ComboBox1->setEditable(true);
  ComboBox1->setInsertPolicy(QComboBox::NoInsert);  // typed text never becomes an entry
  ComboBox1->setAccessibleName("Unit");
  ComboBox1->setMinimumContentsLength(16);
  Label1->setBuddy(ComboBox1);

  auto *buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(Button2);
  buttons->addWidget(Button1);
  buttons->addStretch();
  auto *layout = new QVBoxLayout(this);
  layout->addWidget(Label1);
  layout->addWidget(ComboBox1);
  layout->addStretch();
  layout->addLayout(buttons);
  GiveAccessKeys(this);
  setFixedSize(QSize(320, 120).expandedTo(layout->totalSizeHint()));

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
    // The list is where the choice is made; "Select" stays first in the tab order.
    ComboBox1->setFocus(Qt::OtherFocusReason);
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
