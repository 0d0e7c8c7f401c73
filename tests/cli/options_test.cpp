// The command line of tolvane-cli: options anywhere, and what is a usage error.
#include <gtest/gtest.h>

#include "cli/options.h"

namespace {

using cli::Command;
using cli::ParseArguments;

cli::Parsed Parse(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), "tolvane-cli");
  return ParseArguments(arguments);
}

TEST(Options, StandBeforeOrAfterTheCommandAndItsArgument) {
  const std::vector<std::vector<std::string>> orders = {
      {"--all", "settings", "bench.ini", "--json"},
      {"settings", "bench.ini", "--json", "--all"},
      {"--json", "settings", "--all", "bench.ini"},
  };
  for (const auto &order : orders) {
    const cli::Parsed parsed = Parse(order);
    ASSERT_EQ(parsed.error, "") << order[0];
    EXPECT_EQ(parsed.options.command, Command::Settings);
    EXPECT_EQ(parsed.options.argument, "bench.ini");
    EXPECT_TRUE(parsed.options.all);
    EXPECT_TRUE(parsed.options.json);
  }
  const cli::Parsed firmware =
      Parse({"--log-dir", "/tmp/logs", "firmware", "--unit", "VRT00002", "a.hex", "--fast",
             "--unit", "VRT00001", "--unit", "VRT00002"});
  ASSERT_EQ(firmware.error, "");
  EXPECT_EQ(firmware.options.argument, "a.hex");
  EXPECT_TRUE(firmware.options.fast);
  EXPECT_EQ(firmware.options.logDir, "/tmp/logs");
  // A serial named twice counts once, in the order first given.
  EXPECT_EQ(firmware.options.units, (std::vector<std::string>{"VRT00002", "VRT00001"}));
}

TEST(Options, UsageErrors) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{}, "no command given"},
      {{"--all"}, "no command given"},
      {{"erase", "--all"}, "unknown command \"erase\""},
      {{"settings", "--all"}, "settings needs PROFILE"},
      {{"send", "AT@NORM", "AT@RESET", "--all"}, "send: unexpected argument \"AT@RESET\""},
      {{"defaults"}, "defaults needs --unit SERIAL or --all"},
      {{"defaults", "--all", "--unit", "VRT00001"}, "--unit and --all exclude each other"},
      {{"defaults", "--all", "--fast"}, "defaults does not take --fast"},
      {{"list", "--all"}, "list does not take --all"},
      {{"settings", "p.ini", "--all", "--output", "x"}, "settings does not take --output"},
      {{"firmware", "a.hex", "--all", "--log-dir"}, "Missing value after '--log-dir'."},
      {{"firmware", "a.hex", "--all", "--quick"}, "Unknown option 'quick'."},
      {{"defaults", "--unit", " "}, "--unit needs a serial number, not \" \""},
      {{"defaults", "--unit", "--all"}, "--unit needs a serial number, not \"--all\""},
      {{"send", "AT@NORM\r\nAT@DEFAULT", "--all"},
       "send: LINE must not hold CR, LF or NUL (CR LF is added)"},
      {{"send", std::string("AT@\0NORM", 8), "--all"},
       "send: LINE must not hold CR, LF or NUL (CR LF is added)"},
  };
  for (const auto &[arguments, error] : cases) {
    EXPECT_EQ(Parse(arguments).error, error) << (arguments.empty() ? "" : arguments[0]);
  }
  EXPECT_TRUE(Parse({"send", "AT@NORM", "--json", "--quick"}).options.json)
      << "an unknown option still answers in JSON";
}

}  // namespace
