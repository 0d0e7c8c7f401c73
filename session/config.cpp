#include "session/config.h"

#include <SimpleIni.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <array>
#include <cerrno>
#include <climits>
#include <filesystem>

namespace {

constexpr std::size_t kMaxValue = 2047;

// A value never holds CR, LF or NUL: it would break the line structure of the file.
std::string cleanValue(const std::string &value) {
  std::string out;
  out.reserve(value.size());
  for (char c : value)
    if (c != '\r' && c != '\n' && c != '\0') out.push_back(c);
  return out;
}

void configure(CSimpleIniA &ini) {
  ini.SetUnicode(true);
  ini.SetMultiKey(false);
  ini.SetMultiLine(false);
  ini.SetSpaces(false);
  ini.SetQuotes(true);
}

enum class LoadResult { Loaded, Absent, Unreadable };

LoadResult load(CSimpleIniA &ini, const std::string &fileName) {
  configure(ini);
  QFile file(QString::fromStdString(fileName));
  if (!file.exists()) return LoadResult::Absent;
  if (!file.open(QIODevice::ReadOnly)) return LoadResult::Unreadable;
  const QByteArray data = file.readAll();
  if (file.error() != QFileDevice::NoError) return LoadResult::Unreadable;
  if (ini.LoadData(data.constData(), static_cast<std::size_t>(data.size())) < 0)
    return LoadResult::Unreadable;
  return LoadResult::Loaded;
}

[[noreturn]] void refuse(const std::string &fileName) {
  throw Exception("Unable to write to " + fileName);
}

void save(CSimpleIniA &ini, const std::string &fileName) {
  std::string data;
  if (ini.Save(data) < 0) refuse(fileName);
  QSaveFile file(QString::fromStdString(fileName));
  if (!file.open(QIODevice::WriteOnly)) refuse(fileName);
  if (file.write(data.data(), static_cast<qint64>(data.size())) != static_cast<qint64>(data.size()))
    refuse(fileName);
  if (!file.commit()) refuse(fileName);
}

}  // namespace

namespace {

// The folder of the executable, ending in "/"; empty when it cannot be told.
std::string ExecutableFolder() {
  std::array<char, PATH_MAX> buffer{};
  const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
  if (n <= 0) return {};
  return std::filesystem::path(std::string(buffer.data(), static_cast<std::size_t>(n)))
             .parent_path()
             .string() +
         "/";
}

// `$variable` when it names an absolute folder, else `fallback` under the home folder; with
// "/Tolvane/" behind it.
std::string XdgFolder(const char *variable, const char *fallback) {
  QString base = qEnvironmentVariable(variable);
  if (base.isEmpty() || !QDir::isAbsolutePath(base)) base = QDir::homePath() + "/" + fallback;
  return QDir::cleanPath(base + "/Tolvane").toStdString() + "/";
}

// Makes `folder` where it is missing, never under /usr.
void MakeFolder(const std::string &folder) {
  if (folder.rfind("/usr/", 0) == 0) return;
  QDir().mkpath(QString::fromStdString(folder));
}

}  // namespace

std::string DetectProgramFolder() {
  const std::string beside = ExecutableFolder();
  if (!beside.empty() && std::filesystem::exists(beside + "VERT.ini")) return beside;  // portable
  const std::string folder = XdgFolder("XDG_CONFIG_HOME", ".config");
  MakeFolder(folder);
  return folder;
}

std::string DetectLogFolder(const std::string &programFolder) {
  if (programFolder != XdgFolder("XDG_CONFIG_HOME", ".config")) return programFolder;
  const std::string folder = XdgFolder("XDG_STATE_HOME", ".local/state");
  MakeFolder(folder);
  return folder;
}

std::string ConfigFileName(const std::string &programFolder) {
  return programFolder + "VERT.ini";
}

std::string ConfigFile::Read(const std::string &section, const std::string &key) const {
  CSimpleIniA ini;
  if (load(ini, fileName_) != LoadResult::Loaded) return {};
  const char *value = ini.GetValue(section.c_str(), key.c_str(), nullptr);
  if (!value) return {};
  std::string text(value);
  if (text.size() > kMaxValue) text.resize(kMaxValue);
  return text;
}

void ConfigFile::Write(const std::string &section, const std::string &key,
                       const std::string &value) {
  WriteAll(section, {{key, value}});
}

void ConfigFile::WriteAll(const std::string &section,
                          const std::vector<std::pair<std::string, std::string>> &entries) {
  CSimpleIniA ini;
  // A file that exists but cannot be read is never replaced: its contents would be lost.
  if (load(ini, fileName_) == LoadResult::Unreadable) refuse(fileName_);
  for (const auto &[key, value] : entries) {
    if (ini.SetValue(section.c_str(), key.c_str(), cleanValue(value).c_str()) < 0)
      refuse(fileName_);
  }
  save(ini, fileName_);
}

std::string ReadRememberedPath(const std::string &programFolder, const std::string &key) {
  std::string path = ConfigFile(ConfigFileName(programFolder)).Read("PATH", key);
  if (path.size() < 3) path = programFolder;
  return path;
}

void WriteRememberedPath(const std::string &programFolder, const std::string &key,
                         const std::string &path) {
  ConfigFile(ConfigFileName(programFolder)).Write("PATH", key, path);
}
