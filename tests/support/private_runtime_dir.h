// Points XDG_RUNTIME_DIR at a private temporary folder for the lifetime of the object, so that
// the emulated device link of a test sees only the devices that the test serves.
#pragma once

#include <QTemporaryDir>
#include <cstdlib>
#include <optional>
#include <string>

class PrivateRuntimeDir {
 public:
  PrivateRuntimeDir() {
    if (const char *old = std::getenv("XDG_RUNTIME_DIR")) previous_ = old;
    setenv("XDG_RUNTIME_DIR", Path().c_str(), 1);
  }
  ~PrivateRuntimeDir() {
    if (previous_)
      setenv("XDG_RUNTIME_DIR", previous_->c_str(), 1);
    else
      unsetenv("XDG_RUNTIME_DIR");
  }
  PrivateRuntimeDir(const PrivateRuntimeDir &) = delete;
  PrivateRuntimeDir &operator=(const PrivateRuntimeDir &) = delete;

  std::string Path() const { return dir_.path().toStdString(); }
  // The device directory of the link inside it.
  std::string DeviceDirectory() const { return Path() + "/tolvane-ftdi"; }

 private:
  QTemporaryDir dir_;
  std::optional<std::string> previous_;
};
