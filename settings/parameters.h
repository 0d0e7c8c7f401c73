// The unit's parameter set: one table that the settings window, the write exchange and the
// emulated unit all read, so that a value means the same thing in the window and on the wire.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace params {

enum class Kind {
  List,   // one entry of a fixed list; wire value is its position n from 1
  Code,   // a short text of restricted characters; wire value is the trimmed text
  Radio,  // a pair of radio buttons; "1" for the first, "0" for the second
  Index,  // one entry of a list sent as its position counted from 0 (TYPG)
};

enum class Wire {
  Position,           // n in decimal without leading zeros
  PositionTwoDigits,  // n as exactly two digits, zero-padded ("01" ... "59")
  PositionFromZero,   // n - 1 in decimal
  TrimmedText,        // the text without leading and trailing blanks and control characters
  FirstChoice,        // "1" when the first of the pair is chosen, else "0"
};

struct Parameter {
  std::string_view word;    // command word: "P01", "MOD", ...
  int number;               // number shown beside the row; 0 when none is shown
  std::string_view field;   // the window's field: "ComboBox1", "Edit2", "RadioButton1", ...
  std::string_view field2;  // the second radio button of a pair; empty otherwise
  std::string_view label;   // label of the row (or of the first radio button)
  std::string_view label2;  // label of the second radio button
  Kind kind;
  std::vector<std::string> entries;  // list and index kinds
  std::string_view unit;             // "sec", "ms" or empty
  std::string_view characters;       // code kind: the characters the field accepts
  int minLength;                     // code kind: shortest text the window accepts
  int maxLength;                     // code kind: the field's limit
  std::string initial;  // entry text, code text, or "1"/"0" for a pair (first chosen or not)
  std::optional<std::string> defaultValue;  // none: "Default setting" leaves it unchanged
  Wire wire;
};

// The 26 parameters and mode settings in the order of the write exchange (steps 1 to 26).
std::span<const Parameter> Table();

// The entry by command word, or nullptr.
const Parameter *Find(std::string_view word);

// The wire value of a list or index parameter whose chosen entry is at `position` (from 1).
std::string ListWireValue(const Parameter &p, int position);

// The wire value of a code text: leading and trailing blanks and control characters removed.
std::string CodeWireValue(std::string_view text);

// The wire value of a radio pair.
inline std::string RadioWireValue(bool firstChosen) {
  return firstChosen ? "1" : "0";
}

// Position (from 1) of the entry whose text is `text`, or 0 when there is none.
int PositionOf(const Parameter &p, std::string_view text);

// Whether `value` is an accepted wire value of the parameter: one of its entries' wire values for
// list kinds, "1" or "0" for a pair, or a text of its characters within its length limits.
bool AcceptsWireValue(const Parameter &p, std::string_view value);

// A wire value as a person reads it: the list's entry and its unit ("100 ms"), the code's text,
// the chosen radio button's label; the wire value itself where it names nothing.
std::string ShownValue(const Parameter &p, std::string_view value);

}  // namespace params
