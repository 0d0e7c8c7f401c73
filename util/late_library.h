// A shared library loaded at the first call of one of its functions rather than with the program:
// the program then defines each function it calls and forwards it to the library's own.
#pragma once

#include <dlfcn.h>

#include <string>

class LateLibrary {
 public:
  // Loads `soname` with dlopen's `flags`; when it cannot, Error() says why, ending in `errorEnd`.
  LateLibrary(const char *soname, int flags, const char *errorEnd = "")
      : handle_(dlopen(soname, flags)) {
    if (handle_) return;
    const char *reason = dlerror();
    error_ = std::string(soname) + " could not be loaded" +
             (reason ? std::string(": ") + reason : std::string()) + errorEnd;
  }
  LateLibrary(const LateLibrary &) = delete;
  LateLibrary &operator=(const LateLibrary &) = delete;

  // The library's function `name`; null when the library or the function is missing.
  void *Symbol(const char *name) const { return handle_ ? dlsym(handle_, name) : nullptr; }
  const std::string &Error() const { return error_; }

 private:
  void *handle_;
  std::string error_;
};
