// The console's work on the link, without a window: the send of a command line, and the 100 ms
// tick that drives RTS as the user wants it, reads the two indicators and turns the bytes the unit
// sent into lines of the received list. An exchange of the one shape (session/exchange.h): the
// window starts it when shown with a unit, calls Step from its timer and stops it when closed;
// tests step it tick by tick. It has no ending of its own, and no control of the window depends
// on its state.
#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <vector>

#include "session/exchange.h"

struct Session;

namespace console {

// The console's tick, in ms.
inline constexpr int kTickMs = 100;
// At most this many lines stay in the received list; the oldest go first.
inline constexpr std::size_t kMaxLines = 200;
// A shown line is at most this long; a longer line is shown in pieces of this length. A unit that
// sends more than this without a line feed gets its bytes shown in such pieces as they come, so
// that the reply buffer stays small however long the unit talks.
inline constexpr std::size_t kMaxLineLength = 1024;

// Takes from the reply buffer what is to be shown and returns it as lines.
//
// A complete reply (more than two bytes, the last one LF) is shown without its final LF and
// without a CR just before it, and the buffer is emptied; CR LF, a lone CR and a lone LF inside
// it each start a further line. Anything else waits in the buffer, unless the buffer has grown
// beyond kMaxLineLength: then the lines up to its last LF are shown, and what follows is shown in
// pieces of kMaxLineLength until less than that is left waiting.
std::vector<std::string> TakeShownLines(std::string &replyBuffer);

// The received list: the lines shown so far, at most kMaxLines.
class ReceivedList {
 public:
  // Adds lines at the end and removes the oldest beyond kMaxLines.
  void Add(const std::vector<std::string> &lines);
  void Clear() { lines_.clear(); }
  const std::deque<std::string> &Lines() const { return lines_; }

 private:
  std::deque<std::string> lines_;
};

// What one tick found, for the window to show.
struct TickResult {
  bool ran = false;         // false without a port: nothing was done
  bool ctsClear = false;    // line indicator: "VCC" when CTS reads clear, "---" otherwise
  bool sendFailed = false;  // send indicator: "Err" after a send that did not write every byte
  // Lines added to the received list at this tick, oldest first. When more than kMaxLines were
  // added, only the last kMaxLines are here: the others have already left the list again.
  std::vector<std::string> added;
};

// What the console session drives in its window: the ticks, and what each tick found.
class ConsoleView : public ExchangeView {
 public:
  virtual void ShowTick(const TickResult &result) = 0;
};

class ConsoleSession : public Exchange {
 public:
  ConsoleSession(Session &state, ConsoleView &view) : state_(state), view_(view) {}

  // At show: empties the received list and the reply buffer; the last send result is true again.
  void Reset();
  // At show with a port: the ticks start, and what waits on the link is taken into the reply
  // buffer and thrown away.
  void Start();
  // At close: the ticks stop.
  void Stop() override;
  bool Running() const override { return running_; }
  // What waits on the link is taken into the reply buffer and thrown away.
  void Drain();
  // Sends the command line as typed, followed by CR LF, and keeps the result as the last send
  // result. Nothing is trimmed or checked: an empty line sends CR LF alone.
  void Send(const std::string &commandLine);
  // RTS is cleared at each tick while the user wants it cleared, and set otherwise.
  void SetRtsCleared(bool cleared) { rtsCleared_ = cleared; }
  // One tick: RTS as wanted; the line and send indicators; what the link received appended to the
  // reply buffer; complete replies added to the received list. The view is shown what it found.
  void Step() override;
  const TickResult &LastTick() const { return last_; }

  // "Clear": empties the received list; the reply buffer is left as it is.
  void ClearList() { list_.Clear(); }
  const std::deque<std::string> &Lines() const { return list_.Lines(); }

 private:
  TickResult Tick();

  Session &state_;
  ConsoleView &view_;
  ReceivedList list_;
  bool running_ = false;
  bool rtsCleared_ = false;
  TickResult last_;
};

}  // namespace console
