// The one rule of a line sent to a unit (the console's Send, tolvane-cli send): what came back
// until a line "OK" or "ERR", kReplySilenceMs without a byte, kReplyBoundMs after the line was
// sent, the next Send or the console's closing, and what it makes of the job.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace console {

// A reply is complete after this long without a byte.
inline constexpr int kReplySilenceMs = 1000;
// A reply ends at the latest this long after its line was sent, whatever the unit keeps sending.
inline constexpr int kReplyBoundMs = 5000;

inline constexpr char kNoReply[] = "no reply";
inline constexpr char kSendFailed[] = "send failed";
inline constexpr char kNoCompleteReply[] = "no complete reply: ";
inline constexpr char kReplyUnended[] = "no end of the reply within 5 s";

class SendReply {
 public:
  // What a tick took: the complete lines received and the bytes of a line begun (the reply
  // buffer), `elapsedMs` after the tick before. True once the reply is complete: a line "OK" or
  // "ERR" came, or nothing for kReplySilenceMs, or kReplyBoundMs passed since SetSent.
  bool Tick(const std::vector<std::string> &added, const std::string &begun, int elapsedMs);
  // Whether the line reached the unit; called once it was sent, it starts the bound.
  void SetSent(bool sent) {
    sent_ = sent;
    sentAt_ = std::chrono::steady_clock::now();
  }

  // The lines received, each with the CR LF that ended it, and a line begun.
  std::string Replies() const;
  // A line "ERR" among them: failed, "ERR"; no byte at all: failed, "no reply"; bytes without a
  // complete line: failed, "no complete reply: <the bytes, escaped>"; a line that was not sent:
  // failed, "send failed"; a reply still going on at the bound: failed, "no end of the reply
  // within 5 s"; otherwise ok, the lines one below the other.
  bool Ok() const;
  std::string Message() const;

 private:
  bool sent_ = true;
  std::vector<std::string> lines_;
  std::string begun_;
  int silentMs_ = 0;
  std::chrono::steady_clock::time_point sentAt_ = std::chrono::steady_clock::now();
  bool unended_ = false;
};

}  // namespace console
