#include "session/discovery.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <set>

#include "session/shared_state.h"
#include "tests/support/fake_ftdi.h"
#include "tests/support/scripted_prompt.h"

namespace {

using Log = std::vector<std::string>;
using Names = std::vector<std::string>;

// Records what "Select device" shows, in one log with its messages.
// Questions are answered No.
class RecordingView : public SelectionView, public ScriptedPrompt {
 public:
  explicit RecordingView(SharedState &state) : state_(state) {
    answerWhenOut = false;
    onBox = [this](const Box &box) {
      log.push_back((box.kind == "ask" ? "ask:" : "message:") + box.text);
    };
  }
  Log log;
  std::vector<bool> buttons;     // the unit buttons at each ShowSelection
  std::function<void()> choose;  // what the user does in the choice window

  void ShowSelection(const std::string &label) override {
    log.push_back("label:" + label);
    buttons.push_back(UnitButtonsEnabled(state_));
  }
  void ChooseUnit() override {
    log.push_back("choose");
    if (choose) choose();
  }

 private:
  SharedState &state_;
};

// Chooses the unit with this serial number as the choice window's "Select" does.
std::function<void()> Choosing(SharedState &state, const std::string &serial) {
  return [&state, serial] {
    const auto index = FindChosenUnit(state, serial);
    ASSERT_TRUE(index.has_value()) << serial << " is not offered";
    state.ChosenIndex = *index;
    state.DeviceChosen = true;
  };
}

std::string Serial(int n) {
  char text[16];
  std::snprintf(text, sizeof text, "VRT%05d", n);
  return text;
}

// A fake whose listing fails for chosen (index, kind) pairs.
class FlakyListing : public fake::Backend {
 public:
  std::set<std::pair<std::uintptr_t, DWORD>> failing;
  FT_STATUS ListDevices(void *arg1, void *arg2, DWORD flags) override {
    if (!(flags & FT_LIST_NUMBER_ONLY)) {
      const auto index = reinterpret_cast<std::uintptr_t>(arg1);
      const DWORD kind = flags & (FT_OPEN_BY_SERIAL_NUMBER | FT_OPEN_BY_DESCRIPTION);
      if (failing.count({index, kind})) return FT_IO_ERROR;
    }
    return fake::Backend::ListDevices(arg1, arg2, flags);
  }
};

}  // namespace

TEST(Discovery, ScanCountsEveryDeviceAndStoresTheVertikomateSerialsInDriverOrder) {
  fake::Installed fake;
  fake->add("FT000001", "USB Serial Converter");
  fake->add("VRT00001");
  fake->add("ABC12345");  // "VERTIKOmate" without a unit's serial number
  fake->add("VRT00009", "vertikomate");
  fake->add("VRT00008", "VERTIKOmate ");
  fake->add("VRT00002");
  SharedState state("/tmp/");
  state.SerialList[10] = "VRT99999";  // left from an earlier scan

  ScanDevices(state);

  EXPECT_EQ(state.DeviceCount, 6);
  EXPECT_EQ(state.SerialList[0], "VRT00001");
  EXPECT_EQ(state.SerialList[1], "ABC12345");
  EXPECT_EQ(state.SerialList[2], "VRT00002");
  for (std::size_t i = 3; i < state.SerialList.size(); ++i)
    EXPECT_EQ(state.SerialList[i], "") << "entry " << i;
  EXPECT_EQ(CountUnits(state), 2);
  EXPECT_EQ(OfferedUnits(state), (Names{"VRT00001", "VRT00002"}));
}

TEST(Discovery, ScanStoresAtMost65SerialsAndStillCountsEveryDevice) {
  fake::Installed fake;
  for (int i = 0; i < 70; ++i) fake->add(Serial(i));
  SharedState state("/tmp/");

  ScanDevices(state);

  EXPECT_EQ(state.DeviceCount, 70);
  EXPECT_EQ(state.SerialList.front(), Serial(0));
  EXPECT_EQ(state.SerialList.back(), Serial(64));
  EXPECT_EQ(CountUnits(state), 65);
}

TEST(Discovery, ScanTakesNothingFromListingCallsThatFail) {
  auto flaky = std::make_unique<FlakyListing>();
  FlakyListing &fake = *flaky;
  d2xx::ScopedBackend scope(std::move(flaky));
  fake.add("VRT00001");                     // its serial number cannot be read
  fake.add("VRT99999", "Another adapter");  // its description cannot be read
  fake.add("VRT00003");
  fake.failing = {{0, FT_OPEN_BY_SERIAL_NUMBER}, {1, FT_OPEN_BY_DESCRIPTION}};
  SharedState state("/tmp/");

  ScanDevices(state);

  EXPECT_EQ(state.DeviceCount, 3);
  EXPECT_EQ(state.SerialList[0], "VRT00003") << "no text left over from an earlier call";
  EXPECT_EQ(state.SerialList[1], "");
  EXPECT_EQ(OfferedUnits(state), Names{"VRT00003"});

  fake.countStatus = FT_IO_ERROR;
  ScanDevices(state);
  EXPECT_EQ(state.DeviceCount, 0) << "a count that cannot be read is not the last one";
  EXPECT_EQ(state.SerialList[0], "");
}

TEST(Discovery, ChoiceTakesOnlyTheExactSerialOfAnOfferedUnit) {
  SharedState state("/tmp/");
  state.SerialList[0] = "VRT00001";
  state.SerialList[1] = "ABC12345";
  state.SerialList[2] = "VRT00002";

  EXPECT_EQ(FindChosenUnit(state, "VRT00002"), 2) << "the index in SerialList";
  EXPECT_EQ(FindChosenUnit(state, " \tVRT00001\r\n"), 0) << "blanks and controls trimmed";
  for (const std::string typed : {"", "   ", "\t \x7f", "VRT99999", "vrt00001", "VRT0000",
                                  "VRT00001x", "ABC12345", "VRT 00001"})
    EXPECT_FALSE(FindChosenUnit(state, typed).has_value()) << "\"" << typed << "\"";
}

