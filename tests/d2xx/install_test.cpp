// What `cmake --install` and the Debian package put on a machine for real units: the programs,
// their manual pages, the desktop entry, the icons, the copyright and changelog and the one udev
// rule; and that Debian's package checker finds nothing to fault in the package.
#include <gtest/gtest.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>
#include <QXmlStreamReader>

#include "install_paths.h"
#include "tests/support/qt_print.h"
#include "tests/support/temp_folder.h"

namespace {

const QString kBuild = QStringLiteral(TOLVANE_BUILD_DIR);
const QString kSource = QStringLiteral(TOLVANE_SOURCE_DIR);
const QString kAppId = QStringLiteral(TOLVANE_APP_ID);
const QString kRulesDir = QStringLiteral(TOLVANE_UDEV_RULES_DIR);
const QString kRuleName = QStringLiteral("70-tolvane-skarvel.rules");

struct Result {
  int code = -1;
  QByteArray out;
};

Result RunProgram(const QString &program, const QStringList &args,
                  const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment()) {
  QProcess process;
  process.setProcessEnvironment(env);
  process.setProcessChannelMode(QProcess::MergedChannels);
  process.start(program, args);
  Result result;
  if (!process.waitForStarted(10000)) return result;
  if (!process.waitForFinished(90000)) {
    process.kill();
    process.waitForFinished(5000);
    return result;
  }
  result.out = process.readAll();
  if (process.exitStatus() == QProcess::NormalExit) result.code = process.exitCode();
  return result;
}

QByteArray ReadFile(const QString &path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Every file below `root`, as paths relative to it.
QSet<QString> FilesBelow(const QString &root) {
  QSet<QString> files;
  QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
  while (it.hasNext()) files.insert(QDir(root).relativeFilePath(it.next()));
  return files;
}

// Where the rule lands below the install root.
QString RulePath(const QString &prefix) {
  return (kRulesDir.startsWith('/') ? kRulesDir.mid(1) : prefix + "/" + kRulesDir) + "/" +
         kRuleName;
}

QSet<QString> ExpectedFiles(const QString &prefix) {
  QSet<QString> files = {
      prefix + "/bin/tolvane",
      prefix + "/share/man/man1/tolvane.1.gz",
      prefix + "/bin/tolvane-cli",
      prefix + "/share/man/man1/tolvane-cli.1.gz",
      prefix + "/share/applications/" + kAppId + ".desktop",
      prefix + "/share/icons/hicolor/scalable/apps/" + kAppId + ".svg",
      prefix + "/share/doc/tolvane/copyright",
      prefix + "/share/doc/tolvane/changelog.Debian.gz",
      prefix + "/share/lintian/overrides/tolvane",
      RulePath(prefix),
  };
  if (TOLVANE_HAS_SIM) {
    files.insert(prefix + "/bin/skarvel-sim");
    files.insert(prefix + "/share/man/man1/skarvel-sim.1.gz");
  }
  for (const QString &size : QStringLiteral(TOLVANE_ICON_SIZES).split(' ', Qt::SkipEmptyParts))
    files.insert(
        QStringLiteral("%1/share/icons/hicolor/%2x%2/apps/%3.png").arg(prefix, size, kAppId));
  return files;
}

// The value of `key` in the desktop entry's main group.
QString DesktopValue(const QByteArray &entry, const QString &key) {
  bool inMain = false;
  for (const QByteArray &raw : entry.split('\n')) {
    const QString line = QString::fromUtf8(raw).trimmed();
    if (line.startsWith('[')) inMain = line == QLatin1String("[Desktop Entry]");
    if (inMain && line.startsWith(key + "=")) return line.mid(key.size() + 1);
  }
  return {};
}

// The version of the top entry of a Debian changelog.
QString ChangelogVersion(const QByteArray &changelog) {
  static const QRegularExpression top(R"(^tolvane \(([^)]+)\) )");
  return top.match(QString::fromUtf8(changelog)).captured(1);
}

// Makes the Debian package from this build tree in `folder`; its path, or empty.
QString MakePackage(const QString &folder) {
  const Result pack =
      RunProgram("cpack", {"-G", "DEB", "--config", kBuild + "/CPackConfig.cmake", "-B", folder,
                           "-D", "CPACK_DEBIAN_COMPRESSION_TYPE=gzip"});
  EXPECT_EQ(pack.code, 0) << pack.out.toStdString();
  const QStringList debs = QDir(folder).entryList({"*.deb"}, QDir::Files);
  EXPECT_EQ(debs.size(), 1) << pack.out.toStdString();
  return pack.code == 0 && debs.size() == 1 ? folder + debs.first() : QString();
}

}  // namespace

TEST(Installation, PutsTheProgramsEntryIconsAndRuleInPlaceAndNothingElse) {
  TempFolder dest;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("DESTDIR", QString::fromStdString(dest.Folder()));
  const Result install = RunProgram("cmake", {"--install", kBuild, "--prefix", "/usr"}, env);
  ASSERT_EQ(install.code, 0) << install.out.toStdString();
  const QString root = QString::fromStdString(dest.Folder());

  EXPECT_EQ(FilesBelow(root), ExpectedFiles("usr"));

  const QFileInfo program(root + "usr/bin/tolvane");
  EXPECT_TRUE(program.isExecutable());
  EXPECT_GT(program.size(), 0);

  const QByteArray entry = ReadFile(root + "usr/share/applications/" + kAppId + ".desktop");
  EXPECT_EQ(DesktopValue(entry, "Type"), "Application");
  EXPECT_EQ(DesktopValue(entry, "Exec"), "tolvane") << "the installed program's name";
  EXPECT_EQ(DesktopValue(entry, "Icon"), kAppId) << "the installed icons' name";
  EXPECT_FALSE(DesktopValue(entry, "Name").isEmpty());
  EXPECT_TRUE(DesktopValue(entry, "Categories").endsWith(';'));

  for (const QString &size : QStringLiteral(TOLVANE_ICON_SIZES).split(' ', Qt::SkipEmptyParts)) {
    const QImage icon(
        QStringLiteral("%1usr/share/icons/hicolor/%2x%2/apps/%3.png").arg(root, size, kAppId));
    EXPECT_EQ(icon.size(), QSize(size.toInt(), size.toInt())) << size.toStdString();
    EXPECT_TRUE(icon.hasAlphaChannel());
    EXPECT_EQ(qAlpha(icon.pixel(0, 0)), 0) << "the corners are transparent";
    EXPECT_EQ(qAlpha(icon.pixel(icon.width() / 2, icon.height() / 2)), 255);
  }
  QXmlStreamReader svg(ReadFile(root + "usr/share/icons/hicolor/scalable/apps/" + kAppId + ".svg"));
  ASSERT_TRUE(svg.readNextStartElement());
  EXPECT_EQ(svg.name(), QLatin1String("svg"));
  while (!svg.atEnd()) svg.readNext();
  EXPECT_FALSE(svg.hasError()) << svg.errorString().toStdString();

  EXPECT_EQ(ReadFile(root + RulePath("usr")), ReadFile(kSource + "/data/udev/" + kRuleName))
      << "the rule is installed as it stands in the tree";

  for (const QString &program : QDir(root + "usr/bin").entryList(QDir::Files)) {
    const Result page =
        RunProgram("gzip", {"-dc", root + "usr/share/man/man1/" + program + ".1.gz"});
    EXPECT_EQ(page.code, 0) << program.toStdString() << ": " << page.out.toStdString();
    EXPECT_TRUE(page.out.contains(".TH " + program.toUpper().replace("-", "\\-").toUtf8() + " 1 "))
        << program.toStdString();
    EXPECT_TRUE(page.out.contains("\"Tolvane " TOLVANE_VERSION "\"")) << program.toStdString();
  }
}

TEST(Installation, TheDesktopEntryPassesTheValidator) {
  const QString validator = QStandardPaths::findExecutable("desktop-file-validate");
  if (validator.isEmpty()) GTEST_SKIP() << "desktop-file-validate is not installed";
  const Result check = RunProgram(validator, {kSource + "/data/" + kAppId + ".desktop"});
  EXPECT_EQ(check.code, 0) << check.out.toStdString();
  EXPECT_TRUE(check.out.trimmed().isEmpty()) << check.out.toStdString();
}

TEST(DebianPackage, HoldsTheInstallationAndDeclaresItsDependencies) {
  const QString dpkgDeb = QStandardPaths::findExecutable("dpkg-deb");
  if (dpkgDeb.isEmpty()) GTEST_SKIP() << "dpkg-deb is not installed";
  TempFolder out;
  const QString deb = MakePackage(QString::fromStdString(out.Folder()));
  ASSERT_FALSE(deb.isEmpty());

  const Result fields =
      RunProgram(dpkgDeb, {"-f", deb, "Package", "Architecture", "Depends", "Version"});
  ASSERT_EQ(fields.code, 0) << fields.out.toStdString();
  const QString control = QString::fromUtf8(fields.out);
  EXPECT_TRUE(control.contains("Package: tolvane\n")) << control.toStdString();
  const QString version = control.section("Version: ", 1).section('\n', 0, 0);
  EXPECT_TRUE(version.startsWith(TOLVANE_VERSION "-")) << "a Debian revision after the version";
  const QString depends = control.section("Depends: ", 1).section('\n', 0, 0);
  QSet<QString> declared;
  for (const QString &item : depends.split(',', Qt::SkipEmptyParts))
    declared.insert(item.trimmed().section(' ', 0, 0));
  for (const char *needed :
       {"libqt6core6", "libqt6gui6", "libqt6widgets6", "qt6-qpa-plugins", "libgstreamer1.0-0",
        "libgstreamer-plugins-base1.0-0", "gstreamer1.0-plugins-base", "gstreamer1.0-plugins-good",
        "gstreamer1.0-plugins-ugly", "gstreamer1.0-libav", "gstreamer1.0-pulseaudio"})
    EXPECT_TRUE(declared.contains(needed)) << needed << " is not in: " << depends.toStdString();
  EXPECT_FALSE(declared.contains("libsimpleini-dev")) << "SimpleIni is compiled in";

  const Result contents = RunProgram(dpkgDeb, {"-c", deb});
  ASSERT_EQ(contents.code, 0);
  QSet<QString> packaged;
  for (const QByteArray &line : contents.out.split('\n')) {
    const QString path = QString::fromUtf8(line).section(' ', -1);
    if (path.startsWith("./") && !path.endsWith('/')) packaged.insert(path.mid(2));
  }
  EXPECT_EQ(packaged, ExpectedFiles("usr"));

  // The control part: the script that applies the rule to a unit plugged in already.
  TempFolder control_dir;
  const QString extracted = QString::fromStdString(control_dir.Folder()) + "DEBIAN";
  ASSERT_EQ(RunProgram(dpkgDeb, {"-e", deb, extracted}).code, 0);
  EXPECT_TRUE(QFileInfo(extracted + "/postinst").isExecutable());
  EXPECT_TRUE(ReadFile(extracted + "/postinst").contains("udevadm trigger"));

  // The packaged program is stripped but keeps its version record.
  TempFolder files_dir;
  const QString files = QString::fromStdString(files_dir.Folder());
  ASSERT_EQ(RunProgram(dpkgDeb, {"-x", deb, files}).code, 0);
  EXPECT_TRUE(ReadFile(files + "usr/bin/tolvane").contains("TLVVER01"));
  EXPECT_TRUE(ReadFile(files + "usr/bin/tolvane-cli").contains("TLVVER01"));

  // The changelog's top entry names the package's version.
  const Result changelog =
      RunProgram("gzip", {"-dc", files + "usr/share/doc/tolvane/changelog.Debian.gz"});
  ASSERT_EQ(changelog.code, 0) << changelog.out.toStdString();
  EXPECT_EQ(ChangelogVersion(changelog.out), version);
}

// Lintian's notes included: a hardening-* note names a program built without the distribution's
// hardening (checked buffer functions, position-independent, read-only relocations bound at start).
TEST(DebianPackage, PassesLintianWithoutErrorsWarningsOrHardeningNotes) {
  const QString lintian = QStandardPaths::findExecutable("lintian");
  if (lintian.isEmpty()) GTEST_SKIP() << "lintian is not installed";
  if (TOLVANE_SANITIZED) GTEST_SKIP() << "the package is made from the plain build";
  TempFolder out;
  const QString deb = MakePackage(QString::fromStdString(out.Folder()));
  ASSERT_FALSE(deb.isEmpty());

  const Result check = RunProgram(lintian, {"--fail-on", "error,warning", "--display-info", deb});
  QStringList faults;
  for (const QByteArray &line : check.out.split('\n'))
    if (line.startsWith("E: ") || line.startsWith("W: ") || line.contains(" hardening-"))
      faults << QString::fromUtf8(line);
  EXPECT_TRUE(faults.isEmpty()) << faults.join('\n').toStdString();
  EXPECT_EQ(check.code, 0) << check.out.toStdString();
}

TEST(DebianPackage, DeclaresThePackageOfEveryLibraryTheProgramsLoad) {
  const QString dpkg = QStandardPaths::findExecutable("dpkg");
  const QString readelf = QStandardPaths::findExecutable("readelf");
  if (dpkg.isEmpty() || readelf.isEmpty()) GTEST_SKIP() << "needs dpkg and readelf";
  if (TOLVANE_SANITIZED) GTEST_SKIP() << "the package is made from the plain build";
  const QString depends = QStringLiteral(TOLVANE_DEB_DEPENDS);
  QSet<QString> declared;
  for (const QString &item : depends.split(',', Qt::SkipEmptyParts))
    declared.insert(item.trimmed().section(' ', 0, 0));

  QSet<QString> owners;
  QStringList programs = {TOLVANE_PROGRAM};
  if (TOLVANE_HAS_SIM) programs << TOLVANE_SIM_PROGRAM;
  for (const QString &program : programs) {
    const Result dynamic = RunProgram(readelf, {"-d", program});
    ASSERT_EQ(dynamic.code, 0) << dynamic.out.toStdString();
    const Result loaded = RunProgram("ldd", {program});
    ASSERT_EQ(loaded.code, 0) << loaded.out.toStdString();
    static const QRegularExpression neededLine(R"(\(NEEDED\).*\[(.+)\])");
    for (const QByteArray &line : dynamic.out.split('\n')) {
      const auto match = neededLine.match(QString::fromUtf8(line));
      if (!match.hasMatch()) continue;
      const QString soname = match.captured(1);
      if (soname.contains(QRegularExpression("^lib(a|ub|l|t)san"))) continue;  // sanitizer build
      if (soname.startsWith("ld-linux")) continue;  // the dynamic loader, part of libc6
      const QRegularExpression pathOf(QRegularExpression::escape(soname) + R"( => (\S+))");
      const auto where = pathOf.match(QString::fromUtf8(loaded.out));
      ASSERT_TRUE(where.hasMatch()) << soname.toStdString() << " is not found";
      QString path = where.captured(1);
      Result owner = RunProgram(dpkg, {"-S", path});
      if (owner.code != 0) {  // merged /usr: the package may name the other of /lib and /usr/lib
        path = path.startsWith("/usr/") ? path.mid(4) : "/usr" + path;
        owner = RunProgram(dpkg, {"-S", path});
      }
      if (owner.code != 0) continue;  // a library that no package installed (a local build)
      const QString package = QString::fromUtf8(owner.out).section(':', 0, 0).trimmed();
      owners.insert(package);
      EXPECT_TRUE(declared.contains(package))
          << program.toStdString() << " loads " << soname.toStdString() << " of package "
          << package.toStdString() << ", which the package does not depend on";
    }
  }
  EXPECT_TRUE(owners.contains("libqt6widgets6")) << "the libraries were not traced to packages";
}
