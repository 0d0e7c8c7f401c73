// Every window for every technician: an access key on every button and labelled field, a name
// for a screen reader on every control, status colours that read, and the settings and console
// windows whole in a window of 910 x 480 (1366 x 768 at 150 %).
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAccessible>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTest>
#include <set>

#include "app/choice_window.h"
#include "app/history_window.h"
#include "console/console_window.h"
#include "firmware/download.h"
#include "firmware/firmware_window.h"
#include "recorder/recorder_window.h"
#include "session/shared_state.h"
#include "settings/settings_window.h"
#include "tests/support/temp_folder.h"
#include "ui/status_colour.h"
#include "ui/window_fit.h"

namespace {

QString Spoken(QWidget *widget) {
  QAccessibleInterface *face = QAccessible::queryAccessibleInterface(widget);
  return face ? face->text(QAccessible::Name) : QString();
}

// The controls of `window` that take the keyboard, without the inner parts of lists and spin
// boxes (which speak for them).
std::vector<QWidget *> Controls(QWidget *window) {
  std::vector<QWidget *> controls;
  for (QWidget *w : window->findChildren<QWidget *>()) {
    if (w->window() != window || w->focusPolicy() == Qt::NoFocus || w->focusProxy() ||
        !w->isVisibleTo(window))
      continue;
    if (qobject_cast<QComboBox *>(w->parentWidget()) ||
        qobject_cast<QAbstractSpinBox *>(w->parentWidget()))
      continue;
    controls.push_back(w);
  }
  return controls;
}

class EveryWindow : public ::testing::Test {
 protected:
  template <class T>
  T *Child(QWidget *window, const char *name) {
    T *found = window->findChild<T *>(name);
    EXPECT_NE(found, nullptr) << name;
    return found;
  }

