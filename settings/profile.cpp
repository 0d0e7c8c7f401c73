#include "settings/profile.h"

#include <SimpleIni.h>

#include <QFile>
#include <QSaveFile>
#include <QString>
#include <algorithm>
#include <cstdio>
#include <vector>

namespace settings {

namespace {

// A profile is a few hundred bytes; a file far larger was chosen by mistake.
constexpr qint64 kMaxProfileBytes = 64 * 1024;
constexpr std::size_t kShownValue = 40;

// `word="value"`, the value cut short when it is long.
std::string keyValue(std::string_view word, std::string_view value) {
  std::string shown(value.substr(0, kShownValue));
  if (value.size() > kShownValue) shown += "...";
  return std::string(word) + "=\"" + shown + "\"";
}

// A character as a message shows it: itself when printable ASCII, else its byte in hex.
std::string shownCharacter(char c) {
  const auto byte = static_cast<unsigned char>(c);
  if (byte > ' ' && byte < 0x7F) return std::string("\"") + c + "\"";
  char buffer[8];
  std::snprintf(buffer, sizeof buffer, "0x%02X", byte);
  return buffer;
}

std::string characters(int n) {
  return std::to_string(n) + (n == 1 ? " character" : " characters");
}

[[noreturn]] void refuse(const std::string &fileName, const std::string &why) {
  throw Exception("Profile " + fileName + ": " + why);
}

struct Entry {
  std::string section, key, value;
  int order;
};

// Every key of the text with its section, in the order of the text.
std::vector<Entry> entriesOf(std::string_view text, const std::string &fileName) {
  CSimpleIniA ini;
  ini.SetUnicode(true);
  ini.SetMultiKey(true);  // a repeated key is kept twice, so that it can be refused
  ini.SetMultiLine(false);
  ini.SetQuotes(true);
  if (ini.LoadData(text.data(), text.size()) < 0) refuse(fileName, "not an INI file");
  CSimpleIniA::TNamesDepend sections;
  ini.GetAllSections(sections);
  bool found = false;
  std::vector<Entry> entries;
  for (const auto &section : sections) {
    if (std::string_view(section.pItem) == kProfileSection) found = true;
    const CSimpleIniA::TKeyVal *keys = ini.GetSection(section.pItem);
    if (!keys) continue;
    for (const auto &[key, value] : *keys)
      entries.push_back({section.pItem, key.pItem, value ? value : "", key.nOrder});
  }
  if (!found) refuse(fileName, std::string("no [") + kProfileSection + "] section");
  std::sort(entries.begin(), entries.end(),
            [](const Entry &a, const Entry &b) { return a.order < b.order; });
  return entries;
}

std::string defaultWireValue(const params::Parameter &p) {
  if (p.kind == params::Kind::Code) return params::CodeWireValue(*p.defaultValue);
  return params::ListWireValue(p, params::PositionOf(p, *p.defaultValue));
}

}  // namespace

const std::string &Profile::Value(std::string_view word) const {
  return values_.find(word)->second;
}

int Profile::ChosenPosition(const params::Parameter &p) const {
  const std::string &value = Value(p.word);
  for (int position = 1; position <= static_cast<int>(p.entries.size()); ++position)
    if (params::ListWireValue(p, position) == value) return position;
  return 0;
}

std::string Profile::Text(const params::Parameter &p) const {
  return Value(p.word);
}

bool Profile::FirstChosen(const params::Parameter &p) const {
  return Value(p.word) == params::RadioWireValue(true);
}

void Profile::PutDefaults() {
  for (const auto &p : params::Table())
    if (p.defaultValue) values_[std::string(p.word)] = defaultWireValue(p);
}

std::string ProfileRefusal(const params::Parameter &p, std::string_view value) {
  if (params::AcceptsWireValue(p, value)) return {};
  const std::string word(p.word);
  switch (p.kind) {
    case params::Kind::List:
    case params::Kind::Index: {
      const int count = static_cast<int>(p.entries.size());
      return "is not one of the values \"" + params::ListWireValue(p, 1) + "\" to \"" +
             params::ListWireValue(p, count) + "\" of " + word;
    }
    case params::Kind::Radio:
      return "is not one of the values \"1\" and \"0\" of " + word;
    case params::Kind::Code: {
      const std::size_t bad = value.find_first_not_of(p.characters);
      if (bad != std::string_view::npos)
        return "holds the character " + shownCharacter(value[bad]) + ", " + word +
               " takes only the characters " + std::string(p.characters);
      const std::string takes = p.minLength == p.maxLength ? std::to_string(p.maxLength)
                                                           : std::to_string(p.minLength) + " to " +
                                                                 std::to_string(p.maxLength);
      return "has " + characters(static_cast<int>(value.size())) + ", " + word + " takes " + takes;
    }
  }
  return "is refused";
}

Profile ReadProfileText(std::string_view text, const std::string &fileName) {
  Profile profile;
  for (const Entry &entry : entriesOf(text, fileName)) {
    if (entry.section != kProfileSection)
      refuse(fileName, "the key " + keyValue(entry.key, entry.value) + " stands outside [" +
                           kProfileSection + "]");
    const params::Parameter *p = params::Find(entry.key);
    if (!p) refuse(fileName, "unknown key " + keyValue(entry.key, entry.value));
    if (auto it = profile.values_.find(entry.key); it != profile.values_.end())
      refuse(fileName, "the key " + entry.key +
                           " is given twice: " + keyValue(entry.key, it->second) + " and " +
                           keyValue(entry.key, entry.value));
    if (const std::string why = ProfileRefusal(*p, entry.value); !why.empty())
      refuse(fileName, keyValue(entry.key, entry.value) + " " + why);
    profile.values_[entry.key] = entry.value;
  }
  for (const auto &p : params::Table())
    if (!profile.values_.count(p.word))
      refuse(fileName, "the key " + std::string(p.word) + " is missing");
  return profile;
}

Profile ReadProfile(const std::string &fileName) {
  QFile file(QString::fromStdString(fileName));
  if (!file.open(QIODevice::ReadOnly))
    throw Exception("Cannot open file " + fileName + ": " + file.errorString().toStdString());
  const QByteArray data = file.read(kMaxProfileBytes + 1);
  if (file.error() != QFileDevice::NoError)
    throw Exception("Cannot read file " + fileName + ": " + file.errorString().toStdString());
  if (data.size() > kMaxProfileBytes) refuse(fileName, "too large for a profile");
  return ReadProfileText(std::string_view(data.constData(), static_cast<std::size_t>(data.size())),
                         fileName);
}

std::string ProfileText(const ParameterFields &fields, const std::string &fileName) {
  std::string text = std::string("[") + kProfileSection + "]\n";
  for (const auto &p : params::Table()) {
    const std::string value = WireValue(p, fields);
    if (const std::string why = ProfileRefusal(p, value); !why.empty())
      throw Exception("Profile " + fileName + " not saved: " + keyValue(p.word, value) + " " + why);
    text += std::string(p.word) + "=" + value + "\n";
  }
  return text;
}

void WriteProfile(const std::string &fileName, const ParameterFields &fields) {
  const std::string text = ProfileText(fields, fileName);
  QSaveFile file(QString::fromStdString(fileName));
  const auto size = static_cast<qint64>(text.size());
  if (!file.open(QIODevice::WriteOnly) || file.write(text.data(), size) != size || !file.commit())
    throw Exception("Unable to write to " + fileName);
}

}  // namespace settings
