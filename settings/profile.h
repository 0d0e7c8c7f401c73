// Parameter profiles: INI files with one section [PARAMETERS] that holds the wire value of each of
// the 26 parameters under its command word, as it follows the word on the wire:
//
//   [PARAMETERS]
//   P01=3
//   P12=24
//   P17=*67
//   MOD=1
//   TYPG=4
//   ...
//
// A profile is read whole before any of it is used: a missing, unknown or repeated key, a key
// outside [PARAMETERS], or a value the unit's field could not hold refuses the whole profile with
// an Exception whose text names the file, the key and the value. Keys and the section name are
// compared exactly; a value is taken as SimpleIni gives it (blanks around it dropped, quotes
// removed) and must then be exactly one of the parameter's wire values.
#pragma once

#include <map>
#include <string>
#include <string_view>

#include "settings/parameters.h"
#include "settings/settings_exchange.h"
#include "util/exception.h"

namespace settings {

inline constexpr char kProfileSection[] = "PARAMETERS";

// The values of a profile, every one accepted by its parameter. As ParameterFields it gives back
// exactly these values: WriteLine(step, profile) sends the profile's value at every step.
class Profile : public ParameterFields {
 public:
  // The wire value of a parameter of the table.
  const std::string &Value(std::string_view word) const;

  int ChosenPosition(const params::Parameter &p) const override;
  std::string Text(const params::Parameter &p) const override;
  bool FirstChosen(const params::Parameter &p) const override;
  // The default wire value of every parameter that has one; the radio pairs stay as they are.
  void PutDefaults() override;

 private:
  friend Profile ReadProfileText(std::string_view text, const std::string &fileName);
  Profile() = default;

  std::map<std::string, std::string, std::less<>> values_;
};

// Why the parameter would refuse `value` ("has 7 characters, P17 takes 1 to 6"), or empty when
// it accepts it.
std::string ProfileRefusal(const params::Parameter &p, std::string_view value);

// Reads a profile from its text; `fileName` only names it in the messages.
Profile ReadProfileText(std::string_view text, const std::string &fileName);

// Reads a profile file; a file that cannot be read is refused as well.
Profile ReadProfile(const std::string &fileName);

// The text of a profile with the wire values of the fields' current contents, keys in the write
// order. A value that a read would refuse refuses the save, the message naming `fileName`.
std::string ProfileText(const ParameterFields &fields, const std::string &fileName);

// Writes ProfileText to the file, replacing it whole or not at all ("Unable to write to <file>").
void WriteProfile(const std::string &fileName, const ParameterFields &fields);

}  // namespace settings
