// Acts on the modal windows that a test opens: each step runs on the modal window that is open
// when its turn comes, from a timer that keeps firing inside the nested exec() loops. Steps click
// through Click(), which queues the click, so that a window it opens runs its loop outside the
// timer. Whatever is still open when the script ends, or opens when no step is left, is closed
// and reported as a failure, so a test never hangs. One script at a time: end one (leave its
// scope) before the next begins.
#pragma once

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QTimer>
#include <deque>
#include <functional>

class ModalScript {
 public:
  using Step = std::function<void(QWidget *modal)>;

  ModalScript() {
    timer_.setInterval(5);
    QObject::connect(&timer_, &QTimer::timeout, [this] { Poll(); });
    timer_.start();
  }
  ~ModalScript() {
    timer_.stop();
    EXPECT_TRUE(steps_.empty()) << steps_.size() << " modal step(s) never ran";
    for (int i = 0; i < 10 && QApplication::activeModalWidget(); ++i) CloseUnexpected();
  }

  // Adds a step that runs on the next modal window.
  ModalScript &Then(Step step) {
    steps_.push_back(std::move(step));
    return *this;
  }

  // Adds a step that expects a message box with this text and presses its OK button.
  ModalScript &ThenMessage(const QString &text) {
    return Then([text](QWidget *modal) {
      auto *box = qobject_cast<QMessageBox *>(modal);
      ASSERT_NE(box, nullptr) << "expected the message \"" << text.toStdString() << "\", found "
                              << modal->objectName().toStdString();
      EXPECT_EQ(box->text(), text);
      Click(box->button(QMessageBox::Ok));
    });
  }

  bool Done() const { return steps_.empty(); }

  static void Click(QAbstractButton *button) {
    ASSERT_NE(button, nullptr);
    QTimer::singleShot(0, button, &QAbstractButton::click);
  }

  // Chooses `file`, a full name, in an open file dialog as the user does: typed into its name
  // field (QFileDialog::selectFile leaves the field alone while it has the focus), then accepted.
  static void ChooseFile(QFileDialog *dialog, const QString &file) {
    auto *name = dialog->findChild<QLineEdit *>("fileNameEdit");
    ASSERT_NE(name, nullptr);
    name->setText(file);
    static_cast<QDialog *>(dialog)->accept();  // QFileDialog::accept, through QDialog
  }

 private:
  void Poll() {
    QWidget *modal = QApplication::activeModalWidget();
    if (!modal) return;
    if (steps_.empty()) {
      ADD_FAILURE() << "unexpected modal window " << modal->objectName().toStdString() << " "
                    << modal->windowTitle().toStdString();
      CloseUnexpected();
      return;
    }
    Step step = std::move(steps_.front());
    steps_.pop_front();
    step(modal);
  }

  static void CloseUnexpected() {
    QWidget *modal = QApplication::activeModalWidget();
    if (auto *dialog = qobject_cast<QDialog *>(modal))
      dialog->reject();
    else if (modal)
      modal->close();
  }

  QTimer timer_;
  std::deque<Step> steps_;
};
