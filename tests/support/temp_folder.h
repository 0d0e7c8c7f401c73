// A private temporary folder for one test, removed afterwards. Folder() ends in "/".
#pragma once

#include <QTemporaryDir>
#include <string>

class TempFolder {
 public:
  TempFolder() { dir_.setAutoRemove(true); }
  std::string Folder() const { return dir_.path().toStdString() + "/"; }
  std::string File(const std::string &name) const { return Folder() + name; }

 private:
  QTemporaryDir dir_;
};
