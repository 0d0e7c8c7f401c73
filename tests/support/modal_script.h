// Acts on the modal windows that a test opens, from a timer that keeps firing inside the nested
// exec() loops: every window test answers its message boxes and file dialogs through it.
//
// Each step runs on the modal window that is open when its turn comes, in order. Steps click
// through Click(), which queues the click, so that a window it opens runs its loop outside the
// timer. What opens when no step is left is, by default, closed and reported as a failure; a
// script made with kAnswerBoxes answers it instead when it is a message box (by the next of
// `buttons`, else Yes or OK) or a file dialog (by onDialog, else Cancel). Whatever is still open
// when the script ends is closed, and a window that stays open for two seconds however it is
// answered is closed and reported, so a test never hangs. Every message box acted on is recorded
// in `boxes`. One script at a time: end one (leave its scope) before the next begins.
#pragma once

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <deque>
#include <functional>
#include <string>
#include <vector>

class ModalScript {
 public:
  using Step = std::function<void(QWidget *modal)>;
  enum Unexpected { kReportUnexpected, kAnswerBoxes };

  struct Box {
    QString title, text;
    QMessageBox::Icon icon;
    QMessageBox::StandardButtons buttons;
    QMessageBox::StandardButton defaultButton;
    Qt::WindowModality modality;
  };
  std::vector<Box> boxes;                  // every message box acted on, in the order they opened
  std::function<void(const Box &)> onBox;  // called with each box before it is acted on
  // With kAnswerBoxes: the buttons that answer the boxes no step waits for, in order.
  std::deque<QMessageBox::StandardButton> buttons;
  // With kAnswerBoxes: what answers the file dialogs no step waits for.
  std::function<void(QFileDialog *)> onDialog;

  explicit ModalScript(Unexpected unexpected = kReportUnexpected) : unexpected_(unexpected) {
    timer_.setInterval(5);
    QObject::connect(&timer_, &QTimer::timeout, [this] { Poll(); });
    timer_.start();
  }
  ~ModalScript() {
    timer_.stop();
    EXPECT_TRUE(steps_.empty()) << steps_.size() << " modal step(s) never ran";
    for (int i = 0; i < 10 && QApplication::activeModalWidget(); ++i) CloseUnexpected();
  }
  ModalScript(const ModalScript &) = delete;
  ModalScript &operator=(const ModalScript &) = delete;

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

  // The texts of the boxes acted on, in order.
  std::vector<std::string> Texts() const {
    std::vector<std::string> out;
    for (const Box &box : boxes) out.push_back(box.text.toStdString());
    return out;
  }

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
  static constexpr int kStuckPolls = 400;  // two seconds of 5 ms polls

  // The modal window, or else a message box or file dialog on screen.
  static QWidget *OpenWindow() {
    if (QWidget *modal = QApplication::activeModalWidget()) return modal;
    QWidget *open = nullptr;
    for (QWidget *w : QApplication::topLevelWidgets())
      if (w->isVisible() && (qobject_cast<QMessageBox *>(w) || qobject_cast<QFileDialog *>(w)))
        open = w;
    return open;
  }

  void Poll() {
    QWidget *modal = OpenWindow();
    if (!modal) {
      openPolls_ = 0;
      return;
    }
    if (++openPolls_ > kStuckPolls) {
      ADD_FAILURE() << "a modal window stayed open: " << modal->objectName().toStdString() << " "
                    << modal->windowTitle().toStdString();
      openPolls_ = 0;
      CloseUnexpected(modal);
      return;
    }
    auto *box = qobject_cast<QMessageBox *>(modal);
    if (box) Record(box);
    if (!steps_.empty()) {
      Step step = std::move(steps_.front());
      steps_.pop_front();
      step(modal);
      return;
    }
    if (unexpected_ == kAnswerBoxes && box) {
      QMessageBox::StandardButton answer =
          box->standardButtons() & QMessageBox::Yes ? QMessageBox::Yes : QMessageBox::Ok;
      if (!buttons.empty()) {
        answer = buttons.front();
        buttons.pop_front();
      }
      QAbstractButton *button = box->button(answer);
      if (button != nullptr) {
        button->click();
        return;
      }
      ADD_FAILURE() << "the box \"" << box->text().toStdString() << "\" has no such button";
    } else if (auto *dialog = qobject_cast<QFileDialog *>(modal);
               unexpected_ == kAnswerBoxes && dialog) {
      if (onDialog)
        onDialog(dialog);
      else
        dialog->reject();
      return;
    } else {
      ADD_FAILURE() << "unexpected modal window " << modal->objectName().toStdString() << " "
                    << modal->windowTitle().toStdString();
    }
    CloseUnexpected(modal);
  }

  void Record(QMessageBox *box) {
    QMessageBox::StandardButton byDefault = QMessageBox::NoButton;
    if (box->defaultButton()) byDefault = box->standardButton(box->defaultButton());
    boxes.push_back({box->windowTitle(), box->text(), box->icon(), box->standardButtons(),
                     byDefault, box->windowModality()});
    if (onBox) onBox(boxes.back());
  }

  static void CloseUnexpected(QWidget *modal = QApplication::activeModalWidget()) {
    if (auto *dialog = qobject_cast<QDialog *>(modal))
      dialog->reject();
    else if (modal)
      modal->close();
  }

  Unexpected unexpected_;
  QTimer timer_;
  std::deque<Step> steps_;
  int openPolls_ = 0;
};
