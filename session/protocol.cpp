#include "session/protocol.h"

#include "session/session.h"

namespace protocol {

std::string CommandLine(std::string_view word, std::string_view value) {
  std::string line = "AT@";
  line.append(word);
  line.append(value);
  line.append("\r\n");
  return line;
}

bool ReplyComplete(std::string_view buffer) {
  return buffer.size() > 2 && buffer.back() == '\n';
}

Reply Recognise(std::string_view buffer) {
  if (!ReplyComplete(buffer)) return Reply::Incomplete;
  if (buffer == kOk) return Reply::Ok;
  if (buffer == kNewOk) return Reply::NewOk;
  if (buffer == kErr) return Reply::Err;
  if (buffer == kWaitRts) return Reply::WaitRts;
  return Reply::Other;
}

Reply Poll(Session &state) {
  state.ReplyBuffer += state.ReceiveAll();
  return Recognise(state.ReplyBuffer);
}

void Drain(Session &state) {
  state.FindUnit();
  state.ReplyBuffer += state.ReceiveAll();
  state.ReplyBuffer.clear();
}

bool Send(Session &state, const std::string &text) {
  state.LastSendResult = state.SendText(text);
  return state.LastSendResult;
}

}  // namespace protocol
