// The strictness that the window tests rely on: steps in order, unexpected windows reported and
// closed, nothing left open.
#include "tests/support/modal_script.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <QFileDialog>
#include <QMessageBox>

namespace {

int Show(const QString &text, QMessageBox::StandardButtons buttons = QMessageBox::Ok) {
  QMessageBox box(QMessageBox::Information, "Tolvane", text, buttons);
  return box.exec();
}

}  // namespace

TEST(ModalScript, RunsItsStepsInOrderEachOnTheWindowOpenAtItsTurn) {
  ModalScript script;
  script.ThenMessage("first").Then([](QWidget *modal) {
    auto *box = qobject_cast<QMessageBox *>(modal);
    ASSERT_NE(box, nullptr);
    ModalScript::Click(box->button(QMessageBox::No));
  });
  EXPECT_EQ(Show("first"), QMessageBox::Ok);
  EXPECT_EQ(Show("second", QMessageBox::Yes | QMessageBox::No), QMessageBox::No);
  EXPECT_TRUE(script.Done());
  EXPECT_EQ(script.Texts(), (std::vector<std::string>{"first", "second"}));
}

TEST(ModalScript, ReportsAndClosesWhatNoStepWaitsForAndStepsThatNeverRan) {
  EXPECT_NONFATAL_FAILURE(
      {
        ModalScript script;
        EXPECT_EQ(Show("unasked"), QDialog::Rejected);
      },
      "unexpected modal window");
  EXPECT_NONFATAL_FAILURE(
      {
        ModalScript script;
        script.ThenMessage("never shown");
      },
      "1 modal step(s) never ran");
  EXPECT_NONFATAL_FAILURE(
      {
        ModalScript script;
        script.ThenMessage("expected");
        EXPECT_EQ(Show("another"), QMessageBox::Ok);
      },
      "box->text()");
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

TEST(ModalScript, AnsweringBoxesTakesTheScriptedButtonsThenYesOrOkAndCancelsFileDialogs) {
  ModalScript script(ModalScript::kAnswerBoxes);
  script.buttons = {QMessageBox::No};
  EXPECT_EQ(Show("question", QMessageBox::Yes | QMessageBox::No), QMessageBox::No);
  EXPECT_EQ(Show("question", QMessageBox::Yes | QMessageBox::No), QMessageBox::Yes);
  EXPECT_EQ(Show("information"), QMessageBox::Ok);
  QFileDialog dialog;
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  EXPECT_EQ(dialog.exec(), QDialog::Rejected);
  EXPECT_EQ(script.Texts(), (std::vector<std::string>{"question", "question", "information"}));
}

TEST(ModalScript, AWindowThatStaysOpenHoweverItIsAnsweredIsClosed) {
  EXPECT_NONFATAL_FAILURE(
      {
        ModalScript script(ModalScript::kAnswerBoxes);
        script.onDialog = [](QFileDialog *) {};  // leaves it open
        QFileDialog dialog;
        dialog.setOption(QFileDialog::DontUseNativeDialog);
        EXPECT_EQ(dialog.exec(), QDialog::Rejected);
      },
      "a modal window stayed open");
}
