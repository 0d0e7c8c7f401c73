// A firmware download against the recording fake driver, stepped tick by tick, with a recorder
// for what the download shows (boxes, busy cursor, timer, refreshes) in one ordered list.
#pragma once

#include <QDateTime>
#include <QFile>
#include <QLocale>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "firmware/download.h"
#include "session/shared_state.h"
#include "tests/support/fake_ftdi.h"
#include "tests/support/scripted_prompt.h"
#include "tests/support/temp_folder.h"

// Questions are answered from `answers`, Yes when they run out.
class DownloadRecorder : public ScriptedPrompt, public firmware::DownloadView {
 public:
  std::vector<std::string> events;  // "ask:<caption>", "inform:<text>", "busy", "idle", ...
  firmware::FirmwareDownload *download = nullptr;
  std::vector<std::string> statusAtBox;  // the status shown when each information box opened

  DownloadRecorder() {
    onBox = [this](const Box &box) {
      if (box.kind == "ask") {
        events.push_back("ask:" + box.caption);
        return;
      }
      events.push_back("inform:" + box.text);
      if (download) statusAtBox.push_back(download->Status());
    };
  }
  void SetBusy(bool busy) override { events.push_back(busy ? "busy" : "idle"); }
  void StartTicking() override { events.push_back("start"); }
  void StopTicking() override { events.push_back("stop"); }
  void Show() override { ++refreshes; }
  void Await(int descriptor, std::chrono::nanoseconds wait) override {
    ++awaits;
    awaitDescriptor = descriptor;
    awaitWait = wait;
  }
  int refreshes = 0;
  // The last request of a fast transfer.
  int awaits = 0;
  int awaitDescriptor = -1;
  std::chrono::nanoseconds awaitWait{-1};
};

class DownloadHarness {
 public:
  static constexpr const char *kSerial = "VRT00042";

  DownloadHarness() : state(temp.Folder()), download(state, recorder, recorder) {
    fake->add(kSerial);
    state.SerialList[0] = kSerial;
    state.ChosenIndex = 0;
    state.DeviceChosen = true;
    state.Port = std::make_unique<TFT232>(kSerial);
    recorder.download = &download;
    download.Now = [this] { return now; };
    download.Reset();  // as the window does when it is shown
  }

  fake::Device &Unit() { return fake->devices[0]; }
  // Bytes written to the unit since the last call.
  std::string TakeWritten() {
    std::string out = Unit().written.substr(seen_);
    seen_ = Unit().written.size();
    return out;
  }
  void Reply(const std::string &bytes) {
    for (char c : bytes) Unit().rx.push_back(static_cast<std::uint8_t>(c));
  }
  bool Start(const std::string &text) { return download.Start(text, text.size()); }
  std::string Log() const {
    QFile file(QString::fromStdString(temp.File("LOG_file1.TXT")));
    if (!file.open(QIODevice::ReadOnly)) return "<no log>";
    return file.readAll().toStdString();
  }
  std::string Stamp() const {
    const QLocale locale = QLocale::system();
    return (locale.toString(now.date(), QLocale::ShortFormat) + "-" +
            locale.toString(now.time(), QLocale::LongFormat))
        .toLatin1()
        .toStdString();
  }
  std::string Header() const {
    return Stamp() + "\r\n========================\r\nPOSLAL<=>PRIJAL\r\n";
  }
  std::string Footer() const { return "========================\r\n" + Stamp() + "\r\n"; }

  fake::Installed fake;
  TempFolder temp;
  SharedState state;
  DownloadRecorder recorder;
  firmware::FirmwareDownload download;
  QDateTime now{QDate(2024, 3, 5), QTime(14, 7, 9)};

 private:
  std::size_t seen_ = 0;
};

// The unit's loader as a script: answers each byte that reached the fake unit by the next tick.
// "OK\r\n" to the start command, "Y" to "w", then "O" to bytes 1 to 9 of a line, "K" to the
// tenth and "Z" to the end line.
class ScriptedLoader {
 public:
  explicit ScriptedLoader(DownloadHarness &h) : h_(h) {}

  // Serves the bytes written since the last call; returns the replies it queued.
  std::string Serve() {
    std::string replies;
    for (char c : h_.TakeWritten()) {
      if (!inLoader_) {
        command_ += c;
        if (command_.size() >= 6 && command_.compare(command_.size() - 6, 6, "AT@#\r\n") == 0) {
          inLoader_ = true;
          replies += "OK\r\n";
        }
        continue;
      }
      if (!connected_) {
        if (c == 'w') {
          connected_ = true;
          replies += "Y";
        }
        continue;
      }
      line_.push_back(static_cast<std::uint8_t>(c));
      if (line_.size() < 10) {
        replies += "O";
        continue;
      }
      const bool end = line_[0] == 0x55 && line_[1] == 0xFF;
      lines.push_back(line_);
      line_.clear();
      replies += end ? "Z" : "K";
    }
    h_.Reply(replies);
    return replies;
  }

  std::vector<std::vector<std::uint8_t>> lines;  // complete lines received

 private:
  DownloadHarness &h_;
  std::string command_;
  bool inLoader_ = false;
  bool connected_ = false;
  std::vector<std::uint8_t> line_;
};
