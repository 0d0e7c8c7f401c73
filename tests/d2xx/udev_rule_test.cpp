// The udev rule for real units: its syntax, what it does to the events of a unit and of other
// devices (run through a small interpreter of the keys it may use), and that there is one copy.
#include <fnmatch.h>
#include <gtest/gtest.h>

#include <QProcess>
#include <QStandardPaths>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "install_paths.h"

namespace fs = std::filesystem;

namespace {

const fs::path kRule = fs::path(TOLVANE_SOURCE_DIR) / "data/udev/70-tolvane-skarvel.rules";

struct Key {
  std::string name;  // "ATTRS"
  std::string attr;  // "idVendor", or empty
  std::string op;    // "==", "!=", "=", "+=", ":=", "-="
  std::string value;
};
using Line = std::vector<Key>;

// The rule file as lines of keys, continuation lines joined, comments and blank lines dropped.
// A key that is no `NAME{attr}op"value"` fails the test.
std::vector<Line> Parse(const fs::path &file) {
  std::ifstream in(file);
  std::vector<Line> lines;
  std::string text, raw;
  static const std::regex keyPattern(
      R"re(^\s*([A-Z_]+)(\{([^}]+)\})?\s*(==|!=|\+=|-=|:=|=)\s*"([^"]*)"\s*$)re");
  while (std::getline(in, raw)) {
    if (!raw.empty() && raw.back() == '\\') {
      text += raw.substr(0, raw.size() - 1);
      continue;
    }
    text += raw;
    const auto first = text.find_first_not_of(" \t");
    if (first != std::string::npos && text[first] != '#') {
      Line line;
      std::stringstream keys(text);
      std::string item;
      while (std::getline(keys, item, ',')) {
        std::smatch m;
        EXPECT_TRUE(std::regex_match(item, m, keyPattern)) << "not a key: [" << item << "]";
        if (!m.empty()) line.push_back({m[1], m[3], m[4], m[5]});
      }
      lines.push_back(line);
    }
    text.clear();
  }
  return lines;
}

// One uevent of a tty and the attributes of its USB device above it.
struct Event {
  std::string action = "add";
  std::string subsystem = "tty";
  std::string kernel = "ttyUSB0";
  std::map<std::string, std::string> usbAttrs = {
      {"idVendor", "0403"}, {"idProduct", "6001"}, {"product", "VERTIKOmate"}};
};

struct Outcome {
  std::set<std::string> tags;
  std::map<std::string, std::string> env;
  std::map<std::string, std::string> attrWrites;
  bool operator==(const Outcome &) const = default;
};

// Runs the rule's lines over one event as udev does for the keys this rule may use.
Outcome Apply(const std::vector<Line> &lines, const Event &event) {
  Outcome out;
  std::string skipTo;
  for (const Line &line : lines) {
    if (!skipTo.empty()) {
      if (line.size() == 1 && line[0].name == "LABEL" && line[0].value == skipTo) skipTo.clear();
      continue;
    }
    bool matches = true;
    for (const Key &k : line) {
      if (k.op != "==" && k.op != "!=") continue;
      std::optional<std::string> actual;
      if (k.name == "ACTION")
        actual = event.action;
      else if (k.name == "SUBSYSTEM")
        actual = event.subsystem;
      else if (k.name == "KERNEL")
        actual = event.kernel;
      else if (k.name == "ATTRS" && event.usbAttrs.count(k.attr))
        actual = event.usbAttrs.at(k.attr);
      else if (k.name != "ATTRS")
        ADD_FAILURE() << "a match on " << k.name << " is not checked here";
      const bool equal = actual && fnmatch(k.value.c_str(), actual->c_str(), 0) == 0;
      if (equal != (k.op == "==")) matches = false;
    }
    if (!matches) continue;
    for (const Key &k : line) {
      if (k.op == "==" || k.op == "!=") continue;
      if (k.name == "GOTO")
        skipTo = k.value;
      else if (k.name == "TAG" && k.op == "+=")
        out.tags.insert(k.value);
      else if (k.name == "ENV" && k.op == "=")
        out.env[k.attr] = k.value;
      else if (k.name == "ATTR" && k.op == "=")
        out.attrWrites[k.attr] = k.value;
      else if (k.name != "LABEL")
        ADD_FAILURE() << "an assignment to " << k.name << " is not checked here";
    }
  }
  EXPECT_TRUE(skipTo.empty()) << "GOTO without its LABEL: " << skipTo;
  return out;
}

const Outcome kForAUnit = {
    {"uaccess"}, {{"ID_MM_DEVICE_IGNORE", "1"}}, {{"device/latency_timer", "1"}}};

}  // namespace

TEST(UdevRule, GivesAUnitToTheUserSetsItsLatencyTimerAndKeepsModemManagerAway) {
  const auto lines = Parse(kRule);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(Apply(lines, Event{}), kForAUnit);
  Event change;
  change.action = "change";  // udev rebuilds a device's tags and properties at every event
  EXPECT_EQ(Apply(lines, change), kForAUnit);
  Event second;
  second.kernel = "ttyUSB12";
  EXPECT_EQ(Apply(lines, second), kForAUnit);
}

TEST(UdevRule, LeavesEveryOtherDeviceAlone) {
  const auto lines = Parse(kRule);
  const Outcome nothing;
  Event otherProduct;
  otherProduct.usbAttrs["product"] = "FT232R USB UART";
  EXPECT_EQ(Apply(lines, otherProduct), nothing) << "many devices share the FT232's ids";
  Event otherChip;
  otherChip.usbAttrs["idProduct"] = "6015";
  EXPECT_EQ(Apply(lines, otherChip), nothing);
  Event otherVendor;
  otherVendor.usbAttrs["idVendor"] = "067b";
  EXPECT_EQ(Apply(lines, otherVendor), nothing);
  Event noProduct;
  noProduct.usbAttrs.erase("product");
  EXPECT_EQ(Apply(lines, noProduct), nothing);
  Event usbDevice;
  usbDevice.subsystem = "usb";
  usbDevice.kernel = "1-1";
  EXPECT_EQ(Apply(lines, usbDevice), nothing) << "only the tty is tagged";
  Event removed;
  removed.action = "remove";
  EXPECT_EQ(Apply(lines, removed), nothing);
}

TEST(UdevRule, IsTheOnlyRuleFileInTheTree) {
  std::vector<std::string> rules;
  const fs::path top(TOLVANE_SOURCE_DIR);
  for (auto it = fs::recursive_directory_iterator(top); it != fs::recursive_directory_iterator();
       ++it) {
    const fs::path &p = it->path();
    if (it->is_directory() &&
        (p.filename().string().starts_with(".") || fs::exists(p / "CMakeCache.txt"))) {
      it.disable_recursion_pending();  // git's folder and build trees
      continue;
    }
    if (p.extension() == ".rules") rules.push_back(fs::relative(p, top).string());
  }
  EXPECT_EQ(rules, std::vector<std::string>{"data/udev/70-tolvane-skarvel.rules"});
}

TEST(UdevRule, PassesUdevadmVerify) {
  const QString udevadm =
      QStandardPaths::findExecutable("udevadm", {"/usr/bin", "/bin", "/usr/sbin", "/sbin"});
  if (udevadm.isEmpty()) GTEST_SKIP() << "udevadm is not installed";
  QProcess help;
  help.start(udevadm, {"verify", "--help"});
  if (!help.waitForFinished(10000) || help.exitCode() != 0)
    GTEST_SKIP() << "this udevadm has no verify command (systemd 254 brought it)";
  QProcess verify;
  verify.setProcessChannelMode(QProcess::MergedChannels);
  verify.start(udevadm, {"verify", QString::fromStdString(kRule.string())});
  ASSERT_TRUE(verify.waitForFinished(10000));
  EXPECT_EQ(verify.exitCode(), 0) << verify.readAll().toStdString();
}
