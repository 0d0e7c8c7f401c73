// The program's general exception type: an error that carries a message text for the user.
#pragma once

#include <stdexcept>
#include <string>

class Exception : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
