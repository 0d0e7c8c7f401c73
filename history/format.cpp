#include "history/format.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTimeZone>
#include <cstring>

namespace history {

namespace {

QByteArray CsvField(const QString &text) {
  const QByteArray utf8 = text.toUtf8();
  QByteArray field;
  AppendCsvField(field, utf8.constData(), static_cast<int>(utf8.size()));
  return field;
}

}  // namespace

void AppendCsvField(QByteArray &row, const char *text, int size) {
  const char *end = text + size;
  const bool formula = size > 0 && std::memchr("=+-@\t\r", *text, 6) != nullptr;
  bool quote = false;
  for (const char *c = text; c < end && !quote; ++c)
    quote = *c == '"' || *c == ',' || *c == '\r' || *c == '\n';
  if (!quote) {
    if (formula) row += '\'';
    row.append(text, size);
    return;
  }
  row += '"';
  if (formula) row += '\'';
  for (const char *c = text; c < end; ++c) {
    if (*c == '"') row += '"';
    row += *c;
  }
  row += '"';
}

const QStringList &ColumnNames() {
  static const QStringList names = [] {
    QStringList list;
    for (const Column &column : kColumns) list << QString::fromLatin1(column.name);
    return list;
  }();
  return names;
}

QByteArray CsvHeader() {
  return ColumnNames().join(',').toUtf8() + "\r\n";
}

QByteArray CsvRow(const JobRecord &r) {
  QByteArray row;
  for (std::size_t i = 0; i < kColumns.size(); ++i) {
    if (i) row += ',';
    if (const std::optional<QString> field = r.Field(i)) row += CsvField(*field);
  }
  return row + "\r\n";
}

QByteArray JsonText(const QString &text) {
  const QByteArray array = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
  QByteArray json;
  // The control characters of the 8-bit range, which a terminal may act on, escaped too.
  for (qsizetype i = 1; i + 1 < array.size(); ++i) {
    const auto byte = static_cast<unsigned char>(array[i]);
    const auto next = i + 2 < array.size() ? static_cast<unsigned char>(array[i + 1]) : 0;
    if (byte == 0x7F) {
      json += "\\u007f";
    } else if (byte == 0xC2 && next >= 0x80 && next < 0xA0) {
      json += "\\u00" + QByteArray::number(next, 16);
      ++i;
    } else {
      json += array[i];
    }
  }
  return json;
}

QByteArray JsonMembers(const QList<std::pair<QByteArray, QByteArray>> &members) {
  QByteArray text = "{";
  for (const auto &[name, value] : members) {
    if (text.size() > 1) text += ", ";
    text += '"' + QByteArray(name) + "\": " + value;
  }
  return text + "}";
}

namespace {

QByteArray ObjectText(const QJsonObject &object) {
  return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

}  // namespace

QByteArray JobJson(const JobRecord &r) {
  QList<std::pair<QByteArray, QByteArray>> members;
  for (std::size_t i = 0; i + 1 < kColumns.size(); ++i) {
    const std::optional<QString> field = r.Field(i);
    members.append({kColumns[i].name, field ? JsonText(*field) : QByteArray("null")});
  }
  // The details as the object they are.
  members.append(
      {kColumns.back().name, QJsonDocument::fromJson(r.details).isObject() ? r.details : "{}"});
  return JsonMembers(members);
}

QByteArray SummaryJson(const UnitSummary &s) {
  QByteArray firmware = "null", parameters = "null", message = "null";
  if (s.firmware)
    firmware = JsonMembers({{"file", JsonText(s.firmware->file)},
                            {"sha256", JsonText(s.firmware->sha256)},
                            {"when", JsonText(s.firmware->when)},
                            {"station", JsonText(s.firmware->station)}});
  if (s.parameters)
    parameters = JsonMembers({{"values", s.parameters->values ? ObjectText(*s.parameters->values)
                                                              : JsonText("defaults")},
                              {"when", JsonText(s.parameters->when)},
                              {"station", JsonText(s.parameters->station)}});
  if (s.message)
    message = JsonMembers({{"file", JsonText(s.message->file)},
                           {"sha256", JsonText(s.message->sha256)},
                           {"when", JsonText(s.message->when)}});
  QList<std::pair<QByteArray, QByteArray>> members = {{"unit", JsonText(s.unit)},
                                                      {"firmware", firmware},
                                                      {"parameters", parameters},
                                                      {"message", message},
                                                      {"last", JsonText(s.last)}};
  // The parts that the newest job of their kind left unsettled, only where there are any.
  QList<std::pair<QByteArray, QByteArray>> unsettled;
  for (const auto &[name, part] :
       {std::pair{"firmware", &s.firmwareUnsettled},
        std::pair{"parameters", &s.parametersUnsettled}, std::pair{"message", &s.messageUnsettled}})
    if (*part)
      unsettled.append({name, JsonMembers({{"when", JsonText((*part)->when)},
                                           {"station", JsonText((*part)->station)},
                                           {"outcome", JsonText((*part)->outcome)},
                                           {"message", JsonText((*part)->message)}})});
  if (!unsettled.isEmpty()) members.append({"unsettled", JsonMembers(unsettled)});
  return JsonMembers(members);
}

QString UnsettledLine(const std::optional<UnitSummary::Unsettled> &part, JobKind kind,
                      const std::function<QString(const QString &utc)> &when) {
  if (!part) return {};
  QString name = "message", job = "recording",
          stays = "the unit may hold part of a message until a recording completes";
  if (kind == JobKind::Firmware) {
    name = "firmware";
    job = "download";
    stays = "the unit stays in its loader until a download completes";
  } else if (kind == JobKind::Settings || kind == JobKind::Defaults) {
    name = "parameters";
    job = "write";
    stays = "the unit may hold some of the new values until a write completes";
  }
  return QString("%1: none, the %2 of %3 ended %4: %5")
      .arg(name, job, when(part->when), part->outcome, stays);
}

QString LocalTime(const QString &utc, bool withZone) {
  QDateTime time = QDateTime::fromString(utc, Qt::ISODateWithMs);
  if (!time.isValid()) return utc;
  time = time.toLocalTime();
  return time.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) +
         (withZone ? " " + time.timeZoneAbbreviation() : QString());
}

QString LocalTimeHeader(const QString &column) {
  return column + " (" + LocalZoneName() + ")";
}

QString LocalZoneName() {
  const QByteArray id = QTimeZone::systemTimeZoneId();
  return id.isEmpty() ? QDateTime::currentDateTime().timeZoneAbbreviation() : QString::fromUtf8(id);
}

std::optional<QString> ParseSince(const QString &text) {
  static const QRegularExpression form(
      R"(^(\d{4})-(\d{2})-(\d{2})(?:[T ](\d{2}):(\d{2})(?::(\d{2})(?:\.(\d{1,3}))?)?)"
      R"((Z|[+-]\d{2}:\d{2})?)?$)");
  const QRegularExpressionMatch m = form.match(text.trimmed());
  if (!m.hasMatch()) return std::nullopt;
  const QDate date(m.captured(1).toInt(), m.captured(2).toInt(), m.captured(3).toInt());
  QTime time(0, 0);
  if (m.hasCaptured(4))
    time = QTime(m.captured(4).toInt(), m.captured(5).toInt(),
                 m.hasCaptured(6) ? m.captured(6).toInt() : 0,
                 m.hasCaptured(7) ? m.captured(7).leftJustified(3, '0').toInt() : 0);
  if (!date.isValid() || !time.isValid()) return std::nullopt;
  QDateTime when;
  const QString zone = m.captured(8);
  if (zone.isEmpty()) {
    when = QDateTime(date, time, Qt::LocalTime);
  } else if (zone == "Z") {
    when = QDateTime(date, time, Qt::UTC);
  } else {
    const int hours = zone.mid(1, 2).toInt(), minutes = zone.mid(4, 2).toInt();
    if (hours > 23 || minutes > 59) return std::nullopt;
    const int offset = (zone[0] == '-' ? -1 : 1) * (hours * 3600 + minutes * 60);
    when = QDateTime(date, time, QTimeZone(offset));
  }
  if (!when.isValid()) return std::nullopt;
  return when.toUTC().toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss.zzz'Z'"));
}

QString FileSha256(const QString &fileName) {
  QFile file(fileName);
  if (!file.open(QIODevice::ReadOnly)) return {};
  QCryptographicHash hash(QCryptographicHash::Sha256);
  if (!hash.addData(&file)) return {};
  return QString::fromLatin1(hash.result().toHex());
}

QString AbsoluteName(const QString &fileName) {
  return fileName.isEmpty() ? fileName : QFileInfo(fileName).absoluteFilePath();
}

QString WireText(const std::string &bytes) {
  return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

QJsonObject SettingsDetails(const std::vector<std::pair<std::string, std::string>> &values,
                            const std::optional<QString> &profile) {
  QJsonObject words;
  for (const auto &[word, value] : values) words[QString::fromStdString(word)] = WireText(value);
  return {{"values", words},
          {"profile", profile ? QJsonValue(AbsoluteName(*profile)) : QJsonValue()}};
}

QJsonObject FirmwareDetails(const QString &file, int lines, bool fast) {
  return {{"file", AbsoluteName(file)},
          {"sha256", FileSha256(file)},
          {"lines", lines},
          {"sent", 0},
          {"fast", fast},
          {"log", ""}};
}

QJsonObject RecordDetails(const QString &file, const QString &output) {
  return {{"file", AbsoluteName(file)},
          {"sha256", FileSha256(file)},
          {"seconds", 0},
          {"output", output}};
}

QJsonObject SendDetails(const std::string &line) {
  return {{"line", WireText(line)}, {"replies", ""}};
}

}  // namespace history
