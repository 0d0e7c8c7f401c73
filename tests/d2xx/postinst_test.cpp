// The package's install script: it has udev apply the rule to units plugged in already, and wakes
// no other device of the machine. Its `udevadm trigger` is recorded by a stand-in udevadm and
// run over a small sysfs tree by a model of udevadm's matching (and, where udevadm is installed,
// by udevadm itself over this machine's devices without triggering anything).
#include <fnmatch.h>
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <map>
#include <set>

#include "install_paths.h"
#include "tests/support/qt_print.h"
#include "tests/support/temp_folder.h"

namespace {

const QString kPostinst = QStringLiteral(TOLVANE_SOURCE_DIR "/data/deb/postinst");

void WriteFile(const QString &path, const QByteArray &bytes) {
  QDir().mkpath(QFileInfo(path).path());
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
  file.write(bytes);
}

QByteArray ReadAttribute(const QString &path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed() : QByteArray();
}

// Runs the script as dpkg does after unpacking, with a udevadm that records its calls and
// answers as a running udev does. Returns the calls, each its list of arguments.
std::vector<QStringList> RunPostinst(const QString &bin) {
  WriteFile(
      bin + "/udevadm",
      "#!/bin/sh\n"
      "{ for a in \"$@\"; do printf '%s\\n' \"$a\"; done; echo; } >>\"$(dirname \"$0\")/calls\"\n");
  QFile::setPermissions(bin + "/udevadm", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("PATH", bin + ":" + env.value("PATH"));
  QProcess script;
  script.setProcessEnvironment(env);
  script.setProcessChannelMode(QProcess::MergedChannels);
  script.start("sh", {kPostinst, "configure"});
  EXPECT_TRUE(script.waitForFinished(20000));
  EXPECT_EQ(script.exitCode(), 0) << script.readAll().toStdString();
  std::vector<QStringList> calls(1);
  QFile log(bin + "/calls");
  if (!log.open(QIODevice::ReadOnly)) return {};
  for (const QByteArray &line : log.readAll().split('\n')) {
    if (!line.isEmpty())
      calls.back() << QString::fromUtf8(line);
    else if (!calls.back().isEmpty())
      calls.emplace_back();
  }
  calls.pop_back();
  return calls;
}

// The selection of a `udevadm trigger`: subsystems and sysnames each match any of their patterns;
// attributes (paths below the device, values as shell patterns) match any value given for the
// same path, and every path given must match.
struct Selection {
  std::vector<QString> subsystems, sysnames;
  std::map<QString, std::vector<QString>> attributes;  // path -> values ("" = exists)
};

Selection ParseTrigger(const QStringList &args) {
  Selection s;
  for (int i = 1; i < args.size(); ++i) {
    const QString name = args[i].section('=', 0, 0);
    QString value = args[i].section('=', 1);
    if (!args[i].contains('=') && i + 1 < args.size() && !args[i + 1].startsWith('-'))
      value = args[++i];
    if (name == "--action" || name == "-c" || name == "--verbose" || name == "--dry-run") continue;
    if (name == "--subsystem-match" || name == "-s")
      s.subsystems.push_back(value);
    else if (name == "--sysname-match" || name == "-y")
      s.sysnames.push_back(value);
    else if (name == "--attr-match" || name == "-a")
      s.attributes[value.section('=', 0, 0)].push_back(value.section('=', 1));
    else
      ADD_FAILURE() << "a trigger argument that is not modelled here: " << args[i].toStdString();
  }
  return s;
}

bool Matches(const QString &pattern, const QString &text) {
  return fnmatch(pattern.toUtf8().constData(), text.toUtf8().constData(), 0) == 0;
}

bool AnyMatches(const std::vector<QString> &patterns, const QString &text) {
  if (patterns.empty()) return true;
  for (const QString &p : patterns)
    if (Matches(p, text)) return true;
  return false;
}

// A device of the sysfs tree: its folder below the root, its subsystem and its name.
struct Device {
  QString path, subsystem, sysname;
};

bool Selects(const Selection &s, const QString &root, const Device &d) {
  if (!AnyMatches(s.subsystems, d.subsystem) || !AnyMatches(s.sysnames, d.sysname)) return false;
  for (const auto &[attribute, values] : s.attributes) {
    const QString file = root + d.path + "/" + attribute;  // the kernel follows `device` and ".."
    if (!QFileInfo(file).isFile()) return false;
    const QString actual = QString::fromUtf8(ReadAttribute(file));
    bool any = false;
    for (const QString &v : values) any = any || v.isEmpty() || Matches(v, actual);
    if (!any) return false;
  }
  return true;
}

// A sysfs tree with what the kernel shows of USB serial adapters and of the machine's own ttys.
class Sysfs {
 public:
  explicit Sysfs(QString root) : root_(std::move(root)) {}

  // A USB device with an FT232-style adapter: device, interface, usb-serial port, tty (ftdi_sio).
  QString AddUsbSerial(const QString &usb, const char *vendor, const char *product,
                       const char *productString, const QString &tty) {
    const QString dev = "devices/pci0000:00/0000:00:14.0/usb1/" + usb;
    Attributes(dev, {{"idVendor", vendor}, {"idProduct", product}, {"product", productString}});
    devices_.push_back({dev, "usb", usb});
    const QString port = dev + "/" + usb + ":1.0/" + tty;
    Attributes(port, {{"latency_timer", "16"}});
    devices_.push_back({port, "usb-serial", tty});
    const QString ttyPath = port + "/tty/" + tty;
    Attributes(ttyPath, {{"dev", "188:0"}});
    QFile::link("../../../" + tty, root_ + ttyPath + "/device");
    devices_.push_back({ttyPath, "tty", tty});
    return ttyPath;
  }

  // A modem on cdc_acm: the tty sits right below the interface.
  void AddAcm(const QString &usb, const QString &tty) {
    const QString dev = "devices/pci0000:00/0000:00:14.0/usb1/" + usb;
    Attributes(dev, {{"idVendor", "1546"}, {"idProduct", "01a7"}, {"product", "VERTIKOmate"}});
    devices_.push_back({dev, "usb", usb});
    const QString ttyPath = dev + "/" + usb + ":1.0/tty/" + tty;
    Attributes(ttyPath, {{"dev", "166:0"}});
    QFile::link("../../../" + usb + ":1.0", root_ + ttyPath + "/device");
    devices_.push_back({ttyPath, "tty", tty});
  }

  void AddVirtualTty(const QString &name) {
    const QString path = "devices/virtual/tty/" + name;
    Attributes(path, {{"dev", "4:1"}});
    devices_.push_back({path, "tty", name});
  }

  std::set<QString> Selected(const std::vector<QStringList> &calls) const {
    std::set<QString> selected;
    for (const QStringList &call : calls) {
      if (call.value(0) != "trigger") continue;
      const Selection s = ParseTrigger(call);
      for (const Device &d : devices_)
        if (Selects(s, root_, d)) selected.insert(d.path);
    }
    return selected;
  }

 private:
  void Attributes(const QString &path, std::map<QString, QByteArray> values) {
    values["uevent"] = "";
    for (const auto &[name, value] : values) WriteFile(root_ + path + "/" + name, value + "\n");
  }

  QString root_;
  std::vector<Device> devices_;
};

// The ttys of FT232 units on this machine, as the rule's ATTRS finds them.
bool IsUnitTty(const QString &syspath) {
  const QString usb = syspath + "/device/../../";
  return ReadAttribute(usb + "idVendor") == "0403" && ReadAttribute(usb + "idProduct") == "6001" &&
         ReadAttribute(usb + "product") == "VERTIKOmate";
}

}  // namespace

TEST(Postinst, TriggersTheTtysOfUnitsAndNoOtherDevice) {
  TempFolder bin, sys;
  const std::vector<QStringList> calls = RunPostinst(QString::fromStdString(bin.Folder()));
  int triggers = 0;
  for (const QStringList &call : calls) triggers += call.value(0) == "trigger";
  ASSERT_GE(triggers, 1) << "udev is asked to apply the rule";
  for (const QStringList &call : calls) {
    if (call.value(0) != "trigger") continue;
    EXPECT_TRUE(call.contains("--action=change") || call.contains("change"))
        << "a change event: an add event would run every other rule's first-plug actions";
  }

  Sysfs sysfs(QString::fromStdString(sys.Folder()));
  const QString unit = sysfs.AddUsbSerial("1-1", "0403", "6001", "VERTIKOmate", "ttyUSB0");
  const QString second = sysfs.AddUsbSerial("1-4", "0403", "6001", "VERTIKOmate", "ttyUSB3");
  sysfs.AddUsbSerial("1-2", "0403", "6001", "FT232R USB UART", "ttyUSB1");  // another FT232
  sysfs.AddUsbSerial("1-3", "0403", "6015", "VERTIKOmate", "ttyUSB2");      // another FT chip
  sysfs.AddAcm("1-5", "ttyACM0");
  for (const char *tty : {"tty0", "tty1", "console", "ptmx", "ttyS0"}) sysfs.AddVirtualTty(tty);

  EXPECT_EQ(sysfs.Selected(calls), (std::set<QString>{unit, second}));
}

TEST(Postinst, ItsTriggerSelectsOnlyUnitsOfThisMachineInUdevadm) {
  const QString udevadm =
      QStandardPaths::findExecutable("udevadm", {"/usr/bin", "/bin", "/usr/sbin", "/sbin"});
  if (udevadm.isEmpty()) GTEST_SKIP() << "udevadm is not installed";
  TempFolder bin;
  int triggers = 0;
  for (QStringList call : RunPostinst(QString::fromStdString(bin.Folder()))) {
    if (call.value(0) != "trigger") continue;
    ++triggers;
    call << "--dry-run"
         << "--verbose";  // lists the devices instead of triggering them
    QProcess dry;
    dry.start(udevadm, call);
    ASSERT_TRUE(dry.waitForFinished(20000));
    EXPECT_EQ(dry.exitCode(), 0) << dry.readAllStandardError().toStdString();
    for (const QByteArray &line : dry.readAllStandardOutput().split('\n')) {
      if (line.isEmpty()) continue;
      EXPECT_TRUE(IsUnitTty(QString::fromUtf8(line))) << "not a unit's tty: " << line.data();
    }
  }
  EXPECT_GE(triggers, 1);
}
