// The one way a tarlek-mon or tarlek-sim run ends early: a message for one line on standard
// error and the exit status that goes with it.
#pragma once

#include <stdexcept>
#include <string>

#include "base/exit_status.h"

namespace tarlek {

class Failure : public std::runtime_error {
 public:
  Failure(int status, const std::string& message) : std::runtime_error(message), status_(status) {}
  int status() const { return status_; }

 private:
  int status_;
};

// A usage problem found after the options were parsed (a bad address, an
// unknown symbol): exit status 2.
inline Failure UsageError(const std::string& message) { return Failure(kExitUsage, message); }

}  // namespace tarlek
