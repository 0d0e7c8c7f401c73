// Command lines to the unit and the recognition of its replies in the reply buffer.
//
// A command line is "AT@", a command word, a value and CR LF. Replies collect in the shared reply
// buffer; a reply is complete when the buffer holds more than two bytes and ends in LF, and it is
// then compared whole with the reply words that the exchange accepts.
#pragma once

#include <string>
#include <string_view>

struct Session;

namespace protocol {

inline constexpr std::string_view kOk = "OK\r\n";
inline constexpr std::string_view kNewOk = "NEW\r\nOK\r\n";
inline constexpr std::string_view kErr = "ERR\r\n";
inline constexpr std::string_view kWaitRts = "WAIT RTS\r\n";

// "AT@" + word + value + CR LF.
std::string CommandLine(std::string_view word, std::string_view value = {});

// The completion rule: more than two bytes, the last one LF.
bool ReplyComplete(std::string_view buffer);

enum class Reply {
  Incomplete,  // not complete yet: wait for the next poll
  Ok,          // "OK\r\n"
  NewOk,       // "NEW\r\nOK\r\n"
  Err,         // "ERR\r\n"
  WaitRts,     // "WAIT RTS\r\n"
  Other,       // complete, but no reply word
};

// Applies the completion rule, then compares the whole buffer with the reply words.
Reply Recognise(std::string_view buffer);

// Appends what the link has received to the reply buffer and recognises it.
Reply Poll(Session &state);

// Before a new exchange: finds the unit again where its port was lost, takes what is waiting
// into the reply buffer, then empties it.
void Drain(Session &state);

// Sends a text and keeps the result as the last send result.
bool Send(Session &state, const std::string &text);

}  // namespace protocol
