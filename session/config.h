// VERT.ini, the program's configuration file: plain INI text read and written with SimpleIni.
// Each read or write burst loads the file, and each write burst replaces it atomically.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "util/exception.h"

// The folder of VERT.ini, ending in "/": the executable's folder when a VERT.ini is already there
// (a portable copy), otherwise ${XDG_CONFIG_HOME:-~/.config}/Tolvane/ (created when missing).
// Nothing is ever created under /usr.
std::string DetectProgramFolder();

// The folder of the windows' transfer log, ending in "/":
// ${XDG_STATE_HOME:-~/.local/state}/Tolvane/ (created when missing) beside the configuration folder
// of DetectProgramFolder; a portable copy's folder, or any other, keeps its log itself.
std::string DetectLogFolder(const std::string &programFolder);

// The full name of VERT.ini in a program folder that ends in "/".
std::string ConfigFileName(const std::string &programFolder);

class ConfigFile {
 public:
  explicit ConfigFile(std::string fileName) : fileName_(std::move(fileName)) {}

  const std::string &FileName() const { return fileName_; }

  // The value, at most 2047 characters; empty when the file, the section or the key is absent,
  // or when the file cannot be read. Never throws.
  std::string Read(const std::string &section, const std::string &key) const;

  // Sets one key; Exception "Unable to write to <file>" when the file cannot be replaced.
  void Write(const std::string &section, const std::string &key, const std::string &value);

  // Sets several keys of one section in one burst: one load, the changes, one atomic replace.
  // When the replace fails none of them is written, and Exception "Unable to write to <file>".
  void WriteAll(const std::string &section,
                const std::vector<std::pair<std::string, std::string>> &entries);

 private:
  std::string fileName_;
};

// A remembered path as the windows read it: the stored value, or the program folder when the
// value has fewer than 3 characters.
std::string ReadRememberedPath(const std::string &programFolder, const std::string &key);
void WriteRememberedPath(const std::string &programFolder, const std::string &key,
                         const std::string &path);
