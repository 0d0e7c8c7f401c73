#include "console/send_reply.h"

#include <algorithm>

#include "util/hex.h"

namespace console {

bool SendReply::Tick(const std::vector<std::string> &added, const std::string &begun,
                     int elapsedMs) {
  const bool heard = !added.empty() || begun.size() != begun_.size();
  for (const std::string &line : added) {
    lines_.push_back(line);
    if (line == "OK" || line == "ERR") {
      begun_.clear();  // what follows the last line is no part of this reply
      return true;
    }
  }
  begun_ = begun;
  silentMs_ = heard ? 0 : silentMs_ + elapsedMs;
  if (silentMs_ >= kReplySilenceMs) return true;
  // Ended here if the next tick would come after the bound.
  unended_ = std::chrono::steady_clock::now() - sentAt_ + std::chrono::milliseconds(elapsedMs) >
             std::chrono::milliseconds(kReplyBoundMs);
  return unended_;
}

std::string SendReply::Replies() const {
  std::string replies;
  for (const std::string &line : lines_) replies += line + "\r\n";
  return replies + begun_;
}

bool SendReply::Ok() const {
  return sent_ && !unended_ && !lines_.empty() &&
         std::find(lines_.begin(), lines_.end(), "ERR") == lines_.end();
}

std::string SendReply::Message() const {
  if (!sent_) return kSendFailed;
  if (std::find(lines_.begin(), lines_.end(), "ERR") != lines_.end()) return "ERR";
  if (unended_) return kReplyUnended;
  if (lines_.empty()) return begun_.empty() ? kNoReply : kNoCompleteReply + EscapedBytes(begun_);
  std::string reply;
  for (const std::string &line : lines_) reply += (reply.empty() ? "" : "\n") + line;
  return begun_.empty() ? reply : reply + "\n" + begun_;
}

}  // namespace console
