#include "cli/options.h"

#include <QCommandLineParser>
#include <QStringList>
#include <algorithm>
#include <array>
#include <string_view>

#include "jobs/descriptor.h"

namespace cli {

namespace {

struct CommandInfo {
  Command command;
  const char *name;
  const char *argument;  // nullptr: none
  bool units;
  std::string options;  // the options it takes besides --json and --help, blank separated
  const char *summary;
  const char *help;
  std::optional<history::JobKind> kind{};  // the kind of job it runs on units
};

// The commands that run a kind of job.
constexpr std::array<std::pair<Command, history::JobKind>, 5> kJobCommands = {{
    {Command::Settings, history::JobKind::Settings},
    {Command::Defaults, history::JobKind::Defaults},
    {Command::Firmware, history::JobKind::Firmware},
    {Command::Record, history::JobKind::Record},
    {Command::Send, history::JobKind::Send},
}};

// Every command in the order of the help: the two lists, the jobs as their descriptors have them,
// then the history's commands.
std::vector<CommandInfo> MakeCommands() {
  const std::array kOthers = {
      CommandInfo{
          Command::List, "list", nullptr, false, "", "list every FT device the driver lists",
          "Lists every FT device the driver lists, in its order: serial number, description,\n"
          "whether it is a unit and where it is (its tty or its emulated device).\n"
          "With --json: {\"devices\": [{\"serial\", \"description\", \"unit\", \"where\"}]}.\n"},
      CommandInfo{Command::Outputs, "outputs", nullptr, false, "", "list the sound outputs",
                  "Lists the sound outputs by the names that --output takes.\n"
                  "With --json: {\"outputs\": [NAME, ...]}.\n"},
      CommandInfo{
          Command::History, "history", nullptr, false,
          "unit job outcome since limit csv log history server",
          "list the jobs of the service history",
          "Lists the jobs of the service history, newest first (by start, then unit, then id),\n"
          "of every unit or of each --unit SERIAL. Opens no unit.\n"
          "With --json: {\"jobs\": [{\"id\", \"unit\", \"job\", \"started\", \"ended\", "
          "\"outcome\",\n"
          "\"message\", \"station\", \"operator\", \"program\", \"details\"}]}; with --csv: RFC "
          "4180\n"
          "CSV (UTF-8, CRLF) with a header row; both give the times in UTC, the table in local\n"
          "time. Both leave the transfer log out: --log ID prints one job's log (with --json:\n"
          "{\"id\", \"log\"}); ID may be the start of the id, 8 characters or more. A job without\n"
          "a transfer log is an error.\n"
          "Exit status: 0 the history was read, 1 it could not be read, 2 a usage error.\n"},
      CommandInfo{
          Command::Summary, "summary", nullptr, false,
          "unit csv profile firmware check history server",
          "what each unit carries, from the service history",
          "For each unit, by serial: its firmware, its parameters (a settings write, or\n"
          "\"defaults\") and its message, each from the newest job of its kind that began to\n"
          "change the unit (a download once the unit answered \"Y\", a write once its first\n"
          "line was accepted, the defaults once sent, a recording once RTS was cleared) or\n"
          "ended ok, and the start of its newest job. Such a job that did not end ok leaves\n"
          "the part none: \"firmware: none, the download of <when> ended <outcome>: the unit\n"
          "stays in its loader until a download completes\". Opens no unit.\n"
          "With --json: {\"units\": [{\"unit\", \"firmware\", \"parameters\", \"message\",\n"
          "\"last\"}]}, and after \"last\", for a unit with a part left unsettled,\n"
          "\"unsettled\": {\"firmware\": {\"when\", \"station\", \"outcome\", \"message\"}}.\n"
          "--profile FILE compares each unit's parameters with a profile of the settings\n"
          "window (a unit whose last parameters came from the defaults with the defaults;\n"
          "MOD and TYPE, which the defaults keep, are then unknown), --firmware FILE its\n"
          "firmware with a HEX file (by the SHA-256 of the file). With either, the text is a\n"
          "table of the history window's units view: Unit, Firmware, Parameters, Message,\n"
          "Last job, Station, then \"Differs from profile\" (\"no\", \"unknown\" or each\n"
          "differing word, \"P05: 3 (profile 1)\") and \"Firmware differs\" (\"no\", \"yes\"\n"
          "or \"unknown\": in its loader or never loaded). --csv gives those columns as RFC\n"
          "4180 CSV (UTF-8, CRLF, times in UTC), as the window's export of the units view.\n"
          "With --json each unit gains \"differs\": {\"parameters\": [{\"word\", \"carried\",\n"
          "\"profile\"}] or \"unknown\", \"firmware\": true, false or \"unknown\"}, each member\n"
          "for its option. --check needs --profile or --firmware; a --unit that the\n"
          "history does not know is unknown.\n"
          "Exit status: 0 the history was read (with --check: and every unit listed matches),\n"
          "1 it could not be read (with --check: or a unit differs or is unknown, named on\n"
          "standard error), 2 a usage error or a refused profile or HEX file.\n"},
      CommandInfo{
          Command::ServerInit, "server-init", "URL", false, "grant",
          "make the shared history's tables on a server",
          "Makes the tables of the workshop's shared history (jobs and schema_version) and\n"
          "their one way in for the benches, the function tolvane_write_jobs, on the\n"
          "PostgreSQL server of URL, postgresql://[USER@]HOST[:PORT]/DBNAME[?PARAM=VALUE&...],\n"
          "or brings them to this program's version. Run with the login that is to own them;\n"
          "each --grant ROLE gives a bench's login SELECT and the function, nothing more.\n"
          "The password comes from the password file (~/.pgpass or PGPASSFILE), never\n"
          "from the URL. With --json: {\"server\", \"version\"}.\n"},
  };
  std::vector<CommandInfo> commands(kOthers.begin(), kOthers.begin() + 2);
  for (const auto &[command, kind] : kJobCommands) {
    const jobs::Descriptor &d = jobs::DescriptorOf(kind);
    commands.push_back({command, history::kJobKindTexts[static_cast<std::size_t>(kind)].data(),
                        d.argument, true, std::string(d.options) + " unit all history server",
                        d.summary, d.help, kind});
  }
  commands.insert(commands.end(), kOthers.begin() + 2, kOthers.end());
  return commands;
}

const std::vector<CommandInfo> &Commands() {
  static const std::vector<CommandInfo> commands = MakeCommands();
  return commands;
}

const CommandInfo *Find(Command command) {
  for (const auto &info : Commands())
    if (info.command == command) return &info;
  return nullptr;
}

const CommandInfo *Find(const std::string &name) {
  for (const auto &info : Commands())
    if (name == info.name) return &info;
  return nullptr;
}

bool Takes(const CommandInfo &info, const std::string &option) {
  const std::string list = " " + info.options + " ";
  return list.find(" " + option + " ") != std::string::npos;
}

constexpr const char *kUnitHelp =
    "  --unit SERIAL   a unit to work on (repeatable)\n"
    "  --all           every connected unit (\"VERTIKOmate\", serial number \"VRT...\")\n";

}  // namespace

bool NeedsUnits(Command command) {
  const CommandInfo *info = Find(command);
  return info && info->units;
}

std::string HelpText(Command command) {
  const CommandInfo *info = Find(command);
  if (!info) {
    std::string text =
        "Usage: tolvane-cli [OPTIONS] COMMAND [ARGUMENT] [OPTIONS]\n"
        "Runs the jobs of Tolvane's windows on every chosen Skarvel unit at the same time.\n"
        "\nCommands:\n";
    for (const auto &c : Commands()) {
      std::string head =
          std::string("  ") + c.name + (c.argument ? std::string(" ") + c.argument : "");
      head.resize(std::max<std::size_t>(head.size() + 1, 22), ' ');
      text += head + c.summary + "\n";
    }
    text += "\nOptions (before or after the command):\n";
    text += kUnitHelp;
    text +=
        "  --json          standard output holds one JSON object, everything else goes to\n"
        "                  standard error\n"
        "  --fast          firmware: the fast transfer\n"
        "  --log-dir DIR   firmware: the folder of the transfer logs\n"
        "  --output NAME   record: the sound output\n"
        "  --history FILE  the service history's file for this run, or none (no history)\n"
        "  --server URL    the workshop's shared history on a PostgreSQL server for this run\n"
        "  --help          this help, or a command's with the command\n"
        "  --version       the program's version\n"
        "\nExit status: 0 every unit succeeded, 1 a unit failed or the command was interrupted,\n"
        "2 a usage error.\n";
    return text;
  }
  std::string text = std::string("Usage: tolvane-cli ") + info->name +
                     (info->argument ? std::string(" ") + info->argument : "") +
                     (info->units ? " (--unit SERIAL... | --all)" : "") + " [OPTIONS]\n" +
                     info->help + "\nOptions:\n";
  if (info->units) text += kUnitHelp;
  if (Takes(*info, "fast")) text += "  --fast          the fast transfer\n";
  if (Takes(*info, "log-dir"))
    text += "  --log-dir DIR   the folder of the transfer logs (default: the current folder)\n";
  if (Takes(*info, "output"))
    text += "  --output NAME   the sound output (see `tolvane-cli outputs`)\n";
  if (!info->units && Takes(*info, "unit"))
    text += "  --unit SERIAL   a unit (repeatable); every unit without it\n";
  if (Takes(*info, "job"))
    text +=
        "  --job JOB       settings, defaults, firmware, record or send\n"
        "  --outcome WORD  running, ok, failed or interrupted\n"
        "  --since DATE    jobs started at or after YYYY-MM-DD (local midnight) or\n"
        "                  YYYY-MM-DDThh:mm[:ss[.mmm]][Z|+hh:mm|-hh:mm] (local time without\n"
        "                  a zone)\n"
        "  --limit N       at most N jobs\n"
        "  --csv           RFC 4180 CSV on standard output\n"
        "  --log ID        the transfer log of one job (ID: the id or its first 8+ characters)\n";
  if (Takes(*info, "check"))
    text +=
        "  --profile FILE  compare each unit's parameters with a profile\n"
        "  --firmware FILE compare each unit's firmware with a HEX file\n"
        "  --check         exit status 1 when a unit differs or is unknown\n"
        "  --csv           RFC 4180 CSV on standard output\n";
  if (Takes(*info, "history")) text += "  --history FILE  the service history's file, or none\n";
  if (Takes(*info, "grant"))
    text += "  --grant ROLE    a bench's login: SELECT and the write function (repeatable)\n";
  if (Takes(*info, "server"))
    text +=
        "  --server URL    the workshop's shared history, postgresql://[USER@]HOST[:PORT]/DBNAME\n";
  text +=
      "  --json          one JSON object on standard output, everything else on standard error\n"
      "  --help          this help\n";
  return text;
}

Parsed ParseArguments(const std::vector<std::string> &arguments) {
  Parsed parsed;
  Options &o = parsed.options;
  QCommandLineParser parser;
  parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
  const QCommandLineOption unit("unit", {}, "SERIAL");
  const QCommandLineOption all("all");
  const QCommandLineOption json("json");
  const QCommandLineOption fast("fast");
  const QCommandLineOption logDir("log-dir", {}, "DIR");
  const QCommandLineOption output("output", {}, "NAME");
  const QCommandLineOption help(QStringList{"help", "h"});
  const QCommandLineOption version("version");
  const QCommandLineOption history("history", {}, "FILE");
  const QCommandLineOption job("job", {}, "JOB");
  const QCommandLineOption outcome("outcome", {}, "OUTCOME");
  const QCommandLineOption since("since", {}, "DATE");
  const QCommandLineOption limit("limit", {}, "N");
  const QCommandLineOption csv("csv");
  const QCommandLineOption log("log", {}, "ID");
  const QCommandLineOption server("server", {}, "URL");
  const QCommandLineOption grant("grant", {}, "ROLE");
  const QCommandLineOption profile("profile", {}, "FILE");
  const QCommandLineOption firmware("firmware", {}, "FILE");
  const QCommandLineOption check("check");
  parser.addOptions({unit,    all,   json,  fast, logDir, output, help,  version, history,  job,
                     outcome, since, limit, csv,  log,    server, grant, profile, firmware, check});

  QStringList list;
  for (const auto &a : arguments) list << QString::fromLocal8Bit(a.data(), qsizetype(a.size()));
  if (list.isEmpty()) list << "tolvane-cli";
  if (!parser.parse(list)) {
    parsed.error = parser.errorText().toStdString();
    // A script that asked for JSON gets its error as JSON, whatever else the line holds.
    o.json = std::any_of(arguments.begin() + (arguments.empty() ? 0 : 1), arguments.end(),
                         [](const std::string &a) { return a == "--json" || a == "-json"; });
    return parsed;
  }
  o.help = parser.isSet(help);
  o.version = parser.isSet(version);
  o.all = parser.isSet(all);
  o.json = parser.isSet(json);
  o.fast = parser.isSet(fast);
  for (const QString &s : parser.values(unit)) {
    const std::string serial = s.toStdString();
    // An empty value, or the next option taken as the value of a --unit without one.
    if (s.trimmed().isEmpty() || s.startsWith('-')) {
      parsed.error = "--unit needs a serial number, not \"" + serial + "\"";
      return parsed;
    }
    if (std::find(o.units.begin(), o.units.end(), serial) == o.units.end())
      o.units.push_back(serial);
  }
  if (parser.isSet(logDir)) o.logDir = parser.value(logDir).toStdString();
  if (parser.isSet(output)) o.output = parser.value(output).toStdString();
  if (parser.isSet(history)) o.history = parser.value(history).toStdString();
  if (parser.isSet(server)) o.server = parser.value(server).toStdString();
  for (const QString &role : parser.values(grant)) o.grants.push_back(role.toStdString());
  o.job = parser.value(job).toStdString();
  o.outcome = parser.value(outcome).toStdString();
  if (parser.isSet(since)) o.since = parser.value(since).toStdString();
  o.csv = parser.isSet(csv);
  if (parser.isSet(log)) o.log = parser.value(log).toStdString();
  if (parser.isSet(profile)) o.profile = parser.value(profile).toStdString();
  if (parser.isSet(firmware)) o.firmware = parser.value(firmware).toStdString();
  o.check = parser.isSet(check);

  const QStringList positional = parser.positionalArguments();
  if (positional.isEmpty()) {
    if (!o.help && !o.version) parsed.error = "no command given";
    return parsed;
  }
  o.commandName = positional.first().toStdString();
  const CommandInfo *info = Find(o.commandName);
  if (!info) {
    parsed.error = "unknown command \"" + o.commandName + "\"";
    return parsed;
  }
  o.command = info->command;
  o.jobKind = info->kind;
  if (o.help || o.version) return parsed;

  const auto wanted = info->argument ? 1 : 0;
  if (positional.size() - 1 < wanted) {
    parsed.error = o.commandName + " needs " + info->argument;
    return parsed;
  }
  if (positional.size() - 1 > wanted) {
    parsed.error =
        o.commandName + ": unexpected argument \"" + positional.at(wanted + 1).toStdString() + "\"";
    return parsed;
  }
  if (wanted) o.argument = positional.at(1).toStdString();
  if (o.command == Command::Send &&
      o.argument.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
    parsed.error = "send: LINE must not hold CR, LF or NUL (CR LF is added)";
    return parsed;
  }

  const std::array<std::pair<const QCommandLineOption *, const char *>, 17> specific = {
      {{&unit, "unit"},
       {&all, "all"},
       {&fast, "fast"},
       {&logDir, "log-dir"},
       {&output, "output"},
       {&job, "job"},
       {&outcome, "outcome"},
       {&since, "since"},
       {&limit, "limit"},
       {&csv, "csv"},
       {&log, "log"},
       {&history, "history"},
       {&server, "server"},
       {&grant, "grant"},
       {&profile, "profile"},
       {&firmware, "firmware"},
       {&check, "check"}}};
  for (const auto &[option, name] : specific) {
    if (parser.isSet(*option) && !Takes(*info, name)) {
      parsed.error = o.commandName + " does not take --" + name;
      return parsed;
    }
  }
  if (parser.isSet(limit)) {
    bool number = false;
    o.limit = parser.value(limit).toLongLong(&number);
    if (!number || o.limit < 0) {
      parsed.error =
          "--limit takes a number of jobs, not \"" + parser.value(limit).toStdString() + "\"";
      return parsed;
    }
  }
  if (parser.isSet(job) && !history::JobKindOf(parser.value(job)))
    parsed.error = "--job takes settings, defaults, firmware, record or send";
  else if (parser.isSet(outcome) && !history::OutcomeOf(parser.value(outcome)))
    parsed.error = "--outcome takes running, ok, failed or interrupted";
  else if (o.csv && o.json)
    parsed.error = "--json and --csv exclude each other";
  else if (o.check && !o.profile && !o.firmware)
    parsed.error = "--check needs --profile FILE or --firmware FILE";
  else if (o.all && !o.units.empty())
    parsed.error = "--unit and --all exclude each other";
  else if (info->units && !o.all && o.units.empty())
    parsed.error = o.commandName + " needs --unit SERIAL or --all";
  return parsed;
}

}  // namespace cli
