// A small fleet in a history file, written as the programs write their records: a standard
// profile and firmware file, and three units against them.
//   VRT00001 carries the profile (written from it) and the firmware.
//   VRT00002 was written with P05 and P17 changed and loaded another firmware.
//   VRT00003 has no parameters in the history; its download of the firmware was cut once the
//            unit had answered "Y" (after an earlier one that ended ok).
#pragma once

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <string>

#include "history/format.h"
#include "history/journal.h"
#include "history/store.h"
#include "settings/profile.h"
#include "tests/firmware/hex_records.h"
#include "tests/support/temp_folder.h"

struct Fleet {
  QString history, profile, firmware, otherFirmware;
};

inline history::JobRecord FleetRecord(const QString &unit, const char *job, const QString &started,
                                      const char *outcome, const QJsonObject &details) {
  history::JobRecord r;
  r.id = history::NewId();
  r.unit = unit;
  r.job = job;
  r.started = started;
  r.ended = QString(started).replace(":00.000Z", ":30.000Z");
  r.outcome = outcome;
  r.station = "bench-" + unit.right(1);
  r.operator_ = "tester";
  r.program = "tolvane-cli 5.00.00.04";
  r.details = QJsonDocument(details).toJson(QJsonDocument::Compact);
  return r;
}

inline Fleet WriteFleet(const TempFolder &folder) {
  Fleet fleet{QString::fromStdString(folder.File("history.sqlite")),
              QString::fromStdString(folder.File("std.ini")),
              QString::fromStdString(folder.File("app.hex")),
              QString::fromStdString(folder.File("old-app.hex"))};
  settings::ParameterValues fields;
  fields["P17"] = "*67";
  settings::WriteProfile(fleet.profile.toStdString(), fields);
  for (const auto &[file, words] :
       {std::pair{fleet.firmware, 8u + 4 * 20}, std::pair{fleet.otherFirmware, 8u + 4 * 21}}) {
    QFile hex(file);
    EXPECT_TRUE(hex.open(QIODevice::WriteOnly));
    hex.write(QByteArray::fromStdString(hexfile::FirmwareFile(words)));
  }
  const settings::Profile profile = settings::ReadProfile(fleet.profile.toStdString());
  const auto written = [&](std::initializer_list<std::pair<const char *, const char *>> changed) {
    auto values = settings::WriteValues(profile);
    for (auto &[word, value] : values)
      for (const auto &[changedWord, changedValue] : changed)
        if (word == changedWord) value = changedValue;
    return history::SettingsDetails(values, fleet.profile);
  };
  const auto loaded = [](const QString &file, int sent) {
    QJsonObject details = history::FirmwareDetails(file, 20, false);
    details["sent"] = sent;
    details["log"] = "AT@#\r\nY\r\n";
    details[history::kChangedMember] = true;  // the unit answered "Y"
    return details;
  };
  history::Store store;
  EXPECT_TRUE(store.Open(fleet.history, history::Store::Mode::Write))
      << store.Error().toStdString();
  EXPECT_TRUE(store.Write({
      FleetRecord("VRT00001", "settings", "2026-12-01T08:00:00.000Z", "ok", written({})),
      FleetRecord("VRT00001", "firmware", "2026-12-01T09:00:00.000Z", "ok",
                  loaded(fleet.firmware, 20)),
      FleetRecord("VRT00002", "settings", "2026-12-02T08:00:00.000Z", "ok",
                  written({{"P05", "3"}, {"P17", "*60"}})),
      FleetRecord("VRT00002", "firmware", "2026-12-02T09:00:00.000Z", "ok",
                  loaded(fleet.otherFirmware, 21)),
      FleetRecord("VRT00003", "firmware", "2026-12-03T08:00:00.000Z", "ok",
                  loaded(fleet.firmware, 20)),
      FleetRecord("VRT00003", "firmware", "2026-12-03T09:00:00.000Z", "interrupted",
                  loaded(fleet.firmware, 7)),
  })) << store.Error().toStdString();
  return fleet;
}