TEST(Discovery, DeviceCountTextHas24BlanksBeforeTheCount) {
  EXPECT_EQ(DeviceCountText(0), "                        Number of connected devices = 0");
  EXPECT_EQ(DeviceCountText(12), std::string(24, ' ') + "Number of connected devices = 12");
}

TEST(SelectDevice, WithoutAnyUnitEmptiesTheLabelThenSaysNoneFound) {
  fake::Installed fake;
  SharedState state("/tmp/");
  RecordingView view(state);
  SelectDevice(state, view, view);
  EXPECT_EQ(view.log, (Log{"label:", "message:None of USB device not found"}));
  EXPECT_EQ(view.buttons, std::vector<bool>{false});

  // Devices, but no unit among them: entry 0 of SerialList is emptied.
  fake->add("FT000001", "USB Serial Converter");
  fake->add("ABC12345");
  view.log.clear();
  SelectDevice(state, view, view);
  EXPECT_EQ(view.log, (Log{"label:", "message:None of USB device not found"}));
  EXPECT_EQ(state.DeviceCount, 2);
  EXPECT_EQ(state.UnitCount, 0);
  EXPECT_EQ(state.ChosenIndex, 0);
  EXPECT_EQ(state.SerialList[0], "");
  EXPECT_EQ(state.Port, nullptr);
}

TEST(SelectDevice, ChoosingTheSecondUnitOpensAndConfiguresItInOrder) {
  fake::Installed fake;
  fake->add("VRT00001");
  fake->add("FT000001", "USB Serial Converter");
  fake->add("VRT00002");
  SharedState state("/tmp/");
  RecordingView view(state);
  view.choose = [&] {
    EXPECT_EQ(state.UnitCount, 2);
    EXPECT_EQ(OfferedUnits(state), (Names{"VRT00001", "VRT00002"}));
    EXPECT_FALSE(state.DeviceChosen);
    Choosing(state, "VRT00002")();
    fake->clearCalls();
  };

  SelectDevice(state, view, view);

  EXPECT_EQ(view.log, (Log{"choose", "label:VRT00002"}));
  EXPECT_EQ(view.buttons, std::vector<bool>{true});
  EXPECT_EQ(state.ChosenIndex, 1);
  ASSERT_NE(state.Port, nullptr);
  EXPECT_EQ(fake->names(), (Names{"OpenEx", "SetBitMode", "SetDtr", "ClrRts", "SetBaudRate"}));
  EXPECT_EQ(fake->calls[0].args, std::vector<std::uint64_t>{FT_OPEN_BY_SERIAL_NUMBER});
  // The user asked for this open: it may wait for the unit to answer.
  EXPECT_EQ(fake->openWaits, std::vector<d2xx::OpenWait>{d2xx::OpenWait::Bounded});
  EXPECT_EQ(fake->calls[1].args, (std::vector<std::uint64_t>{0, 0}));
  EXPECT_EQ(fake->calls[4].args, std::vector<std::uint64_t>{9600});
  EXPECT_FALSE(fake->devices[0].isOpen);
  const fake::Device &unit = fake->devices[2];
  EXPECT_TRUE(unit.isOpen);
  EXPECT_TRUE(unit.dtr);
  EXPECT_FALSE(unit.rts);
  EXPECT_EQ(unit.baud, 9600u);
}

TEST(SelectDevice, AFailedOpenSaysSoFirstAndKeepsTheSerialOnTheLabel) {
  fake::Installed fake;
  fake->add("VRT00001").openStatus = FT_DEVICE_NOT_OPENED;
  SharedState state("/tmp/");
  RecordingView view(state);
  view.choose = Choosing(state, "VRT00001");

  SelectDevice(state, view, view);

  EXPECT_EQ(view.log,
            (Log{"choose", "message:USB device VRT00001 not connected", "label:VRT00001"}));
  EXPECT_EQ(view.buttons, std::vector<bool>{false});
  EXPECT_EQ(state.Port, nullptr);
}

TEST(SelectDevice, AgainWithAUnitOpenClosesItFirstAndACancelLeavesNoUnit) {
  fake::Installed fake;
  fake->add("VRT00001");
  SharedState state("/tmp/");
  RecordingView view(state);
  view.choose = Choosing(state, "VRT00001");
  SelectDevice(state, view, view);
  ASSERT_NE(state.Port, nullptr);
  ASSERT_TRUE(fake->devices[0].isOpen);

  fake->clearCalls();
  view.log.clear();
  view.buttons.clear();
  view.choose = [&] { EXPECT_FALSE(fake->devices[0].isOpen) << "closed before the choice"; };
  SelectDevice(state, view, view);

  ASSERT_FALSE(fake->calls.empty());
  EXPECT_EQ(fake->calls.front().fn, "Close");
  EXPECT_EQ(view.log, (Log{"choose", "label:", "message:USB device not selected"}));
  EXPECT_EQ(view.buttons, std::vector<bool>{false});
  EXPECT_FALSE(state.DeviceChosen);
  EXPECT_EQ(state.Port, nullptr);
  EXPECT_FALSE(fake->devices[0].isOpen);
  EXPECT_EQ(fake->names().size(), 1u + 1u + 2u) << "Close, the count, one description, one serial";
}
