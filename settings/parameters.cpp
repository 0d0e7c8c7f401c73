#include "settings/parameters.h"

#include <cstdio>

namespace params {

namespace {

std::string oneDecimal(double v) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.1f", v);
  return buffer;
}

// Entry n shows n/3 rounded to one decimal: 0.3, 0.7, 1.0, ...
std::vector<std::string> thirds(int count) {
  std::vector<std::string> out;
  for (int n = 1; n <= count; ++n) out.push_back(oneDecimal(n / 3.0 + 1e-9));
  return out;
}

std::vector<std::string> steps(int count, double first, double step, bool decimal) {
  std::vector<std::string> out;
  for (int n = 0; n < count; ++n) {
    const double v = first + step * n;
    out.push_back(decimal ? oneDecimal(v) : std::to_string(static_cast<int>(v + 0.5)));
  }
  return out;
}

const std::vector<std::string> kOnHook = thirds(9);               // P01, P04
const std::vector<std::string> kDtmf = steps(10, 60, 10, false);  // P06, P07, P10, P11
const std::vector<std::string> kFsk = steps(59, 20, 10, false);   // P12, P13
constexpr std::string_view kCodeChars = "0123456789*#";
constexpr std::string_view kDigits = "0123456789";

Parameter list(std::string_view word, int number, std::string_view field, std::string_view label,
               std::vector<std::string> entries, std::string_view unit, std::string initial,
               std::string def, Wire wire = Wire::Position) {
  return Parameter{word,
                   number,
                   field,
                   {},
                   label,
                   {},
                   Kind::List,
                   std::move(entries),
                   unit,
                   {},
                   0,
                   0,
                   std::move(initial),
                   std::move(def),
                   wire};
}

Parameter code(std::string_view word, int number, std::string_view field, std::string_view label,
               std::string_view characters, int minLength, int maxLength, std::string initial,
               std::string def) {
  return Parameter{word,
                   number,
                   field,
                   {},
                   label,
                   {},
                   Kind::Code,
                   {},
                   {},
                   characters,
                   minLength,
                   maxLength,
                   std::move(initial),
                   std::move(def),
                   Wire::TrimmedText};
}

Parameter radio(std::string_view word, std::string_view field, std::string_view field2,
                std::string_view label, std::string_view label2) {
  return Parameter{word, 0,  field, field2, label, label2,       Kind::Radio,      {},
                   {},   {}, 0,     0,      "1",   std::nullopt, Wire::FirstChoice};
}

std::vector<Parameter> build() {
  std::vector<Parameter> t;
  t.push_back(list("P01", 1, "ComboBox1", "Setting of line ON HOOK", kOnHook, "sec", "1.0", "1.0"));
  t.push_back(list("P02", 2, "ComboBox2", "Setting of time without ring", steps(9, 2.5, 2.5, true),
                   "sec", "10.0", "10.0"));
  t.push_back(list("P03", 3, "ComboBox3", "Setting of rings number before pick up",
                   steps(9, 2, 1, false), "", "2", "2"));
  t.push_back(list("P04", 4, "ComboBox4",
                   "Setting of time after picked up before sending acknowledgement confirmation ",
                   kOnHook, "sec", "0.7", "0.7"));
  t.push_back(list("P05", 5, "ComboBox7", "Setting of Flash duration in numbers dial",
                   steps(6, 100, 100, false), "ms", "100", "100"));
  t.push_back(list("P06", 6, "ComboBox8", "Setting of DTMF tone duration in numbers dial", kDtmf,
                   "ms", "100", "100"));
  t.push_back(
      list("P07", 7, "ComboBox9", "Setting of DTMF space duration", kDtmf, "ms", "100", "100"));
  t.push_back(list("P08", 8, "ComboBox10", "Setting of Pause duration in numbers dial",
                   steps(10, 600, 100, false), "ms", "1000", "1000"));
  t.push_back(code("P17", 17, "Edit2",
                   "Make saving of confirmation character to memory for automatic mode  CNT ",
                   kCodeChars, 1, 6, "*67", "*67"));
  t.push_back(
      list("P10", 10, "ComboBox11", "Setting of DTMF tone duration", kDtmf, "ms", "80", "100"));
  t.push_back(
      list("P11", 11, "ComboBox12", "Setting of DTMF space duration", kDtmf, "ms", "80", "100"));
  t.push_back(list("P12", 12, "ComboBox13", "Setting of seizure duration (FSK)", kFsk, "ms", "250",
                   "250", Wire::PositionTwoDigits));
  t.push_back(list("P13", 13, "ComboBox14", "Setting of mark duration (FSK)", kFsk, "ms", "120",
                   "120", Wire::PositionTwoDigits));
  t.push_back(code("P18", 18, "Edit3",
                   "Make saving of confirmation character to memory for automatic mode  CallBack",
                   kCodeChars, 1, 6, "*68", "*68"));
  t.push_back(list("P15", 15, "ComboBox6",
                   "Setting of time when is silent on picked up external line", thirds(30), "sec",
                   "8.0", "8.0", Wire::PositionTwoDigits));
  t.push_back(code("P16", 16, "Edit1",
                   "Make saving of confirmation character to memory for automatic mode  ID",
                   kCodeChars, 1, 6, "*66", "*66"));
  t.push_back(radio("MOD", "RadioButton1", "RadioButton2", "DAY mode", "NIGHT mode"));
  t.push_back(radio("TYPE", "RadioButton3", "RadioButton4", "Receive emmergency call",
                    "Receive service or error calls"));
  Parameter typg =
      list("TYPG", 0, "ComboBox5", "Acknowledge for ID",
           {"Disable", "ID only", "ID and CALL", "ID + CALL+ LAST", "ID + CALL + LAST+ CNT"}, "",
           "ID + CALL + LAST+ CNT", "ID + CALL + LAST+ CNT", Wire::PositionFromZero);
  typg.kind = Kind::Index;
  t.push_back(std::move(typg));
  t.push_back(code("P19", 19, "Edit4",
                   "Make saving of confirmation character to memory for automatic mode  LAST",
                   kCodeChars, 1, 6, "*69", "*69"));
  t.push_back(code("P20", 0, "Edit5", "Switch on 1", kDigits, 2, 2, "51", "51"));
  t.push_back(code("P21", 0, "Edit6", "Switch on 2", kDigits, 1, 2, "52", "52"));
  t.push_back(code("P22", 0, "Edit7", "Switch on 3", kDigits, 2, 2, "53", "53"));
  t.push_back(code("P23", 0, "Edit8", "Switch off 1", kDigits, 2, 2, "51", "61"));
  t.push_back(code("P24", 0, "Edit9", "Switch off 2", kDigits, 2, 2, "51", "62"));
  t.push_back(code("P25", 0, "Edit10", "Reset CNT", kCodeChars, 2, 2, "##", "##"));
  return t;
}

}  // namespace

