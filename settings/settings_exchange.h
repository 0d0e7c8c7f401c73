// The two exchanges of the settings window: the write of every parameter ("AT@NORM" and 26 steps,
// each line sent once the unit has accepted the one before) and the default command.
//
// Both are exchanges of the one shape (session/exchange.h): the window's timers call Step(), tests
// and jobs without a window call it themselves. The write takes its lines from the fields through
// ParameterFields when it starts; both report a refused command, and a line left without a
// complete reply for kReplyLimit, through UserPrompt, and stop the ticking and show their state
// when they end (before any message).
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "session/exchange.h"
#include "settings/parameters.h"

struct Session;
class UserPrompt;

namespace settings {

// What the exchanges read from the fields that hold the parameter values, and put into them.
class ParameterFields {
 public:
  virtual ~ParameterFields() = default;
  // List and index kinds: position (from 1) of the chosen entry; 0 when none is chosen.
  virtual int ChosenPosition(const params::Parameter &p) const = 0;
  // Code kind: the field's text, one byte per character.
  virtual std::string Text(const params::Parameter &p) const = 0;
  // Radio kind: whether the first button of the pair is chosen.
  virtual bool FirstChosen(const params::Parameter &p) const = 0;
  // Puts the default value into every field that has one; the radio pairs are left as they are.
  virtual void PutDefaults() = 0;
};

// The wire value of a parameter from its field's current contents. A list with no entry chosen
// gives an empty value, which the unit refuses.
std::string WireValue(const params::Parameter &p, const ParameterFields &fields);

// Field values kept in memory, one text per parameter: the entry text of a list, the text of a
// code field, "1" or "0" for a pair (first button chosen or not). Starts with the initial values.
class ParameterValues : public ParameterFields {
 public:
  ParameterValues();
  std::string &operator[](std::string_view word);

  int ChosenPosition(const params::Parameter &p) const override;
  std::string Text(const params::Parameter &p) const override;
  bool FirstChosen(const params::Parameter &p) const override;
  void PutDefaults() override;

 private:
  std::map<std::string, std::string, std::less<>> values_;
};

inline constexpr int kWriteSteps = 26;  // parameter lines after "AT@NORM"
// The ticks of the settings write and of the default command, in ms.
inline constexpr int kWriteTickMs = 80;
inline constexpr int kDefaultTickMs = 50;

// How long after its last line an exchange waits for a complete reply before it gives up.
inline constexpr std::chrono::milliseconds kReplyLimit{3000};

// The message of an exchange that gave up: "No reply from VRT00001 to AT@NORM".
std::string NoReplyMessage(const std::string &serial, std::string_view line);

// The command line of a write step: 0 is "AT@NORM\r\n", 1 to 26 the parameter lines.
std::string WriteLine(int step, const ParameterFields &fields);

// The command word of the line sent at a write step: "NORM", "P01", ..., "P25".
std::string_view WriteWord(int step);

// The command words of the 26 parameter lines with the wire values the write sends, in order.
std::vector<std::pair<std::string, std::string>> WriteValues(const ParameterFields &fields);

// Where an exchange of the settings window stands, and how it ended.
enum class Phase { Idle, Waiting, Ended };
enum class Result {
  None,      // not ended by a reply (not started, running, or stopped)
  Accepted,  // the unit accepted every line
  Refused,   // the unit answered "ERR\r\n"
  NoReply,   // no complete reply within kReplyLimit of the last line
};

// What both exchanges share: the time of the last line sent, against which the reply limit runs.
class ReplyClock {
 public:
  // The clock of the reply limit (tests set their own).
  std::function<std::chrono::nanoseconds()> Clock = [] {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
  };

 protected:
  void Sent() { sentAt_ = Clock(); }
  bool LimitReached() const { return Clock() - sentAt_ >= kReplyLimit; }

 private:
  std::chrono::nanoseconds sentAt_{};
};

// The window's buttons are enabled while neither exchange runs.
inline bool ButtonsEnabled(bool writeRunning, bool defaultRunning) {
  return !writeRunning && !defaultRunning;
}

class WriteExchange : public Exchange, public ReplyClock {
 public:
  WriteExchange(Session &state, const ParameterFields &fields, UserPrompt &prompt,
                ExchangeView &view);

  // Takes the 27 lines from the fields, drains the link, sends "AT@NORM\r\n", sets the line
  // counter to 0 and starts the ticking. Later changes of the fields do not reach this write.
  void Start();
  // One poll: collects the reply; an accepted one sends the next line in this same poll, the
  // 27th ends the write silently, "ERR\r\n" ends it with a message naming the refused command.
  // Any other complete reply stays in the reply buffer and the write goes on waiting, until
  // kReplyLimit after the line was sent: then it ends with NoReplyMessage.
  void Step() override;
  // The window was closed: nothing further is sent.
  void Stop() override { running_ = false; }

  bool Running() const override { return running_; }
  Phase CurrentPhase() const { return phase_; }
  Result CurrentResult() const { return result_; }
  // Names the line last sent: 0 for "AT@NORM\r\n", 1 to 26 for the steps.
  int Line() const { return line_; }
  // The unit accepted the write's first line: from then on the write changes its parameters.
  bool Begun() const { return line_ >= 1; }

 private:
  void end(Result result);

  Session &state_;
  const ParameterFields &fields_;
  UserPrompt &prompt_;
  ExchangeView &view_;
  bool running_ = false;
  Phase phase_ = Phase::Idle;
  Result result_ = Result::None;
  int line_ = 0;
  std::vector<std::string> lines_;  // the write's lines, taken at its start
};

class DefaultExchange : public Exchange, public ReplyClock {
 public:
  DefaultExchange(Session &state, ParameterFields &fields, UserPrompt &prompt, ExchangeView &view);

  // Drains the link, sends "AT@DEFAULT\r\n", puts the default values into the fields and starts
  // the ticking.
  void Start();
  // One poll: "OK\r\n" ends the wait, "ERR\r\n" ends it with a message; anything else complete,
  // "NEW\r\nOK\r\n" included, stays in the reply buffer and the wait goes on, until kReplyLimit
  // after the command was sent: then it ends with NoReplyMessage.
  void Step() override;
  // The window was closed: the wait ends and no further byte is taken from the port.
  void Stop() override { running_ = false; }

  bool Running() const override { return running_; }
  Phase CurrentPhase() const { return phase_; }
  Result CurrentResult() const { return result_; }
  // The last Start sent the command: the unit may have taken its defaults.
  bool CommandSent() const { return sent_; }

 private:
  void end(Result result);

  Session &state_;
  ParameterFields &fields_;
  UserPrompt &prompt_;
  ExchangeView &view_;
  bool running_ = false;
  Phase phase_ = Phase::Idle;
  Result result_ = Result::None;
  bool sent_ = false;
};

}  // namespace settings
