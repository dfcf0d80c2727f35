#pragma once
// The halt outcome: after a configuration error or a fatal stop the gateway does no further work.
// Library code unwinds with Halt to the program entry, which then waits (sleeping, not spinning)
// until the operator ends the process. Tests catch it and look at what was printed and logged.
#include <exception>

namespace mvo::common {

class Halt : public std::exception {
 public:
  const char* what() const noexcept override { return "halt"; }
};

[[noreturn]] inline void halt() { throw Halt(); }

}  // namespace mvo::common
