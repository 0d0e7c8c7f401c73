// Test VertikoCenter: thirty stored command lines, each sent by its own "Send" button, the lines
// the unit sends back, the unit's RTS line in a check box and the CTS line and the last send
// result in two indicators. The work on the link is a ConsoleSession that Timer1 ticks.
#pragma once

#include <QDialog>
#include <array>
#include <optional>
#include <string>

#include "console/console_session.h"
#include "console/send_reply.h"
#include "history/journal.h"

struct SharedState;
class QAction;
class QCheckBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QScrollArea;
class QTimer;

class TForm1 : public QDialog, private console::ConsoleView {
  Q_OBJECT

 public:
  static constexpr int kRows = 30;

  explicit TForm1(SharedState &state, QWidget *parent = nullptr);

  // Handlers. Each catches what its work raises and hands it to the general error handler once
  // its own state changes are done.
  void FormShow();
  void Timer1Timer();
  void SendClick(int row);  // row 1 to 30
  void Button1Click();      // "Clear"
  void Button2Click();      // "Cancel"
  void ClearAllCommandsClick();
  void SaveAllCommandsClick();
  void RetreiveAllCommandsClick();

  void done(int result) override;

  // Where each Send keeps its record; none: no history.
  history::Journal *History = nullptr;

 protected:
  void showEvent(QShowEvent *event) override;

 private:
  // The close steps: stops Timer1 and, after a showing with a unit open, saves the thirty command
  // lines. Runs once per showing; returns the text of an error that is still to be shown.
  std::optional<QString> FormClose();
  // Writes E1 to E30 of section "Setup" in one burst; Exception when the file refuses the write.
  void SaveAllCommands();
  // The session's view: Timer1 ticks it; each tick's indicators and lines are shown.
  void StartTicking() override;
  void StopTicking() override;
  void Show() override {}
  void ShowTick(const console::TickResult &result) override;
  void AppendToMemo(const std::vector<std::string> &lines);
  void ClearMemo();
  // The record of the last Send ends by the one rule of a line sent.
  void EndSendRecord();

  SharedState &state_;
  console::ConsoleSession session_;
  bool loaded_ = false;  // the command lines were restored at this showing: save them at close
  bool showing_ = false;
  bool memoEmpty_ = true;
  std::optional<bool> shownCtsClear_;
  std::optional<bool> shownSendFailed_;
  history::JobEntry record_;
  console::SendReply recordReply_;

  QLabel *Label5;
  QLabel *Label4;
  QCheckBox *CheckBox1;
  QLabel *Label3;
  QLabel *Label2;
  QPushButton *Button1;
  QPushButton *Button2;
  QLabel *Label1;
  QPlainTextEdit *Memo1;
  QScrollArea *Rows;  // the command rows
  std::array<QPushButton *, kRows> sendButtons_{};
  std::array<QLineEdit *, kRows> edits_{};
  QMenu *PopupMenu1;
  QAction *ClearALLCommands1;
  QAction *SaveALLcommands1;
  QAction *RetreiveALLCommands1;
  QTimer *Timer1;
};