std::span<const Parameter> Table() {
  static const std::vector<Parameter> table = build();
  return table;
}

const Parameter *Find(std::string_view word) {
  for (const auto &p : Table())
    if (p.word == word) return &p;
  return nullptr;
}

std::string ListWireValue(const Parameter &p, int position) {
  switch (p.wire) {
    case Wire::PositionTwoDigits: {
      char buffer[16];
      std::snprintf(buffer, sizeof buffer, "%02d", position);
      return buffer;
    }
    case Wire::PositionFromZero:
      return std::to_string(position - 1);
    default:
      return std::to_string(position);
  }
}

std::string CodeWireValue(std::string_view text) {
  auto trimmed = [](unsigned char c) { return c <= ' ' || c == 0x7F; };
  while (!text.empty() && trimmed(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
  while (!text.empty() && trimmed(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
  return std::string(text);
}

int PositionOf(const Parameter &p, std::string_view text) {
  for (std::size_t i = 0; i < p.entries.size(); ++i)
    if (p.entries[i] == text) return static_cast<int>(i) + 1;
  return 0;
}

bool AcceptsWireValue(const Parameter &p, std::string_view value) {
  switch (p.kind) {
    case Kind::List:
    case Kind::Index:
      for (std::size_t i = 0; i < p.entries.size(); ++i)
        if (ListWireValue(p, static_cast<int>(i) + 1) == value) return true;
      return false;
    case Kind::Radio:
      return value == "1" || value == "0";
    case Kind::Code:
      if (static_cast<int>(value.size()) < p.minLength ||
          static_cast<int>(value.size()) > p.maxLength)
        return false;
      return value.find_first_not_of(p.characters) == std::string_view::npos;
  }
  return false;
}

std::string ShownValue(const Parameter &p, std::string_view value) {
  switch (p.kind) {
    case Kind::List:
    case Kind::Index:
      for (std::size_t i = 0; i < p.entries.size(); ++i) {
        if (ListWireValue(p, static_cast<int>(i) + 1) != value) continue;
        std::string shown = p.entries[i];
        if (!p.unit.empty()) shown += " " + std::string(p.unit);
        return shown;
      }
      return std::string(value);
    case Kind::Radio:
      if (value == "1") return std::string(p.label);
      if (value == "0") return std::string(p.label2);
      return std::string(value);
    case Kind::Code:
      break;
  }
  return std::string(value);
}

}  // namespace params
