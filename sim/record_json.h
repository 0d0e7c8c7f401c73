// The record of what a unit received, as JSON, for the emulator program's record file.
#pragma once

#include <QJsonObject>

#include "sim/unit.h"

namespace sim {

// Times are in milliseconds from `origin`; byte strings are Latin-1 text, loader lines and the
// bytes received also as hexadecimal.
QJsonObject RecordToJson(const Unit &unit, Time origin);

}  // namespace sim
