#pragma once

#include <QDialog>
#include <map>
#include <string_view>

#include "history/journal.h"
#include "session/timer_view.h"
#include "settings/settings_exchange.h"
#include "ui/message_boxes.h"
#include "ui/window_fit.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTimer;
struct SharedState;

// Setting parameters: the fields that hold the unit's parameters, the write of all of them
// (Timer1, 80 ms) and the default command (Timer2, 50 ms). Created once and kept for the whole run,
// so the fields keep their values from one showing to the next.
class TForm6 : public QDialog, private settings::ParameterFields {
  Q_OBJECT

 public:
  explicit TForm6(SharedState &state, QWidget *parent = nullptr);

  void done(int result) override;

  // Where the write and the default command keep their records; none: no history.
  history::Journal *History = nullptr;

 protected:
  void showEvent(QShowEvent *event) override;
  void keyPressEvent(QKeyEvent *event) override;
  bool eventFilter(QObject *watched, QEvent *event) override;

 private:
  // The fields, by their parameter's command word.
  int ChosenPosition(const params::Parameter &p) const override;
  std::string Text(const params::Parameter &p) const override;
  bool FirstChosen(const params::Parameter &p) const override;
  void PutDefaults() override;

  void buildWindow();
  QWidget *makeField(const params::Parameter &p);
  QWidget *checkedFieldOf(QWidget *widget) const;
  void FormShow();
  void FormClose();
  void Button1Click();  // "Default setting"
  void Button2Click();  // "Write to Skarvel"
  void ButtonSaveProfileClick();
  void ButtonLoadProfileClick();
  // Runs a profile dialog (SaveDialog1 or OpenDialog1, made for each use: two lasting ones would
  // make the start-up slower) in the remembered folder; the chosen file, or empty.
  QString chooseProfile(bool save);
  // Remembers the folder of a profile saved or loaded in VERT.ini.
  void rememberFolder(const QString &fileName);
  // Puts every value of the profile into its field.
  void putProfile(const settings::ParameterFields &profile);
  void Timer1Timer();
  void Timer2Timer();
  void updateButtons();
  // The record of the write or default command that has ended.
  // Ends the job's record as the write or the default command stands.
  template <class Exchange>
  void endRecord(const Exchange &exchange);

  // Field checks: "You must fill in this field" and the focus back, on leaving or on a change.
  void focusChanged(QWidget *old, QWidget *now);
  void check(QWidget *field);

  SharedState &state_;
  MessageBoxPrompt prompt_{this};
  FocusReturn focusReturn_;  // the button of the write or the default command
  TimerView writeView_{[this] { updateButtons(); }};    // Timer1
  TimerView defaultView_{[this] { updateButtons(); }};  // Timer2
  settings::WriteExchange write_;
  settings::DefaultExchange default_;

  std::map<std::string_view, QWidget *> fields_;  // by command word

  QComboBox *ComboBox1, *ComboBox2, *ComboBox3, *ComboBox4, *ComboBox5, *ComboBox6, *ComboBox7,
      *ComboBox8, *ComboBox9, *ComboBox10, *ComboBox11, *ComboBox12, *ComboBox13, *ComboBox14;
  QLineEdit *Edit1, *Edit2, *Edit3, *Edit4, *Edit5, *Edit6, *Edit7, *Edit8, *Edit9, *Edit10;
  QRadioButton *RadioButton1, *RadioButton2, *RadioButton3, *RadioButton4;
  QLabel *lblSerial;
  QPushButton *Button1, *Button2, *Button3;
  QPushButton *ButtonSaveProfile, *ButtonLoadProfile;
  QTimer *Timer1, *Timer2;

  struct Check {
    int minLength;
    bool onLeave;
    bool onChange;
  };
  std::map<QWidget *, Check> checks_;
  std::map<QObject *, std::string_view> characters_;  // code fields: the characters they accept
  bool checking_ = false;  // a check's message is open or the focus is being given back

  history::JobEntry record_;
  // The profile last loaded and its values: a write of these values came from it.
  QString profileFile_;
  std::vector<std::pair<std::string, std::string>> profileValues_;
};
