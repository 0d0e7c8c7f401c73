// Answers every message box that opens while it lives (from a timer, which the nested loop of the
// box keeps running), and records the texts of the boxes in the order they opened.
#pragma once

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <functional>
#include <string>
#include <vector>

class BoxWatcher {
 public:
  BoxWatcher() {
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      for (QWidget *w : QApplication::topLevelWidgets()) {
        auto *box = qobject_cast<QMessageBox *>(w);
        if (!box || !box->isVisible()) continue;
        texts.push_back(box->text().toStdString());
        if (onBox) onBox(box);
        box->button(QMessageBox::Ok)->click();
      }
    });
    timer_.start(5);
  }
  std::vector<std::string> texts;
  std::function<void(QMessageBox *)> onBox;  // called with each box before it is answered

 private:
  QTimer timer_;
};
