#pragma once
// The reads of the units' summaries on the workshop's server, each one statement that selects
// only what a summary shows: never a record's details whole, so never a transfer log.

#include <QStringList>

#include <vector>

#include "history/job_record.h"
#include "history/server_connection.h"

namespace history {

// The rows a summary of these units (every unit when empty) is made of: each unit's newest job,
// and its newest job of each kind (settings and defaults as one) that began to change the unit
// (history::kChangedMember, a row without it counting unless it runs) or ended ok.
ServerResult ReadSummaryRows(ServerConnection &connection, const QStringList &units,
                             std::vector<SummaryRow> *rows);

// The units that have jobs, in byte order.
ServerResult ReadUnits(ServerConnection &connection, QStringList *units);

}  // namespace history
