#include "sim/record_json.h"

#include <QJsonArray>
#include <QString>
#include <cstdio>

namespace sim {

namespace {

QString latin1(const std::string &bytes) {
  return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

QString hex(const std::uint8_t *bytes, std::size_t n) {
  QByteArray raw(reinterpret_cast<const char *>(bytes), static_cast<qsizetype>(n));
  return QString::fromLatin1(raw.toHex().toUpper());
}

double ms(Time t, Time origin) {
  return std::chrono::duration<double, std::milli>(t - origin).count();
}

QJsonArray strings(const std::vector<std::string> &list) {
  QJsonArray out;
  for (const auto &s : list) out.append(latin1(s));
  return out;
}

}  // namespace

QJsonObject RecordToJson(const Unit &unit, Time origin) {
  const Record &r = unit.GetRecord();
  QJsonObject o;
  o["serial"] = latin1(unit.Serial());
  o["description"] = latin1(unit.Options().description);
  o["connections"] = r.connections;
  o["commandLines"] = strings(r.commandLines);
  o["replies"] = strings(r.replies);
  o["problems"] = strings(r.problems);
  o["received"] = hex(reinterpret_cast<const std::uint8_t *>(r.received.data()), r.received.size());

  QJsonArray levels;
  for (const auto &l : r.levels)
    levels.append(QJsonObject{{"ms", ms(l.at, origin)}, {"dtr", l.dtr}, {"rts", l.rts}});
  o["levels"] = levels;
  QJsonArray bauds;
  for (auto b : r.baudRates) bauds.append(static_cast<qint64>(b));
  o["baudRates"] = bauds;
  QJsonArray modes;
  for (auto [mask, mode] : r.bitModes) modes.append(QJsonArray{mask, mode});
  o["bitModes"] = modes;

  QJsonArray recordings;
  for (const auto &rec : r.recordings) {
    QJsonObject one{{"startMs", ms(rec.start, origin)}};
    if (rec.stop) one["stopMs"] = ms(*rec.stop, origin);
    if (!rec.soundFile.empty()) one["soundFile"] = QString::fromStdString(rec.soundFile);
    recordings.append(one);
  }
  o["recordings"] = recordings;

  QJsonArray lines;
  for (const auto &l : r.loaderLines) lines.append(hex(l.data(), l.size()));
  o["loaderLines"] = lines;
  QJsonObject memory;
  for (auto [address, word] : r.memory) {
    char key[16], value[16];
    std::snprintf(key, sizeof key, "%04X", address);
    std::snprintf(value, sizeof value, "%04X", word);
    memory[key] = value;
  }
  o["memory"] = memory;

  QJsonObject values;
  for (const auto &[word, value] : unit.Values()) values[latin1(word)] = latin1(value);
  o["values"] = values;
  o["neverWritten"] = unit.NeverWritten();
  o["powered"] = unit.Powered();
  return o;
}

}  // namespace sim
