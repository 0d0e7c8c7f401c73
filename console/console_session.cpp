#include "console/console_session.h"

#include <string_view>

#include "session/protocol.h"
#include "session/session.h"

namespace console {

namespace {

// Splits `text` at CR LF, a lone CR and a lone LF, and cuts each line longer than kMaxLineLength
// into pieces of that length. An empty text is one empty line.
void AppendSplit(std::vector<std::string> &lines, std::string_view text) {
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find_first_of("\r\n", start);
    const std::string_view line =
        text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    if (line.empty()) lines.emplace_back();
    for (std::size_t at = 0; at < line.size(); at += kMaxLineLength)
      lines.emplace_back(line.substr(at, kMaxLineLength));
    if (end == std::string_view::npos) break;
    start = end + 1;
    if (text[end] == '\r' && start < text.size() && text[start] == '\n') ++start;
  }
}

// A text without the LF at its end and without a CR just before that LF.
std::string_view WithoutLineEnd(std::string_view text) {
  if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
  return text;
}

}  // namespace

std::vector<std::string> TakeShownLines(std::string &replyBuffer) {
  std::vector<std::string> lines;
  if (protocol::ReplyComplete(replyBuffer)) {
    AppendSplit(lines, WithoutLineEnd(replyBuffer));
    replyBuffer.clear();
    return lines;
  }
  if (replyBuffer.size() <= kMaxLineLength) return lines;

  // A unit that talks without pause: show what is complete, and what has run on without a line
  // feed for too long, and keep only the short rest waiting.
  const std::string_view buffer(replyBuffer);
  std::size_t taken = 0;
  if (const std::size_t lf = buffer.rfind('\n'); lf != std::string_view::npos) {
    AppendSplit(lines, WithoutLineEnd(buffer.substr(0, lf + 1)));
    taken = lf + 1;
  }
  while (buffer.size() - taken > kMaxLineLength) {
    AppendSplit(lines, buffer.substr(taken, kMaxLineLength));
    taken += kMaxLineLength;
  }
  replyBuffer.erase(0, taken);
  return lines;
}

void ReceivedList::Add(const std::vector<std::string> &lines) {
  lines_.insert(lines_.end(), lines.begin(), lines.end());
  while (lines_.size() > kMaxLines) lines_.pop_front();
}

void ConsoleSession::Reset() {
  list_.Clear();
  state_.ReplyBuffer.clear();
  state_.LastSendResult = true;
}

void ConsoleSession::Drain() {
  protocol::Drain(state_);
}

void ConsoleSession::Send(const std::string &commandLine) {
  const std::string line = commandLine + "\r\n";
  const TFT232 *before = state_.Port.get();
  if (protocol::Send(state_, line)) return;
  // The port went with an unplugging: the unit plugged in again is opened anew and takes the line.
  state_.FindUnit();
  if (state_.Port && state_.Port.get() != before) protocol::Send(state_, line);
}

void ConsoleSession::Start() {
  running_ = true;
  view_.StartTicking();
  Drain();
}

void ConsoleSession::Stop() {
  running_ = false;
  view_.StopTicking();
}

void ConsoleSession::Step() {
  last_ = Tick();
  view_.ShowTick(last_);
}

TickResult ConsoleSession::Tick() {
  TickResult result;
  // Read the port from the state at each step: ReceiveAll may replace it.
  if (!state_.Port) return result;
  result.ran = true;
  state_.Port->ClearRts(rtsCleared_);
  result.ctsClear = state_.Port->CtsClear();
  result.sendFailed = !state_.LastSendResult;
  state_.ReplyBuffer += state_.ReceiveAll();
  std::vector<std::string> shown = TakeShownLines(state_.ReplyBuffer);
  if (shown.size() > kMaxLines) shown.erase(shown.begin(), shown.end() - kMaxLines);
  list_.Add(shown);
  result.added = std::move(shown);
  return result;
}

}  // namespace console