  TempFolder folder;
  SharedState state{folder.Folder()};
  TForm1 console{state};
  TForm2 firmware{state};
  TForm4 choice{state};
  TForm5 recorder{state};
  TForm6 settings{state};
  HistoryWindow history{QString()};
  std::vector<QWidget *> windows{&console, &firmware, &choice, &recorder, &settings, &history};
};

TEST_F(EveryWindow, EveryButtonAndLabelledFieldHasAnAccessKeyAndShowsItsOwnCaption) {
  for (QWidget *window : windows) {
    std::set<QString> pushKeys;
    for (QAbstractButton *button : window->findChildren<QAbstractButton *>()) {
      if (button->window() != window || button->text().isEmpty() || !button->isVisibleTo(window))
        continue;
      const QKeySequence key = QKeySequence::mnemonic(button->text());
      EXPECT_FALSE(key.isEmpty()) << window->objectName().toStdString() << " "
                                  << button->text().toStdString();
      // The console's Send buttons share theirs; every other push button has one of its own.
      if (qobject_cast<QPushButton *>(button) && ShownText(button->text()) != "Send") {
        EXPECT_TRUE(pushKeys.insert(key.toString()).second)
            << window->objectName().toStdString() << " " << button->text().toStdString();
      }
    }
    for (QLabel *label : window->findChildren<QLabel *>()) {
      if (!label->buddy()) continue;
      EXPECT_FALSE(QKeySequence::mnemonic(label->text()).isEmpty())
          << window->objectName().toStdString() << " " << label->text().toStdString();
    }
  }
  EXPECT_EQ(ShownText(Child<QPushButton>(&settings, "Button1")->text()), "Default setting");
  EXPECT_EQ(ShownText(Child<QPushButton>(&firmware, "Button2")->text()),
            "Write to VertikoMate PCB");
  EXPECT_EQ(ShownText(Child<QPushButton>(&recorder, "Button2")->text()), "Open audio file");
  EXPECT_EQ(ShownText("Save && &load"), "Save & load");
}

TEST_F(EveryWindow, EveryControlHasANameOfItsOwnForAScreenReader) {
  for (QWidget *window : windows) {
    std::set<QString> names;
    for (QWidget *control : Controls(window)) {
      const QString name = Spoken(control);
      EXPECT_FALSE(name.trimmed().isEmpty())
          << window->objectName().toStdString() << " " << control->objectName().toStdString();
      if (qobject_cast<QPushButton *>(control) && ShownText(name) == "Cancel") continue;
      EXPECT_TRUE(names.insert(name).second)
          << window->objectName().toStdString() << " " << name.toStdString();
    }
  }
  EXPECT_EQ(Spoken(Child<QComboBox>(&settings, "ComboBox7")),
            "P05 Setting of Flash duration in numbers dial");
  EXPECT_TRUE(Spoken(Child<QLineEdit>(&settings, "Edit1")).startsWith("P16 "));
  EXPECT_EQ(Spoken(Child<QLineEdit>(&console, "Edit1")), "Command 1");
  EXPECT_EQ(Spoken(Child<QPushButton>(&console, "Button3")), "Send 1");
  EXPECT_EQ(Spoken(Child<QPushButton>(&console, "Button32")), "Send 30");
  EXPECT_EQ(Spoken(Child<QWidget>(&recorder, "tbarPosition")), "Position");
  EXPECT_EQ(Spoken(Child<QWidget>(&recorder, "tbarVolume")), "Volume");
  EXPECT_EQ(Spoken(Child<QWidget>(&recorder, "tbarBalance")), "Balance");
  EXPECT_EQ(Spoken(Child<QWidget>(&firmware, "ProgressBar1")), "Overall progress");
  EXPECT_EQ(Spoken(Child<QWidget>(&firmware, "ProgressBar2")), "Line progress");
  EXPECT_EQ(Spoken(Child<QWidget>(&firmware, "Memo2")), "Transfer log");
}

TEST(StatusColours, EveryStatusTextReadsOnItsColourAtAALevel) {
  const QColor colours[] = {
      QColor::fromRgb(static_cast<QRgb>(firmware::StatusColour::Written)),
      QColor::fromRgb(static_cast<QRgb>(firmware::StatusColour::Retry)),
      QColor::fromRgb(static_cast<QRgb>(firmware::StatusColour::TimedOut)),
      QColor(255, 0, 0),      // the console's "Err"
      QColor(192, 220, 192),  // the console's "VCC"
  };
  for (const QColor &colour : colours)
    EXPECT_GE(ContrastRatio(colour, ContrastingText(colour)), 4.5) << colour.name().toStdString();
  EXPECT_NEAR(ContrastRatio(Qt::white, QColor(255, 0, 255)), 3.14, 0.01);
  EXPECT_EQ(ContrastingText(QColor(255, 0, 255)), QColor(Qt::black));
  EXPECT_EQ(ContrastingText(QColor(255, 0, 0)), QColor(Qt::black));
  EXPECT_EQ(ContrastingText(QColor(0, 0, 255)), QColor(Qt::white));
}

// Whether `button` lies wholly inside `window`'s client area (through any scroll area's view).
bool Inside(QWidget *window, QWidget *button) {
  const QRect r(button->mapTo(window, QPoint(0, 0)), button->size());
  return window->rect().contains(r);
}

TEST_F(EveryWindow, TheSettingsAndConsoleButtonsAreWithinA910By480Window) {
  for (QDialog *window : {static_cast<QDialog *>(&settings), static_cast<QDialog *>(&console)}) {
    window->show();
    window->resize(910, 480);
    QTest::qWait(20);
    EXPECT_EQ(window->size(), QSize(910, 480)) << window->objectName().toStdString();
    for (QPushButton *button : window->findChildren<QPushButton *>()) {
      if (button->window() != window) continue;
      QScrollArea *scroll = nullptr;
      for (QWidget *w = button->parentWidget(); w && w != window && !scroll; w = w->parentWidget())
        scroll = qobject_cast<QScrollArea *>(w);
      if (scroll) scroll->ensureWidgetVisible(button);  // a Send button of a row: scrolled to
      EXPECT_TRUE(Inside(window, button))
          << window->objectName().toStdString() << " " << button->objectName().toStdString();
      if (scroll) {
        const QRect shown = scroll->viewport()->rect();
        EXPECT_TRUE(
            shown.contains(QRect(button->mapTo(scroll->viewport(), QPoint(0, 0)), button->size())))
            << button->objectName().toStdString();
      }
    }
    window->reject();
  }
}

TEST_F(EveryWindow, EnterInAConsoleLinePressesThatRowsSend) {
  auto *edit = Child<QLineEdit>(&console, "Edit7");
  QSignalSpy seventh(Child<QPushButton>(&console, "Button9"), &QPushButton::clicked);
  QSignalSpy first(Child<QPushButton>(&console, "Button3"), &QPushButton::clicked);
  edit->setText("AT@NORM");
  QTest::keyClick(edit, Qt::Key_Return);
  EXPECT_EQ(seventh.count(), 1);
  EXPECT_EQ(first.count(), 0);
}

}  // namespace
