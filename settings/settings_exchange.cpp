#include "settings/settings_exchange.h"

#include "session/protocol.h"
#include "session/session.h"
#include "session/user_prompt.h"

namespace settings {

namespace {

constexpr std::string_view kNorm = "NORM";
constexpr std::string_view kDefault = "DEFAULT";

std::string refused(std::string_view word) {
  return "Error value - " + std::string(word);
}

// A command line without its CR LF.
std::string_view withoutLineEnd(std::string_view line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  return line;
}

}  // namespace

std::string NoReplyMessage(const std::string &serial, std::string_view line) {
  return "No reply from " + serial + " to " + std::string(withoutLineEnd(line));
}

std::string WireValue(const params::Parameter &p, const ParameterFields &fields) {
  switch (p.kind) {
    case params::Kind::List:
    case params::Kind::Index: {
      const int position = fields.ChosenPosition(p);
      if (position < 1) return {};
      return params::ListWireValue(p, position);
    }
    case params::Kind::Code:
      return params::CodeWireValue(fields.Text(p));
    case params::Kind::Radio:
      return params::RadioWireValue(fields.FirstChosen(p));
  }
  return {};
}

ParameterValues::ParameterValues() {
  for (const auto &p : params::Table()) values_[std::string(p.word)] = p.initial;
}

std::string &ParameterValues::operator[](std::string_view word) {
  auto it = values_.find(word);
  if (it == values_.end()) it = values_.emplace(std::string(word), std::string()).first;
  return it->second;
}

int ParameterValues::ChosenPosition(const params::Parameter &p) const {
  auto it = values_.find(p.word);
  return it == values_.end() ? 0 : params::PositionOf(p, it->second);
}

std::string ParameterValues::Text(const params::Parameter &p) const {
  auto it = values_.find(p.word);
  return it == values_.end() ? std::string() : it->second;
}

bool ParameterValues::FirstChosen(const params::Parameter &p) const {
  auto it = values_.find(p.word);
  return it != values_.end() && it->second == "1";
}

void ParameterValues::PutDefaults() {
  for (const auto &p : params::Table())
    if (p.defaultValue) values_[std::string(p.word)] = *p.defaultValue;
}

std::string_view WriteWord(int step) {
  const auto table = params::Table();
  if (step < 1 || step > static_cast<int>(table.size())) return kNorm;
  return table[static_cast<std::size_t>(step) - 1].word;
}

std::string WriteLine(int step, const ParameterFields &fields) {
  const auto table = params::Table();
  if (step < 1 || step > static_cast<int>(table.size())) return protocol::CommandLine(kNorm);
  const auto &p = table[static_cast<std::size_t>(step) - 1];
  return protocol::CommandLine(p.word, WireValue(p, fields));
}

std::vector<std::pair<std::string, std::string>> WriteValues(const ParameterFields &fields) {
  std::vector<std::pair<std::string, std::string>> values;
  for (const auto &p : params::Table()) values.emplace_back(p.word, WireValue(p, fields));
  return values;
}

WriteExchange::WriteExchange(Session &state, const ParameterFields &fields, UserPrompt &prompt,
                             ExchangeView &view)
    : state_(state), fields_(fields), prompt_(prompt), view_(view) {}

void WriteExchange::Start() {
  line_ = 0;
  lines_.clear();
  for (int step = 0; step <= kWriteSteps; ++step) lines_.push_back(WriteLine(step, fields_));
  protocol::Drain(state_);
  protocol::Send(state_, lines_[0]);
  Sent();
  running_ = true;
  phase_ = Phase::Waiting;
  result_ = Result::None;
  view_.StartTicking();
}

void WriteExchange::end(Result result) {
  running_ = false;
  phase_ = Phase::Ended;
  result_ = result;
  view_.StopTicking();
  view_.Show();
  state_.ReplyBuffer.clear();
}

void WriteExchange::Step() {
  if (!running_) return;
  switch (protocol::Poll(state_)) {
    case protocol::Reply::Ok:
    case protocol::Reply::NewOk:
      ++line_;
      state_.ReplyBuffer.clear();
      if (line_ <= kWriteSteps) {
        protocol::Send(state_, lines_[static_cast<std::size_t>(line_)]);
        Sent();
      } else {
        end(Result::Accepted);
      }
      break;
    case protocol::Reply::Err:
      end(Result::Refused);
      prompt_.Warn(refused(WriteWord(line_)));
      break;
    default:
      // Incomplete, or a complete reply that is no reply word: keep waiting, for a time.
      if (LimitReached()) {
        end(Result::NoReply);
        prompt_.Warn(NoReplyMessage(state_.Serial(), lines_[static_cast<std::size_t>(line_)]));
      }
      break;
  }
}

DefaultExchange::DefaultExchange(Session &state, ParameterFields &fields, UserPrompt &prompt,
                                 ExchangeView &view)
    : state_(state), fields_(fields), prompt_(prompt), view_(view) {}

void DefaultExchange::Start() {
  sent_ = false;
  protocol::Drain(state_);
  sent_ = protocol::Send(state_, protocol::CommandLine(kDefault));
  Sent();
  fields_.PutDefaults();
  running_ = true;
  phase_ = Phase::Waiting;
  result_ = Result::None;
  view_.StartTicking();
}

void DefaultExchange::end(Result result) {
  running_ = false;
  phase_ = Phase::Ended;
  result_ = result;
  state_.ReplyBuffer.clear();
  view_.StopTicking();
  view_.Show();
}

void DefaultExchange::Step() {
  if (!running_) return;
  switch (protocol::Poll(state_)) {
    case protocol::Reply::Ok:
      end(Result::Accepted);
      break;
    case protocol::Reply::Err:
      end(Result::Refused);
      prompt_.Warn(refused(kDefault));
      break;
    default:
      // "NEW\r\nOK\r\n" is no answer to the default command: keep waiting, for a time.
      if (LimitReached()) {
        end(Result::NoReply);
        prompt_.Warn(NoReplyMessage(state_.Serial(), protocol::CommandLine(kDefault)));
      }
      break;
  }
}

}  // namespace settings
